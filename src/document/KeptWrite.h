// A handle's write into the document: the value goes into the line a person
// wrote, keeping its layout. Shared by the handle's Set and by a merge that
// re-applies such a write on top of what another process left.

#ifndef VTY_CONFIG_SRC_DOCUMENT_KEPTWRITE_H_
#define VTY_CONFIG_SRC_DOCUMENT_KEPTWRITE_H_

#include <optional>
#include <string>
#include <string_view>

#include "document/Document.h"

namespace vty::config::ini::detail {

// The key line a handle with `syntax` reads and edits: the first of a
// repeated key, or the last for Syntax::Duplicates::Last; null when missing.
KeyValuePair* FindPairBy(const File& file,
                         const std::optional<std::string>& section,
                         std::string_view key, const Syntax& syntax);

// The stored text that makes the existing key line `pair` read as `meant`
// under `syntax` with its layout kept (see KeptValue: quoted where the
// syntax reads quotes and the bare value would read otherwise), and why it
// would not (empty when it would). A missing key (null `pair`): the text
// after '=' of a new "key=..." line.
struct KeptText {
  std::string raw;
  std::string refusal;
};
KeptText KeptTextOf(const KeyValuePair* pair, std::string_view meant,
                    const Syntax& syntax);

// The same for a value given as it is stored (a StoredValue: quotes and
// escapes its own), such as a list's text or a write a merge re-applies:
// placed as it is, refused unless the line then holds it as it was given.
KeptText KeptStoredOf(const KeyValuePair* pair, std::string_view stored,
                      const Syntax& syntax);

// Sets `key` in `section` as a handle writes it, without a lock, a log or
// a save. `pair` is the key's line (FindPair) or null, and `kept` what
// KeptTextOf or KeptStoredOf made of the value there: an existing line
// keeps its layout (or, where `kept` is refused, becomes "key=stored",
// `stored` the value's StoredValue); a missing key is added after the
// section's last key line, with the blanks around '=' of that line (or of
// the file's first key line; "key=..." in a file without one). Returns the
// line written.
// Either completes or, on bad_alloc, changes nothing.
KeyValuePair* SetKept(File& file, KeyValuePair* pair,
                      const std::optional<std::string>& section,
                      const std::string& key, std::string_view stored,
                      KeptText kept, const Syntax& syntax);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_KEPTWRITE_H_
