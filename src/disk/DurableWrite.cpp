// Saving a file so that no setting is ever lost or half-written: the new
// content goes to a temporary file beside the target, is synced, and is
// renamed over the target in one step. The directory is not synced after the
// rename: that would double the cost of a save, and a power cut before the
// file system commits the rename still leaves the whole old file.
//
// The new file never shows more than the old one did: it is created readable
// by its owner only, and takes the old file's owner, mode and extended
// attributes (ACL, security label, user attributes) before it gets a byte.

#include "disk/DurableWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>

#include "disk/ProcessLock.h"
#include "disk/Temporaries.h"

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

// Gives the new file `fd` every extended attribute of the file open at
// `sourceFd` (or, when that is -1, at `source`), its ACL and security label
// included; one that cannot be copied fails the save, which would otherwise
// widen access. An attribute the new file already has with the same value (a
// label its directory gave) is left alone.
void CopyAttributes(int sourceFd, const fs::path& source, int fd,
                    const fs::path& path) {
  std::string names, value, present;
  const auto list = [&](char* buffer, std::size_t size) {
    return sourceFd >= 0 ? ::flistxattr(sourceFd, buffer, size)
                         : ::listxattr(source.c_str(), buffer, size);
  };
  if (!ReadAttribute(list, names, path)) return;
  for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
    const char* name = names.c_str() + at;
    const auto get = [&](char* buffer, std::size_t size) {
      return sourceFd >= 0 ? ::fgetxattr(sourceFd, name, buffer, size)
                           : ::getxattr(source.c_str(), name, buffer, size);
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

// The directory of the file to save, opened once: every later step is taken
// relative to it, so that a directory on the way swapped for a link while
// the save runs cannot send it anywhere else.
struct Place {
  Descriptor dir;
  std::string leaf;
  bool present = false;   // `leaf` exists in `dir`
  struct stat status {};  // of `leaf`, when present
};

Place Open(const Target& target, const fs::path& path,
           const SaveOptions& options) {
  Place place;
  // The directory the lock opened, when the file locked is in it (and not
  // reached through a link): the lock, the read and the save share it.
  place.leaf = target.name.filename().string();
  struct stat locked {};
  if (options.directory >= 0 && ::fstat(options.locked, &locked) == 0 &&
      ::fstatat(options.directory, path.filename().c_str(), &place.status,
                AT_SYMLINK_NOFOLLOW) == 0 &&
      SameFile(place.status, locked)) {
    place.dir.Reset(::fcntl(options.directory, F_DUPFD_CLOEXEC, 0));
    if (place.dir.Get() < 0) Fail("cannot open the directory", path, errno);
    place.leaf = path.filename().string();
    place.present = true;
    return place;
  }
  place.dir = OpenDirectoryOf(target.name);
  place.present = ::fstatat(place.dir.Get(), place.leaf.c_str(), &place.status,
                            AT_SYMLINK_NOFOLLOW) == 0;
  if (!place.present && errno != ENOENT) {
    Fail("cannot inspect the file to save", path, errno);
  }
  return place;
}

// Rewrites the file open at `file` in place: the new bytes over the old from
// the start, then the length cut to theirs, then a sync. Nothing is
// truncated first, so a write that fails (a full disk, a quota) fails where
// the old file ended at the earliest. On failure, `torn` (when given) gets
// the snapshot of what the file holds now: a retry must find it unchanged by
// anyone else, and write the whole document over it rather than merge.
DiskSnapshot RewriteInPlace(Descriptor& file, std::string_view content,
                            const fs::path& path, DiskSnapshot* torn) {
  int error = 0;
  const char* what = "cannot write";
  for (std::size_t at = 0; at < content.size() && error == 0;) {
    const ssize_t written =
        ::pwrite(file.Get(), content.data() + at, content.size() - at,
                 static_cast<off_t>(at));
    if (written >= 0) {
      at += static_cast<std::size_t>(written);
    } else if (errno != EINTR) {
      error = errno;
    }
  }
  if (error == 0 &&
      ::ftruncate(file.Get(), static_cast<off_t>(content.size())) != 0) {
    error = errno, what = "cannot cut to length";
  }
  if (error == 0 && ::fsync(file.Get()) != 0)
    error = errno, what = "cannot sync";
  if (error != 0) {
    if (torn != nullptr) {
      try {
        *torn = ReadDisk(file.Get(), path).snapshot;
      } catch (...) {
        // Unreadable: the retry merges into what it finds.
      }
    }
    Fail(what, path, error);
  }
  return Finish(file, content, path);
}

// The file at `place` opened for an in-place rewrite, checked to be
// `expected`, once no reader holds the file `locked` (when not -1): a reader
// must not see a rewrite half-way.
Descriptor OpenInPlace(const Place& place, const struct stat& expected,
                       const fs::path& path, int locked) {
  LockForRewriteInPlace(locked, path);
  Descriptor file(
      ::openat(place.dir.Get(), place.leaf.c_str(),
               O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.Get() < 0 && errno == EACCES) {
    file.Reset(
        ::openat(place.dir.Get(), place.leaf.c_str(),
                 O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  }
  if (file.Get() < 0) Fail("cannot open for writing", path, errno);
  struct stat opened {};
  if (::fstat(file.Get(), &opened) != 0) Fail("cannot query", path, errno);
  if (!SameFile(opened, expected)) {
    Fail("the file to save was replaced while saving", path, ESTALE);
  }
  return file;
}

// Saves `content` over `target`, found by Resolve, in the directory `place`
// opened; returns the snapshot of the new file.
DiskSnapshot Replace(const Target& target, const Place& place,
                     std::string_view content, const fs::path& path,
                     const SaveOptions& options) {
  if (target.existed && !S_ISREG(target.status.st_mode)) {
    Fail("not a regular file, so not replaced", path,
         S_ISDIR(target.status.st_mode) ? EISDIR : EINVAL);
  }
  // What is replaced must be the file found (and, in a save under the
  // process lock, the file locked and read): never another that took its
  // name or its directory's meanwhile.
  struct stat expected = target.status;
  if (options.locked >= 0 && ::fstat(options.locked, &expected) != 0) {
    Fail("cannot query the locked file", path, errno);
  }
  const bool known = target.existed || options.locked >= 0;
  if (known && !(place.present && SameFile(place.status, expected))) {
    Fail(
        "the file to save is no longer the one read (was its directory "
        "moved?), so not replaced",
        path, ESTALE);
  }
  if (place.present) RemoveDeadTemporaries(place.dir.Get(), place.leaf);
  if (options.inPlace && known) {
    Descriptor file = OpenInPlace(place, expected, path, options.locked);
    return RewriteInPlace(file, content, path, options.torn);
  }
  // A new file may show from the start what it will show at the end; one
  // that replaces another must not show more than the other did.
  std::string temporary;
  Descriptor file(CreateTemporary(place.dir.Get(), place.leaf,
                                  known ? 0600 : 0666, temporary));
  if (file.Get() < 0) {
    const int error = errno;
    if (known && (error == EACCES || error == EPERM)) {
      Descriptor inPlace = OpenInPlace(place, expected, path, options.locked);
      return RewriteInPlace(inPlace, content, path, options.torn);
    }
    Fail("cannot create a temporary file to save", path, error);
  }

  int renameError = 0;
  try {
    if (known) {
      // Owner first: changing it may clear set-id bits that fchmod restores,
      // and file capabilities that the attributes restore. A process that
      // may not give the file away keeps it as its own.
      (void)::fchown(file.Get(), expected.st_uid, expected.st_gid);
      if (::fchmod(file.Get(), expected.st_mode & 07777) != 0) {
        Fail("cannot set permissions to save", path, errno);
      }
      CopyAttributes(options.locked, target.name, file.Get(), path);
    }
    WriteSync(file, content, path);
    if (::renameat(place.dir.Get(), temporary.c_str(), place.dir.Get(),
                   place.leaf.c_str()) != 0) {
      renameError = errno;
      // A file mounted on its own (a container's single-file volume)
      // cannot be renamed over: rewrite it in place instead.
      if (!known || (renameError != EBUSY && renameError != EXDEV)) {
        Fail("cannot rename over", path, renameError);
      }
    }
  } catch (...) {
    ::unlinkat(place.dir.Get(), temporary.c_str(), 0);
    throw;
  }
  if (renameError != 0) {
    ::unlinkat(place.dir.Get(), temporary.c_str(), 0);
    Descriptor inPlace = OpenInPlace(place, expected, path, options.locked);
    return RewriteInPlace(inPlace, content, path, options.torn);
  }
  UnlockTemporary(file.Get());
  return Finish(file, content, path);
}

}  // namespace

DiskSnapshot ReplaceFileContent(const fs::path& path, std::string_view content,
                                const SaveOptions& options) {
  // Under the lock between processes its constructor made them already.
  if (options.locked < 0) MakeDirectoriesToSave(path);
  const Target target = Resolve(path);
  try {
    return Replace(target, Open(target, path, options), content, path, options);
  } catch (...) {
    if (target.placeholder) ::unlink(target.name.c_str());
    throw;
  }
}

}  // namespace vty::config::ini::detail
