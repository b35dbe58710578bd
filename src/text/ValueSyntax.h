// Values as a person means them: how a handle's `Syntax` reads the text after
// a key's '=' (inline comments, blanks, quotes, lists), and how it writes a
// value into a line so that the line keeps its layout and reads back as
// meant.
// Pure text: no document, no lock, no file.

#ifndef VTY_CONFIG_SRC_TEXT_VALUESYNTAX_H_
#define VTY_CONFIG_SRC_TEXT_VALUESYNTAX_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/Syntax.h"
#include "text/Hash.h"
#include "text/LineRules.h"

namespace vty::config::ini::detail {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "FindByte reads the first match from the low byte up");

// The position of the first `c` in `text` from `from` on, or npos: eight
// bytes at a time and inline, which beats a call to memchr on the few
// dozen bytes of a value.
inline std::size_t FindByte(std::string_view text, char c, std::size_t from) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const std::uint64_t pattern = kOnes * static_cast<unsigned char>(c);
  std::size_t at = from;
  for (; at + 8 <= text.size(); at += 8) {
    const std::uint64_t word = Load8(text.data() + at) ^ pattern;
    // The lowest high bit set marks the first byte that was `c`.
    const std::uint64_t zero = (word - kOnes) & ~word & kHigh;
    if (zero != 0)
      return at + static_cast<std::size_t>(__builtin_ctzll(zero) / 8);
  }
  for (; at < text.size(); ++at) {
    if (text[at] == c) return at;
  }
  return std::string_view::npos;
}

// Where the inline comment of the stored text `raw` begins: at the first
// marker preceded by a blank (the first character follows the '=', so it
// never begins one); npos when there is none.
inline std::size_t CommentStart(std::string_view raw,
                                std::string_view markers) {
  if (markers.empty()) return std::string_view::npos;
  for (std::size_t at = 1;; ++at) {
    at = markers.size() == 1 ? FindByte(raw, markers.front(), at)
                             : raw.find_first_of(markers, at);
    if (at == std::string_view::npos || IsBlank(raw[at - 1])) return at;
  }
}

// Where the quoted string opening at `open` (a '"') of `text` closes: the
// position of its closing '"', or npos when it never closes. Inside, '\\'
// escapes a '"' or a '\\'; any other '\\' stands for itself.
std::size_t QuoteEnd(std::string_view text, std::size_t open);

// The text inside the quoted string text[open, close]: a view into `text`
// when it holds no escape, else `scratch` holding it unescaped.
std::string_view Unquoted(std::string_view text, std::size_t open,
                          std::size_t close, std::string& scratch);

// `text` as a quoted string that reads back as it: '"' and a '\\' that
// would otherwise escape ('\\' before '"', '\\' or the closing quote)
// escaped with '\\', every other byte as it is.
std::string Quoted(std::string_view text);

// The value `raw` holds under a syntax that reads no quotes: without its
// inline comment, and trimmed when the syntax trims. A view into `raw`.
inline std::string_view PlainValue(std::string_view raw, const Syntax& syntax) {
  const std::string_view value =
      raw.substr(0, CommentStart(raw, syntax.inlineComments));
  return syntax.trimValues ? StripBlanks(value) : value;
}

// StoredValue and MeantValue of a `raw` whose PlainValue `plain` opens with
// a quote, under a syntax that reads quotes: kept out of line, off the path
// of every value without quotes.
std::string_view QuotedStoredValue(std::string_view raw, std::string_view plain,
                                   const Syntax& syntax);
std::string_view QuotedMeantValue(std::string_view raw, std::string_view plain,
                                  const Syntax& syntax, std::string& scratch);

// Whether a value whose PlainValue is `plain` may be a quoted string.
inline bool MayBeQuoted(std::string_view plain, const Syntax& syntax) {
  return syntax.quotes && !plain.empty() && plain.front() == '"';
}

// The text of the value `raw` holds under `syntax`, as it is stored: without
// its inline comment and, when the syntax trims, its blanks; a quoted value
// with its quotes and escapes. The value is placed where the text was when
// a line is edited; what it reads as is MeantValue. A view into `raw`.
inline std::string_view StoredValue(std::string_view raw,
                                    const Syntax& syntax) {
  const std::string_view plain = PlainValue(raw, syntax);
  return MayBeQuoted(plain, syntax) ? QuotedStoredValue(raw, plain, syntax)
                                    : plain;
}

// The value `raw` holds under `syntax`: without its inline comment, trimmed
// when the syntax trims, and the text inside the quotes of one quoted string
// when the syntax reads quotes. A view into `raw`, or into `scratch` when an
// escape had to be undone; a value without quotes never touches `scratch`,
// so that a typed read allocates nothing.
inline std::string_view MeantValue(std::string_view raw, const Syntax& syntax,
                                   std::string& scratch) {
  const std::string_view plain = PlainValue(raw, syntax);
  return MayBeQuoted(plain, syntax)
             ? QuotedMeantValue(raw, plain, syntax, scratch)
             : plain;
}

// The items of the list whose stored text (StoredValue) is `stored`: split at
// every separator, each item stripped of blanks, and, when the syntax reads
// quotes, an item that is one quoted string read as the text inside, its
// separators part of it. A value of blanks only holds no items.
std::vector<std::string> SplitList(std::string_view stored,
                                   const Syntax& syntax);

// The stored text of `items` as a list: "a, b", with no blank before an
// empty item ("a,, b") so that the text never ends with a blank; with
// quotes, an item that would not read back by itself is quoted.
std::string JoinList(const std::vector<std::string>& items,
                     const Syntax& syntax);

// Why `items` could not be read back as the same list from JoinList's text,
// as the end of an error message ("has an item ..."); empty when they can.
std::string ListRefusal(const std::vector<std::string>& items,
                        const Syntax& syntax);

// The words a flag is written with, each pair's true word first; matched
// without regard to ASCII case.
struct FlagWords {
  std::string_view yes, no;
};
inline constexpr FlagWords kFlagWords[] = {
    {"true", "false"}, {"yes", "no"}, {"on", "off"}, {"1", "0"}};

// `value` in the words and the letter case of the flag `old` ("yes" gives
// "no", "On" "Off", "TRUE" "FALSE"); empty when `old` is no flag word.
std::string FlagLike(std::string_view old, bool value);

// The stored text that replaces `oldRaw` to hold `stored` (a StoredValue),
// keeping the layout around the value: the blanks before and after it (when
// the syntax trims) and a trailing inline comment.
std::string PlaceValue(std::string_view oldRaw, std::string_view stored,
                       const Syntax& syntax);

// PlaceValue of `meant` itself where that reads back as `meant`, else, when
// the syntax reads quotes, of `meant` quoted where that does. Check the
// result with ValueRefusal.
std::string KeptValue(std::string_view oldRaw, std::string_view meant,
                      const Syntax& syntax);

// Whether `meant` reads back as itself wherever PlaceValue puts it, so that
// KeptValue is PlaceValue of it and ValueRefusal finds nothing, with no line
// to build and read back: the syntax trims, and `meant` is not empty, has no
// blank at its ends, opens with no quote the syntax reads, and holds no
// inline comment marker (none of which is a blank). PlaceValue's blanks
// around it are then trimmed, and the comment it keeps still follows one.
bool ReadsBackAnywhere(std::string_view meant, const Syntax& syntax);

// Why the stored text `raw` does not read back as `meant` under `syntax`, as
// the end of an error message ("holds ';' after a blank, ..."); empty when
// it does.
std::string ValueRefusal(std::string_view raw, std::string_view meant,
                         const Syntax& syntax);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_TEXT_VALUESYNTAX_H_
