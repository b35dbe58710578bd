// What a document changed since it last loaded or saved its file.

#ifndef VTY_CONFIG_SRC_DOCUMENT_CHANGELOG_H_
#define VTY_CONFIG_SRC_DOCUMENT_CHANGELOG_H_

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "config/INI.h"
#include "config/Syntax.h"

namespace vty::config::ini::detail {

// The changes a document made since it last loaded or saved its file, one
// entry per key and per section, in the order they were made, so that a save
// can re-apply them on top of what another writer left. An entry is named by
// its section and key folded as names match, so "k" and "K" are one entry. A
// key written again keeps its place; an erase, or a write after an erase,
// moves to the end; a section's erase drops the earlier entries of its keys.
// Values are not kept: a write re-applies the value the document holds, as
// the syntax of its latest write reads it when that was a handle's. What a
// key held before its first change is kept, though, and when each change
// was last made: a merge weighs them against another writer's edit of the
// same key (Merge.cpp), the later change standing.
// A key's or a header's comment block is an entry of its own (kComment, the
// key empty for a header), beside the key's, so that a comment edit never
// takes the place of a write; like a value, the block is not kept but read
// from the document when a merge re-applies it.
//
// A cache by address spares a repeated write of one key the folding and the
// lookup by name: it maps a key line to the entry of its key. It is sound
// because a line is cached only as its key is logged as written, so its entry
// exists and is a write; an entry goes or changes its kind only by Clear,
// Drop, an erase or a section's erase, each of which empties the cache; and a
// key line is freed only by an erase or a parse, which empty it too (Uncache),
// so no cached address can be reused by another line. (A comment edit frees
// only comment lines, which are never cached.)
class ChangeLog {
 public:
  enum class Kind {
    kWrite,
    kEraseKey,
    kEraseSection,
    kRenameSection,
    kComment
  };
  struct Change {
    Kind kind;
    std::optional<std::string> section;
    // Empty for kEraseSection and a header's kComment; the new name for a
    // rename.
    std::string key;
    // A write or a comment through a handle: the syntax it was made with, so
    // that it is re-applied as that handle writes (into the line the other side
    // left). Null for the free functions' writes, which re-apply the raw value.
    // For a handle's erase, the syntax it erased the key's lines by.
    std::shared_ptr<const Syntax> syntax;
    // A write of every line of a repeated key (a handle's Add): re-applied
    // as the key's values, all of them.
    bool repeated = false;
    // When the document last made the change, by WallClockNow (Disk.h): the
    // clock file times come from, to weigh against another writer's.
    std::int64_t madeAt = 0;
    // A key's values (kWrite, kEraseKey) as the file held them when the
    // change was first made, or as the latest merge found them in another
    // writer's file, read as `loadedBy` reads them (ValuesOfKey): none when
    // the key was missing; std::nullopt until the journal has read them.
    // Only a changed key's old values are kept, rather than a copy of the
    // file as loaded: a document with nothing to save keeps nothing, and one
    // with a few changes a few values, whatever the file's size.
    std::optional<std::vector<std::string>> loaded = std::nullopt;
    std::shared_ptr<const Syntax> loadedBy = nullptr;
  };
  using Entry = std::list<Change>::iterator;

  // Logs a change and returns its entry. For a write, `line` is the key's
  // line when it has one already, and is cached; the entry takes `syntax`,
  // as a comment's does (with no line).
  Entry Add(Kind kind, const std::optional<std::string>& section,
            std::string_view key, const KeyValuePair* line = nullptr,
            const std::shared_ptr<const Syntax>& syntax = {});
  // Logs the rename of the section `from` to `to`, always as a new entry
  // at the end. The entries of `from` before it stay where they are, so
  // that a merge re-applies them to the old name and then renames, but are
  // no longer found by name: a later change of a new section `from` comes
  // after the rename.
  void AddRename(const std::string& from, const std::string& to);
  // Forgets `change`, one of InOrder()'s, of a key (kWrite, kEraseKey) that
  // another writer's later change of the key overrides. Does nothing when
  // its name no longer finds it (an entry of a section renamed since).
  void Drop(const Change& change);
  // Takes `values` as what the file holds for the key of `change`, once a
  // merge has read another writer's version in and `change` stands over it.
  void Rebase(const Change& change, std::vector<std::string> values);
  // Caches `line`, the line just made for the key `entry` logged as written.
  // Never throws: a line left out is only slower to log again.
  void Cache(const KeyValuePair* line, Entry entry) noexcept;
  // Forgets every cached line: called whenever lines may be freed.
  void Uncache() noexcept;

  bool Empty() const { return changes_.empty(); }
  void Clear();
  const std::list<Change>& InOrder() const { return changes_; }

 private:
  // The entry's section and key, folded, tagged by what `kind` changes:
  // what names one entry.
  const std::string& Target(const std::optional<std::string>& section,
                            std::string_view key, Kind kind);
  // The entry `change` is, found by its name, or changes_.end(); leaves
  // its name in scratch_.
  Entry Named(const Change& change);
  // The entry cached for `line`, or changes_.end().
  Entry Cached(const KeyValuePair* line);

  std::list<Change> changes_;
  std::unordered_map<std::string, Entry> byTarget_;
  // The entries of each section's keys, by the section's part of a target,
  // so that a section's erase drops them without a walk of the whole log.
  std::unordered_map<std::string, std::vector<Entry>> bySection_;
  std::string scratch_;          // Target's buffer, reused
  std::size_t sectionPart_ = 0;  // the length of its section's part
  // Open addressing by address; a power of two in size, at most half full.
  std::vector<std::pair<const KeyValuePair*, Entry>> cache_;
  std::size_t cached_ = 0;
};

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_CHANGELOG_H_
