// Temporary files: ".NAME.tmp<pid>.<sequence>.<ticks>" beside NAME, the pid
// only to keep names of different processes apart. Whoever writes one holds
// an open-file-description write lock on it, which the kernel drops when the
// writer dies however it dies. The next save of the file removes every
// temporary it can lock: a pid would say nothing across PID namespaces that
// share a directory, nor of a killed service that ran as PID 1.
//
// A temporary is locked just after it is created, so a cleanup may lock and
// remove it in between: its writer then finds its name gone, or the lock
// taken, and makes another.

#include "disk/Temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <vector>

#include "disk/Posix.h"

namespace vty::config::ini::detail {

namespace {

std::string Prefix(const std::string& leaf) { return "." + leaf + ".tmp"; }

// Whether `name` has the shape of a temporary after `prefix`: a number and
// a dot follow it.
bool IsTemporary(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix))
    return false;
  const std::size_t dot = name.find_first_not_of("0123456789", prefix.size());
  return dot != prefix.size() && dot != std::string::npos && name[dot] == '.';
}

// Tries the lock of `type` on the whole of `fd`, without waiting: 0, or the
// errno (EAGAIN or EACCES: held elsewhere).
int TryLock(int fd, short type) {
  struct flock whole {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;
  while (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Whether `name` in `dir` still names the file open at `fd`.
bool StillNamed(int fd, int dir, const char* name) {
  struct stat held {
  }, named{};
  return ::fstat(fd, &held) == 0 &&
         ::fstatat(dir, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

int CreateTemporary(int dir, const std::string& leaf, mode_t mode,
                    std::string& name) {
  static std::atomic<unsigned long> sequence{0};
  constexpr unsigned kAttempts = 100;
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    const auto ticks = static_cast<unsigned long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    name = Prefix(leaf) + std::to_string(::getpid()) + "." +
           std::to_string(sequence.fetch_add(1)) + "." +
           std::to_string((ticks + attempt) % 1000000);
    const int fd = ::openat(dir, name.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return fd;
    const int error = TryLock(fd, F_WRLCK);
    if (error == EAGAIN || error == EACCES ||
        (error == 0 && !StillNamed(fd, dir, name.c_str()))) {
      // A cleanup took it first; it removes it, if it has not.
      ::close(fd);
      continue;
    }
    // Any other error: a file system without locks, where no cleanup can
    // lock it either.
    return fd;
  }
  errno = EEXIST;
  return -1;
}

void UnlockTemporary(int fd) noexcept { TryLock(fd, F_UNLCK); }

bool TakeAbandonedTemporary(int fd, int dir, const std::string& name) noexcept {
  const int error = TryLock(fd, F_WRLCK);
  // Any error but a lock held elsewhere: a file system without locks.
  return error != EAGAIN && error != EACCES &&
         StillNamed(fd, dir, name.c_str());
}

void RemoveDeadTemporaries(int dir, const std::string& leaf) noexcept {
  // The entries are read with getdents64 itself: readdir's fdopendir would
  // first query the descriptor three times for what openat already says.
  const Descriptor listed(
      ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (listed.Get() < 0) return;
  try {
    const std::string prefix = Prefix(leaf);
    std::vector<char> entries(std::size_t{32} *
                              1024);  // as much as readdir asks for
    // To the end, or to an error, after which the rest wait for the next
    // save.
    for (ssize_t got; (got = ::getdents64(listed.Get(), entries.data(),
                                          entries.size())) > 0;) {
      for (ssize_t at = 0; at < got;) {
        const auto* entry =
            reinterpret_cast<const dirent64*>(entries.data() + at);
        at += entry->d_reclen;
        if (!IsTemporary(entry->d_name, prefix)) continue;
        // A read lock is refused while its writer holds the write lock, and
        // needs only read access to the temporary.
        const Descriptor fd(::openat(
            dir, entry->d_name,
            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (fd.Get() < 0) continue;
        struct stat status {};
        if (::fstat(fd.Get(), &status) == 0 && S_ISREG(status.st_mode) &&
            TryLock(fd.Get(), F_RDLCK) == 0 &&
            StillNamed(fd.Get(), dir, entry->d_name)) {
          ::unlinkat(dir, entry->d_name, 0);
        }
      }
    }
  } catch (...) {
    // Out of memory for a name: the leftovers wait for the next save.
  }
}

}  // namespace vty::config::ini::detail
