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
// (DurableWrite.cpp). A file that another program has just emptied or shrunk
// in place is first watched until it is still (HalfWritten.cpp): never
// merged into while half-written.

#include "save/Save.h"

#include <algorithm>
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
  HeardConflicts conflicts;  // told once the locks below are let go
  {
    // Save mode, not read mode: another save, which clears the log, may be
    // under way, and readers are let in beside it.
    const Hold hold(file, Hold::Mode::kSave);
    if (!HasUnsaved(DocumentState::Of(file))) return;  // no lock taken
  }
  // The lock between processes first: while another process holds it, this
  // one holds nothing of the document, so reads and deferred changes go on.
  const ProcessLock lock(file.path);
  // An in-place save of the file that a crash cut short is completed first,
  // and then merged into as another writer's version.
  CompleteInterruptedRewrite(lock.File(), lock.Directory(), lock.Leaf(),
                             file.path);
  Hold hold(file, Hold::Mode::kSave);
  DocumentState& state = DocumentState::Of(file);
  if (!HasUnsaved(state)) return;  // saved by another thread meanwhile
  // A file in another directory than the one it was read from (swapped for
  // a link, or replaced) is someone else's: merged into, never overwritten
  // with what this document read elsewhere.
  const auto directory = lock.DirectoryIdentity();
  DiskSnapshot unrelated;
  unrelated.exists = true;  // matches no file, not even a missing one
  const bool moved = state.directory != std::pair<dev_t, ino_t>{0, 0} &&
                     state.directory != directory;
  // A file the lock had to create held nothing: as if still missing.
  if (auto theirs =
          ChangedSince(moved ? unrelated : state.disk,
                       lock.Created() ? -1 : lock.File(), file.path)) {
    if (auto still = WaitUntilStill(state.disk, lock.File(), file.path,
                                    lock.Deadline())) {
      theirs = std::move(still);
    }
    Merge(file, *theirs, hold, conflicts);
    if (state.changes.Empty()) return;  // theirs is all there is to save
  }
  WriteUnlocked(file, SaveOptions{lock.File(), lock.Directory(), lock.Leaf()});
  state.directory = directory;
}

void Reload(File& file) {
  HeardConflicts conflicts;  // told once the hold is let go
  // Before the hold, as it may take the lock between processes.
  CompleteInterruptedRewrite(file.path);
  Hold hold(file, Hold::Mode::kSave);
  const Descriptor fd = OpenForReading(file.path);
  DocumentState& state = DocumentState::Of(file);
  if (auto theirs = ChangedSince(state.disk, fd.Get(), file.path)) {
    if (auto still = WaitUntilStill(state.disk, fd.Get(), file.path,
                                    ProcessLock::DeadlineFromNow())) {
      theirs = std::move(still);
    }
    Merge(file, *theirs, hold, conflicts);
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
