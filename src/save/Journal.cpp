// The journal: see Journal.h.

#include "save/Journal.h"

#include "document/Comments.h"
#include "document/KeptWrite.h"
#include "text/Refusal.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini::detail {

namespace {

using Kind = ChangeLog::Kind;

bool HasSection(const File& file, const std::optional<std::string>& section) {
  return file.sections.find(section) != file.sections.end();
}

// Throws invalid_argument for a value the handle's lines cannot hold as
// meant (KeptTextOf), naming the key and `name`.
void RefuseKept(const KeptText& kept, const std::optional<std::string>& section,
                const std::string& key, std::string_view meant,
                std::string_view name) {
  if (kept.refusal.empty()) return;
  Refuse("value \"" + std::string(meant) + "\" of " +
             KeySubject(section, key, name),
         kept.refusal);
}

// Keeps what the key of `entry` held before this document first changed
// it, for a merge to weigh another writer's edit of it by: called before
// the edit is made.
void KeepLoaded(const File& file, const ChangeLog::Entry entry,
                const std::optional<std::string>& section, std::string_view key,
                const std::shared_ptr<const Syntax>& syntax) {
  if (entry->loaded) return;
  entry->loadedBy = syntax;
  entry->loaded = ValuesOfKey(file, section, key, syntax.get());
}

}  // namespace

bool LoggedWrite(File& file, const std::optional<std::string>& section,
                 const std::string& key, const std::string& value) {
  DocumentState& state = DocumentState::Of(file);
  ChangeLog& changes = state.changes;
  KeyValuePair* pair = FindPair(file, section, key);
  if (pair != nullptr && pair->value == value) {
    Rewrite(*pair, value);  // its line is written anew all the same
    state.rewritten = true;
    return true;
  }
  const ChangeLog::Entry entry = changes.Add(Kind::kWrite, section, key, pair);
  KeepLoaded(file, entry, section, key, nullptr);
  if (pair != nullptr) {
    Rewrite(*pair, value);
  } else {
    changes.Cache(SetValue(file, section, key, value), entry);
  }
  return true;
}

bool LoggedKeptWrite(File& file, const std::optional<std::string>& section,
                     const std::string& key, std::string_view value,
                     const std::shared_ptr<const Syntax>& syntax,
                     std::string_view name, Given given) {
  ChangeLog& changes = DocumentState::Of(file).changes;
  const KeyLines found = FindKeyLines(file, section, key, *syntax);
  std::string scratch;
  if (found.pair != nullptr &&
      ValueOf(found, *syntax, scratch, given) == value) {
    return false;
  }
  KeptText kept = KeptTextOf(file, found, value, *syntax, given);
  RefuseKept(kept, section, key, value, name);
  const ChangeLog::Entry entry =
      changes.Add(Kind::kWrite, section, key, found.pair, syntax);
  KeepLoaded(file, entry, section, key, syntax);
  KeyValuePair* line =
      SetKept(file, found.pair, section, key, value, std::move(kept), *syntax);
  if (found.pair == nullptr) changes.Cache(line, entry);
  return true;
}

bool LoggedAdd(File& file, const std::optional<std::string>& section,
               const std::string& key, std::string_view meant,
               const std::shared_ptr<const Syntax>& syntax,
               std::string_view name) {
  KeptText kept = KeptTextOf(file, KeyLines{}, meant, *syntax);
  RefuseKept(kept, section, key, meant, name);
  const ChangeLog::Entry entry = DocumentState::Of(file).changes.Add(
      Kind::kWrite, section, key, nullptr, syntax);
  entry->repeated = true;
  KeepLoaded(file, entry, section, key, syntax);
  AddKept(file, section, key, std::move(kept), *syntax);
  return true;
}

bool LoggedEraseKey(File& file, const std::optional<std::string>& section,
                    std::string_view key, bool missingSaves,
                    const std::shared_ptr<const Syntax>& syntax) {
  if (!HasSection(file, section)) return false;
  DocumentState& state = DocumentState::Of(file);
  const KeyValuePair* found = syntax ? FindPairBy(file, section, key, *syntax)
                                     : FindPair(file, section, key);
  if (found == nullptr) {
    // Nothing to erase; the free functions save all the same.
    state.rewritten = state.rewritten || missingSaves;
    return missingSaves;
  }
  KeepLoaded(file,
             state.changes.Add(Kind::kEraseKey, section, key, nullptr, syntax),
             section, key, syntax);
  return syntax ? EraseKeyLines(file, section, key, *syntax)
                : RemoveKey(file, section, key);
}

bool LoggedEraseSection(File& file, const std::optional<std::string>& section) {
  if (!HasSection(file, section)) return false;
  DocumentState::Of(file).changes.Add(Kind::kEraseSection, section, {});
  return RemoveSection(file, section);
}

// A rename is logged after it is made, so that a refused name logs nothing,
// and undone if the log cannot take it.
bool LoggedRenameSection(File& file, const std::string& from,
                         const std::string& to, std::string_view name) {
  if (!HasSection(file, from) || from == to) return false;
  if (!IsEqual(from, to) && HasSection(file, to)) {
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

bool LoggedComment(File& file, const std::optional<std::string>& section,
                   const std::string& key, std::string_view text,
                   const std::shared_ptr<const Syntax>& syntax,
                   std::string_view name) {
  const Line* line = CommentedLine(file, section, key, *syntax);
  if (line == nullptr) {
    Refuse(CommentSubject(section, key, name),
           !key.empty() ? "finds no line of that key in the section itself"
           : section    ? "finds no such section"
                        : "finds no header: the unnamed section has none");
  }
  if (CommentAbove(file, *line) == text) return false;
  DocumentState::Of(file).changes.Add(Kind::kComment, section, key, nullptr,
                                      syntax);
  SetCommentAbove(file, *line, text);
  return true;
}

}  // namespace vty::config::ini::detail
