// Temporary files: ".NAME.tmp<pid>.<sequence>.<ticks>" beside NAME. A save
// that is killed leaves its temporary behind; the next save of the file,
// holding the file's process lock, removes every temporary whose pid names
// no running process. A pid reused meanwhile only delays the removal.

#include "disk/Temporaries.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace vty::config::ini::detail {

namespace {

std::string Prefix(const std::string& leaf) { return "." + leaf + ".tmp"; }

// The pid in a temporary's `name` after `prefix`, or 0 when `name` is not
// one of them.
pid_t PidOf(const std::string& name, const std::string& prefix) {
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix))
    return 0;
  const char* digits = name.c_str() + prefix.size();
  char* end = nullptr;
  const long pid = std::strtol(digits, &end, 10);
  if (end == digits || *end != '.' || pid <= 0) return 0;
  return static_cast<pid_t>(pid);
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
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

void RemoveDeadTemporaries(int dir, const std::string& leaf) noexcept {
  const int listed = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listed < 0) return;
  DIR* entries = ::fdopendir(listed);
  if (entries == nullptr) {
    ::close(listed);
    return;
  }
  try {
    const std::string prefix = Prefix(leaf);
    while (const dirent* entry = ::readdir(entries)) {
      const pid_t pid = PidOf(entry->d_name, prefix);
      if (pid != 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
        ::unlinkat(dir, entry->d_name, 0);
      }
    }
  } catch (...) {
    // Out of memory for a name: the leftovers wait for the next save.
  }
  ::closedir(entries);
}

}  // namespace vty::config::ini::detail
