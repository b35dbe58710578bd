// Merging: how another writer's edit enters a document.
//
// A document keeps no copy of what it last read; its change log (ChangeLog.h)
// says which keys and sections it changed since. So a merge parses their file
// in and replays the log on top: edits of different keys by two writers both
// survive, the same key ends with the value of the later save, and lines the
// other side added stay where it put them. A write of ours re-applies the
// value we hold now, read before their text replaces ours.

#include "save/Merge.h"

#include <atomic>
#include <memory>
#include <optional>
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
  std::vector<Redo> redo;
  for (const ChangeLog::Change& change :
       DocumentState::Of(file).changes.InOrder()) {
    if (change.kind != Kind::kWrite) {
      redo.push_back(Redo{change.kind, change.section, change.key, {}, {}});
    } else if (const KeyValuePair* pair =
                   change.syntax ? FindPairBy(file, change.section, change.key,
                                              *change.syntax)
                                 : FindPair(file, change.section, change.key)) {
      redo.push_back(Redo{
          change.kind, pair->section->name, pair->key,
          change.syntax ? std::string(MeantValue(pair->value, *change.syntax))
                        : pair->value,
          change.syntax});
    }  // else the write failed before it changed anything
  }
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
                  KeptTextOf(pair, change.value, *change.syntax),
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
    }
  }
  if (heard) heard(file);
  hold.ToSave();
}

}  // namespace vty::config::ini::detail
