// The document's private indexes: open-addressing hash tables of pointers,
// keyed by a name matched without regard to letter case. A lookup hashes the
// name once, masks instead of dividing, and compares in place; an entry costs
// no allocation of its own. The hash and the comparison are inline here, so
// that every lookup of the library compiles them in place.

#ifndef VTY_CONFIG_SRC_FOLDEDTABLE_H_
#define VTY_CONFIG_SRC_FOLDEDTABLE_H_

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "config/INI.h"

namespace vty::config::ini::detail {

// 'A' to 'Z' folded to 'a' to 'z', every other byte to itself, whatever the
// locale: how names match.
constexpr char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

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

// Two random words drawn once per process (LineRules.cpp). A file cannot be
// made to collide in the indexes without them, and they never leave the
// process.
std::array<std::uint64_t, 2> DrawHashSeed();

inline const std::array<std::uint64_t, 2>& HashSeed() {
  static const std::array<std::uint64_t, 2> seed = DrawHashSeed();
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

// T* by the name KeyOf(T) gives. Not thread-safe: the document's lock guards
// it like the rest of the document.
template <class T, std::string_view (*KeyOf)(const T&)>
class FoldedTable {
 public:
  // The item whose name equals `name`, or null.
  T* Find(std::string_view name) const {
    if (slots_.empty()) return nullptr;
    const std::size_t hash = FoldedHash(name);
    for (std::size_t i = hash & Mask();; i = (i + 1) & Mask()) {
      const Slot& slot = slots_[i];
      if (slot.item == nullptr) return nullptr;
      if (slot.hash == hash && FoldedEqual(KeyOf(*slot.item), name)) {
        return slot.item;
      }
    }
  }

  // Makes room for one more item, so that the next Insert cannot fail.
  void Reserve() {
    if ((count_ + 1) * 2 > slots_.size()) Grow();
  }

  // Adds `item` unless an item of an equal name is there already: the first
  // stays. Throws only bad_alloc, and never after a Reserve.
  void Insert(T* item) {
    Reserve();
    const std::string_view name = KeyOf(*item);
    const std::size_t hash = FoldedHash(name);
    for (std::size_t i = hash & Mask();; i = (i + 1) & Mask()) {
      Slot& slot = slots_[i];
      if (slot.item == nullptr) {
        slot = Slot{hash, item};
        ++count_;
        return;
      }
      if (slot.hash == hash && FoldedEqual(KeyOf(*slot.item), name)) return;
    }
  }

  // Removes the item of `name`, if any.
  void Erase(std::string_view name) {
    if (slots_.empty()) return;
    const std::size_t hash = FoldedHash(name);
    std::size_t i = hash & Mask();
    for (;; i = (i + 1) & Mask()) {
      if (slots_[i].item == nullptr) return;
      if (slots_[i].hash == hash && FoldedEqual(KeyOf(*slots_[i].item), name)) {
        break;
      }
    }
    // Backward-shift deletion: move up every later entry of the run whose
    // home slot does not lie between the hole and itself.
    slots_[i] = Slot{};
    --count_;
    for (std::size_t j = (i + 1) & Mask(); slots_[j].item != nullptr;
         j = (j + 1) & Mask()) {
      const std::size_t home = slots_[j].hash & Mask();
      if (((j - home) & Mask()) >= ((j - i) & Mask())) {
        slots_[i] = slots_[j];
        slots_[j] = Slot{};
        i = j;
      }
    }
  }

  void Clear() {
    slots_.clear();
    count_ = 0;
  }

 private:
  struct Slot {
    std::size_t hash = 0;
    T* item = nullptr;
  };

  std::size_t Mask() const { return slots_.size() - 1; }

  // Doubles the slots (at least 8), keeping the table at most half full.
  void Grow() {
    std::vector<Slot> old(slots_.empty() ? 8 : slots_.size() * 2);
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.item == nullptr) continue;
      std::size_t i = slot.hash & Mask();
      while (slots_[i].item != nullptr) i = (i + 1) & Mask();
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;  // a power of two in size, or empty
  std::size_t count_ = 0;
};

inline std::string_view KeyOfLine(const KeyValuePair& line) { return line.key; }
inline std::string_view NameOfSection(const Section& section) {
  return *section.name;  // only named sections are indexed
}

// The first key line of each key of a section.
class KeyTable : public FoldedTable<KeyValuePair, &KeyOfLine> {};
// Every named section of a document.
class SectionTable : public FoldedTable<Section, &NameOfSection> {};

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_FOLDEDTABLE_H_
