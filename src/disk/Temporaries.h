// The temporary files a save writes beside its target before renaming them
// over it. Each is write-locked while it is written, so that a later save
// can tell the leftovers of a killed save from the work of a save still
// running, in whatever process or PID namespace that runs.

#ifndef VTY_CONFIG_SRC_DISK_TEMPORARIES_H_
#define VTY_CONFIG_SRC_DISK_TEMPORARIES_H_

#include <sys/types.h>

#include <string>

namespace vty::config::ini::detail {

// Creates a new temporary file for the file `leaf` in the directory open at
// `dir`, with `mode` (less the umask), open for writing and holding an
// open-file-description write lock; returns the descriptor and sets `name`
// to its name in `dir`, or returns -1 with errno set.
int CreateTemporary(int dir, const std::string& leaf, mode_t mode,
                    std::string& name);

// Drops the lock of the temporary open at `fd`, once renamed over its
// target: a child forked meanwhile shares the descriptor's lock, which
// would otherwise lock the target for as long as the child keeps it.
void UnlockTemporary(int fd) noexcept;

// Takes the write lock of the temporary `name` in the directory open at
// `dir`, open at `fd` for writing: false while its writer holds it, or when
// the name no longer gives that file.
bool TakeAbandonedTemporary(int fd, int dir, const std::string& name) noexcept;

// Removes from the directory open at `dir` the temporaries of the file
// `leaf` that no one holds locked: their writer is gone. A failure to
// remove one is no failure of the save.
void RemoveDeadTemporaries(int dir, const std::string& leaf) noexcept;

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_TEMPORARIES_H_
