// The advisory lock that keeps two processes from interleaving their saves
// of one file: flock(2) on the file itself, so that a program that does not
// use this library can cooperate with one call. A save replaces the file by
// renaming a new one over it, so whoever waited for the lock on the old file
// may hold a lock on a file that no longer has the name: the lock is then
// dropped and taken again on the file the name now gives. While the file does
// not exist, the nearest existing directory above it is locked instead.

#include "ProcessLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace vty::config::ini::detail {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// How long a save waits for a lock held elsewhere: a hung holder must not
// hang this process's save for ever.
std::atomic<milliseconds::rep>& LockTimeout() {
  static std::atomic<milliseconds::rep> timeout{10'000};
  return timeout;
}

bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR; }

// The nearest directory above `path` that exists, open for locking.
Descriptor OpenNearestDirectory(const fs::path& path) {
  for (fs::path dir = path.parent_path();; dir = dir.parent_path()) {
    Descriptor fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd.Get() >= 0) return fd;
    if (!IsMissing(errno) || dir == dir.root_path()) {
      Fail("cannot open a directory to lock", path, errno);
    }
  }
}

// Takes the lock on `fd` by the deadline. False when it is held elsewhere
// until then; true, without a lock, where the file system has none.
bool TakeLock(int fd, Clock::time_point deadline, const fs::path& path) {
  milliseconds pause{1};
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    const int error = errno;
    if (error == EINTR) continue;
    if (error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS ||
        error == EINVAL) {
      return true;  // no locks here: save as if alone
    }
    if (error != EWOULDBLOCK) Fail("cannot lock the file", path, error);
    const auto now = Clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, milliseconds{50});
  }
}

// Whether `path` still names the file open at `fd`.
bool StillNamed(int fd, const fs::path& path) {
  struct stat held {
  }, named{};
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

}  // namespace

ProcessLock::ProcessLock(const fs::path& path) {
  const auto deadline = Clock::now() + milliseconds(LockTimeout().load());
  for (;;) {
    fd_ = OpenForReading(path);
    isFile_ = fd_.Get() >= 0;
    if (!isFile_) fd_ = OpenNearestDirectory(path);
    if (!TakeLock(fd_.Get(), deadline, path)) {
      Fail("the file stays locked by another process", path, EWOULDBLOCK);
    }
    // Whoever held the lock may have renamed a new file over the name, or
    // created the missing file: then lock what the name gives now.
    if (isFile_ ? StillNamed(fd_.Get(), path)
                : ::access(path.c_str(), F_OK) != 0 && IsMissing(errno)) {
      return;
    }
  }
}

void SetLockTimeoutForTesting(milliseconds timeout) {
  LockTimeout().store(timeout.count());
}

}  // namespace vty::config::ini::detail
