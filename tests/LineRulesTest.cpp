// How single lines are classified, and how keys and section names match.

#include <gtest/gtest.h>

#include <clocale>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "config/INI.h"
#include "text/Hash.h"
#include "text/LineRules.h"

namespace vty::config::ini {
namespace {

using namespace std::string_literals;

// kind: 'b' blank, 'c' comment, '-' neither; key and header are what IsKey
// and IsSectionHeader yield, {} when they return false.
struct LineCase {
  std::string line;
  char kind;
  std::optional<std::string> key;
  std::optional<std::string> header;
};

const LineCase kLines[] = {
    {"", 'b', {}, {}},
    {" \t \t", 'b', {}, {}},
    {"   ; note", 'c', {}, {}},
    {"\t# x", 'c', {}, {}},
    {"key=1 ; note", '-', "key", {}},
    {"; a=b", 'c', "; a", {}},
    {" name = v", '-', "name", {}},
    {"name=", '-', "name", {}},
    {"a=b=c", '-', "a", {}},
    {"\tmy key\t=1", '-', "my key", {}},
    {"\vk=1", '-', "\vk", {}},
    {"k\0=v"s, '-', "k\0"s, {}},
    {"\xC3\x84=\xFF", '-', "\xC3\x84", {}},
    {"[s=1]", '-', "[s", "s=1"},
    {"[main]", '-', {}, "main"},
    {"  [ a b ]\t", '-', {}, "a b"},
    {"[a]b]", '-', {}, "a]b"},
    {"[main] ; note", '-', {}, "main"},
    {"[a]b] # c] d", '-', {}, "a]b"},
    {"[a\0b]"s, '-', {}, "a\0b"s},
    {"[\xE2\x82\xAC]", '-', {}, "\xE2\x82\xAC"},
};

// Lines for which no rule holds: unrecognised text.
const std::string kText[] = {
    "\r",     "\v",        "\f",        "\0"s,
    "=value", "   =value", "no equals", "[main] x;note",
    "[]",     "[  ]",      "[",         "]",
    "x[a]",   "\r[s]",     "[s]\r"};

TEST(LineRules, ClassifiesLines) {
  std::vector<LineCase> cases(std::begin(kLines), std::end(kLines));
  for (const std::string& line : kText) cases.push_back({line, '-', {}, {}});
  for (const LineCase& c : cases) {
    const std::string context = ::testing::PrintToString(c.line);
    EXPECT_EQ(IsBlankLine(c.line), c.kind == 'b') << context;
    EXPECT_EQ(IsComment(c.line), c.kind == 'c') << context;
    std::string key = "untouched";
    EXPECT_EQ(IsKey(c.line, key), c.key.has_value()) << context;
    EXPECT_EQ(key, c.key.value_or("untouched")) << context;
    std::string name = "untouched";
    EXPECT_EQ(IsSectionHeader(c.line, name), c.header.has_value()) << context;
    EXPECT_EQ(name, c.header.value_or("untouched")) << context;
    // Loading's one-pass classification agrees with the rules in order.
    const detail::LineShape shape = detail::ShapeOf(c.line);
    EXPECT_EQ(shape.kind, c.kind != '-' ? detail::LineShape::kIgnorable
                          : c.key       ? detail::LineShape::kKey
                                        : detail::LineShape::kOther)
        << context;
    if (shape.kind == detail::LineShape::kKey) {
      EXPECT_EQ(shape.key, *c.key) << context;
      EXPECT_EQ(shape.equals, c.line.find('=')) << context;
    }
  }
}

TEST(LineRules, IsEqualFoldsAsciiCaseOverEveryByte) {
  const struct {
    std::string a, b;
    bool equal;
  } cases[] = {
      {"Key", "KEY", true},
      {"", "", true},
      {std::string(65, 'X'), std::string(65, 'x'), true},
      {"key", "key ", false},
      {"a\0"s, "a", false},
      {"a\0b"s, "a\0c"s, false},  // bytes after a NUL count
      {"A\0B"s, "a\0b"s, true},
      {"[", "{", false},        // 0x5B and 0x7B differ by the case bit only
      {"\xC4", "\xE4", false},  // no folding above 0x7F
      {"\xC3\x84x", "\xC3\x84X", true},
  };
  for (const auto& c : cases) {
    const std::string context =
        ::testing::PrintToString(c.a) + " vs " + ::testing::PrintToString(c.b);
    EXPECT_EQ(IsEqual(c.a, c.b), c.equal) << context;
    EXPECT_EQ(IsEqual(c.b, c.a), c.equal) << context;
    EXPECT_EQ(Section::KeyEq{}(c.a, c.b), c.equal) << context;
    EXPECT_EQ(File::SectionNameEq{}(c.a, c.b), c.equal) << context;
    EXPECT_TRUE(!c.equal ||
                File::SectionNameHasher{}(c.a) == Section::KeyHasher{}(c.b))
        << context;
  }
  EXPECT_TRUE(File::SectionNameEq{}(std::nullopt, std::nullopt));
  EXPECT_FALSE(File::SectionNameEq{}(std::nullopt, ""s));
  EXPECT_FALSE(File::SectionNameEq{}(""s, std::nullopt));
  EXPECT_EQ(File::SectionNameHasher{}(std::nullopt), 0u);
}

// Every byte of a name counts in its hash, whatever the length, and letter
// case in none: the hash reads words of 8, 4 or 1 bytes as the length allows.
TEST(LineRules, HashReadsEveryByteAndFoldsEachLetter) {
  for (int c = 0; c < 256; ++c) {
    const std::uint64_t word = 0x0101010101010101ull * static_cast<unsigned>(c);
    EXPECT_EQ(
        detail::FoldAsciiWord(word) & 0xff,
        static_cast<unsigned char>(detail::FoldAscii(static_cast<char>(c))))
        << c;
  }
  // The content hash of a file likewise reads every byte, and folds none.
  for (std::size_t size = 0; size <= 72; ++size) {
    std::string name(size, 'Q');
    for (std::size_t i = 0; i < size; ++i) name[i] = "aZ0\x80[{"[i % 6];
    std::string lower = name;
    for (char& c : lower) c = detail::FoldAscii(c);
    EXPECT_EQ(detail::FoldedHash(name), detail::FoldedHash(lower)) << size;
    EXPECT_EQ(detail::ContentHash(name) == detail::ContentHash(lower),
              name == lower)
        << size;
    for (std::size_t at = 0; at < size; ++at) {
      std::string other = name;
      other[at] ^= 0x41;
      EXPECT_NE(detail::FoldedHash(other), detail::FoldedHash(name)) << size;
      EXPECT_NE(detail::ContentHash(other), detail::ContentHash(name)) << size;
    }
  }
}

// A Turkish locale lowers 'I' to a dotless i; matching must not follow it.
TEST(LineRules, MatchingIgnoresTheLocale) {
  if (!std::setlocale(LC_ALL, "tr_TR.UTF-8")) GTEST_SKIP() << "no tr_TR.UTF-8";
  const bool equal = IsEqual("ID", "id") &&
                     Section::KeyHasher{}("ID") == Section::KeyHasher{}("id");
  std::setlocale(LC_ALL, "C");
  EXPECT_TRUE(equal);
}

// Flipping bits 31 and 63 of a word passes unchanged through the mix
// x ^= x >> 32, x *= odd, x ^= x >> 32, so an unseeded hash built on it gives
// one value to every name that flips them in an even number of its words.
TEST(LineRules, HashSpreadsNamesCraftedAgainstAFixedMix) {
  std::set<std::size_t> slots;
  for (unsigned n = 0; n < 1024; ++n) {
    std::string name(88, 'k');  // eleven words; bit w flips words w and w + 1
    for (unsigned at = 3; at < 80; at += 4) {
      if (n >> (at / 8) & 1) name[at] ^= '\x80', name[at + 8] ^= '\x80';
    }
    slots.insert(detail::FoldedHash(name) & 0xffff);
  }
  EXPECT_GT(slots.size(), 990u) << "names crafted for a fixed hash collide";
}

}  // namespace
}  // namespace vty::config::ini
