// The registry of documents and the exported functions that read values.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "config/INI.h"
#include "live/Registry.h"

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using ReadingTest = testing::TempDirTest;

TEST_F(ReadingTest, EveryOverloadFindsOrDefaults) {
  const std::string file = Path("a.ini");
  testing::WriteAll(file, "top=T\n[User]\nName=Alice\nEmpty=\n");
  const struct {
    std::optional<std::string> section;
    const char* key;
    std::string expected;
    bool found;
  } cases[] = {
      {"User"s, "name", "Alice", true},
      {"user"s, "Surname", "dflt", false},
      {"User"s, "Empty", "", true},
      {std::nullopt, "top", "T", true},
      {std::nullopt, "Name", "dflt", false},
      {""s, "top", "dflt", false},
      {"Missing"s, "Name", "dflt", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.section.value_or("<unnamed>") + "/" + c.key);
    EXPECT_EQ(ReadString(c.section, c.key, "dflt", file), c.expected);
    EXPECT_EQ(ReadValue<std::string>(c.section, c.key, "dflt"s, file),
              c.expected);
    std::string out = "previous content";
    EXPECT_EQ(ReadString(c.section, c.key, "dflt", out, file), c.found);
    EXPECT_EQ(out, c.expected);
    out = "previous content";
    EXPECT_EQ(ReadValue<std::string>(c.section, c.key, "dflt"s, out, file),
              c.found);
    EXPECT_EQ(out, c.expected);
  }
}

TEST_F(ReadingTest, BufferOverloadTruncatesAndPads) {
  const std::string file = Path("a.ini");
  testing::WriteAll(file, "[s]\nlong=Hello, world\nshort=Hello\nnul=ab\0cd\n"s);
  const struct {
    const char* key;
    unsigned long size;
    std::string expected;  // all `size` bytes of the buffer
    unsigned long length;
  } cases[] = {
      {"long", 6, "Hello\0"s, 5},
      {"long", 1, "\0"s, 0},
      {"long", 13, "Hello, world\0"s, 12},
      {"short", 32, "Hello" + std::string(27, '\0'), 5},
      {"nul", 8, "ab" + std::string(6, '\0'), 2},
      {"missing", 3, "De\0"s, 2},
      {"long", 0, "", 0},
  };
  constexpr std::size_t kGuard = 8;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " size " + std::to_string(c.size));
    std::vector<char> buffer(c.size + kGuard, '#');
    EXPECT_EQ(ReadString("s"s, c.key, "Default", buffer.data(), c.size, file),
              c.length);
    EXPECT_EQ(std::string(buffer.data(), c.size), c.expected);
    EXPECT_EQ(std::string(buffer.data() + c.size, kGuard), "########");
  }
}

// One file, first read through "sub/a.ini" and then changed on disk: a
// spelling that shares the document still sees the old value, one that names
// a new document loads the changed file.
TEST_F(ReadingTest, PathsShareDocumentsElementByElement) {
  fs::create_directory(dir_ / "sub");
  fs::create_directory_symlink("sub", dir_ / "SUB");
  testing::WriteAll(Path("sub/a.ini"), "k=old\n");
  ASSERT_EQ(ReadString(std::nullopt, "k", "", Path("sub/a.ini")), "old");
  testing::WriteAll(Path("sub/a.ini"), "k=new\n");

  const struct {
    const char* spelling;
    const char* value;
  } cases[] = {
      {"sub/a.ini", "old"},   {"sub//a.ini", "old"}, {"sub/./a.ini", "new"},
      {"./sub/a.ini", "new"}, {"SUB/a.ini", "new"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ReadString(std::nullopt, "k", "", Path(c.spelling)), c.value)
        << c.spelling;
  }
  EXPECT_EQ(&detail::RegisteredDocument(Path("sub//a.ini")),
            &detail::RegisteredDocument(Path("sub/a.ini")));
}

TEST_F(ReadingTest, MissingFileGivesDefaultsAndStaysMissing) {
  const std::string file = Path("later.ini");
  EXPECT_EQ(ReadString("s"s, "k", "dflt", file), "dflt");
  testing::WriteAll(file, "[s]\nk=v\n");
  std::string out;
  EXPECT_FALSE(ReadString("s"s, "k", "dflt", out, file));
  EXPECT_EQ(out, "dflt");
}

TEST_F(ReadingTest, TwoThreadsShareOneDocument) {
  const std::string file = Path("shared.ini");
  testing::WriteAll(file, "[s]\na=1\nb=2\n");
  std::promise<void> start;
  const std::shared_future<void> go = start.get_future().share();
  std::atomic<int> wrong{0};
  const File* seen[2] = {nullptr, nullptr};
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      go.wait();  // both threads make the first use of the path together
      for (int i = 0; i < 1000; ++i) {
        wrong += ReadString("S"s, "A", "", file) != "1";
        wrong += ReadString("s"s, "b", "", file) != "2";
      }
      seen[t] = &detail::RegisteredDocument(file);
    });
  }
  start.set_value();
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(seen[0], seen[1]);
}

}  // namespace
}  // namespace vty::config::ini
