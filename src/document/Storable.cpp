// What a name or value must be to be stored: the refusals of every edit,
// each naming the rule it failed, the key or section, and the file.

#include <cstdint>
#include <cstring>

#include "document/Document.h"
#include "text/Hash.h"
#include "text/LineRules.h"
#include "text/Refusal.h"

namespace vty::config::ini {

namespace {

// The bytes a name or value must not hold, by kind.
constexpr unsigned kBreak = 1, kEquals = 2;

// The kinds of forbidden byte the eight bytes of `word` hold: a byte equal
// to `c` is a zero byte of word ^ c, which the borrow of a subtraction
// shows in its high bit.
unsigned KindsInWord(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const auto holds = [word](char c) {
    const std::uint64_t x = word ^ (kOnes * static_cast<unsigned char>(c));
    return ((x - kOnes) & ~x & kHigh) != 0;
  };
  return (holds('\n') || holds('\r') ? kBreak : 0) | (holds('=') ? kEquals : 0);
}

// The kinds of forbidden byte `s` holds, in one pass: eight bytes at a time,
// the last word overlapping the one before it; fewer than eight padded with
// zero bytes, which are none of them.
unsigned KindsIn(std::string_view s) {
  if (s.size() < 8) {
    std::uint64_t word = 0;
    if (!s.empty()) std::memcpy(&word, s.data(), s.size());
    return KindsInWord(word);
  }
  unsigned kinds = 0;
  const std::size_t last = s.size() - 8;
  for (std::size_t at = 0; at < last; at += 8) {
    kinds |= KindsInWord(detail::Load8(s.data() + at));
  }
  return kinds | KindsInWord(detail::Load8(s.data() + last));
}

// The rule a name holding `kinds` fails, or null: a line break is named
// before '='.
const char* HeldRule(unsigned kinds) {
  return (kinds & kBreak) != 0    ? "holds a line break"
         : (kinds & kEquals) != 0 ? "holds '='"
                                  : nullptr;
}

// Whether `name` begins or ends with a blank: loading strips those, so such a
// name could never be found again after a restart.
bool HasOuterBlank(std::string_view name) {
  return !name.empty() &&
         (detail::IsBlank(name.front()) || detail::IsBlank(name.back()));
}

}  // namespace

// Refuses what a save could not store faithfully: a line break would inject
// lines, a key with '=' or a comment start would load back as another key or
// as a comment, a name with outer blanks would load back stripped, a key that
// starts with a byte-order mark would lose it on the first line of a file,
// and a section name that is empty or holds '=' would load back as text or
// as a key of the section above. Each refusal names the rule it failed.
void detail::CheckSectionName(const std::string& section,
                              std::string_view file) {
  const char* rule = section.empty()          ? "is empty"
                     : HasOuterBlank(section) ? "begins or ends with a blank"
                                              : HeldRule(KindsIn(section));
  if (rule != nullptr) {
    detail::Refuse("section name \"" + section + "\" of " + std::string(file),
                   rule);
  }
}

void detail::CheckStorable(const std::optional<std::string>& section,
                           const std::string& key, std::string_view value,
                           std::string_view file) {
  if (section) CheckSectionName(*section, file);
  const char* rule = key.empty()          ? "is empty"
                     : key.front() == ';' ? "starts with ';'"
                     : key.front() == '#' ? "starts with '#'"
                     : key.compare(0, detail::kByteOrderMark.size(),
                                   detail::kByteOrderMark) == 0
                         ? "starts with a byte-order mark"
                     : HasOuterBlank(key) ? "begins or ends with a blank"
                                          : HeldRule(KindsIn(key));
  if (rule != nullptr) {
    detail::Refuse(detail::KeySubject(section, key, file), rule);
  }
  if ((KindsIn(value) & kBreak) != 0) {
    detail::Refuse("value of " + detail::KeySubject(section, key, file),
                   "holds a line break");
  }
}

}  // namespace vty::config::ini
