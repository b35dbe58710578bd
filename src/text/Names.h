// How names match, written once: ASCII case folding whatever the locale, the
// one string that names a section's key, and the byte-order mark a file may
// begin with.

#ifndef VTY_CONFIG_SRC_TEXT_NAMES_H_
#define VTY_CONFIG_SRC_TEXT_NAMES_H_

#include <optional>
#include <string>
#include <string_view>

namespace vty::config::ini::detail {

inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// 'A' to 'Z' folded to 'a' to 'z', every other byte to itself, whatever the
// locale: how names match.
constexpr char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline void AppendFolded(std::string& out, std::string_view name) {
  for (const char c : name) out += FoldAscii(c);
}

inline std::string Folded(std::string_view name) {
  std::string folded;
  folded.reserve(name.size());
  AppendFolded(folded, name);
  return folded;
}

// Appends "u" for the unnamed section or "n<length>:<name>" folded: with the
// key folded after it, one string per key of a document, unambiguous
// whatever bytes the names hold.
inline void AppendSectionName(std::string& out,
                              const std::optional<std::string>& section) {
  if (!section) {
    out += 'u';
    return;
  }
  out.append("n").append(std::to_string(section->size())).append(":");
  AppendFolded(out, *section);
}

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_TEXT_NAMES_H_
