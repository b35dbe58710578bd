// How a handle's syntax reads the text after '=' and writes a value into a
// line: pure text, no file.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Syntax.h"

namespace vty::config::ini::detail {
namespace {

const Syntax kDefault;
const Syntax kRaw{false, "", ','};
const Syntax kBoth{true, ";#", ','};
const Syntax kUntrimmed{false, ";", ','};  // comments, blanks kept

TEST(SyntaxTest, ReadsTheValueAPersonMeans) {
  static const struct {
    const char* raw;
    const Syntax* syntax;
    const char* meant;
  } kCases[] = {
      {" 8080   ; the port", &kDefault, "8080"},
      {" 8080   ; the port", &kRaw, " 8080   ; the port"},
      {" 8080\t; the port", &kDefault, "8080"},
      {"http://a;b", &kDefault, "http://a;b"},  // no blank before ';'
      {";x", &kDefault, ";x"},                  // the '=' is no blank
      {" ;x", &kDefault, ""},
      {" #fff", &kDefault, "#fff"},  // '#' is no marker here
      {" #fff", &kBoth, ""},
      {" a # b ; c", &kBoth, "a"},
      {"", &kDefault, ""},
      {" \t ", &kDefault, ""},
      {" \t ", &kRaw, " \t "},
      {" x ; c", &kUntrimmed, " x "},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(MeantValue(c.raw, *c.syntax), c.meant) << '"' << c.raw << '"';
  }
}

TEST(SyntaxTest, SplitsAndJoinsLists) {
  using Items = std::vector<std::string>;
  EXPECT_EQ(SplitList("a , b,,c", ','), (Items{"a", "b", "", "c"}));
  EXPECT_EQ(SplitList(" x ", ','), (Items{"x"}));
  EXPECT_EQ(SplitList(",", ','), (Items{"", ""}));
  EXPECT_EQ(SplitList(" \t", ','), Items{});
  EXPECT_EQ(SplitList("1:2", ':'), (Items{"1", "2"}));
  for (const Items& items : {Items{}, Items{"a"}, Items{"a", "", "b"},
                             Items{"", "a"}, Items{"a", ""}}) {
    const std::string text = JoinList(items, ',');
    EXPECT_EQ(SplitList(text, ','), items) << text;
    EXPECT_EQ(ListRefusal(items, ','), "") << text;
    EXPECT_EQ(ValueRefusal(text, text, kDefault), "") << text;
  }
  EXPECT_EQ(JoinList({"a", "", "b"}, ','), "a,, b");
  EXPECT_NE(ListRefusal({""}, ','), "");
  EXPECT_NE(ListRefusal({"a,b"}, ','), "");
  EXPECT_NE(ListRefusal({" a"}, ','), "");
}

TEST(SyntaxTest, KeepsTheLayoutAroundTheValue) {
  static const struct {
    const char* oldRaw;
    const Syntax* syntax;
    const char* meant;
    const char* raw;  // what replaces oldRaw
  } kCases[] = {
      {" 8080   ; the port", &kDefault, "9090", " 9090   ; the port"},
      {"\t8080\t;\tx", &kDefault, "1", "\t1\t;\tx"},
      {"  8080  ", &kDefault, "1", "  1  "},
      {"8080", &kDefault, "", ""},
      {"   ; c", &kDefault, "80", " 80  ; c"},
      {" ; c", &kDefault, "80", "80 ; c"},
      {" 8080 ; c", &kRaw, " 1", " 1"},
      {" x ; c", &kUntrimmed, "y ", "y ; c"},
  };
  for (const auto& c : kCases) {
    const std::string raw = KeptValue(c.oldRaw, c.meant, *c.syntax);
    EXPECT_EQ(raw, c.raw) << '"' << c.oldRaw << '"';
    EXPECT_EQ(ValueRefusal(raw, c.meant, *c.syntax), "") << raw;
  }
}

TEST(SyntaxTest, SaysWhyAValueWouldReadBackDifferently) {
  static const struct {
    const char* oldRaw;
    const Syntax* syntax;
    const char* meant;
    const char* refusal;  // its start
  } kCases[] = {
      {" 1", &kDefault, " x", "begins or ends with a blank"},
      {" 1", &kDefault, "a ;b", "holds ';' after a blank"},
      {" 1", &kDefault, ";b", "holds ';' after a blank"},  // after the lead
      {" 1", &kBoth, "a #b", "holds '#' after a blank"},
      {" x ; c", &kUntrimmed, "y", "would run into the line's"},
  };
  for (const auto& c : kCases) {
    const std::string refusal = ValueRefusal(
        KeptValue(c.oldRaw, c.meant, *c.syntax), c.meant, *c.syntax);
    EXPECT_EQ(refusal.rfind(c.refusal, 0), 0u) << c.meant << ": " << refusal;
  }
}

}  // namespace
}  // namespace vty::config::ini::detail
