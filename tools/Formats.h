// How vty-ini writes names and values for other programs to read.

#ifndef VTY_CONFIG_TOOLS_FORMATS_H_
#define VTY_CONFIG_TOOLS_FORMATS_H_

#include <string>
#include <string_view>

namespace vty::config::tool {

// A dump field: tab, line feed and backslash escaped, every other byte kept.
std::string EscapeField(std::string_view text);

// `text` as a JSON string: quote and backslash escaped, control characters as
// \u00XX, ill-formed UTF-8 replaced by U+FFFD.
std::string JsonString(std::string_view text);

// `text` as a JSON reader decodes JsonString(text): two names that JSON
// cannot tell apart give the same.
std::string JsonText(std::string_view text);

// `text` for a message: ill-formed UTF-8 as \xHH, so that names a terminal
// would show alike are told apart.
std::string ShowBytes(std::string_view text);

// Whether `name` can be a shell variable: a letter or '_', then letters,
// digits and '_' (ASCII only).
bool IsShellName(std::string_view name);

// Whether the shell or the dynamic loader gives the variable `name` a
// meaning of its own (PATH, IFS, ENV, BASH_ENV, PS1, LD_PRELOAD, ...): a file
// that sets one through `eval` chooses what later commands run.
bool IsSpecialShellName(std::string_view name);

// `text` in single quotes for sh, every byte kept: a quote inside becomes
// '\'' (close, escaped quote, reopen).
std::string ShellQuote(std::string_view text);

}  // namespace vty::config::tool

#endif  // VTY_CONFIG_TOOLS_FORMATS_H_
