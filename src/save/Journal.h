// The journal: every edit of a document, made and logged in its change log
// for the next merge (Journal.cpp). The free functions and the handle make
// their edits through it alike.

#ifndef VTY_CONFIG_SRC_SAVE_JOURNAL_H_
#define VTY_CONFIG_SRC_SAVE_JOURNAL_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "document/Document.h"

namespace vty::config::ini::detail {

// Each runs under the document's hold in change mode (Changing, Save.h),
// checks nothing a caller checks already, and saves nothing. Each returns
// whether the document now holds something to save.
//
// A write of the value a key has already and an erase of a key the section
// lacks change nothing another writer need lose: they are never logged, so
// that a merge keeps that writer's edit of the key.

// The free functions' write: the raw value, into the key's first line or a
// new "key=value" line after the section's last line. The same value again
// still rewrites its line (and so saves), unlogged.
bool LoggedWrite(File& file, const std::optional<std::string>& section,
                 const std::string& key, const std::string& value);

// How a handle's write gives its value: as meant, which the write quotes
// where the syntax needs it (Settings::Set of a text), or as stored, the
// exact text of the value between the line's layout (a list, whose items
// JoinList has quoted).
enum class Given { kMeant, kStored };

// A handle's write of `value` as `syntax` reads and writes values, keeping
// the layout of the line (KeptWrite.h). A key that holds the value already
// (reads as it, or, given as stored, stores it) is left alone: false. A
// value the line cannot hold throws invalid_argument naming the key and
// `name`, having changed nothing.
bool LoggedKeptWrite(File& file, const std::optional<std::string>& section,
                     const std::string& key, std::string_view value,
                     const std::shared_ptr<const Syntax>& syntax,
                     std::string_view name, Given given = Given::kMeant);

// Erases the key's lines. False, changing nothing, when the section is
// missing; when only the key is, `missingSaves` says whether the erase
// still counts as a change that saves (the free functions' rule).
bool LoggedEraseKey(File& file, const std::optional<std::string>& section,
                    std::string_view key, bool missingSaves);

// Erases the section and its lines; false, changing nothing, when missing.
bool LoggedEraseSection(File& file, const std::optional<std::string>& section);

// Renames the section `from` to `to` in every header (RenameHeaders); false,
// changing nothing, when `from` is missing or already `to` byte for byte.
// Throws invalid_argument naming `name` when another section has the name,
// or when a header cannot hold it.
bool LoggedRenameSection(File& file, const std::string& from,
                         const std::string& to, std::string_view name);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_SAVE_JOURNAL_H_
