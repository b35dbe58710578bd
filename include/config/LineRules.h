// Vantry.Config: how one line of an INI file is read, and how names match.
//
// File: config/LineRules.h
// -----------------------------------------------------------------------------
//
// The rules loading classifies lines by, and the one comparison of section
// names and keys. config/INI.h, config/Settings.h and config/Live.h include
// it; it needs nothing else.
//
// Example:
//
//   std::string key;
//   if (vty::config::ini::IsKey("Port = 80", key)) { /* key == "Port" */ }
//   bool same = vty::config::ini::IsEqual("Net", "NET");   // true

#ifndef VTY_CONFIG_LINE_RULES_H_
#define VTY_CONFIG_LINE_RULES_H_

#include <string>
#include <string_view>

#include "config/Values.h"

namespace vty::config::ini {

// -----------------------------------------------------------------------------
// Line rules
// -----------------------------------------------------------------------------
//
// How one physical line (without its terminator) is classified. Loading tries
// the rules in this order and the first that holds wins: blank, comment, key,
// section header, otherwise unrecognised text.
//
//   line                    loaded as
//   ""  " \t"               blank
//   "  ; note"  "\t# x"     comment
//   "; a=b"                 comment (comments are tested before keys)
//   "name = v"              key "name", value " v" (the value is untrimmed)
//   "a=b=c"                 key "a", value "b=c"
//   "=v"  "  =v"            unrecognised text (nothing before the '=')
//   "[s=1]"                 key "[s", value "1]" (keys before headers)
//   "  [ a b ]\t"           header of section "a b"
//   "[a]b]"                 header of section "a]b" (up to the last ']')
//   "[a ; b]"               header of section "a ; b"
//   "[main] ; note"  "[main];x"
//                           header of section "main" (a comment may follow)
//   "[a]b] # c] d"          header of section "a]b" (the first ']' followed
//                           by only blanks and a comment ends the name)
//   "[main] ; a=b"          key "[main] ; a" (keys before headers)
//   "[main] x"  "[main] x ; y"  "[]"  "[ ] ; c"
//                           unrecognised text
//   "\f"  "\v"               unrecognised text (not blanks)

/// Returns true when every character of `line` is a space or a tab; true for
/// the empty line. A line of only "\r", "\v" or "\f" is not blank.
VTY_CONFIG_API bool IsBlankLine(const std::string_view& line);

/// Returns true when the first non-blank character of `line` is ';' or '#'.
/// A ';' later in a line never makes it a comment.
VTY_CONFIG_API bool IsComment(const std::string_view& line);

/// Returns true when `line` has a '=' that is not its first character and
/// something other than blanks stands before it; then `key` receives the text
/// before the first '=', stripped of blanks. On false `key` is left untouched.
VTY_CONFIG_API bool IsKey(const std::string_view& line, std::string& key);

/// Returns true when the first non-blank character of `line` is '[', the last
/// is ']' and something other than blanks stands between them; then `name`
/// receives that text, stripped of blanks. A line whose last non-blank
/// character is not ']' is a header too when a ']' is followed by nothing but
/// blanks and a comment (';' or '#' and the rest of the line): the first such
/// ']' with something other than blanks between it and the '[' ends the name.
/// On false `name` is left untouched.
VTY_CONFIG_API bool IsSectionHeader(const std::string_view& line,
                                    std::string& name);

/// Returns true when `a` and `b` have the same length and every byte matches
/// after folding 'A' to 'Z' to lower case; the process locale plays no part.
/// Every byte counts, embedded NUL bytes and the bytes after them included.
VTY_CONFIG_API bool IsEqual(const std::string_view& a,
                            const std::string_view& b);

}  // namespace vty::config::ini

#endif  // VTY_CONFIG_LINE_RULES_H_
