// The lexical rules of the INI format and the case-insensitive matching of
// keys and section names.

#include <sys/random.h>
#include <time.h>

#include <array>
#include <cstdint>

#include "FoldedTable.h"
#include "Internal.h"
#include "config/INI.h"

namespace vty::config::ini {

using detail::IsBlank;

bool IsBlankLine(const std::string_view& line) {
  for (auto it = line.rbegin(); it != line.rend(); ++it) {
    if (!IsBlank(*it)) return false;
  }
  return true;
}

bool IsComment(const std::string_view& line) {
  for (char c : line) {
    if (!IsBlank(c)) return c == ';' || c == '#';
  }
  return false;
}

bool IsKey(const std::string_view& line, std::string& key) {
  const std::size_t equals = line.find('=');
  if (equals == std::string_view::npos || equals == 0) return false;
  const std::string_view stripped = detail::StripBlanks(line.substr(0, equals));
  if (stripped.empty()) return false;
  key.assign(stripped);
  return true;
}

bool IsSectionHeader(const std::string_view& line, std::string& name) {
  std::string_view stripped = detail::StripBlanks(line);
  if (stripped.empty() || stripped.front() != '[') return false;
  // "[name] ; note": when the line does not end with ']', the header ends at
  // the first ']' after which only blanks and a comment follow. The comment
  // runs to the end of the line, whatever it holds.
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

namespace detail {

std::array<std::uint64_t, 2> DrawHashSeed() {
  std::array<std::uint64_t, 2> words{};
  if (::getrandom(words.data(), sizeof words, GRND_NONBLOCK) !=
      static_cast<ssize_t>(sizeof words)) {
    // No entropy yet (early boot): the clock and the address space layout.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    words = {static_cast<std::uint64_t>(now.tv_nsec) ^ 0x9e3779b97f4a7c15ull,
             reinterpret_cast<std::uintptr_t>(&now) ^
                 static_cast<std::uint64_t>(now.tv_sec)};
  }
  return words;
}

}  // namespace detail

}  // namespace vty::config::ini
