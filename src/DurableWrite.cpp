// Saving a file so that no setting is ever lost or half-written: the new
// content goes to a temporary file beside the target, is synced, and is
// renamed over the target in one step. The directory is not synced after the
// rename: that would double the cost of a save, and a power cut before the
// file system commits the rename still leaves the whole old file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>

#include "Internal.h"

namespace vty::config::ini::detail {

namespace fs = std::filesystem;

void Fail(const char* what, const fs::path& path, int error) {
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

namespace {

// Writes all of `content`; returns 0 or the errno of the failure.
int WriteAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = ::write(fd, content.data(), content.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

// Writes and syncs; throws naming `path` at the first failure.
void WriteSync(Descriptor& file, std::string_view content,
               const fs::path& path) {
  if (const int error = WriteAll(file.Get(), content)) {
    Fail("cannot write", path, error);
  }
  if (::fsync(file.Get()) != 0) Fail("cannot sync", path, errno);
}

// The snapshot of the file just written through `file`, which is then
// closed. Taken from the descriptor, after any rename, so that it describes
// this very file and no other that took its name meanwhile.
DiskSnapshot Finish(Descriptor& file, std::string_view content,
                    const fs::path& path) {
  struct stat written {};
  if (::fstat(file.Get(), &written) != 0) Fail("cannot query", path, errno);
  if (const int error = file.Close()) Fail("cannot close", path, error);
  return SnapshotOfWrite(written, content);
}

// The file a chain of symbolic links ends at, so that saving replaces that
// file and the link stays a link; `path` itself when it is not a link.
fs::path FollowLinks(fs::path path) {
  constexpr int kMaxHops = 40;  // as the kernel's own limit
  for (int hop = 0; hop < kMaxHops && fs::is_symlink(fs::symlink_status(path));
       ++hop) {
    const fs::path target = fs::read_symlink(path);
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

// A name beside `target` that no other writer, thread or process, uses now.
fs::path TemporaryName(const fs::path& target, unsigned attempt) {
  static std::atomic<unsigned long> sequence{0};
  const auto ticks = static_cast<unsigned long>(
      std::chrono::steady_clock::now().time_since_epoch().count());
  const std::string suffix = std::to_string(::getpid()) + "." +
                             std::to_string(sequence.fetch_add(1)) + "." +
                             std::to_string((ticks + attempt) % 1000000);
  fs::path name = target;
  name.replace_filename("." + target.filename().string() + ".tmp" + suffix);
  return name;
}

// Opens a new temporary file with the permissions a plain create would give
// (0666 less the umask); returns the descriptor, or -1 with errno set.
int CreateTemporary(const fs::path& target, fs::path& temporary) {
  constexpr unsigned kAttempts = 100;
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    temporary = TemporaryName(target, attempt);
    const int fd = ::open(temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Rewrites an existing file in place: for a directory that may not be
// written while the file may. Not atomic, but every step is checked.
DiskSnapshot RewriteInPlace(const fs::path& target, std::string_view content,
                            const fs::path& path) {
  Descriptor file(::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (file.Get() < 0) Fail("cannot open for writing", path, errno);
  WriteSync(file, content, path);
  return Finish(file, content, path);
}

}  // namespace

DiskSnapshot ReplaceFileContent(const fs::path& path,
                                std::string_view content) {
  if (path.has_parent_path()) {
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error) {
      throw fs::filesystem_error("cannot create the directories to save", path,
                                 path.parent_path(), error);
    }
  }
  const fs::path target = FollowLinks(path);

  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;

  fs::path temporary;
  Descriptor file(CreateTemporary(target, temporary));
  if (file.Get() < 0) {
    const int error = errno;
    if (existed && (error == EACCES || error == EPERM)) {
      return RewriteInPlace(target, content, path);
    }
    Fail("cannot create a temporary file to save", path, error);
  }

  try {
    if (existed) {
      // Owner first: changing it may clear set-id bits that fchmod restores.
      // A process that may not give the file away keeps it as its own.
      (void)::fchown(file.Get(), old.st_uid, old.st_gid);
      if (::fchmod(file.Get(), old.st_mode & 07777) != 0) {
        Fail("cannot set permissions to save", path, errno);
      }
    }
    WriteSync(file, content, path);
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
      Fail("cannot rename over", path, errno);
    }
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  return Finish(file, content, path);
}

}  // namespace vty::config::ini::detail
