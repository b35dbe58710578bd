// The lexical rules of the INI format and the case-insensitive matching of
// keys and section names.

#include "text/LineRules.h"

#include "config/INI.h"
#include "text/Hash.h"

namespace vty::config::ini {

bool IsBlankLine(const std::string_view& line) {
  return detail::FirstNonBlank(line) == line.size();
}

bool IsComment(const std::string_view& line) {
  const std::size_t first = detail::FirstNonBlank(line);
  return first < line.size() && detail::StartsComment(line[first]);
}

bool IsKey(const std::string_view& line, std::string& key) {
  const std::size_t first = detail::FirstNonBlank(line);
  if (first == line.size()) return false;
  std::size_t equals = 0;
  const std::string_view found = detail::KeyAt(line, first, equals);
  if (found.empty()) return false;
  key.assign(found);
  return true;
}

bool IsSectionHeader(const std::string_view& line, std::string& name) {
  std::string_view stripped = detail::StripBlanks(line);
  if (stripped.empty() || stripped.front() != '[') return false;
  // A line that ends with ']' is a header whole, whatever lies between. One
  // that does not may be "[name] ; note": the header ends at the first ']'
  // that closes a name that is not blank and is followed, after blanks, by a
  // comment marker; the comment runs to the end of the line, whatever it
  // holds (another ']' included). `rest` is never empty: `stripped` ends
  // with a byte that is neither a blank nor ']', so something follows every
  // ']' found before it.
  for (std::size_t close = 0; stripped.back() != ']';) {
    close = stripped.find(']', close + 1);
    if (close == std::string_view::npos) return false;
    const std::string_view rest =
        detail::StripBlanks(stripped.substr(close + 1));
    if ((rest.front() == ';' || rest.front() == '#') &&
        !IsBlankLine(stripped.substr(1, close - 1))) {
      stripped = stripped.substr(0, close + 1);
    }
  }
  const std::string_view inner =
      detail::StripBlanks(stripped.substr(1, stripped.size() - 2));
  if (inner.empty()) return false;
  name.assign(inner);
  return true;
}

bool IsEqual(const std::string_view& a, const std::string_view& b) {
  return detail::FoldedEqual(a, b);
}

std::size_t File::SectionNameHasher::operator()(
    const std::optional<std::string>& name) const {
  return name ? detail::FoldedHash(*name) : 0;
}

bool File::SectionNameEq::operator()(
    const std::optional<std::string>& a,
    const std::optional<std::string>& b) const {
  if (!a || !b) return !a && !b;
  return detail::FoldedEqual(*a, *b);
}

std::size_t Section::KeyHasher::operator()(const std::string_view& key) const {
  return detail::FoldedHash(key);
}

bool Section::KeyEq::operator()(const std::string_view& a,
                                const std::string_view& b) const {
  return detail::FoldedEqual(a, b);
}

}  // namespace vty::config::ini
