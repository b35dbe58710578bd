// The advisory lock that keeps two processes from interleaving their saves
// of one file: a POSIX write lock on the whole file, taken through a
// descriptor open for reading and writing, on the file itself.
//
// Why this lock. A write lock can only be taken through a descriptor open
// for writing, so a process that may merely read the file cannot take it,
// and flock(2) on a read-only descriptor (which anyone who can read the file
// may hold for ever) no longer stops a save. It is an open-file-description
// lock (F_OFD_SETLK): it belongs to this descriptor, not to the process, so
// two documents of one process exclude each other as two processes do, and
// closing another descriptor of the file does not drop it. It conflicts
// with the classic POSIX locks of fcntl(F_SETLK) and lockf(3), which is what
// other tools take (crudini, Python's fcntl.lockf), so they and this library
// exclude each other.
//
// A reader may hold a *read* lock (F_RDLCK), and anyone who can read the
// file can take one. A save that renames a new file over the old needs no
// exclusion from readers: they keep the old inode. So when only read locks
// stand in the way (F_OFD_GETLK of a read lock finds no write lock), a save
// takes a read lock instead, which still keeps every writer out, and
// excludes the other savers in that state by a write lock on a companion
// file, ".NAME.tmp0.lock", which it removes when done (one left by a killed
// save is a temporary like any other). That lock is taken before the read
// lock and only ever tried, never waited on, so a holder never waits for
// another holder. A save that must rewrite the file in place then waits,
// bounded, for the readers to leave (LockForRewriteInPlace).
//
// The path is resolved once (SavePath.cpp, which follows only the links it
// may) and the file found relative to the directory reached, so that the
// lock, the read and the save all happen in one directory even while a
// directory on the way is swapped for a link.
//
// A file that does not exist yet. There is nothing to lock, and locking the
// directory instead lets two processes lock two different directories when
// the directory itself is created meanwhile. So the missing directories are
// created first, then the file itself, empty, with O_CREAT (mode 0666 less
// the umask, as the save would give it): every saver then locks the same
// file, and a mere reader of the directory can neither create it nor lock
// it. A save that fails removes the empty file it created, under the lock.
//
// A save replaces the file by renaming a new one over it, so whoever waited
// for the lock on the old file may hold a lock on a file that no longer has
// the name: the lock is then dropped and taken again on the file the name
// now gives.

#include "disk/ProcessLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <set>
#include <thread>

#include "base/Immortal.h"
#include "disk/SavePath.h"

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

// The descriptors the locks of this process hold, so that the child of a
// fork can close its copies: a lock belongs to the open file, which a child
// would keep open, and so locked, for as long as it lives.
// Never destroyed, as the saves at exit still lock.
struct HeldDescriptors {
  std::mutex mutex;
  std::set<int> fds;  // Guarded by mutex.
};

HeldDescriptors& Held() { return Immortal<HeldDescriptors>(); }

constexpr int kOpen = O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Opens the file `leaf` in the directory open at `dir` for locking,
// creating it empty when it is missing (`created` says so). `leaf` is no
// link (ResolveToSave followed it): one put there since is refused (ELOOP).
// Throws for anything but a regular file.
Descriptor OpenForLocking(int dir, const char* leaf, const fs::path& path,
                          bool& created) {
  for (;;) {
    created = false;
    Descriptor fd(::openat(dir, leaf, kOpen | O_NOFOLLOW));
    if (fd.Get() < 0 && errno == ENOENT) {
      // O_EXCL: only one process creates it.
      fd.Reset(::openat(dir, leaf, kOpen | O_CREAT | O_EXCL, 0666));
      created = fd.Get() >= 0;
      if (fd.Get() < 0 && errno == EEXIST) continue;  // made by another
    }
    if (fd.Get() < 0) {
      Fail("cannot open the file to lock it for saving", path, errno);
    }
    struct stat status {};
    if (::fstat(fd.Get(), &status) != 0) {
      Fail("cannot query the file", path, errno);
    }
    RequireRegular(status, path);
    return fd;
  }
}

// Tries the lock of `type` on the whole of `fd` without waiting: 0, or the
// errno (EAGAIN or EACCES: held elsewhere).
int TryLock(int fd, short type) {
  struct flock whole {};
  whole.l_type = type;
  whole.l_whence = SEEK_SET;  // from the start, l_len 0: to any end
  while (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Whether some process holds a write lock on any part of `fd`: only a write
// lock conflicts with a read lock.
bool WriteLocked(int fd) {
  struct flock probe {};
  probe.l_type = F_RDLCK;
  probe.l_whence = SEEK_SET;
  return ::fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type != F_UNLCK;
}

// Whether `leaf` in the directory open at `dir` still names the file whose
// status is `held`.
bool StillNamed(const struct stat& held, int dir, const char* leaf) {
  struct stat named {};
  return ::fstatat(dir, leaf, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         SameFile(held, named);
}

}  // namespace

bool ProcessLock::TakeLock(const fs::path& path) {
  milliseconds pause{1};
  for (;;) {
    const int error = TryLock(fd_.Get(), F_WRLCK);
    if (error == 0) return true;
    if (error == ENOLCK || error == EOPNOTSUPP || error == ENOSYS ||
        error == EINVAL) {
      return true;  // no locks here: save as if alone
    }
    if (error != EAGAIN && error != EACCES) {
      Fail("cannot lock the file", path, error);
    }
    if (!WriteLocked(fd_.Get()) && OpenCompanion()) {
      // Readers only, a moment ago: a writer may come before the read lock.
      struct stat companion {};
      if (TryLock(companion_.Get(), F_WRLCK) == 0 &&
          ::fstat(companion_.Get(), &companion) == 0 &&
          StillNamed(companion, dir_.Get(), CompanionName().c_str()) &&
          TryLock(fd_.Get(), F_RDLCK) == 0) {
        return true;
      }
      std::lock_guard lock(Held().mutex);
      ReleaseCompanion();
    }
    const auto now = Clock::now();
    if (now >= deadline_) return false;
    std::this_thread::sleep_for(
        std::min<Clock::duration>(pause, deadline_ - now));
    pause = std::min(pause * 2, milliseconds{50});
  }
}

std::string ProcessLock::CompanionName() const {
  return "." + leaf_ + ".tmp0.lock";
}

bool ProcessLock::OpenCompanion() {
  // Writable by whoever may write the file, as they may take its place.
  struct stat file {};
  if (::fstat(fd_.Get(), &file) != 0) return false;
  std::lock_guard lock(Held().mutex);
  companion_.Reset(::openat(
      dir_.Get(), CompanionName().c_str(),
      O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
      file.st_mode & 0666));
  if (companion_.Get() < 0) return false;  // a directory only for reading
  Held().fds.insert(companion_.Get());
  return true;
}

void ProcessLock::ReleaseCompanion() {
  if (companion_.Get() < 0) return;
  Held().fds.erase(companion_.Get());
  companion_.Reset(-1);
}

ProcessLock::ProcessLock(const fs::path& path) {
  SavePath where = ResolveToSave(path, /*makeDirectories=*/true);
  dir_ = std::move(where.dir);
  leaf_ = std::move(where.leaf);
  parent_ = where.parent;
  deadline_ = DeadlineFromNow();
  for (;;) {
    {
      // Opened and noted at once, so that no fork comes in between.
      std::lock_guard lock(Held().mutex);
      Release();
      fd_ = OpenForLocking(dir_.Get(), leaf_.c_str(), path, created_);
      Held().fds.insert(fd_.Get());
    }
    if (!TakeLock(path)) {
      Fail("the file stays locked by another process", path, EWOULDBLOCK);
    }
    // Whoever held the lock may have renamed a new file over the name, or
    // removed the file: then lock what the name gives now.
    struct stat held {};
    if (::fstat(fd_.Get(), &held) != 0)
      Fail("cannot query the file", path, errno);
    if (StillNamed(held, dir_.Get(), leaf_.c_str())) return;
    std::lock_guard lock(Held().mutex);
    RemoveCompanion();
  }
}

ProcessLock::~ProcessLock() {
  // A failed save leaves no empty file of its own making.
  struct stat held {};
  if (created_ && ::fstat(fd_.Get(), &held) == 0 && held.st_size == 0 &&
      StillNamed(held, dir_.Get(), leaf_.c_str())) {
    ::unlinkat(dir_.Get(), leaf_.c_str(), 0);
  }
  std::lock_guard lock(Held().mutex);
  RemoveCompanion();
  Release();
}

void ProcessLock::Release() {
  if (fd_.Get() < 0) return;
  Held().fds.erase(fd_.Get());
  fd_.Reset(-1);
}

void ProcessLock::RemoveCompanion() {
  // Removed while locked, so that no other save holds it meanwhile; one
  // that opened it before checks that it still has the name.
  if (companion_.Get() < 0) return;
  ::unlinkat(dir_.Get(), CompanionName().c_str(), 0);
  ReleaseCompanion();
}

void LockForRewriteInPlace(int locked, const fs::path& path) {
  if (locked < 0) return;
  const Clock::time_point deadline = ProcessLock::DeadlineFromNow();
  milliseconds pause{1};
  for (;;) {
    // Converts the read lock taken while readers held the file; a write lock
    // already held is taken again at once.
    const int error = TryLock(locked, F_WRLCK);
    if (error == 0 || (error != EAGAIN && error != EACCES)) return;
    const auto now = Clock::now();
    if (now >= deadline) {
      Fail("the file stays locked by a reader, so not rewritten in place", path,
           EWOULDBLOCK);
    }
    std::this_thread::sleep_for(
        std::min<Clock::duration>(pause, deadline - now));
    pause = std::min(pause * 2, milliseconds{50});
  }
}

void PrepareProcessLocksForFork() { Held().mutex.lock(); }

void ProcessLocksAfterFork(bool child) {
  if (child) {
    for (const int fd : Held().fds) ::close(fd);  // the parent's to release
    Held().fds.clear();
  }
  Held().mutex.unlock();
}

Clock::time_point ProcessLock::DeadlineFromNow() {
  return Clock::now() + milliseconds(LockTimeout().load());
}

void SetLockTimeoutForTesting(milliseconds timeout) {
  LockTimeout().store(timeout.count());
}

}  // namespace vty::config::ini::detail
