// Several processes, one file: a save never throws away a change it did not
// make. Every save takes the file's ProcessLock, checks whether someone else
// wrote the file since this document last loaded or saved it and, if so,
// re-reads it and re-applies this document's own changes on top, in the
// order they were made, before it writes. So edits of different keys by two
// processes both survive, the same key ends with the value of the later
// save, and lines the other side added stay where it put them.

#include <mutex>
#include <vector>

#include "Internal.h"

namespace vty::config::ini {

namespace detail {

namespace {

using Kind = ChangeLog::Kind;

// Replaces the document with `theirs` and re-applies the change log on top.
// A write re-applies the value the document holds now, with the key's and
// the section's stored spelling.
void Merge(File& file, const DiskContent& theirs) {
  struct Redo {
    Kind kind;
    std::optional<std::string> section;
    std::string key;
    std::string value;
  };
  DocumentState& state = DocumentState::Of(file);
  std::vector<Redo> redo;
  for (const ChangeLog::Change& change : state.changes.InOrder()) {
    if (change.kind != Kind::kWrite) {
      redo.push_back(Redo{change.kind, change.section, change.key, {}});
    } else if (const KeyValuePair* pair =
                   FindPair(file, change.section, change.key)) {
      redo.push_back(
          Redo{change.kind, pair->section->name, pair->key, pair->value});
    }  // else the write failed before it changed anything
  }
  Parse(file, theirs);
  for (const Redo& change : redo) {
    switch (change.kind) {
      case Kind::kWrite:
        SetValue(file, change.section, change.key, change.value);
        break;
      case Kind::kEraseKey:
        RemoveKey(file, change.section, change.key);
        break;
      case Kind::kEraseSection:
        RemoveSection(file, change.section);
        break;
    }
  }
}

}  // namespace

// ---- The change log ----

const std::string& ChangeLog::Target(const std::optional<std::string>& section,
                                     std::string_view key, bool wholeSection) {
  // "u" or "n<length>:<name>" for the section, then "S" or "K<key>", folded:
  // unambiguous whatever bytes the names hold.
  scratch_.clear();
  if (section) {
    scratch_.append("n").append(std::to_string(section->size())).append(":");
    for (const char c : *section) scratch_ += FoldAscii(c);
  } else {
    scratch_ += 'u';
  }
  scratch_ += wholeSection ? 'S' : 'K';
  for (const char c : key) scratch_ += FoldAscii(c);
  return scratch_;
}

void ChangeLog::Add(Kind kind, const std::optional<std::string>& section,
                    std::string_view key) {
  const bool wholeSection = kind == Kind::kEraseSection;
  const auto found = byTarget_.find(Target(section, key, wholeSection));
  if (found != byTarget_.end()) {
    Change& change = *found->second;
    // A key written again keeps its place: its line stays where the first
    // write put it. Anything else now comes after every other change.
    if (kind == Kind::kWrite && change.kind == Kind::kWrite) return;
    change.kind = kind;
    changes_.splice(changes_.end(), changes_, found->second);
  } else {
    std::list<Change> made;
    made.push_back(Change{kind, section, std::string(wholeSection ? "" : key)});
    byTarget_.emplace(scratch_, made.begin());
    changes_.splice(changes_.end(), made);
  }
  if (kind != Kind::kWrite) Uncover();  // lines are about to go
  if (!wholeSection) return;
  // The section's erase undoes every earlier change of its keys; keeping
  // them would let a later write of such a key keep a place before it.
  for (auto change = changes_.begin(); change != std::prev(changes_.end());) {
    if (change->kind != Kind::kEraseSection &&
        File::SectionNameEq()(change->section, section)) {
      byTarget_.erase(Target(change->section, change->key, false));
      change = changes_.erase(change);
    } else {
      ++change;
    }
  }
}

void ChangeLog::Clear() {
  changes_.clear();
  byTarget_.clear();
  Uncover();
}

namespace {

std::size_t AddressHash(const KeyValuePair* pair) {
  return static_cast<std::size_t>(
      (reinterpret_cast<std::uintptr_t>(pair) >> 4) * 0x9e3779b97f4a7c15ull);
}

}  // namespace

bool ChangeLog::Covers(const KeyValuePair* pair) const {
  if (covered_.empty()) return false;
  const std::size_t mask = covered_.size() - 1;
  for (std::size_t i = AddressHash(pair) & mask;; i = (i + 1) & mask) {
    if (covered_[i] == pair) return true;
    if (covered_[i] == nullptr) return false;
  }
}

void ChangeLog::Cover(const KeyValuePair* pair) noexcept {
  if ((coveredCount_ + 1) * 2 > covered_.size()) {
    std::vector<const KeyValuePair*> old;
    try {
      old.assign(covered_.empty() ? 16 : covered_.size() * 2, nullptr);
    } catch (...) {
      return;
    }
    old.swap(covered_);
    coveredCount_ = 0;
    for (const KeyValuePair* kept : old) {
      if (kept != nullptr) Cover(kept);
    }
  }
  const std::size_t mask = covered_.size() - 1;
  std::size_t i = AddressHash(pair) & mask;
  while (covered_[i] != nullptr && covered_[i] != pair) i = (i + 1) & mask;
  if (covered_[i] == nullptr) ++coveredCount_;
  covered_[i] = pair;
}

void ChangeLog::Uncover() noexcept {
  covered_.clear();
  coveredCount_ = 0;
}

// ---- Saving and reloading ----

namespace {

// Merge, with `held` (when given) in change mode for the merge only: it
// replaces lines that readers may be reading.
void MergeHeld(File& file, const DiskContent& theirs, WriterHold* held) {
  if (held != nullptr) held->ToChange();
  Merge(file, theirs);
  if (held != nullptr) held->ToSave();
}

}  // namespace

void SaveChanges(File& file, WriterHold* held) {
  DocumentState& state = DocumentState::Of(file);
  if (state.changes.Empty()) return;  // nothing of our own to save
  const ProcessLock lock(file.path);
  // A file the lock had to create held nothing: as if still missing.
  if (auto theirs = ChangedSince(state.disk, lock.Created() ? -1 : lock.File(),
                                 file.path)) {
    if (auto still = WaitUntilStill(state.disk, lock.File(), file.path,
                                    lock.Deadline())) {
      theirs = std::move(still);
    }
    MergeHeld(file, *theirs, held);
  }
  WriteDocument(file, SaveOptions{lock.File(), lock.Directory()});
}

void Refresh(File& file, WriterHold* held) {
  const Descriptor fd = OpenForReading(file.path);
  DocumentState& state = DocumentState::Of(file);
  if (auto theirs = ChangedSince(state.disk, fd.Get(), file.path)) {
    if (auto still = WaitUntilStill(state.disk, fd.Get(), file.path,
                                    ProcessLock::DeadlineFromNow())) {
      theirs = std::move(still);
    }
    MergeHeld(file, *theirs, held);
  }
}

}  // namespace detail

void File::Reload() {
  std::unique_lock lock(mutex);
  detail::Refresh(*this, nullptr);
}

}  // namespace vty::config::ini
