// The POSIX file work every part of the disk shares (Posix.cpp): a descriptor
// that closes itself, the exception of a failed call, times in nanoseconds,
// and the checks and opens done the same way everywhere.

#ifndef VTY_CONFIG_SRC_DISK_POSIX_H_
#define VTY_CONFIG_SRC_DISK_POSIX_H_

#include <sys/stat.h>
#include <time.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vty::config::ini::detail {

// Owns a file descriptor and closes it on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor();
  int Get() const { return fd_; }
  // Closes the descriptor held, if any, and holds `fd` instead.
  void Reset(int fd) { *this = Descriptor(fd); }
  // Closes now and reports the error of close(2), or 0.
  int Close();

 private:
  int fd_;
};

// Throws std::filesystem::filesystem_error for `path` with errno `error`.
[[noreturn]] void Fail(const std::string& what,
                       const std::filesystem::path& path, int error);

constexpr std::int64_t Nanoseconds(const timespec& time) {
  return std::int64_t{time.tv_sec} * 1'000'000'000 + time.tv_nsec;
}

// The same file: the same device and inode.
inline bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Throws filesystem_error naming `path` ("not a regular file", EISDIR for a
// directory, EINVAL for anything else) unless `status` is a regular file's.
void RequireRegular(const struct stat& status,
                    const std::filesystem::path& path);

// Writes all of `bytes` to `fd` from `offset` on, through every short write
// and EINTR: 0, or the errno of the failure.
int WriteAt(int fd, std::string_view bytes, off_t offset);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_POSIX_H_
