// The file on disk as a document sees it: read whole, safely (a file that
// cannot be read is an error, never an empty document; a FIFO or a device is
// refused without blocking), and recognised again later, so that a save can
// tell whether someone else wrote the file since this document read or saved
// it.
//
// The check compares the file's identity (device, inode, size, modification
// and change times in nanoseconds) with the snapshot. Those times come from a
// coarse clock: a rewrite of the same size in place, within the same tick as
// the snapshot, leaves them all equal. So a snapshot whose change time is
// within kRacyWindow of the moment it was taken is confirmed by a hash of the
// whole content; once confirmed later than that, the times alone decide.

#include "disk/Disk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "text/Hash.h"

namespace vty::config::ini::detail {

namespace fs = std::filesystem;

namespace {

// Longer than the tick of any local file system's clock, with room for the
// coarse clocks of network and FAT file systems.
constexpr std::int64_t kRacyWindow = 2'000'000'000;  // nanoseconds

// The identity of a file that exists, without its hash.
DiskSnapshot Identify(const struct stat& file) {
  DiskSnapshot snapshot;
  snapshot.exists = true;
  snapshot.device = file.st_dev;
  snapshot.inode = file.st_ino;
  snapshot.size = file.st_size;
  snapshot.modified = Nanoseconds(file.st_mtim);
  snapshot.changed = Nanoseconds(file.st_ctim);
  return snapshot;
}

bool SameIdentity(const DiskSnapshot& a, const DiskSnapshot& b) {
  if (a.exists != b.exists) return false;
  if (!a.exists) return true;
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         a.modified == b.modified && a.changed == b.changed;
}

// Whether the times of `snapshot` are too close to when it was taken to
// exclude a later rewrite within the same tick.
bool IsRacy(const DiskSnapshot& snapshot) {
  return snapshot.exists && snapshot.changed >= snapshot.takenAt - kRacyWindow;
}

void Stat(int fd, const fs::path& path, struct stat& status) {
  if (::fstat(fd, &status) != 0) Fail("cannot query the file", path, errno);
}

}  // namespace

Descriptor OpenForReading(const fs::path& path) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  Descriptor fd(
      ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (fd.Get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return fd;
    Fail("cannot open the file", path, errno);
  }
  struct stat status {};
  Stat(fd.Get(), path, status);
  RequireRegular(status, path);
  return fd;
}

DiskContent ReadDisk(int fd, const fs::path& path) {
  DiskContent content;
  content.snapshot.takenAt = WallClockNow();
  if (fd < 0) return content;
  struct stat status {
  }, before{};
  Stat(fd, path, status);
  // A file rewritten while it is read (by a writer that does not lock) is
  // read again, so that the snapshot describes the very bytes read: a
  // snapshot of an emptied file beside the bytes it held before would hide
  // the next change.
  bool settled = false;
  for (int attempt = 0;; ++attempt) {
    before = status;
    // One byte more than the size, so that a file read whole needs no
    // second call to learn that it ended.
    std::size_t chunk = static_cast<std::size_t>(status.st_size) + 1;
    std::size_t size = 0;
    for (;;) {
      content.bytes.resize(size + chunk);
      const ssize_t got = ::pread(fd, content.bytes.data() + size, chunk,
                                  static_cast<off_t>(size));
      if (got < 0) {
        if (errno == EINTR) continue;
        Fail("cannot read the file", path, errno);
      }
      size += static_cast<std::size_t>(got);
      // A regular file reads short only at its end.
      if (static_cast<std::size_t>(got) < chunk) break;
      chunk = 1 << 16;  // the file grew while being read
    }
    content.bytes.resize(size);
    Stat(fd, path, status);
    settled = status.st_size == static_cast<off_t>(size) &&
              Nanoseconds(status.st_ctim) == Nanoseconds(before.st_ctim);
    // Bounded, so that a file rewritten without pause cannot keep a load or
    // a save reading for ever: after a hundred reads the last one is taken.
    constexpr int kAttempts = 100;
    if (settled || attempt == kAttempts) break;
  }
  // A read that never settled may hold older bytes than `status` describes;
  // the file then changed after takenAt, which makes the snapshot racy
  // (IsRacy), so the next check compares content instead of the times.
  const std::int64_t takenAt = content.snapshot.takenAt;
  content.snapshot = Identify(status);
  content.snapshot.takenAt = takenAt;
  content.snapshot.contentHash = ContentHash(content.Text());
  return content;
}

std::int64_t WallClockNow() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

DiskSnapshot SnapshotOfWrite(const struct stat& written,
                             std::string_view content) {
  DiskSnapshot snapshot = Identify(written);
  // What was written, even where a writer that takes no lock cut the file
  // between the write and the look (a shell's `>` right after the rename):
  // a snapshot of the emptied file would say the document held nothing,
  // and the emptied file would then be merged into as a finished edit.
  snapshot.size = static_cast<off_t>(content.size());
  snapshot.contentHash = ContentHash(content);
  snapshot.takenAt = WallClockNow();
  return snapshot;
}

DiskSnapshot CloseWritten(Descriptor& file, std::string_view content,
                          const fs::path& path) {
  struct stat written {};
  Stat(file.Get(), path, written);
  if (const int error = file.Close()) Fail("cannot close", path, error);
  return SnapshotOfWrite(written, content);
}

fs::file_time_type FileTimeOf(const DiskSnapshot& snapshot) {
  // The file clock may count from another epoch than the Unix one
  // (libstdc++'s, from 2174): a whole number of seconds away, so the gap
  // between two readings of the clocks rounds to it exactly.
  using std::chrono::nanoseconds;
  static const nanoseconds epoch = std::chrono::round<std::chrono::seconds>(
      fs::file_time_type::clock::now().time_since_epoch() -
      std::chrono::system_clock::now().time_since_epoch());
  return fs::file_time_type(
      std::chrono::duration_cast<fs::file_time_type::duration>(
          nanoseconds(snapshot.modified) + epoch));
}

std::optional<DiskContent> ChangedSince(DiskSnapshot& saved, int fd,
                                        const fs::path& path) {
  DiskSnapshot now;
  if (fd >= 0) {
    struct stat status {};
    Stat(fd, path, status);
    now = Identify(status);
  }
  if (SameIdentity(now, saved) && !IsRacy(saved)) return std::nullopt;
  DiskContent content = ReadDisk(fd, path);
  if (SameIdentity(content.snapshot, saved) &&
      content.snapshot.contentHash == saved.contentHash) {
    saved = content.snapshot;  // confirmed: taken later, maybe no longer racy
    return std::nullopt;
  }
  return content;
}

}  // namespace vty::config::ini::detail
