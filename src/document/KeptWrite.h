// A handle's write into the document: the value goes into the line a person
// wrote, keeping its layout. Shared by the handle's Set and by a merge that
// re-applies such a write on top of what another process left.

#ifndef VTY_CONFIG_SRC_DOCUMENT_KEPTWRITE_H_
#define VTY_CONFIG_SRC_DOCUMENT_KEPTWRITE_H_

#include <optional>
#include <string>
#include <string_view>

#include "document/Document.h"
#include "document/KeyLines.h"

namespace vty::config::ini::detail {

// The stored text that makes the key `key` (its lines as FindKeyLines gives
// them; a missing key has none) hold `value`, given as `given`, under
// `syntax` with its layout kept: the text after its key line's '=' (see
// KeptValue: quoted where the syntax reads quotes and the bare value would
// read otherwise; PlaceValue for a value given as stored), the continuation
// lines of a value of several lines (ContinuationOf), and why it would not
// read back so (empty when it would).
struct KeptText {
  std::string raw;
  std::vector<std::string> continuation;
  std::string refusal;
};
KeptText KeptTextOf(const File& file, const KeyLines& key,
                    std::string_view value, const Syntax& syntax,
                    Given given = Given::kMeant);

// Sets `key` in `section` as a handle writes it, without a lock, a log or
// a save. `pair` is the key's line (FindKeyLines) or null, and `kept` what
// KeptTextOf made of `value` there: an existing line keeps its layout (or,
// where `kept` is refused, becomes "key=" and the first line of `value`),
// and its continuation lines are replaced; a missing key is added after the
// section's last key line and the lines that continue it, with the blanks
// around '=' of that line (or of the file's first key line; "key=meant" in a
// file without one). Returns the line written. Either completes or, on
// bad_alloc, changes nothing.
KeyValuePair* SetKept(File& file, KeyValuePair* pair,
                      const std::optional<std::string>& section,
                      const std::string& key, std::string_view value,
                      KeptText kept, const Syntax& syntax);

// Adds one more line for `key`, after its last line and the lines that
// continue it, spelled as that line (as SetKept spells a new key when the
// section lacks it). `kept` is what KeptTextOf made of the value for a
// missing key.
KeyValuePair* AddKept(File& file, const std::optional<std::string>& section,
                      const std::string& key, KeptText kept,
                      const Syntax& syntax);

// Makes the key's lines hold `values` (given as `given`), in order:
// the first goes into its first line as SetKept writes, the lines beyond
// the number of values go, and the values beyond its lines are added as
// AddKept adds them. Values the layout cannot hold are written plainly.
void SetAllKept(File& file, const std::optional<std::string>& section,
                const std::string& key, const std::vector<std::string>& values,
                const Syntax& syntax, Given given);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_KEPTWRITE_H_
