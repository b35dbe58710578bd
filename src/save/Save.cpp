// Every change and every save of a document.
//
// A change (WriteValue, EraseKey, EraseSection, a handle's Set and erases)
// is made by the journal (Journal.cpp) under the document's hold in change
// mode, and then the write rule applies: deferred, it only marks the
// document changed; otherwise the document is saved at once by a Flush.
//
// A save never throws away a change it did not make. It takes the file's
// ProcessLock (before the document's hold, in save mode, which lets readers
// in), checks whether someone else wrote the file since this document last
// loaded or saved it (Disk.cpp) and, if so, merges their file in under this
// document's own changes (Merge.cpp); then it replaces the file durably
// (DurableWrite.cpp). A file that another program may still be writing
// (open for writing, or just emptied, cut short, rewritten in place, made by
// the lock itself) is first waited out, holding nothing of the document
// (HalfWritten.cpp): never merged into while half-written. Reload follows
// the same rule.

#include "save/Save.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <vector>

#include "disk/Disk.h"
#include "disk/DurableWrite.h"
#include "disk/HalfWritten.h"
#include "disk/InPlace.h"
#include "disk/ProcessLock.h"
#include "document/Load.h"
#include "save/Journal.h"
#include "save/Merge.h"

namespace vty::config::ini {

namespace detail {

namespace {

namespace fs = std::filesystem;
using Kind = ChangeLog::Kind;

// Writes the document as it stands, as `options` say, and counts it as
// saved.
void WriteUnlocked(File& file, SaveOptions options = {}) {
  DocumentState& state = DocumentState::Of(file);
  DiskSnapshot written, torn;
  options.inPlace = options.inPlace || state.saveInPlace;
  options.torn = &torn;
  try {
    written = ReplaceFileContent(file.path, Bytes(file), options);
  } catch (...) {
    // The change is not on disk: the change log stays as it is, so the next
    // flush tries again, and changeTime says the document is newer than its
    // file. What a failed rewrite in place left is no one else's change: the
    // retry writes this document over it, whole.
    if (torn.exists) state.disk = torn;
    file.changeTime = fs::file_time_type::clock::now();
    throw;
  }
  state.changes.Clear();
  SetDisk(file, written);
}

// Whether `read`, found changed from `saved`, is to be waited out before it is
// merged: until `deadline`, while another writer may still be at the file open
// at `fd` (HalfWritten.h), or when the file (open at `readFd`, -1: as missing)
// no longer holds what was read. A writer that truncated the file before the
// read and finished before the look at who writes it left bytes that were never
// read: merging what was read would take an emptied file for their version.
bool StillBeingWritten(const DiskSnapshot& saved, const DiskContent& read,
                       int readFd, int fd,
                       std::chrono::steady_clock::time_point deadline,
                       const fs::path& path) {
  if (std::chrono::steady_clock::now() >= deadline) return false;
  if (MayBeUnfinished(saved, fd)) return true;
  DiskSnapshot seen = read.snapshot;
  return ChangedSince(seen, readFd, path).has_value();
}

// The descriptor to read the locked file through: -1, as if missing, for a
// file the lock had to create that is still empty, which held nothing.
int ContentOf(const ProcessLock& lock) {
  struct stat held {};
  const bool empty =
      lock.Created() && ::fstat(lock.File(), &held) == 0 && held.st_size == 0;
  return empty ? -1 : lock.File();
}

// Under `lock` and the document's hold: merges in what another writer
// wrote and writes; false, doing nothing, while that writer may still be at
// the file (until `deadline`).
bool MergeAndWrite(File& file, const ProcessLock& lock, Hold& hold,
                   std::chrono::steady_clock::time_point deadline,
                   HeardConflicts& conflicts) {
  DocumentState& state = DocumentState::Of(file);
  if (!HasUnsaved(state)) return true;  // saved by another thread meanwhile
  // A file in another directory than the one it was read from (swapped for
  // a link, or replaced) is someone else's: merged into, never overwritten
  // with what this document read elsewhere.
  const auto directory = lock.DirectoryIdentity();
  DiskSnapshot unrelated;
  unrelated.exists = true;  // matches no file, not even a missing one
  const bool moved = state.directory != std::pair<dev_t, ino_t>{0, 0} &&
                     state.directory != directory;
  if (auto theirs = ChangedSince(moved ? unrelated : state.disk,
                                 ContentOf(lock), file.path)) {
    // The file the lock made is taken for missing only once no editor has
    // written into it within the quiet period.
    if (StillBeingWritten(state.disk, *theirs, ContentOf(lock), lock.File(),
                          deadline, file.path)) {
      return false;
    }
    Merge(file, *theirs, hold, conflicts);
    if (state.changes.Empty()) return true;  // theirs is all there is to save
  }
  WriteUnlocked(file, SaveOptions{lock.File(), lock.Directory(), lock.Leaf()});
  state.directory = directory;
  return true;
}

// Saves `file` under `lock`. False when the name was given to another file
// while the save waited for a writer: the caller locks that one. The wait
// holds nothing of the document (nor of a fork), so reads, changes and
// forks go on meanwhile; the file is looked at again under the hold
// afterwards, and every change made by then is saved with the rest.
bool SaveLocked(File& file, const ProcessLock& lock,
                std::chrono::steady_clock::time_point deadline,
                HeardConflicts& conflicts) {
  for (;;) {
    {
      Hold hold(file, Hold::Mode::kSave);
      if (MergeAndWrite(file, lock, hold, deadline, conflicts)) return true;
    }
    if (!WaitUntilSettled(lock.File(), lock.Directory(), lock.Leaf().c_str(),
                          deadline)) {
      return false;
    }
  }
}

}  // namespace

void WriteValue(File& file, const std::optional<std::string>& section,
                const std::string& key, const std::string& value,
                std::string_view name) {
  CheckStorable(section, key, value, name);
  Changing(file, [&] { return LoggedWrite(file, section, key, value); });
}

void EraseKey(File& file, const std::optional<std::string>& section,
              std::string_view key) {
  Changing(file, [&] { return LoggedEraseKey(file, section, key, true); });
}

void EraseSection(File& file, const std::optional<std::string>& section) {
  Changing(file, [&] { return LoggedEraseSection(file, section); });
}

void Flush(File& file) {
  {
    // Save mode, not read mode: another save, which clears the log, may be
    // under way, and readers are let in beside it.
    const Hold hold(file, Hold::Mode::kSave);
    if (!HasUnsaved(DocumentState::Of(file))) return;  // no lock taken
  }
  // The bound of every wait for an outside writer, however often the file
  // is replaced meanwhile and locked again.
  const auto deadline = ProcessLock::DeadlineFromNow();
  HeardConflicts conflicts;  // told once the locks below are let go
  for (;;) {
    // The lock between processes first: while another process holds it,
    // this one holds nothing of the document, so reads and deferred changes
    // go on.
    const ProcessLock lock(file.path);
    // An in-place save of the file that a crash cut short is completed
    // first, and then merged into as another writer's version.
    CompleteInterruptedRewrite(lock.File(), lock.Directory(), lock.Leaf(),
                               file.path);
    try {
      if (SaveLocked(file, lock, deadline, conflicts)) return;
    } catch (const fs::filesystem_error& error) {
      // An editor renamed the locked file away, or another over it, after
      // the save looked: what the name holds now is merged into, not
      // replaced unread.
      struct stat held {
      }, named{};
      if (error.code().value() != ESTALE ||
          std::chrono::steady_clock::now() >= deadline ||
          (::fstat(lock.File(), &held) == 0 &&
           ::fstatat(lock.Directory(), lock.Leaf().c_str(), &named,
                     AT_SYMLINK_NOFOLLOW) == 0 &&
           SameFile(held, named))) {
        throw;
      }
    }
  }
}

void Reload(File& file) {
  // Before the hold, as it may take the lock between processes.
  CompleteInterruptedRewrite(file.path);
  const auto deadline = ProcessLock::DeadlineFromNow();
  HeardConflicts conflicts;  // told once the hold is let go
  for (bool settled = false;;) {
    const Descriptor fd = OpenForReading(file.path);
    {
      Hold hold(file, Hold::Mode::kSave);
      DocumentState& state = DocumentState::Of(file);
      auto theirs = ChangedSince(state.disk, fd.Get(), file.path);
      if (!theirs) return;
      // A name missing for the quiet period is a file deleted.
      if ((settled && fd.Get() < 0) ||
          !StillBeingWritten(state.disk, *theirs, fd.Get(), fd.Get(), deadline,
                             file.path)) {
        Merge(file, *theirs, hold, conflicts);
        return;
      }
    }
    // Holding nothing of the document, as a save does.
    settled = WaitUntilSettled(fd.Get(), AT_FDCWD, file.path.c_str(), deadline);
  }
}

bool RenameSection(File& file, const std::string& from, const std::string& to,
                   std::string_view name) {
  CheckSectionName(to, name);
  return Changing(file,
                  [&] { return LoggedRenameSection(file, from, to, name); });
}

void SetSaveInPlace(File& file, bool inPlace) {
  DocumentState::Of(file).saveInPlace = inPlace;
}

void KeepLineEndings(File& file) {
  DocumentState::Of(file).keepsEndings = true;
}

std::string Bytes(const File& file) {
  const DocumentState& state = DocumentState::Of(file);
  // Indexed by LineEnding; the free functions' saves end every line with LF.
  static constexpr std::string_view kEndings[] = {"\n", "\r\n", "\r", ""};
  const auto endingOf = [&](const Line& line) {
    return state.keepsEndings ? kEndings[static_cast<std::size_t>(line.ending)]
                              : kEndings[0];
  };
  std::size_t size = kByteOrderMark.size();
  for (const auto& line : file.lines) {
    size += line->text.size() + endingOf(*line).size();
  }
  std::string content;
  content.reserve(size);
  // A document without lines saves as an empty file, mark or not.
  if (state.byteOrderMark && !file.lines.empty()) content = kByteOrderMark;
  for (const auto& line : file.lines) {
    content += line->text;
    content += endingOf(*line);
  }
  return content;
}

void WriteAsItStands(File& file) { WriteUnlocked(file); }

}  // namespace detail

}  // namespace vty::config::ini
