// Comment blocks through the handle: which lines Comment reads above a
// header or a key line, the exact bytes SetComment leaves (endings, marker,
// indentation, the section the lines join), its refusals, and its save.

#include <optional>
#include <stdexcept>
#include <string>

#include "TestUtil.h"
#include "config/Settings.h"

namespace vty::config::ini {
namespace {

using testing::ReadAll;
using testing::WriteAll;

class CommentsTest : public testing::TempDirTest {};

// 'f' reads the first of a repeated key, 'l' the last, 'd' falls back to
// [DEFAULT].
Syntax Read(char how) {
  Syntax syntax;
  if (how == 'l') syntax.duplicates = Syntax::Duplicates::Last;
  if (how == 'd') syntax.defaultSection = "DEFAULT";
  return syntax;
}

// The block of `key`, or with `key` null of the header; likewise set.
std::string Get(const Settings& settings, const SectionName& section,
                const char* key) {
  return key ? settings.Comment(section, key) : settings.Comment(section);
}
void Set(Settings& settings, const SectionName& section, const char* key,
         const char* text) {
  key ? settings.SetComment(section, key, text)
      : settings.SetComment(section, text);
}

TEST_F(CommentsTest, CommentReadsTheLinesRightAboveWithoutTheirMarkers) {
  static const struct {
    const char* text;
    SectionName section;
    const char* key;  // null: the section's header
    const char* comment;
    char how = 'f';
  } kCases[] = {
      {"; about\n[Net]\nPort=1\n", "net", nullptr, "about"},
      {"; a\n#  b\n;\n\t; c\n[Net]\n", "Net", nullptr, "a\n b\n\nc"},
      {"; far\n\n[Net]\n", "Net", nullptr, ""},
      {"; a\r\n;b\r\n[Net]\r\n", "Net", nullptr, "a\nb"},
      {"x ; y\n[Net]\n", "Net", nullptr, ""},
      {"[Net]\n; c\n[net]\n", "Net", nullptr, ""},  // the first header's
      {"; top\nk=1\n", std::nullopt, nullptr, ""},  // no header to have one
      {"; top\nk=1\n", std::nullopt, "K", "top"},
      // The header stands between a key and the block above the header.
      {"; about Net\n[Net]\nPort=1\n", "Net", "Port", ""},
      {"[A]\nk=1\n; about B\n[B]\n", "A", "k", ""},
      {"[S]\n; one\nk=1\n; two\nk=2\n", "S", "k", "one"},
      {"[S]\n; one\nk=1\n; two\nk=2\n", "S", "k", "two", 'l'},
      {"[DEFAULT]\n; shared\nd=1\n[S]\n", "S", "d", "shared", 'd'},
      {"[DEFAULT]\n; shared\nd=1\n[S]\n", "S", "d", ""},
      {"[S]\n", "T", nullptr, ""},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Get(Settings::FromText(c.text, Read(c.how)), c.section, c.key),
              c.comment)
        << c.text << (c.key ? c.key : "(header)");
  }
}

TEST_F(CommentsTest, SetCommentWritesTheBlockByteForByte) {
  static const struct {
    const char* before;
    SectionName section;
    const char* key;  // null: the section's header
    const char* text;
    const char* after;
    char how = 'f';
  } kCases[] = {
      {"[Net]\nPort=1\n", "Net", "Port", "p", "[Net]\n; p\nPort=1\n"},
      {"[Net]\r\nPort=1\r\n", "Net", "Port", "p", "[Net]\r\n; p\r\nPort=1\r\n"},
      {"[Net]\rPort=1\r", "Net", "Port", "p", "[Net]\r; p\rPort=1\r"},
      {"[Net]\nPort=1", "Net", "Port", "p", "[Net]\n; p\nPort=1"},
      {"k=1", std::nullopt, "k", "p", "; p\nk=1"},
      {"[Net]\r\nPort=1\n", "Net", "Port", "p", "[Net]\r\n; p\r\nPort=1\n"},
      {"[Net]\n; old\n;old\nPort=1\n", "Net", "Port", "new",
       "[Net]\n; new\nPort=1\n"},
      {"[Net]\n; old\nPort=1\n", "Net", "Port", "", "[Net]\nPort=1\n"},
      {"# top\n[Net]\n  Port = 1\n", "Net", "Port", "a\n\n b\n",
       "# top\n[Net]\n  # a\n  #\n  #  b\n  #\n  Port = 1\n"},
      {"[Net]\r\nPort=1\r\n", "Net", nullptr, "h",
       "; h\r\n[Net]\r\nPort=1\r\n"},
      {"\xEF\xBB\xBF[Net]\n", "Net", nullptr, "h", "\xEF\xBB\xBF; h\n[Net]\n"},
      {"; old\r\n[Net]\r\n", "Net", nullptr, "new", "; new\r\n[Net]\r\n"},
      {"[A]\nk=1\n\n[B]\n", "b", nullptr, "b", "[A]\nk=1\n\n; b\n[B]\n"},
      {"[A]\nk=1\n[B]\n[a]\n", "A", nullptr, "", "[A]\nk=1\n[B]\n[a]\n"},
      {"; about Net\n[Net]\nPort=1\n", "Net", "Port", "p",
       "; about Net\n[Net]\n; p\nPort=1\n"},
      {"[S]\nk=1\nK=2\n", "S", "k", "c", "[S]\nk=1\n; c\nK=2\n", 'l'},
  };
  for (const auto& c : kCases) {
    const std::string context = std::string(c.before) + " / " + c.text;
    // The new lines belong where loading puts them: erasing a section takes
    // the same lines from the edited document as from its text.
    for (const SectionName& erased : {SectionName(), SectionName("A"),
                                      SectionName("Net"), SectionName("-")}) {
      Settings settings = Settings::FromText(c.before, Read(c.how));
      Set(settings, c.section, c.key, c.text);
      EXPECT_EQ(settings.Text(), c.after) << context;
      EXPECT_EQ(Get(settings, c.section, c.key), c.text) << context;
      Settings loaded = Settings::FromText(c.after, Read(c.how));
      settings.EraseSection(erased);
      loaded.EraseSection(erased);
      EXPECT_EQ(settings.Text(), loaded.Text()) << context;
    }
  }
}

TEST_F(CommentsTest, RefusalsNameTheRuleTheKeyAndTheFile) {
  const std::string path = Path("app.ini");
  const std::string text = "[DEFAULT]\nd=1\n[Net]\nPort=1\n";
  WriteAll(path, text);
  Settings settings(path, Read('d'));
  static const struct {
    SectionName section;
    const char* key;  // null: the header
    const char* text;
    const char* says;
  } kCases[] = {
      {"Net", "Port", "a\r\nb", "key \"Port\" in [Net] of "},
      {"Net", "Port", "a\rb", "holds a carriage return"},
      {"Net", nullptr, "\r", "comment of the header of [Net] in "},
      {"Net", "Host", "h", "finds no line of that key"},
      {"Net", "d", "h", "key \"d\" in [Net]"},  // only the default has it
      {"Net", "", "h", "names no key"},
      {"Web", nullptr, "h", "finds no such section"},
      {std::nullopt, nullptr, "h", "the unnamed section has none"},
  };
  for (const auto& c : kCases) {
    try {
      Set(settings, c.section, c.key, c.text);
      ADD_FAILURE() << c.says;
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(c.says), std::string::npos)
          << error.what();
      EXPECT_NE(std::string(error.what()).find(path), std::string::npos);
    }
  }
  EXPECT_EQ(settings.Text(), text);
  EXPECT_EQ(ReadAll(path), text);
}

// A comment edit alone is a change: saved at once, or deferred by the
// background writer and saved by it. The block it holds already changes
// nothing, so a later save must not put it back over another writer's.
TEST_F(CommentsTest, ACommentEditIsSavedAsASetIs) {
  const std::string path = Path("saved.ini");
  WriteAll(path, "[Net]\nPort=1\n");
  Settings settings(path);
  settings.SetComment("Net", "Port", "p");
  EXPECT_EQ(ReadAll(path), "[Net]\n; p\nPort=1\n");
  WriteAll(path, "[Net]\n; theirs\nPort=1\n");
  InitialiseAsyncWriting();
  settings.SetComment("Net", "Port", "p");  // what the document holds
  settings.SetComment("Net", "about");
  EXPECT_EQ(ReadAll(path), "[Net]\n; theirs\nPort=1\n");
  ShutdownAsyncWriting();
  EXPECT_EQ(ReadAll(path), "; about\n[Net]\n; theirs\nPort=1\n");
  // A new file has no unnamed section until a block above its first header
  // makes one, which then holds the block as loading would.
  Settings fresh(Path("new.ini"));
  fresh.Set("Net", "Port", 1);
  fresh.SetComment("Net", "about");
  EXPECT_TRUE(fresh.EraseSection(std::nullopt));
  EXPECT_EQ(ReadAll(Path("new.ini")), "[Net]\nPort=1\n");
}

}  // namespace
}  // namespace vty::config::ini
