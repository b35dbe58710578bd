// The lock between processes that save one file (ProcessLock.cpp).

#ifndef VTY_CONFIG_SRC_PROCESSLOCK_H_
#define VTY_CONFIG_SRC_PROCESSLOCK_H_

#include <chrono>
#include <filesystem>

#include "Disk.h"

namespace vty::config::ini::detail {

// The advisory lock (flock(2)) every save of a file holds from its check of
// the disk to its rename: on the file itself or, while the file does not
// exist, on the nearest existing directory above it. The kernel drops it
// when its holder dies. Released on destruction.
class ProcessLock {
 public:
  // Waits at most the lock timeout (10 seconds) for a lock held elsewhere,
  // then throws filesystem_error (timed out). Where the file system has no
  // locks, goes on without one. Throws what OpenForReading throws.
  explicit ProcessLock(const std::filesystem::path& path);
  // The locked file, open for reading, or -1 when it does not exist.
  int File() const { return isFile_ ? fd_.Get() : -1; }

 private:
  Descriptor fd_;
  bool isFile_ = false;
};

// The test seam of the lock's bounded wait.
void SetLockTimeoutForTesting(std::chrono::milliseconds timeout);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_PROCESSLOCK_H_
