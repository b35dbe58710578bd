// Layers: the highest layer that has a key wins, with the file and line it
// came from; drop-ins replace and mask by name; writes land in the
// administrator's file only; effective changes are heard, hidden ones not.

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "Heard.h"
#include "TestUtil.h"
#include "config/Layers.h"

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using testing::ReadAll;
using testing::WriteAll;
using Keys = std::vector<std::string>;

class LayersTest : public testing::TempDirTest {
 protected:
  // vendor file, vendor drop-ins, administrator's drop-ins, their file.
  void SetUp() override {
    TempDirTest::SetUp();
    vendor_ = Path("vendor.conf"), vendorD_ = Path("vendor.conf.d");
    admin_ = Path("admin.conf"), adminD_ = Path("admin.conf.d");
    fs::create_directory(vendorD_);
    fs::create_directory(adminD_);
  }
  Layers Make() const { return Layers({vendor_, vendorD_, adminD_, admin_}); }
  std::string vendor_, vendorD_, admin_, adminD_;
};

TEST_F(LayersTest, HighestLayerWinsWithItsOrigin) {
  WriteAll(vendor_, "a=vendor\nb=vendor\nc=vendor\nd=vendor\n[Net]\nPort=1\n");
  WriteAll(vendorD_ + "/10-x.conf", "b=vendor.d\nc=vendor.d\n");
  WriteAll(adminD_ + "/50-y.ini", "\nc=admin.d\nd=admin.d\n");
  WriteAll(admin_, "; admin\nd=admin\ne=admin\n");
  ::setenv("LAYERSTEST__NET__PORT", "9090", 1);
  ::setenv("layerstest__E", "env", 1);
  Layers layers = Make();
  layers.Defaults("a=default\nf=default\n").Environment("LayersTest");
  const struct {  // not static: the paths are this run's
    SectionName section;
    const char* key;
    const char* value;
    std::string file;
    std::size_t line;
  } kCases[] = {
      {std::nullopt, "f", "default", "<defaults>", 2},
      {std::nullopt, "a", "vendor", vendor_, 1},
      {std::nullopt, "b", "vendor.d", vendorD_ + "/10-x.conf", 1},
      {std::nullopt, "c", "admin.d", adminD_ + "/50-y.ini", 2},
      {std::nullopt, "d", "admin", admin_, 2},
      {std::nullopt, "e", "env", "env:layerstest__E", 0},
      {"net", "port", "9090", "env:LAYERSTEST__NET__PORT", 0},
      {std::nullopt, "g", "", "", 0},
  };
  for (const auto& c : kCases) {
    const Lookup found = layers.Inspect(c.section, c.key);
    EXPECT_EQ(found.text, c.value) << c.key;
    EXPECT_EQ(found.file, c.file) << c.key;
    EXPECT_EQ(found.line, c.line) << c.key;
  }
  EXPECT_EQ(layers.Get<int>("Net", "Port", 0), 9090);
  EXPECT_EQ(layers.Keys(std::nullopt), (Keys{"a", "f", "b", "c", "d", "e"}));
  EXPECT_EQ(layers.Files(), (Keys{vendor_, vendorD_ + "/10-x.conf",
                                  adminD_ + "/50-y.ini", admin_}));
  ::unsetenv("LAYERSTEST__NET__PORT");
  ::unsetenv("layerstest__E");
}

TEST_F(LayersTest, DropInsReplaceAndMaskByName) {
  WriteAll(vendorD_ + "/a.conf", "[s]\na=1\nonly=vendor\n");
  WriteAll(vendorD_ + "/b.conf", "[s]\nb=1\n");
  WriteAll(vendorD_ + "/c.conf", "[s]\nc=1\n");
  WriteAll(vendorD_ + "/d.txt", "[s]\nd=1\n");  // not .conf or .ini
  WriteAll(adminD_ + "/a.conf", "[s]\na=2\n");  // replaces it whole
  WriteAll(adminD_ + "/b.conf", "");            // masks
  fs::create_symlink("/dev/null", adminD_ + "/c.conf");
  const Layers layers = Make();
  EXPECT_EQ(layers.Get("s", "a", "-"), "2");
  EXPECT_EQ(layers.Get("s", "only", "-"), "-");
  EXPECT_FALSE(layers.HasKey("s", "b"));
  EXPECT_FALSE(layers.HasKey("s", "c"));
  EXPECT_FALSE(layers.HasKey("s", "d"));
  EXPECT_EQ(layers.Files(), Keys{adminD_ + "/a.conf"});
}

TEST_F(LayersTest, UnionListsInOrderOfFirstAppearance) {
  WriteAll(vendor_, "[B]\nx=1\ny=1\n[A]\nk=1\n");
  WriteAll(admin_, "[C]\nz=1\n[b]\nw=2\nX=2\n");
  const Layers layers = Make();
  std::vector<SectionName> sections = layers.Sections();
  EXPECT_EQ(sections, (std::vector<SectionName>{"B", "A", "C"}));
  EXPECT_EQ(layers.Pairs("B"),
            (std::vector<std::pair<std::string, std::string>>{
                {"x", "2"}, {"y", "1"}, {"w", "2"}}));
}

TEST_F(LayersTest, WritesOnlyTheAdministratorsFile) {
  WriteAll(vendor_, "[Net]\nPort = 80\n");
  WriteAll(admin_, "; mine\n[Net]\nPort = 8080 ; x\n");
  Layers layers = Make();
  layers.Set("Net", "Port", 9090);
  layers.Set("Net", "Host", "h");
  EXPECT_EQ(ReadAll(admin_), "; mine\n[Net]\nPort = 9090 ; x\nHost = h\n");
  EXPECT_EQ(ReadAll(vendor_), "[Net]\nPort = 80\n");
  EXPECT_TRUE(layers.Erase("Net", "Port"));
  const Lookup below = layers.Inspect<int>("Net", "Port");
  EXPECT_EQ(below.text, "80");
  EXPECT_EQ(below.file, vendor_);
  EXPECT_FALSE(layers.Erase("Net", "Port"));
  // The file written into comes last, or a drop-in could hide a write.
  for (const auto& paths : {Keys{vendorD_, adminD_}, Keys{admin_, adminD_},
                            Keys{admin_, Path("new.d")}}) {
    EXPECT_THROW(Layers{paths}, std::invalid_argument) << paths.back();
  }
  EXPECT_THROW(layers.Layer(Path("other.conf")), std::invalid_argument);
}

TEST_F(LayersTest, MissingLayersAreReadWhenTheyAppear) {
  const std::string later = Path("later.d");  // not made yet
  Layers layers({later, admin_});
  testing::Heard heard;
  const Subscription live = layers.OnChange(heard.Callback());
  fs::create_directory(later);
  WriteAll(later + "/1.conf", "[s]\nk=1\n");
  EXPECT_EQ(heard.Wait(1), "s.k: - -> 1");
  EXPECT_EQ(layers.Inspect("s", "k").file, later + "/1.conf");
  const Layers unwatched({later, admin_});
  WriteAll(later + "/2.conf", "[s]\nk=2\n");
  EXPECT_EQ(heard.Wait(2), "s.k: 1 -> 2");
  EXPECT_EQ(layers.Get("s", "k", "-"), "2");
  EXPECT_EQ(unwatched.Get("s", "k", "-"), "1");  // reads never list
}

TEST_F(LayersTest, HearsEffectiveChangesOnce) {
  WriteAll(vendor_, "[s]\nk=vendor\n");
  WriteAll(admin_, "[s]\nh=high\n");
  Layers layers = Make();
  testing::Heard heard;
  const Subscription live = layers.OnChange(heard.Callback());
  const std::string dropIn = vendorD_ + "/1.conf";
  WriteAll(dropIn, "[s]\nk=low\nh=hidden\n");  // h hidden by admin.conf
  EXPECT_EQ(heard.Wait(1), "s.k: vendor -> low");
  EXPECT_EQ(layers.Inspect("s", "k").file, dropIn);
  WriteAll(dropIn, "[s]\nk=low\nh=still hidden\n");
  WriteAll(dropIn, "[s]\nk=changed\nh=still hidden\n");
  EXPECT_EQ(heard.Wait(2), "s.k: low -> changed");
  fs::rename(dropIn, vendorD_ + "/1.conf.off");
  EXPECT_EQ(heard.Wait(3), "s.k: changed -> vendor");
  fs::rename(vendorD_ + "/1.conf.off", dropIn);
  EXPECT_EQ(heard.Wait(4), "s.k: vendor -> changed");
  fs::remove(dropIn);
  EXPECT_EQ(heard.Wait(5), "s.k: changed -> vendor");
  EXPECT_EQ(layers.Inspect("s", "k").file, vendor_);
  EXPECT_EQ(heard.Count(), 5U);
}

TEST_F(LayersTest, ThreadsReadWhileAnotherProcessEditsADropIn) {
  const std::string dropIn = adminD_ + "/edited.conf";
  WriteAll(dropIn, "[s]\nk=0\n");
  WriteAll(vendor_, "[s]\nk=vendor\n");
  Layers layers = Make();
  testing::Heard heard;
  const Subscription live = layers.OnChange(heard.Callback());
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      const auto end = std::chrono::steady_clock::now() + testing::kGuard;
      while (layers.Get<int>("s", "k", -1) != 19 &&
             std::chrono::steady_clock::now() < end) {
        EXPECT_EQ(layers.Inspect("s", "k").file, dropIn);
      }
    });
  }
  const std::string edits =
      "for i in $(seq 1 19); do printf '[s]\\nk=%s\\n' "
      "$i > " +
      testing::ShellQuote(dropIn) +
      ".new && "
      "mv " +
      testing::ShellQuote(dropIn) + ".new " + testing::ShellQuote(dropIn) +
      "; done";
  EXPECT_EQ(std::system(edits.c_str()), 0);
  heard.Latest([](const std::string& h) { return h.find("-> 19") != h.npos; });
  for (std::thread& reader : readers) reader.join();
}

}  // namespace
}  // namespace vty::config::ini
