#include "Check.h"

#include <optional>
#include <unordered_map>

#include "config/INI.h"

namespace vty::config::tool {
namespace {

namespace ini = vty::config::ini;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// ASCII letters in lower case, as names are matched.
std::string Folded(std::string_view name) {
  std::string folded(name);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

struct SectionSeen {
  std::size_t header = 0;  // line of its first header, 0 for the unnamed
  std::unordered_map<std::string, std::size_t> keys;  // folded key: line
};

}  // namespace

std::vector<Finding> Check(std::string_view text) {
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
  std::vector<Finding> findings;
  std::unordered_map<std::string, SectionSeen> sections;  // "" unnamed, "[n"
  SectionSeen* section = &sections[""];
  std::string current = "the unnamed section";
  std::size_t number = 0;
  for (std::size_t start = 0; start < text.size();) {
    std::size_t end = text.find_first_of("\r\n", start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(start, end - start);
    start = end + (text.substr(end, 2) == "\r\n" ? 2 : 1);
    ++number;
    const auto report = [&](std::string message) {
      findings.push_back({number, std::move(message)});
    };
    std::string name;
    if (ini::IsBlankLine(line) || ini::IsComment(line)) continue;
    if (ini::IsKey(line, name)) {
      if (name.find(kByteOrderMark) != std::string::npos) {
        report("key \"" + name + "\" holds a byte-order mark");
      }
      const auto [first, added] = section->keys.emplace(Folded(name), number);
      if (!added) {
        report("key \"" + name + "\" repeats line " +
               std::to_string(first->second) + " in " + current +
               "; this line is never read");
      }
    } else if (ini::IsSectionHeader(line, name)) {
      current = "[" + name + "]";
      section = &sections["[" + Folded(name)];
      if (section->header != 0) {
        report("section " + current + " repeats the header on line " +
               std::to_string(section->header) +
               "; both blocks are one section");
      } else {
        section->header = number;
      }
      const std::size_t open = line.find('[');
      const std::size_t at = line.find(name, open + 1);
      if (at != open + 1 || IsBlank(line[at + name.size()])) {
        report("section " + current +
               " has blanks inside its brackets; they are not part of its "
               "name");
      }
      if (name.find(kByteOrderMark) != std::string::npos) {
        report("section name \"" + name + "\" holds a byte-order mark");
      }
    } else {
      report(
          "not a key, a section header or a comment; this line is never "
          "read");
    }
  }
  return findings;
}

}  // namespace vty::config::tool
