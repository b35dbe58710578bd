// The line rules, defined once: the public classifiers (IsBlankLine,
// IsComment, IsKey) and loading, which classifies each line in one pass with
// ShapeOf, are built from the same scans below.

#ifndef VTY_CONFIG_SRC_TEXT_LINERULES_H_
#define VTY_CONFIG_SRC_TEXT_LINERULES_H_

#include <cstddef>
#include <string_view>

namespace vty::config::ini::detail {

// The blanks of a line: space and tab.
constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The text of `s` without its leading and trailing blanks.
inline std::string_view StripBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The position of the first character of `line` that is not blank; the
// line's size when it is blank.
inline std::size_t FirstNonBlank(std::string_view line) {
  std::size_t first = 0;
  while (first < line.size() && IsBlank(line[first])) ++first;
  return first;
}

// Whether a line whose first non-blank character is `c` is a comment.
constexpr bool StartsComment(char c) { return c == ';' || c == '#'; }

// The key of `line`, whose first non-blank character is at `first`: the text
// before the first '=', stripped of blanks, with `equals` set to that '=';
// empty when the line has no '=' or only blanks stand before it.
inline std::string_view KeyAt(std::string_view line, std::size_t first,
                              std::size_t& equals) {
  // Only blanks stand before `first`, so the first '=' is found from there.
  equals = line.find('=', first);
  if (equals == std::string_view::npos || equals == first) return {};
  std::size_t end = equals;
  while (IsBlank(line[end - 1])) --end;  // line[first] is not blank
  return line.substr(first, end - first);
}

// How loading classifies `line`, in one pass: kIgnorable when IsBlankLine or
// IsComment holds, else kKey when IsKey does (then `key` is the key IsKey
// gives and `equals` the position of the first '='), else kOther: a section
// header or unrecognised text, as IsSectionHeader decides.
struct LineShape {
  enum Kind { kIgnorable, kKey, kOther };
  Kind kind;
  std::string_view key;
  std::size_t equals = 0;
};

inline LineShape ShapeOf(std::string_view line) {
  const std::size_t first = FirstNonBlank(line);
  if (first == line.size() || StartsComment(line[first])) {
    return {LineShape::kIgnorable, {}};
  }
  LineShape shape{LineShape::kKey, {}};
  shape.key = KeyAt(line, first, shape.equals);
  if (shape.key.empty()) shape.kind = LineShape::kOther;
  return shape;
}

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_TEXT_LINERULES_H_
