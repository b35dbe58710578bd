// The change log: see ChangeLog.h.

#include "document/ChangeLog.h"

#include <algorithm>
#include <cstdint>

#include "disk/Disk.h"
#include "text/Hash.h"

namespace vty::config::ini::detail {

const std::string& ChangeLog::Target(const std::optional<std::string>& section,
                                     std::string_view key, Kind kind) {
  // The section's name (Names.h), then "S", "K<key>" or "C<key>".
  scratch_.clear();
  AppendSectionName(scratch_, section);
  sectionPart_ = scratch_.size();
  scratch_ += kind == Kind::kEraseSection || kind == Kind::kRenameSection ? 'S'
              : kind == Kind::kComment                                    ? 'C'
                                                                          : 'K';
  AppendFolded(scratch_, key);
  return scratch_;
}

ChangeLog::Entry ChangeLog::Add(Kind kind,
                                const std::optional<std::string>& section,
                                std::string_view key, const KeyValuePair* line,
                                const std::shared_ptr<const Syntax>& syntax) {
  const bool wholeSection = kind == Kind::kEraseSection;
  auto found = kind == Kind::kWrite ? Cached(line) : changes_.end();
  const bool cached = found != changes_.end();
  if (!cached) {
    const auto named = byTarget_.find(Target(section, key, kind));
    if (named != byTarget_.end()) found = named->second;
  }
  if (found == changes_.end()) {
    std::list<Change> made;
    made.push_back(
        Change{kind, section, std::string(wholeSection ? "" : key), nullptr});
    const auto named = byTarget_.emplace(scratch_, made.begin()).first;
    if (!wholeSection) {
      try {
        bySection_[scratch_.substr(0, sectionPart_)].push_back(made.begin());
      } catch (...) {
        byTarget_.erase(named);
        throw;
      }
    }
    found = made.begin();
    changes_.splice(changes_.end(), made);
  } else if (kind != Kind::kWrite || found->kind != Kind::kWrite) {
    // A key written again keeps its place, as its line stays where the first
    // write put it; anything else now comes after every other change.
    found->kind = kind;
    found->repeated = false;  // an erase drops every line
    changes_.splice(changes_.end(), changes_, found);
  }
  found->madeAt = WallClockNow();
  if (kind == Kind::kWrite) {
    // The latest write's way; the same handle's, as a rule, which a copy
    // leaves without touching its count.
    found->syntax = syntax;
    if (line != nullptr && !cached) Cache(line, found);
  } else if (kind == Kind::kComment) {
    found->syntax = syntax;  // no key line goes
  } else {
    Uncache();               // lines are about to go
    found->syntax = syntax;  // a handle's erase, by its rule
  }
  if (wholeSection) {
    // The section's erase undoes every earlier change of its keys; keeping
    // them would let a later write of such a key keep a place before it.
    // The section's part is copied out of scratch_ first: each Target in
    // the loop writes scratch_ over to name the key it drops.
    const auto keys = bySection_.find(scratch_.substr(0, sectionPart_));
    if (keys != bySection_.end()) {
      for (const Entry change : keys->second) {
        byTarget_.erase(Target(change->section, change->key, change->kind));
        changes_.erase(change);
      }
      bySection_.erase(keys);
    }
  }
  return found;
}

void ChangeLog::AddRename(const std::string& from, const std::string& to) {
  changes_.push_back(Change{Kind::kRenameSection, from, to, nullptr});
  Uncache();  // a cached line would name the entry of its old section's key
  byTarget_.erase(Target(from, {}, Kind::kRenameSection));
  const auto keys = bySection_.find(scratch_.substr(0, sectionPart_));
  if (keys == bySection_.end()) return;
  for (const Entry change : keys->second) {
    byTarget_.erase(Target(change->section, change->key, change->kind));
  }
  bySection_.erase(keys);
}

ChangeLog::Entry ChangeLog::Named(const Change& change) {
  const auto named =
      byTarget_.find(Target(change.section, change.key, change.kind));
  if (named == byTarget_.end() || &*named->second != &change) {
    return changes_.end();
  }
  return named->second;
}

void ChangeLog::Drop(const Change& change) {
  const Entry entry = Named(change);
  if (entry == changes_.end()) return;
  byTarget_.erase(scratch_);
  const auto keys = bySection_.find(scratch_.substr(0, sectionPart_));
  if (keys != bySection_.end()) {
    std::vector<Entry>& entries = keys->second;
    const auto at = std::find(entries.begin(), entries.end(), entry);
    if (at != entries.end()) entries.erase(at);
    if (entries.empty()) bySection_.erase(keys);
  }
  Uncache();  // a cached line may name it
  changes_.erase(entry);
}

void ChangeLog::Rebase(const Change& change, std::vector<std::string> values) {
  const Entry entry = Named(change);
  if (entry != changes_.end()) entry->loaded = std::move(values);
}

void ChangeLog::Clear() {
  changes_.clear();
  byTarget_.clear();
  bySection_.clear();
  Uncache();
}

namespace {

std::size_t AddressHash(const KeyValuePair* line) {
  return static_cast<std::size_t>(
      (reinterpret_cast<std::uintptr_t>(line) >> 4) * 0x9e3779b97f4a7c15ull);
}

}  // namespace

ChangeLog::Entry ChangeLog::Cached(const KeyValuePair* line) {
  if (line == nullptr || cache_.empty()) return changes_.end();
  const std::size_t mask = cache_.size() - 1;
  for (std::size_t i = AddressHash(line) & mask;; i = (i + 1) & mask) {
    if (cache_[i].first == line) return cache_[i].second;
    if (cache_[i].first == nullptr) return changes_.end();
  }
}

void ChangeLog::Cache(const KeyValuePair* line, Entry entry) noexcept {
  if ((cached_ + 1) * 2 > cache_.size()) {
    std::vector<std::pair<const KeyValuePair*, Entry>> old;
    try {
      old.assign(cache_.empty() ? 16 : cache_.size() * 2, {nullptr, Entry()});
    } catch (...) {
      return;
    }
    old.swap(cache_);
    cached_ = 0;
    for (const auto& [kept, keptEntry] : old) {
      if (kept != nullptr) Cache(kept, keptEntry);
    }
  }
  const std::size_t mask = cache_.size() - 1;
  std::size_t i = AddressHash(line) & mask;
  while (cache_[i].first != nullptr && cache_[i].first != line) {
    i = (i + 1) & mask;
  }
  if (cache_[i].first == nullptr) ++cached_;
  cache_[i] = {line, entry};
}

void ChangeLog::Uncache() noexcept {
  cache_.clear();
  cached_ = 0;
}

}  // namespace vty::config::ini::detail
