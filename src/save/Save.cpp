// Every change and every save of a document.
//
// A change (WriteValue, EraseKey, EraseSection) edits the document's lines
// under its hold in change mode, logs itself in the change log, and then
// applies the write rule: deferred, it only marks the document changed;
// otherwise the document is saved at once by a Flush.
//
// A save never throws away a change it did not make. It takes the file's
// ProcessLock (before the document's hold, in save mode, which lets readers
// in), checks whether someone else wrote the file since this document
// last loaded or saved it (Disk.cpp) and, if so, re-reads it and re-applies
// this document's own changes on top, in the order they were made; then it
// replaces the file durably (DurableWrite.cpp). A file that another program
// has just emptied or shrunk in place is first watched until it is still
// (HalfWritten.cpp): never merged into while half-written. So edits of
// different keys by two processes both survive, the same key ends with the
// value of the later save, and lines the other side added stay where it put
// them.

#include "save/Save.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "disk/Disk.h"
#include "disk/DurableWrite.h"
#include "disk/HalfWritten.h"
#include "disk/ProcessLock.h"
#include "document/KeptWrite.h"
#include "document/Load.h"
#include "live/Watcher.h"
#include "text/Refusal.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini {

namespace detail {

namespace {

namespace fs = std::filesystem;
using Kind = ChangeLog::Kind;

// Replaces the document with `theirs` and re-applies the change log on top.
// A write re-applies the value the document holds now, with the key's and
// the section's stored spelling; a handle's write re-applies the value its
// syntax reads there, as that handle writes it, into the line they left.
// `hold` is in change mode for the length of it: lines that readers may be
// reading are replaced.
void Merge(File& file, const DiskContent& theirs, Hold& hold) {
  struct Redo {
    Kind kind;
    std::optional<std::string> section;
    std::string key;
    std::string value;
    std::shared_ptr<const Syntax> syntax;
  };
  // Walked from the last change back, so that a write is looked up under
  // the name its section has now: the renames after it, applied in order.
  // It is re-applied under its old name, before those renames.
  std::vector<Redo> redo;
  std::vector<const ChangeLog::Change*> renamesAfter;  // the latest first
  const auto& changes = DocumentState::Of(file).changes.InOrder();
  for (auto each = changes.rbegin(); each != changes.rend(); ++each) {
    const ChangeLog::Change& change = *each;
    if (change.kind == Kind::kRenameSection) renamesAfter.push_back(&change);
    if (change.kind != Kind::kWrite) {
      redo.push_back(Redo{change.kind, change.section, change.key, {}, {}});
      continue;
    }
    std::optional<std::string> now = change.section;
    for (auto rename = renamesAfter.rbegin(); rename != renamesAfter.rend();
         ++rename) {
      if (now && IsEqual(*now, *(*rename)->section)) now = (*rename)->key;
    }
    if (const KeyValuePair* pair = FindPair(file, now, change.key)) {
      redo.push_back(Redo{
          change.kind,
          now == change.section ? pair->section->name : change.section,
          pair->key,
          change.syntax ? std::string(MeantValue(pair->value, *change.syntax))
                        : pair->value,
          change.syntax});
    }  // else the write failed before it changed anything
  }
  std::reverse(redo.begin(), redo.end());
  // Subscribers of the document hear what the merge changed.
  std::optional<KeyValues> before = ValuesIfWatched(file);
  hold.ToChange();
  Parse(file, theirs);
  for (const Redo& change : redo) {
    switch (change.kind) {
      case Kind::kWrite:
        if (change.syntax) {
          SetKept(file, change.section, change.key, change.value,
                  *change.syntax);
        } else {
          SetValue(file, change.section, change.key, change.value);
        }
        break;
      case Kind::kEraseKey:
        RemoveKey(file, change.section, change.key);
        break;
      case Kind::kEraseSection:
        RemoveSection(file, change.section);
        break;
      case Kind::kRenameSection:
        // Where the other writer has made a section of the new name, or a
        // header of theirs would not take it, theirs keeps its name and
        // this document's keys stay under the old one: nothing is lost.
        try {
          RenameHeaders(file, *change.section, change.key, file.path.native());
        } catch (const std::invalid_argument&) {
        }
        break;
    }
  }
  if (before) QueueChanges(file, std::move(*before));
  hold.ToSave();
}

// The edits, logged. The erases return false, having changed nothing, when
// the section is missing: nothing to save then. A value written again and an
// erase of a key the section lacks change nothing another writer need lose:
// they are saved, but not logged, so that a merge keeps that writer's edit of
// the key.
void LoggedWrite(File& file, const std::optional<std::string>& section,
                 const std::string& key, const std::string& value) {
  DocumentState& state = DocumentState::Of(file);
  ChangeLog& changes = state.changes;
  KeyValuePair* pair = FindPair(file, section, key);
  if (pair != nullptr && pair->value == value) {
    Rewrite(*pair, value);  // its line is written anew all the same
    state.rewritten = true;
    return;
  }
  const ChangeLog::Entry entry = changes.Add(Kind::kWrite, section, key, pair);
  if (pair != nullptr) {
    Rewrite(*pair, value);
  } else {
    changes.Cache(SetValue(file, section, key, value), entry);
  }
}

bool LoggedEraseKey(File& file, const std::optional<std::string>& section,
                    std::string_view key) {
  if (file.sections.find(section) == file.sections.end()) return false;
  DocumentState& state = DocumentState::Of(file);
  if (FindPair(file, section, key) == nullptr) {
    state.rewritten = true;  // nothing to erase, yet a change that saves
    return true;
  }
  state.changes.Add(Kind::kEraseKey, section, key);
  return RemoveKey(file, section, key);
}

bool LoggedEraseSection(File& file, const std::optional<std::string>& section) {
  if (file.sections.find(section) == file.sections.end()) return false;
  DocumentState::Of(file).changes.Add(Kind::kEraseSection, section, {});
  return RemoveSection(file, section);
}

// A rename is logged after it is made, so that a refused name logs nothing,
// and undone if the log cannot take it.
bool LoggedRenameSection(File& file, const std::string& from,
                         const std::string& to, std::string_view name) {
  if (file.sections.find(from) == file.sections.end() || from == to) {
    return false;
  }
  if (!IsEqual(from, to) && file.sections.count(to) != 0) {
    Refuse("section name \"" + to + "\" of " + std::string(name),
           "names a section there already; [" + from + "] keeps its name");
  }
  RenameHeaders(file, from, to, name);
  try {
    DocumentState::Of(file).changes.AddRename(from, to);
  } catch (...) {
    RenameHeaders(file, to, from, name);
    throw;
  }
  return true;
}

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
    // The change is not on disk: keep counting the document as changed, so
    // the next flush tries again. What a failed rewrite in place left is no
    // one else's change: the retry writes this document over it, whole.
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
  Changing(file, [&] {
    LoggedWrite(file, section, key, value);
    return true;
  });
}

void EraseKey(File& file, const std::optional<std::string>& section,
              std::string_view key) {
  Changing(file, [&] { return LoggedEraseKey(file, section, key); });
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
  // The lock between processes first: while another process holds it, this
  // one holds nothing of the document, so reads and deferred changes go on.
  const ProcessLock lock(file.path);
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
    Merge(file, *theirs, hold);
    if (state.changes.Empty()) return;  // theirs is all there is to save
  }
  WriteUnlocked(file, SaveOptions{lock.File(), lock.Directory()});
  state.directory = directory;
}

void Reload(File& file) {
  Hold hold(file, Hold::Mode::kSave);
  const Descriptor fd = OpenForReading(file.path);
  DocumentState& state = DocumentState::Of(file);
  if (auto theirs = ChangedSince(state.disk, fd.Get(), file.path)) {
    if (auto still = WaitUntilStill(state.disk, fd.Get(), file.path,
                                    ProcessLock::DeadlineFromNow())) {
      theirs = std::move(still);
    }
    Merge(file, *theirs, hold);
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

std::string Bytes(const File& file) {
  std::size_t size = kByteOrderMark.size();
  for (const auto& line : file.lines) size += line->text.size() + 1;
  std::string content;
  content.reserve(size);
  // A document without lines saves as an empty file, mark or not.
  if (DocumentState::Of(file).byteOrderMark && !file.lines.empty()) {
    content = kByteOrderMark;
  }
  for (const auto& line : file.lines) {
    content += line->text;
    content += '\n';
  }
  return content;
}

}  // namespace detail

// ---- File's members ----

void File::WriteValue(const std::optional<std::string>& section,
                      const std::string& key, const std::string& value) {
  detail::WriteValue(*this, section, key, value, path.native());
}

void File::EraseKey(const std::optional<std::string>& section,
                    const std::string_view& key) {
  detail::EraseKey(*this, section, key);
}

void File::EraseSection(const std::optional<std::string>& section) {
  detail::EraseSection(*this, section);
}

void File::Write() { detail::WriteUnlocked(*this); }

void File::Flush() { detail::Flush(*this); }

void File::Reload() { detail::Reload(*this); }

}  // namespace vty::config::ini
