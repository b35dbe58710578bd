// The journal: see Journal.h.

#include "save/Journal.h"

#include "document/KeptWrite.h"
#include "text/Refusal.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini::detail {

namespace {

using Kind = ChangeLog::Kind;

bool HasSection(const File& file, const std::optional<std::string>& section) {
  return file.sections.find(section) != file.sections.end();
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
  KeyValuePair* pair = FindPairBy(file, section, key, *syntax);
  const bool meant = given == Given::kMeant;
  if (pair != nullptr) {
    std::string scratch;
    if ((meant ? MeantValue(pair->value, *syntax, scratch)
               : StoredValue(pair->value, *syntax)) == value) {
      return false;
    }
  }
  KeptText kept = meant ? KeptTextOf(pair, value, *syntax)
                        : KeptStoredOf(pair, value, *syntax);
  if (!kept.refusal.empty()) {
    Refuse("value \"" + std::string(value) + "\" of " +
               KeySubject(section, key, name),
           kept.refusal);
  }
  const ChangeLog::Entry entry =
      changes.Add(Kind::kWrite, section, key, pair, syntax);
  KeyValuePair* line =
      SetKept(file, pair, section, key, value, std::move(kept), *syntax);
  if (pair == nullptr) changes.Cache(line, entry);
  return true;
}

bool LoggedEraseKey(File& file, const std::optional<std::string>& section,
                    std::string_view key, bool missingSaves) {
  if (!HasSection(file, section)) return false;
  DocumentState& state = DocumentState::Of(file);
  if (FindPair(file, section, key) == nullptr) {
    // Nothing to erase; the free functions save all the same.
    state.rewritten = state.rewritten || missingSaves;
    return missingSaves;
  }
  state.changes.Add(Kind::kEraseKey, section, key);
  return RemoveKey(file, section, key);
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

}  // namespace vty::config::ini::detail
