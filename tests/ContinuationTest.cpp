// Continuation lines and repeated keys through the handle: a key's lines stay
// together through every edit, in the bytes other readers read.

#include <gtest/gtest.h>

#include <functional>

#include "TestUtil.h"
#include "config/Settings.h"

namespace vty::config::ini {
namespace {

using testing::ReadAll;
using testing::WriteAll;

Syntax Continued() {
  Syntax syntax;
  syntax.continuationLines = true;
  return syntax;
}

const char* const kMotd =
    "[Net]\nMotd = line one\n    line two\n    line three\nHost = h\n";

TEST(ContinuationTest, EditsKeepAKeyWithItsContinuationLines) {
  using Edit = std::function<void(Settings&)>;
  const struct {
    const char* name;
    const char* text;
    bool continued;
    Edit edit;
    const char* after;
  } kCases[] = {
      // Indented text no line rule reads belongs to the key above it, with
      // or without continuationLines.
      {"new key after them", "[Net]\nMotd = one\n    two\n", false,
       [](Settings& s) { s.Set("Net", "New", 1); },
       "[Net]\nMotd = one\n    two\nNew = 1\n"},
      {"set replaces them", kMotd, false,
       [](Settings& s) { s.Set("Net", "Motd", "hello"); },
       "[Net]\nMotd = hello\nHost = h\n"},
      {"erase removes them", kMotd, false,
       [](Settings& s) { s.Erase("Net", "Motd"); }, "[Net]\nHost = h\n"},
      {"a key line ends them", "[Net]\nA = 1\n  x\n  B = 2\n", false,
       [](Settings& s) { s.Set("Net", "A", 3); }, "[Net]\nA = 3\n  B = 2\n"},
      // With continuationLines every deeper-indented line is the key's.
      {"deeper key line is the key's", "[Net]\nA = 1\n  B = 2\nC = 3\n", true,
       [](Settings& s) { s.Erase("Net", "A"); }, "[Net]\nC = 3\n"},
      {"set of lines", "[Net]\nMotd = a\nHost = h\n", true,
       [](Settings& s) { s.Set("Net", "Motd", "x\ny;z"); },
       "[Net]\nMotd = x\n    y;z\nHost = h\n"},
      {"lines indented as the file's", "[A]\nk = 1\n\tx\n[B]\nm = 2\n", true,
       [](Settings& s) { s.Set("B", "m", "p\nq"); },
       "[A]\nk = 1\n\tx\n[B]\nm = p\n\tq\n"},
      {"a new key of lines", "[Net]\r\nHost = h\r\n", true,
       [](Settings& s) { s.Set("Net", "Motd", "a\nb"); },
       "[Net]\r\nHost = h\r\nMotd = a\r\n    b\r\n"},
      {"a key hidden in a value is new", "[Net]\nA = 1\n  B = 2\n", true,
       [](Settings& s) { s.Set("Net", "B", 3); },
       "[Net]\nA = 1\n  B = 2\nB = 3\n"},
      {"add after the last line", "[Net]\nx = 1\n  more\nHost = h\n", false,
       [](Settings& s) { s.Add("Net", "x", "2"); },
       "[Net]\nx = 1\n  more\nx = 2\nHost = h\n"},
      {"add to a missing key", "[Net]\nHost = h\n", false,
       [](Settings& s) { s.Add("Net", "x", "2"); }, "[Net]\nHost = h\nx = 2\n"},
  };
  for (const auto& c : kCases) {
    Settings settings =
        Settings::FromText(c.text, c.continued ? Continued() : Syntax{});
    c.edit(settings);
    EXPECT_EQ(settings.Text(), c.after) << c.name;
  }
}

TEST(ContinuationTest, ReadsLinesJoinedAsConfigparserDoes) {
  const struct {
    const char* text;
    const char* motd;  // with continuationLines; without, "one"
    const char* keys;  // of [Net], with continuationLines
  } kCases[] = {
      {"[Net]\nMotd = one\n  two\n  three\nHost = h\n", "one\ntwo\nthree",
       "Motd Host"},
      // A blank line ends the value; a comment among its lines is skipped;
      // an inline comment and blanks at each line's ends are not part of it.
      {"[Net]\nMotd = one\n  two ; c\n  # x\n  three\n\n  Host = h\n",
       "one\ntwo\nthree", "Motd Host"},
      {"[Net]\n  Motd = one\n  Host = h\n", "one", "Motd Host"},
      {"[Net]\nMotd = one\n  Host = h\n", "one\nHost = h", "Motd"},
      {"[Net]\nMotd = one\n  [Log]\n  x = 1\n", "one", "Motd"},
  };
  for (const auto& c : kCases) {
    const Settings plain = Settings::FromText(c.text);
    const Settings continued = Settings::FromText(c.text, Continued());
    EXPECT_EQ(plain.Get("Net", "Motd", "-"), "one") << c.text;
    EXPECT_EQ(continued.Get("Net", "Motd", "-"), c.motd) << c.text;
    EXPECT_EQ(continued.Inspect("Net", "Motd").line,
              plain.Inspect("Net", "Motd").line);
    std::string keys;
    for (const auto& key : continued.Keys("Net")) {
      keys += (keys.empty() ? "" : " ") + key;
    }
    EXPECT_EQ(keys, c.keys) << c.text;
  }
}

TEST(ContinuationTest, ValuesOfLinesReadBackOrAreRefused) {
  Settings settings =
      Settings::FromText("[Net]\nMotd = a\n    b\nHost = h\n", Continued());
  for (const char* value :
       {"one", "one\ntwo", "x\ny = z\n[w", "p ; q\nr ; s", "a\n b "}) {
    settings.Set("Net", "Motd", value);
    EXPECT_EQ(settings.Get("Net", "Motd", "-"), value);
    EXPECT_EQ(settings.Get("Net", "Host", "-"), "h") << value;
  }
  const std::string before = settings.Text();
  for (const char* value : {"a\n\nb", "a\n; b", "a\n[b]", "a\r\nb"}) {
    EXPECT_THROW(settings.Set("Net", "Motd", value), std::invalid_argument)
        << value;
  }
  EXPECT_THROW(Settings::FromText("").Set("S", "k", "a\nb"),
               std::invalid_argument);
  EXPECT_EQ(settings.Text(), before);
}

TEST(ContinuationTest, GetAllListsEveryValueAfterAdd) {
  Syntax last = Continued();
  last.duplicates = Syntax::Duplicates::Last;
  Settings settings = Settings::FromText("[S]\nx = 1\n  one\nx = 2\n", last);
  settings.Add("S", "x", "3\nthree");
  EXPECT_EQ(settings.GetAll("S", "x"),
            (std::vector<std::string>{"1\none", "2", "3\nthree"}));
  EXPECT_EQ(settings.Get("S", "x", "-"), "3\nthree");
  EXPECT_EQ(settings.Keys("S"), std::vector<std::string>{"x"});
  EXPECT_TRUE(settings.Erase("S", "x"));
  EXPECT_EQ(settings.Text(), "[S]\n");
}

class ContinuationMergeTest : public testing::TempDirTest {};

// A save merges with another writer's file: the lines the handle wrote are
// re-applied as that handle writes, their edits stay.
TEST_F(ContinuationMergeTest, MergeKeepsTheirLinesAndOursTogether) {
  const std::string path = Path("merge.ini");
  WriteAll(path, "[Net]\nMotd = a\n    b\nx = 1\n");
  Settings settings(path, Continued());
  WriteAll(path, "[Net]\nMotd = a\n    b\nx = 1\nx = 9\nTheirs = t\n    u\n");
  settings.Set("Net", "Motd", "c\nd");
  EXPECT_EQ(ReadAll(path),
            "[Net]\nMotd = c\n    d\nx = 1\nx = 9\nTheirs = t\n    u\n");
  WriteAll(path, "[Net]\nx = 5\nMotd = c\n    d\nTheirs = t\n    u\n");
  settings.Add("Net", "x", "2");
  EXPECT_EQ(ReadAll(path),
            "[Net]\nx = 1\nx = 9\nx = 2\nMotd = c\n    d\nTheirs = t\n    u\n")
      << "the key's values are ours, in their first line's place";
  WriteAll(path, "[Net]\nMotd = c\n    d\nTheirs = t\n    u\nNew = n\n");
  settings.Erase("Net", "Theirs");
  EXPECT_EQ(ReadAll(path), "[Net]\nMotd = c\n    d\nNew = n\n");
}

}  // namespace
}  // namespace vty::config::ini
