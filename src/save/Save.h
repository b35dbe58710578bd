// Every change and every save of a document (Save.cpp).

#ifndef VTY_CONFIG_SRC_SAVE_SAVE_H_
#define VTY_CONFIG_SRC_SAVE_SAVE_H_

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "save/Hold.h"

namespace vty::config::ini::detail {

// The bodies of the entry points that change or save a document, shared by
// File's members and the exported functions: each takes the document's hold
// itself (Hold.h) and keeps the contract INI.h gives the pair. `name` is the
// file as the caller named it, for the message of a refusal. Flush is the one
// way to save: it saves the document's own changes without losing anyone
// else's; under the ProcessLock, taken first, it re-reads the file when
// someone else wrote it since the last load or save, re-applies the change
// log on top, then writes it.
void WriteValue(File& file, const std::optional<std::string>& section,
                const std::string& key, const std::string& value,
                std::string_view name);
void EraseKey(File& file, const std::optional<std::string>& section,
              std::string_view key);
void EraseSection(File& file, const std::optional<std::string>& section);
void Flush(File& file);
void Reload(File& file);
// Renames the section `from` to `to` (Document.h's RenameHeaders), logged
// so that a merge re-applies it; false when there is no `from` or the name
// is already `from`, byte for byte. Throws invalid_argument for a name
// CheckSectionName refuses, for one a header cannot hold, and for the name
// of another section, naming the rule, the section and `name`.
bool RenameSection(File& file, const std::string& from, const std::string& to,
                   std::string_view name);

// Makes every later save of `file` rewrite the file in place (see
// ReplaceFileContent) instead of renaming a new file over it: for a file
// whose directory must not change. The caller holds the document's lock.
void SetSaveInPlace(File& file, bool inPlace);

// Makes every later save of `file`, through either face, end each line with
// the ending it was loaded with (or took when added) instead of LF: called
// when a handle is made on the document. The caller holds the document's
// lock, or is the only one to reach the document.
void KeepLineEndings(File& file);

// Whether the document holds anything of its own to save.
inline bool HasUnsaved(const DocumentState& state) {
  return !state.changes.Empty() || state.rewritten;
}

// Runs `change()` under the document's hold in change mode and, when it
// returns true, applies the write rule: deferred, the document is stamped
// changed; otherwise it is saved at once, by a Flush that takes the lock
// between processes before the document's, as every save does. Returns what
// `change` returned.
template <class Change>
bool Changing(File& file, Change change) {
  {
    const Hold hold(file, Hold::Mode::kChange);
    const DocumentState& state = DocumentState::Of(file);
    const bool changedBefore = HasUnsaved(state);
    if (!change()) return false;
    if (file.isAsyncWriting()) {
      // No save looks at changeTime (the change log says what to save), and
      // a registered document's is out of every caller's reach: it keeps the
      // stamp of the change that made it changed, sparing later ones the
      // clock.
      if (!state.registered || !changedBefore) {
        file.changeTime = std::filesystem::file_time_type::clock::now();
      }
      return true;
    }
  }
  Flush(file);
  return true;
}

// File::Write: writes the document as it stands, without the lock between
// processes or a merge, and counts it as saved.
void WriteAsItStands(File& file);

// What a save writes: the byte-order mark the file was loaded with, then
// every line followed by "\n", or by its own ending once KeepLineEndings
// was called.
std::string Bytes(const File& file);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_SAVE_SAVE_H_
