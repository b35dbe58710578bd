// The temporary files a save writes beside its target before renaming them
// over it. Each name carries the pid of the process that made it, so that a
// later save can tell the leftovers of a killed save from the work of a save
// still running.

#ifndef VTY_CONFIG_SRC_DISK_TEMPORARIES_H_
#define VTY_CONFIG_SRC_DISK_TEMPORARIES_H_

#include <sys/types.h>

#include <string>

namespace vty::config::ini::detail {

// Creates a new temporary file for the file `leaf` in the directory open at
// `dir`, with `mode` (less the umask), open for writing; returns the
// descriptor and sets `name` to its name in `dir`, or returns -1 with errno
// set.
int CreateTemporary(int dir, const std::string& leaf, mode_t mode,
                    std::string& name);

// Removes from the directory open at `dir` the temporaries of the file
// `leaf` whose process no longer exists. Called under the file's process
// lock, so that no live save of the file is at work; a failure to remove one
// is no failure of the save.
void RemoveDeadTemporaries(int dir, const std::string& leaf) noexcept;

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_TEMPORARIES_H_
