// A key as a handle sees it: its key line and the continuation lines that
// belong to it. Lines right after a key line that are indented text no line
// rule reads always belong to it, so that an edit never splits them from
// it; with Syntax::continuationLines so does every deeper-indented line that
// is not blank or a header, and the value reads them joined by "\n", each
// read as a value of one line is and trimmed (configparser's multi-line
// values). A comment line among them belongs to the key but not to its value.
// Without a lock: the callers hold the document's (Hold.h).

#ifndef VTY_CONFIG_SRC_DOCUMENT_KEYLINES_H_
#define VTY_CONFIG_SRC_DOCUMENT_KEYLINES_H_

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/Syntax.h"
#include "document/Document.h"

namespace vty::config::ini::detail {

// One key line and its continuation lines: those of the section's lines
// after `line` and before `end`. A key found by the index alone, in a section
// where no line can continue another, has no continuation lines and `walked`
// false, and then `line` and `end` are not set.
struct KeyLines {
  KeyValuePair* pair = nullptr;
  LineRefs::const_iterator line{};
  LineRefs::const_iterator end{};
  bool walked = false;

  bool HasContinuation() const { return walked && std::next(line) != end; }
};

// The key line of `key` a handle with `syntax` reads and edits, with its
// continuation lines: the first of a repeated key, or the last for
// Syntax::Duplicates::Last. A key line that continues another key is no key
// to it. `pair` is null when missing.
KeyLines FindKeyLines(const File& file,
                      const std::optional<std::string>& section,
                      std::string_view key, const Syntax& syntax);
// Its key line alone.
KeyValuePair* FindPairBy(const File& file,
                         const std::optional<std::string>& section,
                         std::string_view key, const Syntax& syntax);
// Every key line of `key` with its continuation lines, in file order.
std::vector<KeyLines> FindAllKeyLines(const File& file,
                                      const std::optional<std::string>& section,
                                      std::string_view key,
                                      const Syntax& syntax);
// Every key of the section once, as its first line spells it, with the
// value `syntax` reads for it (of its last line for Duplicates::Last), in
// the order of their first lines; empty for a missing section.
std::vector<std::pair<std::string, std::string>> KeyValues(
    const File& file, const std::optional<std::string>& section,
    const Syntax& syntax);

// `key` (of `section`) with its continuation lines found, when the index
// alone found it. Under the document's lock held exclusively.
KeyLines WithContinuation(Section& section, KeyLines key, const Syntax& syntax);

// How a value is given to a write, or asked of a read: as meant, which a
// write quotes where the syntax needs it (Settings::Set of a text), or as
// stored, the exact text of the value between the line's layout, quotes and
// escapes its own (a list, whose items JoinList has quoted; a write a merge
// re-applies).
enum class Given { kMeant, kStored };

// The value of `key` as `syntax` reads it (MeantValue), or as it stores it
// (StoredValue), its lines joined by "\n": a view into its key line, or
// into `scratch`.
std::string_view ValueOf(const KeyLines& key, const Syntax& syntax,
                         std::string& scratch, Given given = Given::kMeant);

// Every value of `key` in the section itself, in file order: as `syntax`
// reads them, or raw (the free functions' way) when it is null. What a
// change of the key is weighed by (ChangeLog::Change::loaded).
std::vector<std::string> ValuesOfKey(const File& file,
                                     const std::optional<std::string>& section,
                                     std::string_view key,
                                     const Syntax* syntax);

// The continuation lines that write the lines of `value` after its first
// under `syntax`, indented as `key`'s continuation lines are (or as the
// file's first ones; four spaces by default), deeper than its key line;
// `refusal` says why they would not read back as written (empty when they
// would). Without continuationLines a line break is refused.
struct ContinuationText {
  std::vector<std::string> lines;
  std::string refusal;
};
ContinuationText ContinuationOf(const File& file, const KeyLines& key,
                                std::string_view value, const Syntax& syntax,
                                Given given);

// Replaces the continuation lines of the key line `pair` of `section` under
// `syntax` with `lines`.
void ReplaceContinuation(File& file, Section& section, KeyValuePair* pair,
                         const std::vector<std::string>& lines,
                         const Syntax& syntax);

// Removes every key line of `key` under `syntax` with its continuation
// lines; false, changing nothing, when it has none.
bool EraseKeyLines(File& file, const std::optional<std::string>& section,
                   std::string_view key, const Syntax& syntax);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_KEYLINES_H_
