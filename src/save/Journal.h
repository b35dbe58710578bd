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
#include "document/KeyLines.h"

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

// A handle's write of `value` (given as Given says, KeyLines.h) as `syntax`
// reads and writes values, keeping
// the layout of the line (KeptWrite.h). A key that holds the value already
// (reads as it, or, given as stored, stores it) is left alone: false. A
// value the line cannot hold throws invalid_argument naming the key and
// `name`, having changed nothing.
bool LoggedKeptWrite(File& file, const std::optional<std::string>& section,
                     const std::string& key, std::string_view value,
                     const std::shared_ptr<const Syntax>& syntax,
                     std::string_view name, Given given = Given::kMeant);

// A handle's `Add`: one more line for the key after its last, as AddKept
// adds it; its write is logged as of every line of the key, so that a merge
// gives the key exactly the values this document holds. Refuses as
// LoggedKeptWrite does.
bool LoggedAdd(File& file, const std::optional<std::string>& section,
               const std::string& key, std::string_view meant,
               const std::shared_ptr<const Syntax>& syntax,
               std::string_view name);

// Erases the key's lines: with a handle's `syntax`, every line of the key as
// it sees them, continuation lines included. False, changing nothing, when
// the section is missing; when only the key is, `missingSaves` says whether
// the erase still counts as a change that saves (the free functions' rule).
bool LoggedEraseKey(File& file, const std::optional<std::string>& section,
                    std::string_view key, bool missingSaves,
                    const std::shared_ptr<const Syntax>& syntax = nullptr);

// Erases the section and its lines; false, changing nothing, when missing.
bool LoggedEraseSection(File& file, const std::optional<std::string>& section);

// Renames the section `from` to `to` in every header (RenameHeaders); false,
// changing nothing, when `from` is missing or already `to` byte for byte.
// Throws invalid_argument naming `name` when another section has the name,
// or when a header cannot hold it.
bool LoggedRenameSection(File& file, const std::string& from,
                         const std::string& to, std::string_view name);

// Replaces the comment block above the key line a handle with `syntax`
// reads, or with `key` empty above the section's first header
// (Comments.h). False, changing nothing, when the block is `text` already.
// Throws invalid_argument naming `name` when there is no such line (the
// unnamed section has no header), having changed nothing. The caller checks
// CommentRefusal.
bool LoggedComment(File& file, const std::optional<std::string>& section,
                   const std::string& key, std::string_view text,
                   const std::shared_ptr<const Syntax>& syntax,
                   std::string_view name);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_SAVE_JOURNAL_H_
