// Merging: how another writer's edit enters a document.
//
// A document keeps no copy of what it last read; its change log (ChangeLog.h)
// says which keys and sections it changed since. So a merge parses their file
// in and replays the log on top: edits of different keys by two writers both
// survive, the same key ends with the value of the later save, and lines the
// other side added stay where it put them. A write of ours re-applies the
// value we hold now, read before their text replaces ours.

#include "save/Merge.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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
    const KeyValuePair* pair =
        change.syntax ? FindPairBy(file, now, change.key, *change.syntax)
                      : FindPair(file, now, change.key);
    if (pair != nullptr) {
      redo.push_back(Redo{
          change.kind,
          now == change.section ? pair->section->name : change.section,
          pair->key,
          change.syntax ? std::string(StoredValue(pair->value, *change.syntax))
                        : pair->value,
          change.syntax});
    }  // else the write failed before it changed anything
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
        if (change.syntax) {
          KeyValuePair* pair =
              FindPairBy(file, change.section, change.key, *change.syntax);
          SetKept(file, pair, change.section, change.key, change.value,
                  KeptStoredOf(pair, change.value, *change.syntax),
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
  if (heard) heard(file);
  hold.ToSave();
}

}  // namespace vty::config::ini::detail
