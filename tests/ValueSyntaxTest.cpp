// How a handle's syntax reads the text after '=' and writes a value into a
// line: pure text, no file. SettingsTest covers the common cases through
// documents; these are the ones a document reaches only with other syntaxes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestUtil.h"
#include "config/Settings.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini::detail {
namespace {

using Items = std::vector<std::string>;

const Syntax kDefault;
const Syntax kRaw = ini::testing::Rules(false, "", ',', false);
const Syntax kBoth = ini::testing::Rules(true, ";#", ',');
const Syntax kBare = ini::testing::Rules(true, ";", ',', false);  // no quotes
// Comments, blanks kept.
const Syntax kUntrimmed = ini::testing::Rules(false, ";", ',');

std::string Meant(std::string_view raw, const Syntax& syntax) {
  std::string scratch;
  return std::string(MeantValue(raw, syntax, scratch));
}

TEST(SyntaxTest, ReadsWithEverySyntax) {
  static const struct {
    const char* raw;
    const Syntax* syntax;
    const char* meant;
  } kCases[] = {
      {" #fff", &kBoth, ""},
      {" a # b ; c", &kBoth, "a"},
      {" x ; c", &kUntrimmed, " x "},
      {" x ; c", &kRaw, " x ; c"},
      // Bytes above 0x7F (UTF-8) are never a marker, eight at a time or one.
      {" \xC3\x84rger ; c", &kDefault, "\xC3\x84rger"},
      {" \xC3\x84 ; c", &kDefault, "\xC3\x84"},
      // One quoted string: the text inside, markers in it no comment.
      {" \"hello ; world\"   ; greeting", &kDefault, "hello ; world"},
      {" \"C:\\dir with space\"", &kDefault, "C:\\dir with space"},
      {"\t\"a \\\"b\\\" \\\\ \\c\"\t", &kDefault, "a \"b\" \\ \\c"},
      {" \"\"", &kDefault, ""},
      {"\"a ; b\"", &kUntrimmed, "a ; b"},
      // Anything else reads as without quotes.
      {" \"a\" b", &kDefault, "\"a\" b"},
      {" \"", &kDefault, "\""},
      {" \"a ; b", &kDefault, "\"a"},
      {" \"a\";c", &kDefault, "\"a\";c"},
      {" \"a\\\"", &kDefault, "\"a\\\""},  // the last quote is escaped
      {" \"a ; b\" ; c", &kBare, "\"a"},
      // Untrimmed, the blanks are the value's: quotes must span all of it.
      {" \"a\"", &kUntrimmed, " \"a\""},
      {"\"a\" ; c", &kUntrimmed, "\"a\" "},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(Meant(c.raw, *c.syntax), c.meant) << '"' << c.raw << '"';
  }
  // Only an escape to undo touches the scratch string.
  std::string scratch = "untouched";
  EXPECT_EQ(MeantValue(" \"a ; b\" ; c", kDefault, scratch), "a ; b");
  EXPECT_EQ(scratch, "untouched");
}

TEST(SyntaxTest, ReadsQuotedListItems) {
  static const struct {
    const char* raw;
    const Syntax* syntax;
    Items items;
  } kCases[] = {
      {" \"a, b\", c ; d", &kDefault, {"a, b", "c"}},
      {" \"a, b\"", &kDefault, {"a, b"}},
      {" \"a\\\"b\" , \"\" ,\"\\\\\"", &kDefault, {"a\"b", "", "\\"}},
      {" \"a\" b, c", &kDefault, {"\"a\" b", "c"}},
      // A marker after a blank ends the value, quoted item or not, unless
      // the whole value is one quoted string.
      {" \"x ; y\", z", &kDefault, {"\"x"}},
      {" \"a, b\", c", &kBare, {"\"a", "b\"", "c"}},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(SplitList(StoredValue(c.raw, *c.syntax), *c.syntax), c.items)
        << '"' << c.raw << '"';
  }
  EXPECT_EQ(SplitList("\"a b\" c", ini::testing::Rules(true, ";", ' ')),
            (Items{"a b", "c"}));
}

TEST(SyntaxTest, JoinsListsThatReadBackAsTheyWere) {
  for (const Items& items : {Items{}, Items{"a"}, Items{"a", "", "b"},
                             Items{"", "a"}, Items{"a", ""}}) {
    const std::string text = JoinList(items, kDefault);
    EXPECT_EQ(SplitList(text, kDefault), items) << text;
    EXPECT_EQ(ListRefusal(items, kDefault), "") << text;
    EXPECT_EQ(ValueRefusal(text, text, kDefault), "") << text;
  }
  EXPECT_EQ(JoinList({"a, b", "c"}, kDefault), "\"a, b\", c");
  EXPECT_NE(ListRefusal({""}, kDefault), "");
  EXPECT_NE(ListRefusal({"a,b"}, kBare), "");
  EXPECT_NE(ListRefusal({" a"}, kBare), "");
}

TEST(SyntaxTest, KeepsTheLayoutQuotesOrSaysWhyNot) {
  static const struct {
    const char* oldRaw;
    const Syntax* syntax;
    const char* meant;
    const char* raw;      // what replaces oldRaw
    const char* refusal;  // the start of the refusal; "" for none
  } kCases[] = {
      {"  8080  ", &kDefault, "1", "  1  ", ""},
      {" ; c", &kDefault, "80", "80 ; c", ""},
      {" 8080 ; c", &kRaw, " 1", " 1", ""},
      {" x ; c", &kUntrimmed, "y ", "y ; c", ""},
      // Bare where bare reads back, whatever it holds.
      {" 1", &kDefault, "C:\\dir \"x\"", " C:\\dir \"x\"", ""},
      // Quoted where it would not.
      {"  8080   ; the port", &kDefault, "hello ; world",
       "  \"hello ; world\"   ; the port", ""},
      {" 1", &kDefault, ";b", " \";b\"", ""},
      {" 1", &kDefault, " x ", " \" x \"", ""},
      {"", &kDefault, "\"q\"", "\"\\\"q\\\"\"", ""},
      {"", &kUntrimmed, "a ;b", "\"a ;b\"", ""},
      // Refused as before without quotes, or where quotes cannot help.
      {" 1", &kBare, ";b", " ;b", "holds ';' after a blank"},
      {" 1", &kBare, " x", "  x", "begins or ends with a blank"},
      {" x ; c", &kUntrimmed, "y", "y; c", "would run into the line's"},
      {" x ; c", &kUntrimmed, "a ;b", "a ;b; c", "holds ';' after a blank"},
  };
  for (const auto& c : kCases) {
    const std::string raw = KeptValue(c.oldRaw, c.meant, *c.syntax);
    EXPECT_EQ(raw, c.raw) << '"' << c.oldRaw << '"';
    const std::string refusal = ValueRefusal(raw, c.meant, *c.syntax);
    EXPECT_EQ(refusal.substr(0, std::string(c.refusal).size()), c.refusal)
        << raw;
    EXPECT_EQ(refusal.empty(), *c.refusal == '\0') << raw;
  }
}

// Every value Set through a handle that reads quotes reads back as set, in a
// new line and in lines of every layout, as a text and as a list item.
TEST(SyntaxTest, EveryValueReadsBackAsSet) {
  const char* kValues[] = {
      "",          "x",          " x",        "x ",      "\"",
      "\"x\"",     "\"x",        "x\"",       "\\",      "\\\"",
      "a\\",       "\\\\",       "a ; b",     ";a",      " ; ",
      "C:\\d x",   "a, b",       "\"a\" b",   "a \"b\"", "a # b",
      " \" ; \\ ", "\"\\\"\"\\", "\t\"a\"\t", "#",       "a;b"};
  const char* kLayouts[] = {"", "[s]\nk = 1\n", "[s]\n  k\t=  1   ; c\n",
                            "[s]\nk=\n", "[s]\nk = ; c\n"};
  for (const Syntax& syntax :
       {kDefault, kBoth, ini::testing::Rules(true, ";", '|')}) {
    for (const char* layout : kLayouts) {
      Settings settings = Settings::FromText(layout, syntax);
      Items all;
      for (const char* value : kValues) {
        settings.Set("s", "k", value);
        EXPECT_EQ(settings.Get("s", "k", "-"), value) << settings.Text();
        // In a list of more than one item, a marker after a blank ends the
        // value even inside quotes: such an item is refused.
        if (CommentStart(value, syntax.inlineComments) == std::string::npos) {
          all.emplace_back(value);
        }
      }
      settings.Set("s", "k", all);
      EXPECT_EQ(settings.Get<Items>("s", "k", {}), all) << settings.Text();
      settings.Set("s", "k", Items{"a ; b"});
      EXPECT_EQ(settings.Get<Items>("s", "k", {}), Items{"a ; b"});
      EXPECT_THROW(settings.Set("s", "k", Items{"a ; b", "c"}),
                   std::invalid_argument);
    }
  }
}

}  // namespace
}  // namespace vty::config::ini::detail
