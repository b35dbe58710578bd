// The text of `vty-ini --help`. docs/vty-ini.1 says the same at length;
// tests/ToolTest.cpp fails when the two name different commands or options.

#ifndef VTY_CONFIG_TOOLS_HELP_H_
#define VTY_CONFIG_TOOLS_HELP_H_

#include <string_view>

namespace vty::config::tool {

extern const std::string_view kHelp;

}  // namespace vty::config::tool

#endif  // VTY_CONFIG_TOOLS_HELP_H_
