// The document's private indexes: open-addressing hash tables of pointers,
// keyed by a name matched without regard to letter case (Hash.h). A lookup
// hashes the name once, masks instead of dividing, and compares in place; an
// entry costs no allocation of its own.

#ifndef VTY_CONFIG_SRC_TEXT_FOLDEDTABLE_H_
#define VTY_CONFIG_SRC_TEXT_FOLDEDTABLE_H_

#include <string_view>
#include <vector>

#include "config/INI.h"
#include "text/Hash.h"

namespace vty::config::ini::detail {

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

  // Adds `item` unless an item of an equal name is there already (the first
  // stays); returns whether it was added. Throws only bad_alloc, and never
  // after a Reserve.
  bool Insert(T* item) {
    Reserve();
    const std::string_view name = KeyOf(*item);
    const std::size_t hash = FoldedHash(name);
    for (std::size_t i = hash & Mask();; i = (i + 1) & Mask()) {
      Slot& slot = slots_[i];
      if (slot.item == nullptr) {
        slot = Slot{hash, item};
        ++count_;
        return true;
      }
      if (slot.hash == hash && FoldedEqual(KeyOf(*slot.item), name)) {
        return false;
      }
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

#endif  // VTY_CONFIG_SRC_TEXT_FOLDEDTABLE_H_
