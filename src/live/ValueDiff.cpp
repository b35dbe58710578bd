// Comparing a document's values before and after another writer's edit.

#include "live/ValueDiff.h"

#include <unordered_map>
#include <unordered_set>

#include "document/Document.h"
#include "text/Hash.h"

namespace vty::config::ini::detail {

namespace {

// The section's name, then the key, folded (Names.h).
std::string Target(const SectionName& section, std::string_view key) {
  std::string target;
  target.reserve(key.size() + (section ? section->size() + 8 : 1));
  AppendSectionName(target, section);
  AppendFolded(target, key);
  return target;
}

std::optional<std::string> Read(const ValueReader& read,
                                const std::string& value) {
  return read ? read(value) : value;
}

}  // namespace

KeyValues ValuesOf(const File& file) {
  KeyValues values;
  std::unordered_set<std::string> seen;
  for (const auto& line : file.lines) {
    const KeyValuePair* pair = AsKeyValue(*line);
    if (pair == nullptr) continue;
    const SectionName& section = pair->section->name;
    if (!seen.insert(Target(section, pair->key)).second) continue;
    values.entries.push_back({section, pair->key, pair->value});
  }
  return values;
}

std::vector<Change> Diff(const KeyValues& before, const KeyValues& after,
                         const ValueReader& read) {
  std::unordered_map<std::string, const KeyValues::Entry*> old;
  old.reserve(before.entries.size());
  for (const KeyValues::Entry& entry : before.entries) {
    old.emplace(Target(entry.section, entry.key), &entry);
  }
  std::vector<Change> changes;
  for (const KeyValues::Entry& entry : after.entries) {
    std::optional<std::string> now = Read(read, entry.value);
    const auto found = old.find(Target(entry.section, entry.key));
    std::optional<std::string> was;
    if (found != old.end()) {
      was = Read(read, found->second->value);
      old.erase(found);
    }
    if (was != now) {
      changes.push_back(
          {entry.section, entry.key, std::move(was), std::move(now)});
    }
  }
  for (const KeyValues::Entry& entry : before.entries) {
    if (old.count(Target(entry.section, entry.key)) == 0) continue;
    changes.push_back(
        {entry.section, entry.key, Read(read, entry.value), std::nullopt});
  }
  return changes;
}

}  // namespace vty::config::ini::detail
