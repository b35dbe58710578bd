// The lock between processes that save one file (ProcessLock.cpp).

#ifndef VTY_CONFIG_SRC_DISK_PROCESSLOCK_H_
#define VTY_CONFIG_SRC_DISK_PROCESSLOCK_H_

#include <chrono>
#include <filesystem>
#include <string>
#include <utility>

#include "disk/Disk.h"

namespace vty::config::ini::detail {

// The advisory lock every save of a file holds from its check of the disk
// to its rename: a write lock (F_OFD_SETLK) on the file itself, open for
// reading and writing (or, while only readers hold the file, a read lock
// and a write lock on a companion file), which a missing file is first created
// (empty) to take. The kernel drops it when its holder dies. Released on
// destruction, which also removes the empty file it created if the save did not
// replace it.
class ProcessLock {
 public:
  // Resolves `path` as ResolveToSave does, creating its missing
  // directories. Waits at most the lock
  // timeout (10 seconds) for a lock held elsewhere, then throws
  // filesystem_error (timed out). Where the file system has no locks, goes
  // on without one. Throws filesystem_error naming `path` as ResolveToSave
  // does (a link refused among them), for what is not a regular file, and
  // for a file this process may not write.
  explicit ProcessLock(const std::filesystem::path& path);
  ~ProcessLock();
  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;
  // The locked file, open for reading and writing.
  int File() const { return fd_.Get(); }
  // The file's directory, opened once: a save takes every step in it.
  int Directory() const { return dir_.Get(); }
  // The file's name there: the path's own, or the name its links lead to.
  const std::string& Leaf() const { return leaf_; }
  // The device and inode of the directory that holds the path's own last
  // name (SavePath::parent).
  std::pair<dev_t, ino_t> DirectoryIdentity() const { return parent_; }
  // Whether the lock created the file: it held nothing before.
  bool Created() const { return created_; }
  // When the wait for this lock would have timed out: the bound of any
  // other wait of the save.
  std::chrono::steady_clock::time_point Deadline() const { return deadline_; }
  // The same bound for a wait that starts now.
  static std::chrono::steady_clock::time_point DeadlineFromNow();

 private:
  // Closes the descriptor held, if any. The caller holds Held().mutex.
  void Release();
  // Takes the lock on fd_ by deadline_ (ProcessLock.cpp says how); false
  // when writers hold it until then.
  bool TakeLock(const std::filesystem::path& path);
  // The companion file whose write lock excludes the saves that hold only a
  // read lock on the file; opened (and created) by OpenCompanion, closed by
  // ReleaseCompanion, removed and closed by RemoveCompanion. The last two
  // need Held().mutex held.
  std::string CompanionName() const;
  bool OpenCompanion();
  void ReleaseCompanion();
  void RemoveCompanion();

  std::chrono::steady_clock::time_point deadline_;
  Descriptor dir_;  // the file's directory, opened once
  std::string leaf_;
  std::pair<dev_t, ino_t> parent_{0, 0};
  Descriptor fd_;
  Descriptor companion_;  // locked while readers hold the file
  bool created_ = false;
};

// Before a save rewrites the locked file open at `locked` in place: waits,
// at most the lock timeout, for the write lock on it, which a save that
// found only readers holding the file lacks. Throws filesystem_error naming
// `path` when readers hold it until then. Does nothing for -1.
void LockForRewriteInPlace(int locked, const std::filesystem::path& path);

// The test seam of the lock's bounded wait.
void SetLockTimeoutForTesting(std::chrono::milliseconds timeout);

// Around a fork (Fork.cpp): no lock between processes is being opened; the
// child closes its copies of the parent's, which would otherwise keep them
// held for as long as the child lives.
void PrepareProcessLocksForFork();
void ProcessLocksAfterFork(bool child);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_PROCESSLOCK_H_
