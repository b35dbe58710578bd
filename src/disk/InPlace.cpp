// An in-place rewrite (a file mounted on its own, a directory this process
// may not write, or Settings::SaveInPlace) cannot replace the file in one
// step, so it is made safe in two ways.
//
// Room first. The file is extended to its new length with its blocks
// allocated before an old byte changes, so that a full disk or a quota fails
// the save with the file as it was. fallocate(2), not posix_fallocate(3):
// where the file system cannot allocate ahead, glibc's posix_fallocate
// emulates it by writing into the file, one byte a block, and says nothing;
// fallocate says EOPNOTSUPP, and then the new tail itself is written and
// synced, which allocates it as surely (only the old length is rewritten
// afterwards; a copy-on-write file system may still run out of room there,
// and that is what the kept copy is for).
//
// A copy kept. The new text goes first to a temporary beside the file, as a
// renaming save writes it (with the file's owner, mode and attributes), is
// synced, gets a record at its end, and is renamed ".NAME.inplace", the
// directory synced, before the file is touched; it is removed once the file
// is synced. So a crash at any moment of the rewrite leaves a whole copy of
// the new text beside a file that may be torn, and the next load or save of
// the file, in any process, completes the rewrite from it under the file's
// ProcessLock. The record says whose copy it is and that it is whole: the
// device and inode of the file (a file replaced since by a renaming writer
// is not this copy's), the file's length before the rewrite, the length of
// the new text and a checksum of it. A torn file is as long as the old or
// the new text, or in between; one outside that range was rewritten by
// someone else since, and a file already equal to the new text needs
// nothing: in both cases the copy is only removed. The directory is not
// synced after that removal: a copy that a power cut brings back is one of
// a completed save, and is recognised as such.

#include "disk/InPlace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

#include "disk/ProcessLock.h"
#include "disk/SavePath.h"
#include "disk/Temporaries.h"

namespace vty::config::ini::detail {

namespace fs = std::filesystem;

namespace {

// The record at the end of a kept copy.
struct Record {
  char magic[8];
  std::uint64_t device;
  std::uint64_t inode;
  std::uint64_t oldSize;
  std::uint64_t newSize;
  std::uint64_t checksum;
};
constexpr char kMagic[8] = {'V', 'T', 'Y', 'K', 'E', 'P', 'T', '1'};

std::string CopyName(const std::string& leaf) {
  return "." + leaf + ".inplace";
}

// FNV-1a, the same in every process (the content hash is seeded per
// process).
std::uint64_t Checksum(std::string_view text) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : text) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
  }
  return hash;
}

// Syncs the directory open (O_PATH) at `dir`, so that a name just made in
// it survives a power cut. Best effort: a directory that cannot be opened
// for reading, or a file system that cannot sync one, still keeps the name
// against a crash of the process.
void SyncDirectory(int dir) {
  const Descriptor readable(
      ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (readable.Get() >= 0) (void)::fsync(readable.Get());
}

// Allocates `content.size()` bytes to the file open at `fd`, `oldSize`
// long: 0, or the errno of the failure.
int MakeRoom(int fd, std::string_view content, off_t oldSize) {
  const auto newSize = static_cast<off_t>(content.size());
  if (newSize == 0) return 0;
  int result;
  while ((result = ::fallocate(fd, 0, 0, newSize)) != 0 && errno == EINTR) {
  }
  if (result == 0) return 0;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return errno;
  if (newSize <= oldSize) return 0;
  // No allocation ahead here: the tail, beyond every old byte, written.
  const auto from = static_cast<std::size_t>(oldSize);
  if (const int error = WriteAt(fd, content.substr(from), oldSize)) {
    return error;
  }
  return ::fsync(fd) == 0 ? 0 : errno;
}

// Writes `content` over the file open at `fd`, cuts it to that length and
// syncs it; `what` names the step that failed.
int Overwrite(int fd, std::string_view content, const char*& what) {
  what = "cannot write in place";
  if (const int error = WriteAt(fd, content, 0)) return error;
  what = "cannot cut to length";
  if (::ftruncate(fd, static_cast<off_t>(content.size())) != 0) return errno;
  what = "cannot sync";
  return ::fsync(fd) == 0 ? 0 : errno;
}

// The new text of the kept copy `bytes`, when the copy is whole and its
// record says it belongs to the file `target`; otherwise false.
bool CopyFor(std::string_view bytes, const struct stat& target,
             std::string_view& text, Record& record) {
  if (bytes.size() < sizeof record) return false;
  std::memcpy(&record, bytes.data() + bytes.size() - sizeof record,
              sizeof record);
  text = bytes.substr(0, bytes.size() - sizeof record);
  return std::memcmp(record.magic, kMagic, sizeof kMagic) == 0 &&
         record.newSize == text.size() && record.checksum == Checksum(text) &&
         record.device == static_cast<std::uint64_t>(target.st_dev) &&
         record.inode == static_cast<std::uint64_t>(target.st_ino);
}

// Whether a kept copy is beside the file `path` names. The common case costs
// a stat or two; only a path whose last name is a link is resolved.
bool HasKeptCopy(const fs::path& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return false;
  if (!S_ISLNK(status.st_mode)) {
    const fs::path copy = path.parent_path() / CopyName(path.filename());
    return ::lstat(copy.c_str(), &status) == 0;
  }
  try {
    const SavePath where = ResolveToSave(path, /*makeDirectories=*/false);
    return ::fstatat(where.dir.Get(), CopyName(where.leaf).c_str(), &status,
                     AT_SYMLINK_NOFOLLOW) == 0;
  } catch (const fs::filesystem_error&) {
    return false;  // a link refused, or leading nowhere: nothing to complete
  }
}

}  // namespace

KeptCopy::KeptCopy(int dir, const std::string& leaf,
                   const std::string& temporary, Descriptor fd,
                   std::string_view content, const struct stat& target,
                   const fs::path& path)
    : dir_(dir), name_(CopyName(leaf)), fd_(std::move(fd)) {
  Record record{};
  std::memcpy(record.magic, kMagic, sizeof kMagic);
  record.device = static_cast<std::uint64_t>(target.st_dev);
  record.inode = static_cast<std::uint64_t>(target.st_ino);
  record.oldSize = static_cast<std::uint64_t>(target.st_size);
  record.newSize = content.size();
  record.checksum = Checksum(content);
  int error = WriteAt(
      fd_.Get(),
      std::string_view(reinterpret_cast<const char*>(&record), sizeof record),
      static_cast<off_t>(content.size()));
  if (error == 0 && ::fsync(fd_.Get()) != 0) error = errno;
  if (error == 0 &&
      ::renameat(dir_, temporary.c_str(), dir_, name_.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    ::unlinkat(dir_, temporary.c_str(), 0);
    Fail("cannot keep a copy of the new text beside the file; it is unchanged",
         path, error);
  }
  SyncDirectory(dir_);
}

KeptCopy::~KeptCopy() {
  if (!kept_) {
    ::unlinkat(dir_, name_.c_str(), 0);
  } else {
    // A child forked meanwhile shares the lock, which would keep the next
    // load or save from completing the file for as long as the child lives.
    UnlockTemporary(fd_.Get());
  }
}

DiskSnapshot RewriteInPlace(Descriptor& file, std::string_view content,
                            const fs::path& path, DiskSnapshot* torn,
                            KeptCopy* copy) {
  struct stat before {};
  if (::fstat(file.Get(), &before) != 0) Fail("cannot query", path, errno);
  if (const int error = MakeRoom(file.Get(), content, before.st_size)) {
    // Nothing old was written over: only the length may have grown.
    struct stat now {};
    if (::fstat(file.Get(), &now) == 0 && now.st_size != before.st_size) {
      // Best effort: what is reported is the lack of room. Kept in a
      // variable, as glibc's fortified headers warn of a result dropped.
      const int truncated = ::ftruncate(file.Get(), before.st_size);
      static_cast<void>(truncated);
    }
    Fail("no room to rewrite in place; the file is unchanged", path, error);
  }
  const char* what = nullptr;
  if (const int error = Overwrite(file.Get(), content, what)) {
    if (copy != nullptr) copy->Keep();
    if (torn != nullptr) {
      try {
        *torn = ReadDisk(file.Get(), path).snapshot;
      } catch (...) {
        // Unreadable: the retry merges into what it finds.
      }
    }
    Fail(std::string(what) +
             (copy != nullptr
                  ? "; the file is partly rewritten, and its next load or "
                    "save completes it from the copy kept beside it"
                  : "; the file is partly rewritten"),
         path, error);
  }
  return CloseWritten(file, content, path);
}

void CompleteInterruptedRewrite(int locked, int dir, const std::string& leaf,
                                const fs::path& path) {
  const std::string name = CopyName(leaf);
  const Descriptor copy(
      ::openat(dir, name.c_str(),
               O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (copy.Get() < 0) return;  // none (or none this process may take)
  struct stat status {
  }, target{};
  if (::fstat(copy.Get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      !TakeAbandonedTemporary(copy.Get(), dir, name)) {
    return;  // not a copy, or its writer still at work
  }
  if (::fstat(locked, &target) != 0) Fail("cannot query", path, errno);
  const DiskContent kept = ReadDisk(copy.Get(), path);
  std::string_view text;
  Record record{};
  if (CopyFor(kept.Text(), target, text, record)) {
    const auto [shortest, longest] =
        std::minmax(record.oldSize, record.newSize);
    const auto size = static_cast<std::uint64_t>(target.st_size);
    if (size >= shortest && size <= longest &&
        ReadDisk(locked, path).Text() != text) {
      LockForRewriteInPlace(locked, path);
      const char* what = nullptr;
      if (const int error = Overwrite(locked, text, what)) {
        Fail(std::string(what) +
                 " to complete an interrupted save in place from its kept "
                 "copy; the copy stays",
             path, error);
      }
    }
  }
  // Completed now, or before, or not this file's: no longer needed.
  ::unlinkat(dir, name.c_str(), 0);
}

void CompleteInterruptedRewrite(const fs::path& path) {
  if (!HasKeptCopy(path)) return;
  std::optional<ProcessLock> lock;
  try {
    lock.emplace(path);
  } catch (const fs::filesystem_error&) {
    // Not this process's to complete: it may not write the file, a link on
    // the way is refused, or the lock stays held. A load reads what is there.
    return;
  }
  CompleteInterruptedRewrite(lock->File(), lock->Directory(), lock->Leaf(),
                             path);
}

}  // namespace vty::config::ini::detail
