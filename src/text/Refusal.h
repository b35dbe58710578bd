// The std::invalid_argument of a name or value that cannot be stored: which
// rule failed, for which section or key, in which file, as in
//   vty::config::ini: key "Po=rt" in [Net] of conf/app.ini holds '='

#ifndef VTY_CONFIG_SRC_TEXT_REFUSAL_H_
#define VTY_CONFIG_SRC_TEXT_REFUSAL_H_

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vty::config::ini::detail {

// "[Net]", or "the unnamed section".
inline std::string SectionPlace(const std::optional<std::string>& section) {
  return section ? "[" + *section + "]" : "the unnamed section";
}

// `key "Port" in [Net] of conf/app.ini`.
inline std::string KeySubject(const std::optional<std::string>& section,
                              std::string_view key, std::string_view file) {
  std::string subject = "key \"";
  subject.append(key).append("\" in ").append(SectionPlace(section));
  return subject.append(" of ").append(file);
}

// Throws "vty::config::ini: <subject> <rule>".
[[noreturn]] inline void Refuse(std::string_view subject,
                                std::string_view rule) {
  std::string message = "vty::config::ini: ";
  message.append(subject).append(" ").append(rule);
  throw std::invalid_argument(message);
}

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_TEXT_REFUSAL_H_
