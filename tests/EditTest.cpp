// Edits change exactly the lines they must: where written keys and sections
// go, what erasing removes, what a save without a change gives back, and which
// keys, values and section names are refused.

#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "TestUtil.h"
#include "config/INI.h"

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using testing::Inode;
using testing::ReadAll;
using testing::Replace;
using testing::WriteAll;

using testing::Edit;
using testing::K;
using testing::S;
using testing::W;

struct Case {
  const char* name;    // also the file's name
  const char* before;  // nullptr: the file does not exist
  std::vector<Edit> edits;
  std::string after;  // the whole file after the last edit
};

class EditTest : public testing::TempDirTest {
 protected:
  // Applies the edits with immediate writing and compares the whole file.
  void Run(const Case& c) {
    const std::string path = Path(c.name);
    if (c.before != nullptr) WriteAll(path, c.before);
    for (const Edit& e : c.edits) {
      if (e.op == 'w') {
        WriteString(e.section, e.key, e.value, path);
        EXPECT_EQ(ReadString(e.section, e.key, "(none)", path), e.value)
            << c.name << ": " << e.key;
      } else if (e.op == 'k') {
        EraseKey(e.section, e.key, path);
      } else {
        EraseSection(e.section, path);
      }
    }
    EXPECT_TRUE(fs::exists(path)) << c.name;
    EXPECT_EQ(ReadAll(path), c.after) << c.name;
  }
};

constexpr char kCnf[] = "[ tsa ]\nurl = t\n[insta] # CMP\nurl = s\n\n[p];c\n";

// clang-format off
TEST_F(EditTest, WritePlacesLines) {
  const std::optional<std::string> unnamed;
  const Case cases[] = {
    {"worked-example", "; top comment\n[a]\nx = 1\n; end of a\n\n[b]\ny=2\n",
     {W("A", "X", "5"), W("a", "z", "9"), W("c", "k", "v"),
      W(unnamed, "top", "1")},
     "; top comment\ntop=1\n[a]\nx=5\n; end of a\nz=9\n\n[b]\ny=2\n[c]\nk=v\n"},
    {"stored-spelling", "[s]\nTimeOut=5\n", {W("S", "timeout", "7")},
     "[s]\nTimeOut=7\n"},
    {"indented", "; net\n[net]\n  Port = 80 ; old\nHost = h\n",
     {W("net", "Port", "8080")}, "; net\n[net]\nPort=8080\nHost = h\n"},
    {"same-value", "k = 1\n", {W(unnamed, "k", " 1")}, "k= 1\n"},
    {"after-comment", "[s]\na=1\n; c\n\n \t\n[t]\n", {W("s", "b", "2")},
     "[s]\na=1\n; c\nb=2\n\n \t\n[t]\n"},
    {"header-alone", "[s]\n[t]\nx=1\n", {W("s", "k", "v")},
     "[s]\nk=v\n[t]\nx=1\n"},
    {"new-section", "a=1\n\n", {W("New Sec", "k", "v"), W("NEW SEC", "j", "")},
     "a=1\n\n[New Sec]\nk=v\nj=\n"},
    {"unnamed-first", "[s]\nx=1\n", {W(unnamed, "k", "v")}, "k=v\n[s]\nx=1\n"},
    {"unnamed-blank", "\n\t\n[s]\n", {W(unnamed, "k", "v")},
     "k=v\n\n\t\n[s]\n"},
    {"missing-file", nullptr, {W(unnamed, "a", "1"), W("s", "b", "2")},
     "a=1\n[s]\nb=2\n"},
    {"duplicate-key", "[s]\nk=1\nk=2\n", {W("s", "K", "3")}, "[s]\nk=3\nk=2\n"},
    {"repeated-header", "[s]\na=1\n\n[t]\nb=2\n[S]\nc=3\n\n",
     {W("s", "C", "4"), W("s", "a", "0"), W("s", "d", "5")},
     "[s]\na=0\n\n[t]\nb=2\n[S]\nc=4\nd=5\n\n"},
    {"blanks-brackets", "", {W("a ]b", "[k", "v"), W("x", "k", " v ")},
     "[a ]b]\n[k=v\n[x]\nk= v \n"},
    {"bom-first-line", "\uFEFFa=1\nb=2\n", {W(unnamed, "A", "3")},
     "\uFEFFa=3\nb=2\n"},
    {"bom-new-first", "\uFEFF[s]\n", {W(unnamed, "k", "v")},
     "\uFEFFk=v\n[s]\n"},
    // Shaped like openssl.cnf: a key of the section above is not shadowed.
    {"openssl-write", kCnf, {W("insta", "url", "x"), W("insta", "k", "v")},
     "[ tsa ]\nurl = t\n[insta] # CMP\nurl=x\nk=v\n\n[p];c\n"},
  };
  for (const Case& c : cases) Run(c);
}

TEST_F(EditTest, EraseRemovesLines) {
  const std::optional<std::string> unnamed;
  const Case cases[] = {
    {"key-every-block", "[m]\nport=1\n; c\n;port=1\nPORT=2\n[x]\nport=3\n"
                        "[M]\nport = 4\n",
     {K("M", "port")}, "[m]\n; c\n;port=1\n[x]\nport=3\n[M]\n"},
    // The section exists, so the file is saved though no line matched.
    {"missing-key", "[s]\r\nk=1\r\n", {K("s", "nokey"), K("s", " k")},
     "[s]\nk=1\n"},
    {"section-every-block", "[r]\n; about s\n[s]\na=1\n; tail of s\n\n"
                            "[t]\nb=2\n[S]\nc=3\n",
     {S("s")}, "[r]\n; about s\n[t]\nb=2\n"},
    {"unnamed", "; c\na=1\n\n[s]\nb=2\n", {S(unnamed), W(unnamed, "n", "1")},
     "n=1\n[s]\nb=2\n"},
    {"everything", "a=1\n[s]\nb=2\n", {S(unnamed), S("S")}, ""},
    {"bom-first-line", "\uFEFFa=1\nb=2\n", {K(unnamed, "a")}, "\uFEFFb=2\n"},
    {"bom-everything", "\uFEFFa=1\n", {S(unnamed)}, ""},
    {"openssl-erase", kCnf, {S("insta")}, "[ tsa ]\nurl = t\n[p];c\n"},
  };
  for (const Case& c : cases) Run(c);
}
// clang-format on

TEST_F(EditTest, EraseInMissingSectionLeavesFileAlone) {
  for (const bool deferred : {false, true}) {
    const std::string path = Path(deferred ? "deferred.ini" : "immediate.ini");
    WriteAll(path, "[s]\r\nk=1\r\n");
    const ino_t inode = Inode(path);
    File file(path, [deferred] { return deferred; });
    file.EraseKey("nosuch", "k");
    file.EraseSection("nosuch");
    file.Flush();
    EXPECT_EQ(ReadAll(path), "[s]\r\nk=1\r\n") << deferred;
    EXPECT_EQ(Inode(path), inode) << deferred;
    file.EraseKey("S", "nokey");  // an existing section: a change all the same
    file.Flush();
    EXPECT_EQ(ReadAll(path), "[s]\nk=1\n") << deferred;
  }
}

TEST_F(EditTest, RefusesWhatWouldNotLoadBackAsWritten) {
  // clang-format off
  const struct { std::optional<std::string> section; std::string key, value; }
  cases[] = {
    {"s", "k", "x\n[admin]\npass=1"}, {"s", "k", "a\rb"}, {"s", "a=b", "v"},
    {"s", "", "v"}, {"s", "  ", "v"}, {"s", " \t", "v"}, {"s", ";k", "v"},
    {"s", "  #k", "v"}, {"s", "k\n", "v"}, {std::nullopt, "=", "v"},
    {"", "k", "v"}, {" ", "k", "v"}, {"a=b", "k", "v"}, {"a\nb", "k", "v"},
    {"a\rb", "k", "v"}, {"s", " k", "v"}, {"s", "k\t", "v"},
    {" s", "k", "v"}, {"s\t", "k", "v"}, {"s", "\xEF\xBB\xBFk", "v"},
    // Eight bytes or more, read a word at a time: first, middle, last word.
    {"s", "k", "\r0123456789abcdef"}, {"s", "k", "01234567\r89abcdef"},
    {"s", "k", "0123456789ab\n"}, {"s", "key_name=1", "v"},
    {"section_name\r", "k", "v"},
  };
  // clang-format on
  const std::string path = Path("refused.ini");
  WriteAll(path, "[s]\nk=1\n");
  File file(path, [] { return false; });
  for (const auto& c : cases) {
    const std::string context =
        "[" + c.section.value_or("(unnamed)") + "] " + c.key + "=" + c.value;
    EXPECT_THROW(WriteString(c.section, c.key, c.value, path),
                 std::invalid_argument)
        << context;
    EXPECT_THROW(file.WriteValue(c.section, c.key, c.value),
                 std::invalid_argument)
        << context;
    // Reading and erasing take anything and find nothing.
    const bool stored = c.section == "s" && c.key == "k";
    EXPECT_EQ(ReadString(c.section, c.key, "-", path), stored ? "1" : "-")
        << context;
    if (!stored) EraseKey(c.section, c.key, path);
    if (c.section && *c.section != "s") EraseSection(c.section, path);
  }
  EXPECT_EQ(ReadAll(path), "[s]\nk=1\n");
  EXPECT_EQ(ReadSectionNames(path), std::unordered_set<std::string>{"s"});
  EXPECT_EQ(file.lines.size(), 2u);
}

TEST_F(EditTest, SaveKeepsEveryByteButLineEnds) {
  const std::string lf =
      ReadAll(fs::path(VTY_CONFIG_TEST_DATA) / "roundtrip.ini") +
      std::string("nul\0byte=1\n", 11);
  ASSERT_NE(lf.find("Timeout=30\n"), std::string::npos) << "fixture missing";
  const std::string bom = "\uFEFF";
  // clang-format off
  const struct { const char* name; std::string bytes, saved; } cases[] = {
    {"lf", lf, lf},
    {"crlf", Replace(lf, "\n", "\r\n"), lf},
    {"cr", Replace(lf, "\n", "\r"), lf},
    {"no-final-lf", lf.substr(0, lf.size() - 1), lf},
    {"bom", bom + lf, bom + lf},
  };
  // clang-format on
  for (const auto& c : cases) {
    const std::string path = Path(c.name);
    WriteAll(path, c.bytes);
    File file(path, [] { return false; });
    file.Flush();  // nothing changed: nothing written
    EXPECT_EQ(ReadAll(path), c.bytes) << c.name;
    {
      std::unique_lock lock(file.mutex);
      file.Write();
    }
    EXPECT_EQ(ReadAll(path), c.saved) << c.name;

    // One key changed: exactly its line differs.
    file.WriteValue("network", "TIMEOUT", "60");
    EXPECT_EQ(ReadAll(path), Replace(c.saved, "Timeout=30\n", "Timeout=60\n"))
        << c.name;
  }
}

}  // namespace
}  // namespace vty::config::ini
