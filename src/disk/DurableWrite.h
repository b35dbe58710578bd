// Replacing a file durably (DurableWrite.cpp).

#ifndef VTY_CONFIG_SRC_DISK_DURABLEWRITE_H_
#define VTY_CONFIG_SRC_DISK_DURABLEWRITE_H_

#include <filesystem>
#include <string>
#include <string_view>

#include "disk/Disk.h"

namespace vty::config::ini::detail {

// Replaces the file at `path` with `content` so that the file holds, at every
// moment, either its whole old content or its whole new content: the bytes go
// to a new file in the same directory, are synced, and the new file is renamed
// over the old. The path is resolved by ResolveToSave (SavePath.h), which
// follows its links, the last one included, so a link stays a link (a link to
// a missing file gets that file), and refuses the links it may not follow;
// without the ProcessLock, it also creates the missing directories. The new
// file is created readable by its owner only and takes an existing file's
// owner (where allowed), mode and extended attributes (ACL and security label
// included) before its content. Returns the snapshot of the written file.
// Throws std::filesystem::filesystem_error naming the path: as ResolveToSave
// does; for what is not a regular file (EISDIR, or EINVAL for a device, FIFO
// or socket); for an attribute it cannot copy; and for every failure to
// write. No temporary file is left behind.
//
// Every step after the directory is opened is taken relative to it, and what
// is replaced must be the file found then or, in a save under the
// ProcessLock, the file locked (`options.locked`): otherwise the save fails
// with ESTALE, having changed nothing. A file that cannot be renamed over
// (EBUSY, EXDEV: a file mounted on its own) is rewritten in place, as is
// every file when `options.inPlace` asks for it, with the synced new text
// kept beside it until the rewrite is synced (InPlace.h); so is a file whose
// directory may not be written, with no copy. Temporaries of the file that
// no writer holds locked are removed.
struct SaveOptions {
  int locked = -1;     // the locked file, open for reading and writing
  int directory = -1;  // its directory, as the lock resolved it
  std::string leaf;    // its name there
  bool inPlace = false;
  // Set to what a failed in-place rewrite left, so that the retry writes the
  // whole document over it instead of merging into it.
  DiskSnapshot* torn = nullptr;
};
DiskSnapshot ReplaceFileContent(const std::filesystem::path& path,
                                std::string_view content,
                                const SaveOptions& options = {});

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_DURABLEWRITE_H_
