// How another writer's edit enters a document: its file is parsed in and this
// document's own changes are re-applied on top (Merge.cpp).

#ifndef VTY_CONFIG_SRC_SAVE_MERGE_H_
#define VTY_CONFIG_SRC_SAVE_MERGE_H_

#include <functional>

#include "disk/Disk.h"
#include "save/Conflicts.h"
#include "save/Hold.h"

namespace vty::config::ini::detail {

// Replaces the document with `theirs` and re-applies the change log on top,
// in the order the changes were made. A write re-applies the value the
// document holds now, with the key's and the section's stored spelling; a
// handle's write re-applies the value as its syntax stores it there (its
// quotes kept, so that a quoted list item stays one item), into the line
// they left; unless they changed that key too, later than we did: theirs
// then stands and our change leaves the log. Each key both changed
// differently goes to `conflicts`. `hold`, in save mode, rises to change
// mode while lines that readers may be reading are replaced, and falls back.
void Merge(File& file, const DiskContent& theirs, Hold& hold,
           HeardConflicts& conflicts);

// Whoever wants to hear what merges change (the watcher) installs a
// listener. It is called before a merge replaces the lines, in save mode,
// and returns what to call once they are replaced, in change mode, or an
// empty function when no one listens to this document. What it returns must
// not throw. Merging does not know who listens, so the rooms above it are
// not drawn into a save.
using MergeListener = std::function<void(const File&)> (*)(const File& file);
void SetMergeListener(MergeListener listener) noexcept;

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_SAVE_MERGE_H_
