// Replacing a file durably (DurableWrite.cpp).

#ifndef VTY_CONFIG_SRC_DURABLEWRITE_H_
#define VTY_CONFIG_SRC_DURABLEWRITE_H_

#include <filesystem>
#include <string_view>

#include "Disk.h"

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
DiskSnapshot ReplaceFileContent(const std::filesystem::path& path,
                                std::string_view content);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DURABLEWRITE_H_
