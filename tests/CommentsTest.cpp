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

Syntax With(Syntax::Duplicates duplicates,
            std::optional<std::string> defaults = std::nullopt) {
  Syntax syntax;
  syntax.duplicates = duplicates;
  syntax.defaultSection = std::move(defaults);
  return syntax;
}
const Syntax kFirst = With(Syntax::Duplicates::First);
const Syntax kLast = With(Syntax::Duplicates::Last);
const Syntax kDefaults = With(Syntax::Duplicates::First, "DEFAULT");

// The block `key` names, or with `key` null the header's.
std::string CommentOf(const Settings& settings, const SectionName& section,
                      const char* key) {
  return key ? settings.Comment(section, key) : settings.Comment(section);
}

TEST_F(CommentsTest, CommentReadsTheLinesRightAboveWithoutTheirMarkers) {
  static const struct {
    const char* text;
    SectionName section;
    const char* key;  // null: the section's header
    const char* comment;
    Syntax syntax = kFirst;
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
      {"[Net]\n  ; the port\nPort=1\n", "Net", "Port", "the port"},
      {"[A]\nk=1\n; about B\n[B]\n", "A", "k", ""},
      {"[A]\nk=1\n; about B\n[B]\n", "B", nullptr, "about B"},
      {"[S]\n; one\nk=1\n; two\nk=2\n", "S", "k", "one"},
      {"[S]\n; one\nk=1\n; two\nk=2\n", "S", "k", "two", kLast},
      {"[DEFAULT]\n; shared\nd=1\n[S]\n", "S", "d", "shared", kDefaults},
      {"[DEFAULT]\n; shared\nd=1\n[S]\n", "S", "d", ""},
      {"[S]\n", "S", "k", ""},
      {"[S]\n", "T", nullptr, ""},
  };
  for (const auto& c : kCases) {
    const Settings settings = Settings::FromText(c.text, c.syntax);
    EXPECT_EQ(CommentOf(settings, c.section, c.key), c.comment)
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
    Syntax syntax = kFirst;
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
      {"[S]\nk=1\nK=2\n", "S", "k", "c", "[S]\nk=1\n; c\nK=2\n", kLast},
  };
  for (const auto& c : kCases) {
    const std::string context = std::string(c.before) + " / " + c.text;
    Settings settings = Settings::FromText(c.before, c.syntax);
    if (c.key) {
      settings.SetComment(c.section, c.key, c.text);
    } else {
      settings.SetComment(c.section, c.text);
    }
    EXPECT_EQ(settings.Text(), c.after) << context;
    EXPECT_EQ(CommentOf(settings, c.section, c.key), c.text) << context;
    // The new lines belong where loading puts them: erasing any section
    // takes the same lines from the edited document as from its text.
    for (const SectionName& section :
         {SectionName(), SectionName("A"), SectionName("Net")}) {
      Settings edited = Settings::FromText(c.before, c.syntax);
      if (c.key) {
        edited.SetComment(c.section, c.key, c.text);
      } else {
        edited.SetComment(c.section, c.text);
      }
      Settings loaded = Settings::FromText(edited.Text(), c.syntax);
      edited.EraseSection(section);
      loaded.EraseSection(section);
      EXPECT_EQ(edited.Text(), loaded.Text()) << context;
    }
  }
}

TEST_F(CommentsTest, RefusalsNameTheRuleTheKeyAndTheFile) {
  const std::string path = Path("app.ini");
  const std::string text = "[DEFAULT]\nd=1\n[Net]\nPort=1\n";
  WriteAll(path, text);
  Settings settings(path, kDefaults);
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
      if (c.key) {
        settings.SetComment(c.section, c.key, c.text);
      } else {
        settings.SetComment(c.section, c.text);
      }
      ADD_FAILURE() << c.says;
    } catch (const std::invalid_argument& error) {
      const std::string message = error.what();
      EXPECT_NE(message.find(c.says), std::string::npos) << message;
      EXPECT_NE(message.find(path), std::string::npos) << message;
    }
    EXPECT_EQ(settings.Text(), text) << c.says;
  }
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
}

}  // namespace
}  // namespace vty::config::ini
