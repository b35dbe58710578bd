// The lexical rules of the INI format and the case-insensitive matching of
// keys and section names.

#include <ctype.h>

#include <cstdint>
#include <functional>

#include "FoldedTable.h"
#include "Internal.h"
#include "config/INI.h"

namespace vty::config::ini {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The case-folding table of the calling thread's current C locale: exactly
// what tolower does, without a call per byte.
const std::int32_t* FoldTable() { return *__ctype_tolower_loc(); }

unsigned char Fold(const std::int32_t* table, char c) {
  return static_cast<unsigned char>(table[static_cast<unsigned char>(c)]);
}

// Hashes `s` as std::hash<std::string> hashes its lowered copy, without
// allocating for short names.
std::size_t HashLowered(std::string_view s) {
  const std::int32_t* table = FoldTable();
  constexpr std::size_t kStackSize = 64;
  if (s.size() <= kStackSize) {
    char lowered[kStackSize];
    for (std::size_t i = 0; i < s.size(); ++i) {
      lowered[i] = static_cast<char>(Fold(table, s[i]));
    }
    return std::hash<std::string_view>{}(std::string_view(lowered, s.size()));
  }
  std::string lowered;
  lowered.reserve(s.size());
  for (char c : s) lowered.push_back(static_cast<char>(Fold(table, c)));
  return std::hash<std::string>{}(lowered);
}

}  // namespace

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
  const std::string_view stripped = detail::StripBlanks(line);
  if (stripped.size() < 2 || stripped.front() != '[' ||
      stripped.back() != ']') {
    return false;
  }
  const std::string_view inner =
      detail::StripBlanks(stripped.substr(1, stripped.size() - 2));
  if (inner.empty()) return false;
  name.assign(inner);
  return true;
}

bool IsEqual(const std::string_view& a, const std::string_view& b) {
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // the common case needs no folding
  const std::int32_t* table = FoldTable();
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && Fold(table, a[i]) != Fold(table, b[i])) return false;
  }
  return true;
}

std::size_t File::SectionNameHasher::operator()(
    const std::optional<std::string>& name) const {
  return name ? HashLowered(*name) : 0;
}

bool File::SectionNameEq::operator()(
    const std::optional<std::string>& a,
    const std::optional<std::string>& b) const {
  if (!a || !b) return !a && !b;
  return IsEqual(*a, *b);
}

std::size_t Section::KeyHasher::operator()(const std::string_view& key) const {
  return HashLowered(key);
}

bool Section::KeyEq::operator()(const std::string_view& a,
                                const std::string_view& b) const {
  return IsEqual(a, b);
}

namespace detail {

std::size_t FoldedHash(std::string_view name) {
  // Eight folded bytes at a time, each word mixed in with a multiply and
  // shifts, so that the low bits a table masks depend on every byte.
  const std::int32_t* table = FoldTable();
  const auto mix = [](std::uint64_t x) {
    x ^= x >> 32;
    x *= 0xd6e8feb86659fd93ull;
    return x ^ (x >> 32);
  };
  const auto word = [&](std::size_t at, std::size_t count) {
    std::uint64_t bytes = 0;
    for (std::size_t j = 0; j < count; ++j) {
      bytes |= std::uint64_t{Fold(table, name[at + j])} << (8 * j);
    }
    return bytes;
  };
  std::uint64_t hash = 0x9e3779b97f4a7c15ull ^ name.size();
  std::size_t at = 0;
  for (; at + 8 <= name.size(); at += 8) hash = mix(hash ^ word(at, 8));
  return static_cast<std::size_t>(mix(hash ^ word(at, name.size() - at)));
}

}  // namespace detail

}  // namespace vty::config::ini
