#include "InPlace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

namespace vty::config::tool {
namespace {

[[noreturn]] void Fail(const char* what, const std::string& path) {
  throw std::filesystem::filesystem_error(
      what, path, std::error_code(errno, std::generic_category()));
}

}  // namespace

FileLock::FileLock(const std::string& path) : path_(path) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    // A link is followed: the file it names is rewritten. O_NONBLOCK: a
    // FIFO must not block the open; it is refused below.
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0 && errno == ENOENT) return;
    if (fd_ < 0) Fail("cannot open the file to rewrite it in place", path);
    struct stat held {};
    if (::fstat(fd_, &held) != 0) Fail("cannot inspect the file", path);
    if (!S_ISREG(held.st_mode)) {
      errno = EINVAL;
      Fail("not a regular file", path);
    }
    // The lock every save of the library takes: a write lock on the open
    // file description, which excludes the classic POSIX locks too.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;  // from the start, l_len 0: to any end
    while (::fcntl(fd_, F_OFD_SETLK, &whole) != 0) {
      if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
        Fail("cannot lock the file", path);
      }
      if (std::chrono::steady_clock::now() > deadline) {
        errno = ETIMEDOUT;
        Fail("the file's lock is held elsewhere", path);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    // A save elsewhere may have renamed a new file over the one locked.
    struct stat named {};
    if (::stat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
      return;
    }
    ::close(fd_);
    fd_ = -1;
  }
}

FileLock::~FileLock() {
  if (fd_ >= 0) ::close(fd_);  // and with it the lock
}

void FileLock::Rewrite(std::string_view text) const {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t wrote = ::pwrite(fd_, text.data() + done, text.size() - done,
                                   static_cast<off_t>(done));
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) Fail("cannot rewrite the file in place", path_);
    done += static_cast<std::size_t>(wrote);
  }
  if (::ftruncate(fd_, static_cast<off_t>(text.size())) != 0) {
    Fail("cannot truncate the file", path_);
  }
  if (::fsync(fd_) != 0) Fail("cannot sync the file", path_);
}

}  // namespace vty::config::tool
