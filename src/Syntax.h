// Values as a person means them: how a handle's `Syntax` reads the text after
// a key's '=' (inline comments, blanks, lists), and how it writes a value
// into a line so that the line keeps its layout and reads back as meant.
// Pure text: no document, no lock, no file.

#ifndef VTY_CONFIG_SRC_SYNTAX_H_
#define VTY_CONFIG_SRC_SYNTAX_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/Settings.h"

namespace vty::config::ini::detail {

// Where the inline comment of the stored text `raw` begins: at the first
// marker preceded by a blank (the first character follows the '=', so it
// never begins one); npos when there is none.
std::size_t CommentStart(std::string_view raw, std::string_view markers);

// The value `raw` holds under `syntax`: without its inline comment, and
// trimmed when the syntax trims. A view into `raw`.
std::string_view MeantValue(std::string_view raw, const Syntax& syntax);

// The items of the list `meant`: split at every separator, each item
// stripped of blanks. A value of blanks only holds no items.
std::vector<std::string> SplitList(std::string_view meant, char separator);

// The text of `items` as a list: "a, b", with no blank before an empty item
// ("a,, b") so that the text never ends with a blank.
std::string JoinList(const std::vector<std::string>& items, char separator);

// Why `items` could not be read back as the same list, as the end of an
// error message ("has an item ..."); empty when they can.
std::string ListRefusal(const std::vector<std::string>& items, char separator);

// The stored text that replaces `oldRaw` to hold `meant`, keeping the
// layout around the value: the blanks before and after it (when the syntax
// trims) and a trailing inline comment. Check it with ValueRefusal.
std::string KeptValue(std::string_view oldRaw, std::string_view meant,
                      const Syntax& syntax);

// Why the stored text `raw` does not read back as `meant` under `syntax`, as
// the end of an error message ("holds ';' after a blank, ..."); empty when
// it does.
std::string ValueRefusal(std::string_view raw, std::string_view meant,
                         const Syntax& syntax);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_SYNTAX_H_
