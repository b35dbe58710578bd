// Replacing a file durably (DurableWrite.cpp).

#ifndef VTY_CONFIG_SRC_DISK_DURABLEWRITE_H_
#define VTY_CONFIG_SRC_DISK_DURABLEWRITE_H_

#include <filesystem>
#include <string_view>

#include "disk/Disk.h"

namespace vty::config::ini::detail {

// Replaces the file at `path` with `content` so that the file holds, at every
// moment, either its whole old content or its whole new content: the bytes go
// to a new file in the same directory, are synced, and the new file is renamed
// over the old. Links are followed as open(2) follows them, and the file the
// last one names is replaced, so a link stays a link (a link to a missing file
// gets that file). The new file is created readable by its owner only and
// takes an existing file's owner (where allowed), mode and extended attributes
// (ACL and security label included) before its content. Falls back to
// rewriting the file in place when only the directory may not be written.
// Creates missing parent directories. Returns the snapshot of the written
// file. Throws std::filesystem::filesystem_error naming the path: for a path
// ending in "/" (EISDIR, before anything is created); for what is not a
// regular file (EISDIR, or EINVAL for a device, FIFO or socket), a link loop
// (ELOOP) or a link the kernel protects (EACCES); for an attribute it cannot
// copy; and for every failure to write. No temporary file is left behind.
//
// Every step after the directory is opened is taken relative to it, and what
// is replaced must be the file found then or, in a save under the
// ProcessLock, the file locked (`options.locked`): otherwise the save fails
// with ESTALE, having changed nothing. A file that cannot be renamed over
// (EBUSY, EXDEV: a file mounted on its own) is rewritten in place, as is
// every file when `options.inPlace` asks for it; temporaries of the file
// that no writer holds locked are removed.
struct SaveOptions {
  int locked = -1;     // the locked file, open for reading and writing
  int directory = -1;  // its directory, as the lock opened it
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
