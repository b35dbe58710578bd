// How a handle's syntax reads the text after '=' and writes a value into a
// line: pure text, no file. SettingsTest covers the common cases through
// documents; these are the ones a document reaches only with other syntaxes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestUtil.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini::detail {
namespace {

const Syntax kDefault;
const Syntax kRaw = ini::testing::Rules(false, "", ',');
const Syntax kBoth = ini::testing::Rules(true, ";#", ',');
// Comments, blanks kept.
const Syntax kUntrimmed = ini::testing::Rules(false, ";", ',');

TEST(SyntaxTest, ReadsWithEverySyntax) {
  EXPECT_EQ(MeantValue(" #fff", kBoth), "");
  EXPECT_EQ(MeantValue(" a # b ; c", kBoth), "a");
  EXPECT_EQ(MeantValue(" x ; c", kUntrimmed), " x ");
  EXPECT_EQ(MeantValue(" x ; c", kRaw), " x ; c");
  // Bytes above 0x7F (UTF-8) are never a marker, eight at a time or one.
  EXPECT_EQ(MeantValue(" \xC3\x84rger ; c", kDefault), "\xC3\x84rger");
  EXPECT_EQ(MeantValue(" \xC3\x84 ; c", kDefault), "\xC3\x84");
  EXPECT_EQ(SplitList("1:2", ':'), (std::vector<std::string>{"1", "2"}));
}

TEST(SyntaxTest, JoinsListsThatReadBackAsTheyWere) {
  using Items = std::vector<std::string>;
  for (const Items& items : {Items{}, Items{"a"}, Items{"a", "", "b"},
                             Items{"", "a"}, Items{"a", ""}}) {
    const std::string text = JoinList(items, ',');
    EXPECT_EQ(SplitList(text, ','), items) << text;
    EXPECT_EQ(ListRefusal(items, ','), "") << text;
    EXPECT_EQ(ValueRefusal(text, text, kDefault), "") << text;
  }
  EXPECT_NE(ListRefusal({""}, ','), "");
  EXPECT_NE(ListRefusal({"a,b"}, ','), "");
  EXPECT_NE(ListRefusal({" a"}, ','), "");
}

TEST(SyntaxTest, KeepsTheLayoutOrSaysWhyNot) {
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
      {" 1", &kDefault, ";b", " ;b", "holds ';' after a blank"},
      {" 1", &kBoth, "a #b", " a #b", "holds '#' after a blank"},
      {" 1", &kDefault, " x", "  x", "begins or ends with a blank"},
      {" x ; c", &kUntrimmed, "y", "y; c", "would run into the line's"},
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

}  // namespace
}  // namespace vty::config::ini::detail
