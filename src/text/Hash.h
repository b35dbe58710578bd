// How names match and how the library hashes: ASCII letter case folded
// whatever the locale, and one seed per process for every hash, of names in
// the indexes and of a file's content. Inline, so that every lookup compiles
// the hash and the comparison in place.

#ifndef VTY_CONFIG_SRC_TEXT_HASH_H_
#define VTY_CONFIG_SRC_TEXT_HASH_H_

#include <sys/random.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "text/Names.h"

namespace vty::config::ini::detail {

// FoldAscii of each of the eight bytes of `word` at once.
constexpr std::uint64_t FoldAsciiWord(std::uint64_t word) {
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  // With the top bit of each byte cleared, adding 0x3F sets it exactly in
  // the bytes from 'A' up, adding 0x25 in those above 'Z'; no byte carries
  // into the next. Bytes above 0x7F are left alone.
  const std::uint64_t low = word & ~kHigh;
  const std::uint64_t upper = (low + 0x3F3F3F3F3F3F3F3Full) &
                              ~(low + 0x2525252525252525ull) & ~word & kHigh;
  return word | upper >> 2;  // 0x80 >> 2 is the case bit, 0x20
}

// Two random words drawn once per process, for every hash the library makes:
// of names in the indexes and of a file's content. A file cannot be made to
// collide in the indexes without them, and they never leave the process.
inline const std::array<std::uint64_t, 2>& HashSeed() {
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

// The two halves of the 128-bit product x * y, combined with XOR: every bit
// of the result depends on every bit of both factors.
inline std::uint64_t FoldedMultiply(std::uint64_t x, std::uint64_t y) {
  __extension__ using Wide = unsigned __int128;
  const Wide product = static_cast<Wide>(x) * y;
  return static_cast<std::uint64_t>(product) ^
         static_cast<std::uint64_t>(product >> 64);
}

// The 8 or 4 bytes at `p`, in the machine's byte order.
inline std::uint64_t Load8(const char* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}
inline std::uint64_t Load4(const char* p) {
  std::uint32_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

// A hash of `name` consistent with IsEqual: names that differ only in ASCII
// letter case hash alike, whatever the locale. Sixteen folded bytes at a
// time, each pair of words multiplied with the seed and the hash so far mixed
// in: without the seed, no choice of bytes steers the result (as it could for
// a fixed mixing function). The last round reads the last 1 to 16 bytes,
// overlapping the round before it; the length, mixed in first, tells such
// names apart.
inline std::size_t FoldedHash(std::string_view name) {
  const auto& seed = HashSeed();
  const char* p = name.data();
  const std::size_t size = name.size();
  std::uint64_t hash = seed[0] ^ size;
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  if (size > 16) {
    for (std::size_t at = 0; at + 16 < size; at += 16) {
      hash = FoldedMultiply(FoldAsciiWord(Load8(p + at)) ^ seed[1],
                            FoldAsciiWord(Load8(p + at + 8)) ^ hash);
    }
    low = Load8(p + size - 16);
    high = Load8(p + size - 8);
  } else if (size >= 8) {
    low = Load8(p);
    high = Load8(p + size - 8);
  } else if (size >= 4) {
    low = Load4(p) | Load4(p + size - 4) << 32;
  } else if (size > 0) {
    low = std::uint64_t{static_cast<unsigned char>(p[0])} |
          std::uint64_t{static_cast<unsigned char>(p[size / 2])} << 8 |
          std::uint64_t{static_cast<unsigned char>(p[size - 1])} << 16;
  }
  return static_cast<std::size_t>(
      FoldedMultiply(FoldAsciiWord(low) ^ seed[1], FoldAsciiWord(high) ^ hash));
}

// IsEqual, for the library's own lookups to compile in place.
inline bool FoldedEqual(std::string_view a, std::string_view b) {
  const std::size_t size = a.size();
  if (size != b.size()) return false;
  // The common case needs no folding, and most names are 4 to 16 bytes:
  // two overlapping loads each, rather than a call to memcmp.
  const char* x = a.data();
  const char* y = b.data();
  if (size >= 8 && size <= 16) {
    if (Load8(x) == Load8(y) && Load8(x + size - 8) == Load8(y + size - 8)) {
      return true;
    }
  } else if (size >= 4 && size < 8) {
    if (Load4(x) == Load4(y) && Load4(x + size - 4) == Load4(y + size - 4)) {
      return true;
    }
  } else if (a == b) {
    return true;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

// A seeded hash of a file's content, every byte as it is (no folding): two
// lanes of sixteen bytes a round, mixed as FoldedHash mixes, so that
// confirming a snapshot of a large file costs little beside reading it.
inline std::size_t ContentHash(std::string_view content) {
  const auto& seed = HashSeed();
  const char* p = content.data();
  const std::size_t size = content.size();
  std::uint64_t a = seed[0] ^ size;
  std::uint64_t b = seed[1];
  std::size_t at = 0;
  for (; at + 32 <= size; at += 32) {
    a = FoldedMultiply(Load8(p + at) ^ seed[1], Load8(p + at + 8) ^ a);
    b = FoldedMultiply(Load8(p + at + 16) ^ seed[0], Load8(p + at + 24) ^ b);
  }
  for (; at + 8 <= size; at += 8) {
    a = FoldedMultiply(Load8(p + at) ^ seed[1], a ^ seed[0]);
  }
  std::uint64_t last = 0;
  for (std::size_t i = 0; at + i < size; ++i) {
    last |= std::uint64_t{static_cast<unsigned char>(p[at + i])} << (8 * i);
  }
  return static_cast<std::size_t>(
      FoldedMultiply(FoldedMultiply(last ^ seed[1], b ^ seed[0]) ^ a, seed[1]));
}

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_TEXT_HASH_H_
