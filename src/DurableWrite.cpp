// Saving a file so that no setting is ever lost or half-written: the new
// content goes to a temporary file beside the target, is synced, and is
// renamed over the target in one step. The directory is not synced after the
// rename: that would double the cost of a save, and a power cut before the
// file system commits the rename still leaves the whole old file.
//
// The new file never shows more than the old one did: it is created readable
// by its owner only, and takes the old file's owner, mode and extended
// attributes (ACL, security label, user attributes) before it gets a byte.

#include "DurableWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>

namespace vty::config::ini::detail {

namespace fs = std::filesystem;

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

// The file a save replaces.
struct Target {
  fs::path name;  // what the new file is renamed to
  bool existed = false;
  struct stat status {};     // when it existed
  bool placeholder = false;  // made here for a dangling link
};

// Finds the file to replace as open(2) finds it: the kernel follows every
// link, so that a loop fails (ELOOP) and so does a link that
// fs.protected_symlinks guards in a sticky directory (EACCES). A path whose
// last element is a link names the file the kernel reached, by its full path
// from /proc/self/fd, so that the link stays a link; any other path names
// itself. A link to a missing file gets that file, as open(O_CREAT) creates
// it, to be replaced in turn.
Target Resolve(const fs::path& path) {
  Target target{path};
  struct stat link {};
  const bool isLink =
      ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
  Descriptor file(::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (file.Get() < 0 && errno == ENOENT && !isLink) return target;  // new
  if (file.Get() < 0 && errno == ENOENT) {
    file.Reset(::open(path.c_str(),
                      O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC,
                      0666));
    target.placeholder = file.Get() >= 0;
  }
  if (file.Get() < 0) Fail("cannot follow the path to save", path, errno);
  if (::fstat(file.Get(), &target.status) != 0) {
    Fail("cannot inspect the file to save", path, errno);
  }
  target.existed = true;
  if (isLink) {
    std::error_code error;
    target.name =
        fs::read_symlink("/proc/self/fd/" + std::to_string(file.Get()), error);
    if (error) {
      throw fs::filesystem_error("cannot name the file the link leads to", path,
                                 error);
    }
  }
  return target;
}

// Reads through `call` (listxattr or getxattr with a buffer and its size)
// into `out`, growing it until the data fit. False when there is nothing to
// read: no such attribute, or none on this file system.
template <class Call>
bool ReadAttribute(const Call& call, std::string& out, const fs::path& path) {
  for (;;) {
    ssize_t size = call(nullptr, 0);
    if (size >= 0) {
      out.resize(static_cast<std::size_t>(size));
      size = call(out.data(), out.size());
    }
    if (size >= 0) {
      out.resize(static_cast<std::size_t>(size));
      return true;
    }
    if (errno == ENODATA || errno == ENOTSUP) return false;
    if (errno != ERANGE) {  // ERANGE: it grew between the two calls
      Fail("cannot read the extended attributes to save", path, errno);
    }
  }
}

// Gives the new file `fd` every extended attribute of `source`, its ACL and
// security label included; one that cannot be copied fails the save, which
// would otherwise widen access. An attribute the new file already has with
// the same value (a label its directory gave) is left alone.
void CopyAttributes(const fs::path& source, int fd, const fs::path& path) {
  std::string names, value, present;
  const auto list = [&](char* buffer, std::size_t size) {
    return ::listxattr(source.c_str(), buffer, size);
  };
  if (!ReadAttribute(list, names, path)) return;
  for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char* name = names.c_str() + at;
    const auto get = [&](char* buffer, std::size_t size) {
      return ::getxattr(source.c_str(), name, buffer, size);
    };
    const auto getNew = [&](char* buffer, std::size_t size) {
      return ::fgetxattr(fd, name, buffer, size);
    };
    if (!ReadAttribute(get, value, path)) continue;  // removed meanwhile
    if (ReadAttribute(getNew, present, path) && present == value) continue;
    if (::fsetxattr(fd, name, value.data(), value.size(), 0) != 0) {
      Fail(std::string("cannot copy the extended attribute ") + name +
               " to save",
           path, errno);
    }
  }
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

// Opens a new temporary file with `mode` (less the umask); returns the
// descriptor, or -1 with errno set.
int CreateTemporary(const fs::path& target, mode_t mode, fs::path& temporary) {
  constexpr unsigned kAttempts = 100;
  for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
    temporary = TemporaryName(target, attempt);
    const int fd = ::open(temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// Rewrites an existing file in place: for a directory that may not be
// written while the file may. Not atomic, but every step is checked.
DiskSnapshot RewriteInPlace(const fs::path& target, std::string_view content,
                            const fs::path& path) {
  Descriptor file(::open(target.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW |
                                             O_NONBLOCK | O_NOCTTY |
                                             O_CLOEXEC));
  if (file.Get() < 0) Fail("cannot open for writing", path, errno);
  WriteSync(file, content, path);
  return Finish(file, content, path);
}

// Saves `content` over `target`, found by Resolve; returns the snapshot of
// the new file.
DiskSnapshot Replace(const Target& target, std::string_view content,
                     const fs::path& path) {
  if (target.existed && !S_ISREG(target.status.st_mode)) {
    Fail("not a regular file, so not replaced", path,
         S_ISDIR(target.status.st_mode) ? EISDIR : EINVAL);
  }
  // A new file may show from the start what it will show at the end; one
  // that replaces another must not show more than the other did.
  fs::path temporary;
  Descriptor file(
      CreateTemporary(target.name, target.existed ? 0600 : 0666, temporary));
  if (file.Get() < 0) {
    const int error = errno;
    if (target.existed && (error == EACCES || error == EPERM)) {
      return RewriteInPlace(target.name, content, path);
    }
    Fail("cannot create a temporary file to save", path, error);
  }

  try {
    if (target.existed) {
      // Owner first: changing it may clear set-id bits that fchmod restores,
      // and file capabilities that the attributes restore. A process that
      // may not give the file away keeps it as its own.
      (void)::fchown(file.Get(), target.status.st_uid, target.status.st_gid);
      if (::fchmod(file.Get(), target.status.st_mode & 07777) != 0) {
        Fail("cannot set permissions to save", path, errno);
      }
      CopyAttributes(target.name, file.Get(), path);
    }
    WriteSync(file, content, path);
    if (::rename(temporary.c_str(), target.name.c_str()) != 0) {
      Fail("cannot rename over", path, errno);
    }
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
  return Finish(file, content, path);
}

}  // namespace

DiskSnapshot ReplaceFileContent(const fs::path& path,
                                std::string_view content) {
  // Checked before anything is created: "dir/" names no file to save.
  const fs::path name = path.filename();
  if (name.empty() || name == "." || name == "..") {
    Fail("cannot save to a directory's name", path, EISDIR);
  }
  if (path.has_parent_path()) {
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (error) {
      throw fs::filesystem_error("cannot create the directories to save", path,
                                 path.parent_path(), error);
    }
  }
  const Target target = Resolve(path);
  try {
    return Replace(target, content, path);
  } catch (...) {
    if (target.placeholder) ::unlink(target.name.c_str());
    throw;
  }
}

}  // namespace vty::config::ini::detail
