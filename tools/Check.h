// Check: what in an INI text a person probably did not mean. A pure
// function of the text, on the library's public line rules.

#ifndef VTY_CONFIG_TOOLS_CHECK_H_
#define VTY_CONFIG_TOOLS_CHECK_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vty::config::tool {

struct Finding {
  std::size_t line;  // 1-based
  std::string message;
};

// In line order: each line read as none of blank, comment, key line or
// section header; each key line whose key its section already has (the
// later line, which no read reaches); each header of a section whose header
// came before; each section header with blanks inside its brackets (they are
// not part of the name); each name holding a UTF-8 byte-order mark. Lines
// end at LF, CR LF or a lone CR, as the library loads them; a byte-order
// mark that opens the text is not part of its first line.
std::vector<Finding> Check(std::string_view text);

}  // namespace vty::config::tool

#endif  // VTY_CONFIG_TOOLS_CHECK_H_
