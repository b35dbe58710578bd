// Saving a file so that no setting is ever lost or half-written: the new
// content goes to a temporary file beside the target, is synced, and is
// renamed over the target in one step. The directory is not synced after the
// rename: that would double the cost of a save, and a power cut before the
// file system commits the rename still leaves the whole old file.
//
// The new file never shows more than the old one did: it is created readable
// by its owner only, and takes the old file's owner, mode and extended
// attributes (ACL, security label, user attributes) before it gets a byte.
//
// A file that must be rewritten in place gets the same temporary, kept as a
// copy beside it until the rewrite is synced (InPlace.cpp).

#include "disk/DurableWrite.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "disk/InPlace.h"
#include "disk/ProcessLock.h"
#include "disk/SavePath.h"
#include "disk/Temporaries.h"

namespace vty::config::ini::detail {

namespace fs = std::filesystem;

namespace {

// Writes and syncs; throws naming `path` at the first failure.
void WriteSync(Descriptor& file, std::string_view content,
               const fs::path& path) {
  if (const int error = WriteAt(file.Get(), content, 0)) {
    Fail("cannot write", path, error);
  }
  if (::fsync(file.Get()) != 0) Fail("cannot sync", path, errno);
}

// Reads through `call` (listxattr or getxattr with a buffer and its size)
// into `out`, growing it until the data fit. False when there is nothing to
// read: no such attribute, or none on this file system.
template <class Call>
bool ReadAttribute(const Call& call, std::string& out, const fs::path& path) {
  for (;;) {
    ssize_t size = call(nullptr, 0);
    if (size == 0) {  // none, or an empty value: nothing more to ask
      out.clear();
      return true;
    }
    if (size > 0) {
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

// The file to save: `leaf` in the directory `dir`, opened once, every later
// step taken relative to it, so that a directory on the way swapped for a
// link while the save runs cannot send it anywhere else.
struct Place {
  Descriptor dir;
  std::string leaf;
  bool present = false;   // `leaf` exists in `dir`
  struct stat status {};  // of `leaf`, when present
};

// The place of a save under the ProcessLock, which resolved the path
// (`options`), or of one without it, resolved here.
Place Open(const fs::path& path, const SaveOptions& options) {
  Place place;
  if (options.directory >= 0) {
    place.dir.Reset(::fcntl(options.directory, F_DUPFD_CLOEXEC, 0));
    if (place.dir.Get() < 0) Fail("cannot open the directory", path, errno);
    place.leaf = options.leaf;
  } else {
    SavePath where = ResolveToSave(path, /*makeDirectories=*/true);
    place.dir = std::move(where.dir);
    place.leaf = std::move(where.leaf);
  }
  place.present = ::fstatat(place.dir.Get(), place.leaf.c_str(), &place.status,
                            AT_SYMLINK_NOFOLLOW) == 0;
  if (!place.present && errno != ENOENT) {
    Fail("cannot inspect the file to save", path, errno);
  }
  return place;
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

// Saves `content` over the file at `place`; returns the snapshot of the new
// file.
DiskSnapshot Replace(const Place& place, std::string_view content,
                     const fs::path& path, const SaveOptions& options) {
  if (place.present && !S_ISREG(place.status.st_mode)) {
    Fail("not a regular file, so not replaced", path,
         S_ISDIR(place.status.st_mode) ? EISDIR : EINVAL);
  }
  // What is replaced must be the file found (and, in a save under the
  // process lock, the file locked and read): never another that took its
  // name or its directory's meanwhile.
  struct stat expected = place.status;
  if (options.locked >= 0 && ::fstat(options.locked, &expected) != 0) {
    Fail("cannot query the locked file", path, errno);
  }
  const bool known = place.present || options.locked >= 0;
  if (known && !(place.present && SameFile(place.status, expected))) {
    Fail(
        "the file to save is no longer the one read (was its directory "
        "moved?), so not replaced",
        path, ESTALE);
  }
  if (place.present) RemoveDeadTemporaries(place.dir.Get(), place.leaf);
  // A new file may show from the start what it will show at the end; one
  // that replaces another must not show more than the other did.
  std::string temporary;
  Descriptor file(CreateTemporary(place.dir.Get(), place.leaf,
                                  known ? 0600 : 0666, temporary));
  if (file.Get() < 0) {
    const int error = errno;
    if (known && (error == EACCES || error == EPERM)) {
      // A directory this process may not write: the file itself, with no
      // copy to complete it from.
      Descriptor inPlace = OpenInPlace(place, expected, path, options.locked);
      return RewriteInPlace(inPlace, content, path, options.torn, nullptr);
    }
    Fail("cannot create a temporary file to save", path, error);
  }

  try {
    if (known) {
      // Owner first: changing it may clear set-id bits that fchmod restores,
      // and file capabilities that the attributes restore. A process that
      // may not give the file away keeps it as its own (the result is kept
      // in a variable, as glibc's fortified headers warn of one dropped).
      const int given = ::fchown(file.Get(), expected.st_uid, expected.st_gid);
      static_cast<void>(given);
      if (::fchmod(file.Get(), expected.st_mode & 07777) != 0) {
        Fail("cannot set permissions to save", path, errno);
      }
      const std::string source =
          "/proc/self/fd/" + std::to_string(place.dir.Get()) + "/" + place.leaf;
      CopyAttributes(options.locked, source, file.Get(), path);
    }
    WriteSync(file, content, path);
    if (!(options.inPlace && known)) {
      if (::renameat(place.dir.Get(), temporary.c_str(), place.dir.Get(),
                     place.leaf.c_str()) == 0) {
        UnlockTemporary(file.Get());
        return CloseWritten(file, content, path);
      }
      // A file mounted on its own (a container's single-file volume)
      // cannot be renamed over: rewrite it in place instead.
      const int error = errno;
      if (!known || (error != EBUSY && error != EXDEV)) {
        Fail("cannot rename over", path, error);
      }
    }
  } catch (...) {
    ::unlinkat(place.dir.Get(), temporary.c_str(), 0);
    throw;
  }
  // The synced new text stays beside the file until the rewrite is synced.
  KeptCopy copy(place.dir.Get(), place.leaf, temporary, std::move(file),
                content, expected, path);
  Descriptor inPlace = OpenInPlace(place, expected, path, options.locked);
  return RewriteInPlace(inPlace, content, path, options.torn, &copy);
}

}  // namespace

DiskSnapshot ReplaceFileContent(const fs::path& path, std::string_view content,
                                const SaveOptions& options) {
  return Replace(Open(path, options), content, path, options);
}

}  // namespace vty::config::ini::detail
