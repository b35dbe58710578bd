// Merging: how another writer's edit enters a document.
//
// A document keeps no copy of what it last read; its change log (ChangeLog.h)
// says which keys and sections it changed since. So a merge parses their file
// in and replays the log on top: edits of different keys by two writers both
// survive, the same key ends with the value of the later save, and lines the
// other side added stay where it put them. A write of ours re-applies the
// value we hold now, a comment edit the block we hold now above that key or
// header, each read before their text replaces ours.

#include "save/Merge.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "document/Comments.h"
#include "document/KeptWrite.h"
#include "document/Load.h"
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

void Merge(File& file, const DiskContent& theirs, Hold& hold) {
  struct Redo {
    Kind kind;
    std::optional<std::string> section;
    std::string key;
    std::vector<std::string> values;  // one, but for a repeated write
    std::shared_ptr<const Syntax> syntax;
    bool repeated = false;
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
    if (change.kind != Kind::kWrite && change.kind != Kind::kComment) {
      redo.push_back(
          Redo{change.kind, change.section, change.key, {}, change.syntax});
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
              change.repeated};
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
  for (const Redo& change : redo) {
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
