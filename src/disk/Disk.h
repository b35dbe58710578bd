// The file on disk as a document sees it: reading a file whole, and
// recognising it again later (Disk.cpp).

#ifndef VTY_CONFIG_SRC_DISK_DISK_H_
#define VTY_CONFIG_SRC_DISK_DISK_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/Posix.h"

namespace vty::config::ini::detail {

// What a file held when a document last read or saved it: enough to tell
// whether anyone has written it since. File times alone cannot tell a
// rewrite made within the same tick of the file system's clock, so a
// snapshot whose times are that recent is confirmed by its content's hash.
struct DiskSnapshot {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified = 0;  // st_mtim, in nanoseconds
  std::int64_t changed = 0;   // st_ctim, in nanoseconds
  std::size_t contentHash = 0;
  // The wall clock, in nanoseconds, before the content was read.
  std::int64_t takenAt = 0;
};

// An allocator whose containers grow without zeroing what they add: for
// buffers that a read overwrites at once.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  // Default-initialises: leaves a char as it is.
  template <class U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
};

// A whole file as read, with its snapshot. `bytes` is empty for a file that
// does not exist.
struct DiskContent {
  std::string_view Text() const { return {bytes.data(), bytes.size()}; }

  DiskSnapshot snapshot;
  std::vector<char, UninitialisedAllocator<char>> bytes;
};

// Opens `path` for reading as the kernel resolves it (links followed, a loop
// refused), never blocking: the descriptor, or -1 when the file or a
// directory on the way to it does not exist. Throws filesystem_error naming
// `path` for any other failure and for anything but a regular file.
Descriptor OpenForReading(const std::filesystem::path& path);

// The whole content of the open file `fd` (of `path`, for messages) and its
// snapshot; `fd` -1 gives the snapshot of a missing file. Throws
// filesystem_error naming `path` when reading fails.
DiskContent ReadDisk(int fd, const std::filesystem::path& path);

// The last-write time of the file `snapshot` describes, which must exist, on
// the clock of std::filesystem.
std::filesystem::file_time_type FileTimeOf(const DiskSnapshot& snapshot);

// The wall clock now, in nanoseconds like DiskSnapshot::modified: the clock
// file times are taken from, read finer. The kernel stamps a file by its
// coarse reading of it (or, at best, this one), never later than the
// moment of the write, so a file written before a reading of this clock
// has an earlier time; one written within a tick (about 4 ms) after it may
// have an earlier time too, or, on a file system keeping coarser times
// (FAT's 2 s), within that.
std::int64_t WallClockNow() noexcept;

// The snapshot of `content`, just written as the file `written` describes.
DiskSnapshot SnapshotOfWrite(const struct stat& written,
                             std::string_view content);

// Closes `file`, just written with `content` (of `path`, for messages), and
// returns its snapshot, taken from the descriptor so that it describes this
// very file and no other that took its name meanwhile. Throws
// filesystem_error naming `path`.
DiskSnapshot CloseWritten(Descriptor& file, std::string_view content,
                          const std::filesystem::path& path);

// The current content of the file open at `fd` (-1: missing) when it is no
// longer what `saved` describes, or nothing when it is. Compares content
// only when the times cannot decide; a confirmed snapshot is refreshed so
// that the next check can trust the times.
std::optional<DiskContent> ChangedSince(DiskSnapshot& saved, int fd,
                                        const std::filesystem::path& path);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_DISK_H_
