// Programs that rewrite a file in place without locking it (`cp new app.ini`,
// a shell's `>`, an editor that keeps the inode) first truncate it, then
// write. A save that looked in between would take the empty or partial file
// for the other side's version, merge into it, and rename the result over
// it: every line that was in the file before would be gone, from the disk
// and from the document. Saves of this library, and of every writer that
// renames, change the inode; an in-place writer keeps it. So a file with the
// inode this document last saw, emptied or shrunk, changed within the quiet
// period, may be half-written: it is watched until it has stayed unchanged for
// the quiet period (bounded by the lock timeout) and only then taken.

#include "disk/HalfWritten.h"

#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <thread>

namespace vty::config::ini::detail {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Longer than an in-place writer takes from its truncation to its last
// write, even when it is descheduled on a loaded machine.
constexpr milliseconds kQuietPeriod{250};
constexpr milliseconds kPoll{5};

bool SameState(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size &&
         Nanoseconds(a.st_mtim) == Nanoseconds(b.st_mtim) &&
         Nanoseconds(a.st_ctim) == Nanoseconds(b.st_ctim);
}

}  // namespace

std::optional<DiskContent> WaitUntilStill(const DiskSnapshot& saved, int fd,
                                          const std::filesystem::path& path,
                                          Clock::time_point deadline) {
  struct stat seen {};
  if (fd < 0 || !saved.exists || ::fstat(fd, &seen) != 0 ||
      seen.st_dev != saved.device || seen.st_ino != saved.inode ||
      (seen.st_size >= saved.size && seen.st_size != 0)) {
    return std::nullopt;  // missing, replaced whole by a renaming writer, or
                          // not cut short
  }
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const auto quiet = std::chrono::nanoseconds(kQuietPeriod).count();
  if (Nanoseconds(seen.st_ctim) < Nanoseconds(now) - quiet) return std::nullopt;
  auto stillSince = Clock::now();
  while (Clock::now() - stillSince < kQuietPeriod && Clock::now() < deadline) {
    std::this_thread::sleep_for(kPoll);
    struct stat again {};
    if (::fstat(fd, &again) != 0) Fail("cannot query the file", path, errno);
    if (!SameState(again, seen)) stillSince = Clock::now(), seen = again;
  }
  return ReadDisk(fd, path);
}

}  // namespace vty::config::ini::detail
