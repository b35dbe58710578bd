// Waiting out a program that writes a file without a lock (HalfWritten.cpp).

#ifndef VTY_CONFIG_SRC_DISK_HALFWRITTEN_H_
#define VTY_CONFIG_SRC_DISK_HALFWRITTEN_H_

#include <sys/stat.h>

#include <chrono>

#include "disk/Disk.h"

namespace vty::config::ini::detail {

// How long a file must stay unchanged, and a name stay missing, before what
// is there is taken for another writer's finished edit. Longer than an
// editor takes from renaming the old file away to writing the new, or a
// rewriter from its truncation to its last write, even descheduled on a
// loaded machine. The watcher waits as long for a name renamed away.
inline constexpr std::chrono::milliseconds kQuietPeriod{250};
// How long a name stays missing (or holds only the empty file the lock
// made) before the file is taken for deleted: longer, since on a loaded
// machine an editor may be descheduled between renaming the old file away
// and making the new, and a file is seldom deleted under a running service.
inline constexpr std::chrono::milliseconds kGonePeriod{1000};

// Whether another process holds the file `status` describes open for
// writing: a rewrite in place or an editor's new file not yet closed. The
// library's own descriptors on the file (the locks) are not counted.
// Processes this one may not inspect are not seen (WritersVisible).
bool OpenForWritingElsewhere(const struct stat& status);

// Whether every process that could hold the file `status` describes open
// for writing is one OpenForWritingElsewhere can see.
bool WritersVisible(const struct stat& status);

// Whether the file open at `fd` (-1: missing), found changed from `saved`,
// may be another writer's edit still under way, and so must not be merged
// into yet: open for writing elsewhere; or changed within the quiet period
// and rewritten in place (the inode `saved` names), or anything at all where
// writers cannot be seen; or emptied within kGonePeriod (the file a lock
// made is empty), or missing, where `saved` held something. A document that
// held nothing loses nothing to an empty or missing file.
bool MayBeUnfinished(const DiskSnapshot& saved, int fd);

// Waits, holding nothing, until the file open at `fd` has been unchanged
// for the quiet period with no writer elsewhere (true), until `leaf` in the
// directory open at `dir` (AT_FDCWD: a path, links followed) names another
// file or none (false: look again), or until `deadline` (true). For `fd`
// -1, waits for the name to come back (false), at most kGonePeriod (true:
// the file was deleted).
bool WaitUntilSettled(int fd, int dir, const char* leaf,
                      std::chrono::steady_clock::time_point deadline);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_HALFWRITTEN_H_
