// Programs that write a file without locking it never leave it whole at
// every moment. `cp new app.ini`, a shell's `>` and an editor that keeps the
// inode truncate the file, then write it; vim's save renames the file away,
// creates a new one and writes it. A save that looked in between would take
// the missing, empty or partial file for the other side's version, merge
// into it and rename the result over it: every line that was in the file
// before would be gone, from the disk and from the document. So a file found
// changed is first asked whether a writer may still be at it.
//
// Who is still writing. A read lease (F_SETLEASE) would say whether any
// descriptor is open for writing, but it counts the save's own lock
// descriptor, which must be open for writing to hold a write lock, and the
// descriptors of every other saver waiting for that lock; a write lease on
// the lock's own descriptor counts every reader too, and its break signals
// this process (SIGIO, which ends it unless the caller handles it). So the
// library asks /proc, as fuser(1) does: a descriptor of the file open for
// writing, in any process this one may inspect (its own user's; all, for
// root). The library opens its own lock descriptors O_NONBLOCK, which no
// writer of a regular file does, and does not count them; nor a process
// blocked waiting for a lock on the file, which writes only once this save
// is done (/proc/locks). Where /proc is
// missing or the file's owner is another user, writers cannot be seen, and
// any change made within the quiet period is waited out instead.

#include "disk/HalfWritten.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

namespace vty::config::ini::detail {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kPoll{5};
constexpr milliseconds kWriterPoll{25};

bool SameState(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size &&
         Nanoseconds(a.st_mtim) == Nanoseconds(b.st_mtim) &&
         Nanoseconds(a.st_ctim) == Nanoseconds(b.st_ctim);
}

// Whether the file was changed (written, cut, made or renamed) within the
// quiet period.
bool ChangedLately(const struct stat& status,
                   std::chrono::nanoseconds within = kQuietPeriod) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(status.st_ctim) >= Nanoseconds(now) - within.count();
}

// Whether descriptor `fd` of the process whose /proc directory is open at
// `process` is open for writing, and not one of the library's locks.
bool WritingDescriptor(int process, const char* fd) {
  const std::string name = std::string("fdinfo/") + fd;
  const Descriptor info(::openat(process, name.c_str(), O_RDONLY | O_CLOEXEC));
  if (info.Get() < 0) return false;
  char text[256];
  const ssize_t got = ::read(info.Get(), text, sizeof text - 1);
  if (got <= 0) return false;
  text[got] = '\0';
  const char* flags = std::strstr(text, "flags:");
  if (flags == nullptr) return false;
  const long mode = std::strtol(flags + 6, nullptr, 8);
  return (mode & O_ACCMODE) != O_RDONLY && (mode & O_NONBLOCK) == 0;
}

// The processes blocked in a wait for a lock on the file `status`
// describes (/proc/locks marks them "->"): tools that lock before they write
// (crudini, lockf(3)), which hold the file open for writing while they wait
// for this save's lock, and write only once they have it.
std::vector<pid_t> WaitingForALock(const struct stat& status) {
  std::vector<pid_t> waiting;
  std::FILE* const locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return waiting;
  char line[256];
  while (std::fgets(line, sizeof line, locks) != nullptr) {
    const char* arrow = std::strstr(line, "->");
    long pid = 0;
    unsigned major = 0, minor = 0;
    unsigned long inode = 0;
    // " 1: -> POSIX  ADVISORY  WRITE 4321 08:01:5678 0 EOF"
    if (arrow != nullptr &&
        std::sscanf(arrow + 2, "%*s %*s %*s %ld %x:%x:%lu", &pid, &major,
                    &minor, &inode) == 4 &&
        major == ::major(status.st_dev) && minor == ::minor(status.st_dev) &&
        inode == status.st_ino) {
      waiting.push_back(static_cast<pid_t>(pid));
    }
  }
  std::fclose(locks);
  return waiting;
}

// Whether the file open at `fd` was created after `time` (nanoseconds of
// the wall clock); false where the file system keeps no birth time.
bool BornAfter(int fd, std::int64_t time) {
  struct statx status {};
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &status) != 0 ||
      (status.stx_mask & STATX_BTIME) == 0) {
    return false;
  }
  const std::int64_t born =
      static_cast<std::int64_t>(status.stx_btime.tv_sec) * 1'000'000'000 +
      status.stx_btime.tv_nsec;
  return born > time;
}

}  // namespace

bool WritersVisible(const struct stat& status) {
  return (::geteuid() == 0 || ::geteuid() == status.st_uid) &&
         ::access("/proc/self/fdinfo", R_OK) == 0;
}

bool OpenForWritingElsewhere(const struct stat& status) {
  DIR* const proc = ::opendir("/proc");
  if (proc == nullptr) return false;
  std::set<pid_t> writers;
  while (const dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const Descriptor process(::openat(::dirfd(proc), entry->d_name,
                                      O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (process.Get() < 0) continue;
    const int fds =
        ::openat(process.Get(), "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fds < 0) continue;  // another user's, or gone
    DIR* const list = ::fdopendir(fds);
    if (list == nullptr) {
      ::close(fds);
      continue;
    }
    while (const dirent* fd = ::readdir(list)) {
      struct stat target {};
      if (fd->d_name[0] != '.' &&
          ::fstatat(::dirfd(list), fd->d_name, &target, 0) == 0 &&
          SameFile(target, status) &&
          WritingDescriptor(process.Get(), fd->d_name)) {
        writers.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
        break;
      }
    }
    ::closedir(list);
  }
  ::closedir(proc);
  if (!writers.empty()) {
    for (const pid_t waiting : WaitingForALock(status)) writers.erase(waiting);
  }
  return !writers.empty();
}

bool MayBeUnfinished(const DiskSnapshot& saved, int fd) {
  const bool heldSomething = saved.exists && saved.size > 0;
  struct stat seen {};
  if (fd < 0 || ::fstat(fd, &seen) != 0) return heldSomething;
  if (seen.st_size == 0 && !heldSomething) return false;
  if (OpenForWritingElsewhere(seen)) return true;
  // Emptied lately, with no writer in sight: made by a lock (this process's
  // or another's, which are not counted as writers) after an editor renamed
  // the old file away, before the editor made the new one.
  if (seen.st_size == 0) return ChangedLately(seen, kGonePeriod);
  if (!ChangedLately(seen)) return false;
  if (!WritersVisible(seen)) return true;
  // No one has it open for writing: a file renamed into place is whole, but
  // one rewritten in place may be written again (`>` then `>>`). An inode
  // number is soon given to a new file again, so one born after the file
  // `saved` describes was last written is another file.
  const bool inPlace = saved.exists && seen.st_dev == saved.device &&
                       seen.st_ino == saved.inode &&
                       !BornAfter(fd, saved.modified);
  return inPlace;
}

bool WaitUntilSettled(int fd, int dir, const char* leaf,
                      Clock::time_point deadline) {
  struct stat seen {};
  if (fd >= 0 && ::fstat(fd, &seen) != 0) return false;
  auto stillSince = Clock::now();
  Clock::duration pause = kPoll;
  for (;;) {
    const auto now = Clock::now();
    if (now >= deadline) return true;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(pause, deadline - now));
    struct stat named {};
    const bool isNamed = ::fstatat(dir, leaf, &named, 0) == 0;
    if (fd < 0) {
      if (isNamed) return false;
      if (Clock::now() - stillSince >= kGonePeriod) return true;
      continue;
    }
    if (!isNamed || !SameFile(named, seen)) return false;
    struct stat again {};
    if (::fstat(fd, &again) != 0) return false;
    if (!SameState(again, seen)) {
      stillSince = Clock::now();
      seen = again;
    } else if (Clock::now() - stillSince >= kQuietPeriod) {
      if (!OpenForWritingElsewhere(seen)) return true;
      pause = kWriterPoll;  // a paused writer: /proc is not read every poll
    }
  }
}

}  // namespace vty::config::ini::detail
