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

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// 'A' to 'Z' folded to 'a' to 'z', every other byte to itself: matching must
// not change with the process locale (a Turkish one keeps 'I' as it is).
constexpr std::array<unsigned char, 256> kFold = [] {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    table[c] =
        static_cast<unsigned char>(detail::FoldAscii(static_cast<char>(c)));
  }
  return table;
}();

unsigned char Fold(char c) { return kFold[static_cast<unsigned char>(c)]; }

// The folded bytes name[at, at + count), count <= 8, as one word.
std::uint64_t FoldedWord(std::string_view name, std::size_t at,
                         std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t j = 0; j < count; ++j) {
    word |= std::uint64_t{Fold(name[at + j])} << (8 * j);
  }
  return word;
}

// The two halves of the 128-bit product x * y, combined with XOR: every bit
// of the result depends on every bit of both factors.
std::uint64_t FoldedMultiply(std::uint64_t x, std::uint64_t y) {
  __extension__ using Wide = unsigned __int128;
  const Wide product = static_cast<Wide>(x) * y;
  return static_cast<std::uint64_t>(product) ^
         static_cast<std::uint64_t>(product >> 64);
}

// Two random words drawn once per process. A file cannot be made to collide
// in the indexes without them, and they never leave the process.
const std::array<std::uint64_t, 2>& HashSeed() {
  static const std::array<std::uint64_t, 2> seed = [] {
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
  }();
  return seed;
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
  if (a.size() != b.size()) return false;
  if (a == b) return true;  // the common case needs no folding
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

std::size_t File::SectionNameHasher::operator()(
    const std::optional<std::string>& name) const {
  return name ? detail::FoldedHash(*name) : 0;
}

bool File::SectionNameEq::operator()(
    const std::optional<std::string>& a,
    const std::optional<std::string>& b) const {
  if (!a || !b) return !a && !b;
  return IsEqual(*a, *b);
}

std::size_t Section::KeyHasher::operator()(const std::string_view& key) const {
  return detail::FoldedHash(key);
}

bool Section::KeyEq::operator()(const std::string_view& a,
                                const std::string_view& b) const {
  return IsEqual(a, b);
}

namespace detail {

std::size_t FoldedHash(std::string_view name) {
  // Sixteen folded bytes at a time, each pair of words multiplied with the
  // seed and the hash so far mixed in: without the seed, no choice of bytes
  // steers the result (as it could for a fixed mixing function).
  const auto& seed = HashSeed();
  std::uint64_t hash = seed[0] ^ name.size();
  std::size_t at = 0;
  for (; at + 16 <= name.size(); at += 16) {
    hash = FoldedMultiply(FoldedWord(name, at, 8) ^ seed[1],
                          FoldedWord(name, at + 8, 8) ^ hash);
  }
  const std::size_t rest = name.size() - at;
  const std::uint64_t low = FoldedWord(name, at, rest < 8 ? rest : 8);
  const std::uint64_t high = rest > 8 ? FoldedWord(name, at + 8, rest - 8) : 0;
  return static_cast<std::size_t>(FoldedMultiply(low ^ seed[1], high ^ hash));
}

}  // namespace detail

}  // namespace vty::config::ini
