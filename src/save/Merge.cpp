// Merging: how another writer's edit enters a document.
//
// A document keeps no copy of what it last read; its change log (ChangeLog.h)
// says which keys and sections it changed since. So a merge parses their file
// in and replays the log on top: edits of different keys by two writers both
// survive, and lines the other side added stay where it put them. A write of
// ours re-applies the value we hold now, a comment edit the block we hold now
// above that key or header, each read before their text replaces ours.
//
// One key both writers changed is a conflict, and the later change stands:
// the log keeps what the key held before our first change of it and when we
// last changed it, and their file differs from the former when they changed
// it too. Our change's time (WallClockNow) is weighed against their file's
// modification time, both of the wall clock the kernel stamps files by. A
// file time is never later than its write, so whatever they wrote before
// our change loses to it, and so does a time equal to ours: a save of
// ours, made at once, must not lose to an edit it followed. Only an edit of
// theirs within a tick of the file clock after our change may count as
// earlier. A file time in the future is later than every change of ours,
// and theirs stands; it holds no later change of ours hostage, as the next
// merge weighs only what changed after this one. A file deleted or emptied
// is weighed as no edit at all, and ours stands: that is what a writer cut
// short leaves, and what the lock between processes makes of a deleted
// file, not a choice to lose ours. When theirs stands, the change leaves the
// log, so the document keeps their value and a listener hears it replace
// ours; either way the error handler is told. A section erased or renamed is
// not weighed, nor are its keys: what a key of it held is not what the file
// held, and the section's change is re-applied as ever.

#include "save/Merge.h"

#include <algorithm>
#include <atomic>
#include <list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "document/Comments.h"
#include "document/KeptWrite.h"
#include "document/KeyLines.h"
#include "document/Load.h"
#include "text/Names.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini::detail {

namespace {

using Kind = ChangeLog::Kind;

std::atomic<MergeListener>& Listener() {
  static std::atomic<MergeListener> listener{nullptr};
  return listener;
}

}  // namespace

void SetMergeListener(MergeListener listener) noexcept {
  Listener().store(listener, std::memory_order_release);
}

namespace {

// The folded names (AppendSectionName) of the sections the log erases or
// renames, either name of a rename: their keys are not weighed.
std::unordered_set<std::string> Restructured(
    const std::list<ChangeLog::Change>& changes) {
  std::unordered_set<std::string> names;
  for (const ChangeLog::Change& change : changes) {
    if (change.kind != Kind::kEraseSection &&
        change.kind != Kind::kRenameSection) {
      continue;
    }
    std::string name;
    AppendSectionName(name, change.section);
    names.insert(std::move(name));
    if (change.kind == Kind::kRenameSection) {
      name.clear();
      AppendSectionName(name, change.key);
      names.insert(std::move(name));
    }
  }
  return names;
}

std::optional<std::string> Joined(const std::vector<std::string>& values) {
  if (values.empty()) return std::nullopt;
  std::string joined = values.front();
  for (std::size_t i = 1; i < values.size(); ++i) {
    joined.append("\n").append(values[i]);
  }
  return joined;
}

}  // namespace

void Merge(File& file, const DiskContent& theirs, Hold& hold,
           HeardConflicts& conflicts) {
  struct Redo {
    Kind kind;
    std::optional<std::string> section;
    std::string key;
    std::vector<std::string> values;  // one, but for a repeated write
    std::shared_ptr<const Syntax> syntax;
    bool repeated = false;
    // A key's write or erase, to weigh against theirs; null when not
    // weighed.
    const ChangeLog::Change* weighed = nullptr;
  };
  // Walked from the last change back, so that a write is looked up under
  // the name its section has now: the renames after it, applied in order.
  // It is re-applied under its old name, before those renames.
  std::vector<Redo> redo;
  std::vector<const ChangeLog::Change*> renamesAfter;  // the latest first
  ChangeLog& log = DocumentState::Of(file).changes;
  const auto& changes = log.InOrder();
  const std::unordered_set<std::string> restructured = Restructured(changes);
  std::string name;
  const auto weighs = [&](const ChangeLog::Change& change) {
    if (!change.loaded) return false;
    if (restructured.empty()) return true;
    name.clear();
    AppendSectionName(name, change.section);
    return restructured.count(name) == 0;
  };
  for (auto each = changes.rbegin(); each != changes.rend(); ++each) {
    const ChangeLog::Change& change = *each;
    if (change.kind == Kind::kRenameSection) renamesAfter.push_back(&change);
    if (change.kind != Kind::kWrite && change.kind != Kind::kComment) {
      redo.push_back(
          Redo{change.kind, change.section, change.key, {}, change.syntax});
      if (change.kind == Kind::kEraseKey && weighs(change)) {
        redo.back().weighed = &change;
      }
      continue;
    }
    std::optional<std::string> now = change.section;
    for (auto rename = renamesAfter.rbegin(); rename != renamesAfter.rend();
         ++rename) {
      if (now && IsEqual(*now, *(*rename)->section)) now = (*rename)->key;
    }
    if (change.kind == Kind::kComment) {
      // The block we hold now, when its line is still ours to read.
      if (const Line* line =
              CommentedLine(file, now, change.key, *change.syntax)) {
        redo.push_back(
            Redo{change.kind,
                 now == change.section ? line->section->name : change.section,
                 change.key,
                 {CommentAbove(file, *line)},
                 change.syntax});
      }
      continue;
    }
    std::vector<KeyLines> lines;
    if (!change.syntax) {
      lines.emplace_back().pair = FindPair(file, now, change.key);
    } else if (change.repeated) {
      lines = FindAllKeyLines(file, now, change.key, *change.syntax);
    } else {
      lines.push_back(FindKeyLines(file, now, change.key, *change.syntax));
    }
    if (lines.empty() || lines.front().pair == nullptr) continue;
    // else the write failed before it changed anything
    const KeyValuePair& pair = *lines.front().pair;
    Redo made{change.kind,
              now == change.section ? pair.section->name : change.section,
              pair.key,
              {},
              change.syntax,
              change.repeated,
              weighs(change) ? &change : nullptr};
    std::string scratch;
    for (const KeyLines& each : lines) {
      made.values.emplace_back(
          change.syntax ? ValueOf(each, *change.syntax, scratch, Given::kStored)
                        : std::string_view(each.pair->value));
    }
    redo.push_back(std::move(made));
  }
  std::reverse(redo.begin(), redo.end());
  const MergeListener listener = Listener().load(std::memory_order_acquire);
  const std::function<void(const File&)> heard =
      listener != nullptr ? listener(file) : nullptr;
  hold.ToChange();
  Parse(file, theirs);
  // Whether our change of a key is re-applied: unless they changed the key
  // too, later (see the top). The same change on both sides is no conflict.
  const auto reapplied = [&](const Redo& change) {
    if (change.weighed == nullptr) return true;
    const ChangeLog::Change& logged = *change.weighed;
    std::vector<std::string> found =
        ValuesOfKey(file, change.section, change.key, logged.loadedBy.get());
    if (found == *logged.loaded) return true;  // they left it alone
    if (found != change.values) {
      const bool oursStands =
          theirs.bytes.empty() || logged.madeAt >= theirs.snapshot.modified;
      conflicts.Add(file.path.string(),
                    Conflict(file.path.string(), change.section, change.key,
                             Joined(change.values), Joined(found), oursStands));
      if (!oursStands) {
        log.Drop(logged);
        return false;
      }
    }
    log.Rebase(logged, std::move(found));
    return true;
  };
  for (const Redo& change : redo) {
    if (!reapplied(change)) continue;
    switch (change.kind) {
      case Kind::kWrite:
        if (change.repeated) {
          SetAllKept(file, change.section, change.key, change.values,
                     *change.syntax, Given::kStored);
        } else if (change.syntax) {
          const KeyLines found =
              FindKeyLines(file, change.section, change.key, *change.syntax);
          const std::string& value = change.values.front();
          SetKept(
              file, found.pair, change.section, change.key, value,
              KeptTextOf(file, found, value, *change.syntax, Given::kStored),
              *change.syntax);
        } else {
          SetValue(file, change.section, change.key, change.values.front());
        }
        break;
      case Kind::kEraseKey:
        if (change.syntax) {
          EraseKeyLines(file, change.section, change.key, *change.syntax);
        } else {
          RemoveKey(file, change.section, change.key);
        }
        break;
      case Kind::kEraseSection:
        RemoveSection(file, change.section);
        break;
      case Kind::kComment:
        // Onto their line of the key or header; gone there, nothing to do.
        if (const Line* line = CommentedLine(file, change.section, change.key,
                                             *change.syntax)) {
          SetCommentAbove(file, *line, change.values.front());
        }
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
  if (heard) heard(file);
  hold.ToSave();
}

}  // namespace vty::config::ini::detail
