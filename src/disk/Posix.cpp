// The POSIX file work the disk shares: see Posix.h.

#include "disk/Posix.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace vty::config::ini::detail {

namespace fs = std::filesystem;

void Fail(const std::string& what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path,
                             std::error_code(error, std::generic_category()));
}

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

int Descriptor::Close() {
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 ? 0 : errno;
}

void RequireRegular(const struct stat& status, const fs::path& path) {
  if (S_ISDIR(status.st_mode)) Fail("not a regular file", path, EISDIR);
  if (!S_ISREG(status.st_mode)) Fail("not a regular file", path, EINVAL);
}

int WriteAt(int fd, std::string_view bytes, off_t offset) {
  while (!bytes.empty()) {
    const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
    offset += written;
  }
  return 0;
}

}  // namespace vty::config::ini::detail
