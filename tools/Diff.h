// A unified diff of two texts, as `diff -u` prints it, for --dry-run.

#ifndef VTY_CONFIG_TOOLS_DIFF_H_
#define VTY_CONFIG_TOOLS_DIFF_H_

#include <string>
#include <string_view>

namespace vty::config::tool {

// The lines that turn `before` into `after` (both split at "\n"), with three
// lines of context, under the headers "--- label" and "+++ label"; empty
// when the texts are equal.
std::string UnifiedDiff(std::string_view before, std::string_view after,
                        const std::string& label);

}  // namespace vty::config::tool

#endif  // VTY_CONFIG_TOOLS_DIFF_H_
