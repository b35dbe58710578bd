// The document's private half: what a File keeps beside its public fields,
// and the lookups and edits of its lines, without a lock, a check of their
// input or a save (Document.cpp). Hold.h says which lock guards them.

#ifndef VTY_CONFIG_SRC_DOCUMENT_DOCUMENT_H_
#define VTY_CONFIG_SRC_DOCUMENT_DOCUMENT_H_

#include <atomic>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config/INI.h"
#include "disk/Disk.h"
#include "document/ChangeLog.h"
#include "document/DocumentLock.h"
#include "text/FoldedTable.h"
#include "text/Names.h"

namespace vty::config::ini::detail {

// The zero time point of a document: earlier than the last-write time of
// every existing file. (A default-constructed file_time_type would not do:
// libstdc++'s file clock counts from 2174.)
inline constexpr std::filesystem::file_time_type kZeroFileTime =
    std::filesystem::file_time_type::min();

// A section's index of its keys: the first key line of each key, so that
// lookups need not walk the lines. Exact because duplicates only come from
// loading (the first is indexed), a key is added only when missing, and
// erasing removes every line of a key at once. Built by the first lookup,
// possibly by two readers at once under the document's lock held for
// reading: `mutex` serialises them.
//
// A key the file repeats (`duplicates`) has its later lines in `repeats`,
// in file order, under its first, built with the index: finding its last
// line or every line of it is no walk of the section, however often the
// file repeats it. Exact for the same reasons: a line of a key present goes
// after every line of it, and an edit that could put one before resets the
// index.
//
// Erasing a key finds the places of its lines among the section's lines in
// `positions`, built by the first erase in the section and kept by every
// edit, so that erasing is not a walk of the section.
struct SectionIndex {
  using Position =
      std::list<std::list<std::shared_ptr<Line>>::iterator>::iterator;

  std::mutex mutex;
  std::atomic<bool> built{false};
  KeyTable keys;  // Guarded by mutex until built, then by the document's.
  bool duplicates = false;  // Likewise.
  // Likewise: the lines after the first of each repeated key, by the first.
  std::unordered_map<const KeyValuePair*, std::vector<KeyValuePair*>> repeats;
  // Likewise: whether a line other than a blank one begins with a blank, and
  // whether one of those is text no line rule reads. Only such lines can
  // continue a key line (KeyLines.h), so a section without them is looked
  // up by the index alone. Set by the edits that add such lines; a removal
  // leaves them set, which only costs a walk.
  bool indented = false;
  bool indentedText = false;
  bool positioned = false;  // Guarded by the document's lock, as is:
  std::unordered_map<const Line*, Position> positions;
  // And, for each Placement, the key line AddKey last added with it: the
  // line a walk back from the section's end would stop at for the next key,
  // which then goes right after it without that walk. So adding keys to a
  // section closed by a million blank lines (or, for a handle, comments)
  // does not walk them for every key. Forgotten by every other edit that
  // adds lines to the section, and with the index (ResetIndex) or when the
  // line itself goes: lines that go from before it or after it leave it
  // where the walk would stop.
  std::optional<Position> lastAdded[2];
};

// Forgets the lines AddKey last added to `section` (SectionIndex).
void ForgetLastAdded(Section& section);

// What a File keeps out of its public layout. Guarded by the document's lock
// (Hold.h), except `registered` and `lock`.
struct DocumentState {
  static DocumentState& Of(const File& file) { return *file.state_; }
  static SectionIndex& IndexOf(const Section& section) {
    return *section.index_;
  }

  // Set once by the registry before it shares the document: the document is
  // then guarded by `lock` instead of the File's mutex.
  bool registered = false;
  DocumentLock lock;
  bool byteOrderMark = false;  // the file began with one
  SectionTable sections;       // the named sections by name
  DiskSnapshot disk;           // the file as last loaded or saved
  ChangeLog changes;           // what is not saved yet
  bool saveInPlace = false;    // rewrite the file itself, never rename
  // The ending of the file's first line that has one (LF when none has):
  // what the lines of a new section take.
  LineEnding firstEnding = LineEnding::Lf;
  // Set when a handle is made on the document, and never cleared: from then
  // on every save, through either face, ends each line with its own ending
  // instead of LF.
  bool keepsEndings = false;
  // The directory (device, inode) the file was last read from or saved in;
  // {0, 0} when unknown. A save that finds the file in another directory
  // (the directory swapped for a link, or replaced) takes what it finds
  // there as someone else's file.
  std::pair<dev_t, ino_t> directory{0, 0};
  // The lines differ from the disk by what no merge re-applies: a value
  // written again, which rewrites its line, or an erase of a key the section
  // lacks. Still saved, but another writer's version of them wins.
  bool rewritten = false;
};

// Records that the file on disk is as `snapshot` describes, the lines
// included; a document with no unsaved change takes the file's time as its
// changeTime.
void SetDisk(File& file, const DiskSnapshot& snapshot);

// ---- Lookups ----

// A section's lines, as iterators into its file's lines.
using LineRefs = decltype(Section::lineRefs);

KeyValuePair* AsKeyValue(Line& line);  // the key line `line` is, or null
// The section of that name, or null.
Section* FindSection(const File& file, const std::optional<std::string>& name);
bool HasKeyLine(const Section& section);
// The number of `line` in the file, from 1; 0 when it is not the file's.
std::size_t LineNumberOf(const File& file, const Line* line);
// The first key line of `key` in the section, or with `last` its last one;
// null when it has none.
KeyValuePair* FindPairIn(const Section& section, std::string_view key,
                         bool last = false);
// The first key line of `key` in `section`, or null.
KeyValuePair* FindPair(const File& file,
                       const std::optional<std::string>& section,
                       std::string_view key);
// Every one, in file order.
std::vector<KeyValuePair*> FindPairs(const File& file,
                                     const std::optional<std::string>& section,
                                     std::string_view key);
// Whether a line of the section other than a blank one begins with a
// blank; whether one of those is text no line rule reads (SectionIndex).
bool HasIndentedLines(const Section& section);
bool HasIndentedText(const Section& section);
// Where the key line `pair` of `section` stands among its lines.
LineRefs::iterator RefOf(Section& section, const KeyValuePair* pair);
std::vector<std::string> SectionTexts(const File& file,
                                      const std::optional<std::string>& name);
std::vector<std::pair<std::string, std::string>> SectionPairs(
    const File& file, const std::optional<std::string>& name);
std::unordered_set<std::string> SectionNames(const File& file);
// The names of the named sections in the order of their first header.
std::vector<std::string> NamesInFileOrder(const File& file);

// ---- Edits ----
//
// Each either completes or, on bad_alloc, changes nothing.

// Throws invalid_argument for a section name WriteValue refuses (see
// INI.h), naming the rule, the section and `file`.
void CheckSectionName(const std::string& section, std::string_view file);
// Throws invalid_argument for what WriteValue refuses (see INI.h), naming
// the rule, the key and `file`.
void CheckStorable(const std::optional<std::string>& section,
                   const std::string& key, std::string_view value,
                   std::string_view file);
// Where SetValue puts a new key: after the section's last non-blank line
// (the free functions), or after its last key line, or its header when it
// has none, with a blank line before a new section's header (a handle).
enum class Placement { kAfterLastLine, kAfterLastKey };
// Sets `key` in `section`: rewrites its first line, or adds a line where
// `placement` says (and the section at the end of the file). Returns the
// line written.
KeyValuePair* SetValue(File& file, const std::optional<std::string>& section,
                       const std::string& key, const std::string& value,
                       Placement placement = Placement::kAfterLastLine);
// Adds the key line `text` (`key`, `value`: what it means to the line
// rules) where `placement` says, as SetValue adds one, even when the section
// has the key already: the line then goes after every line of it.
KeyValuePair* AddKey(File& file, const std::optional<std::string>& section,
                     const std::string& key, std::string text,
                     std::string value, Placement placement);
// Adds a line for each of `texts`, classified as loading classifies it,
// right after the line `after` of `section`; they end as the line above
// them. None may be a section header.
void InsertLines(File& file, Section& section, LineRefs::const_iterator after,
                 const std::vector<std::string>& texts);
// Removes the lines [first, last) of `section`.
void RemoveLines(File& file, Section& section, LineRefs::const_iterator first,
                 LineRefs::const_iterator last);
// Rewrites the key line `pair` with `value`, keeping its stored key.
void Rewrite(KeyValuePair& pair, const std::string& value);
// Ends the lines from `first` to `last`, just added in a row, as every
// added line ends: as the line above them (a new section's as the file's
// first line), the file's last line keeping its lack of one.
void EndAdded(File& file, std::list<std::shared_ptr<Line>>::iterator first,
              std::list<std::shared_ptr<Line>>::iterator last, bool newSection);
// Remove every line of the key, or of the section and the section itself;
// false, having changed nothing, when the section is missing.
bool RemoveKey(File& file, const std::optional<std::string>& section,
               std::string_view key);
bool RemoveSection(File& file, const std::optional<std::string>& section);
// Renames the named section `from` to `to`: every header of it keeps its
// bytes but the name, and its lines stay where they are. False, having
// changed nothing, when `from` is missing or another section is named `to`.
// Throws invalid_argument, naming `name` as the file, when a header would
// not load back as one of `to` (a name the line rules cannot hold there:
// "a] ; b" in "[Old] ; note" reads back as "a"). The caller checks
// CheckSectionName first.
bool RenameHeaders(File& file, const std::string& from, const std::string& to,
                   std::string_view name);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_DOCUMENT_H_
