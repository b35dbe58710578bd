// Private declarations shared by the library's source files. Not installed;
// nothing here is exported from the shared library.

#ifndef VTY_CONFIG_SRC_INTERNAL_H_
#define VTY_CONFIG_SRC_INTERNAL_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "FoldedTable.h"
#include "ReaderLock.h"
#include "config/INI.h"

namespace vty::config::ini::detail {

// The zero time point of a document: earlier than the last-write time of
// every existing file. (A default-constructed file_time_type would not do:
// libstdc++'s file clock counts from 2174.)
inline constexpr std::filesystem::file_time_type kZeroFileTime =
    std::filesystem::file_time_type::min();

// The blanks of a line: space and tab.
constexpr bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The text of `s` without its leading and trailing blanks.
inline std::string_view StripBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// How loading classifies `line`, in one pass: kIgnorable when IsBlankLine or
// IsComment holds, else kKey when IsKey does (then `key` is the key IsKey
// gives and `equals` the position of the first '='), else kOther: a section
// header or unrecognised text, as IsSectionHeader decides.
struct LineShape {
  enum Kind { kIgnorable, kKey, kOther };
  Kind kind;
  std::string_view key;
  std::size_t equals = 0;
};

inline LineShape ShapeOf(std::string_view line) {
  std::size_t first = 0;
  while (first < line.size() && IsBlank(line[first])) ++first;
  if (first == line.size() || line[first] == ';' || line[first] == '#') {
    return {LineShape::kIgnorable, {}};
  }
  // Only blanks stand before `first`, so the first '=' is found from there;
  // a key needs something before it, and line[first] is not blank.
  const std::size_t equals = line.find('=', first);
  if (equals == std::string_view::npos || equals == first) {
    return {LineShape::kOther, {}};
  }
  std::size_t end = equals;
  while (IsBlank(line[end - 1])) --end;
  return {LineShape::kKey, line.substr(first, end - first), equals};
}

// ---- Descriptors (DurableWrite.cpp) ----

// Owns a file descriptor and closes it on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor();
  int Get() const { return fd_; }
  // Closes the descriptor held, if any, and holds `fd` instead.
  void Reset(int fd) { *this = Descriptor(fd); }
  // Closes now and reports the error of close(2), or 0.
  int Close();

 private:
  int fd_;
};

// Throws std::filesystem::filesystem_error for `path` with errno `error`.
[[noreturn]] void Fail(const std::string& what,
                       const std::filesystem::path& path, int error);

// ---- The file on disk (Disk.cpp) ----

// What a file held when a document last read or saved it: enough to tell
// whether anyone has written it since. File times alone cannot tell a
// rewrite made within the same tick of the file system's clock, so a
// snapshot whose times are that recent is confirmed by its content's hash.
struct DiskSnapshot {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified = 0;  // st_mtim, in nanoseconds
  std::int64_t changed = 0;   // st_ctim, in nanoseconds
  std::size_t contentHash = 0;
  // The wall clock, in nanoseconds, before the content was read.
  std::int64_t takenAt = 0;
};

// An allocator whose containers grow without zeroing what they add: for
// buffers that a read overwrites at once.
template <class T>
struct UninitialisedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };
  UninitialisedAllocator() = default;
  template <class U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
  // Default-initialises: leaves a char as it is.
  template <class U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
};

// A whole file as read, with its snapshot. `bytes` is empty for a file that
// does not exist.
struct DiskContent {
  std::string_view Text() const { return {bytes.data(), bytes.size()}; }

  DiskSnapshot snapshot;
  std::vector<char, UninitialisedAllocator<char>> bytes;
};

// Opens `path` for reading as the kernel resolves it (links followed, a loop
// refused), never blocking: the descriptor, or -1 when the file or a
// directory on the way to it does not exist. Throws filesystem_error naming
// `path` for any other failure and for anything but a regular file.
Descriptor OpenForReading(const std::filesystem::path& path);

// The whole content of the open file `fd` (of `path`, for messages) and its
// snapshot; `fd` -1 gives the snapshot of a missing file. Throws
// filesystem_error naming `path` when reading fails.
DiskContent ReadDisk(int fd, const std::filesystem::path& path);

// Whether the file open at `fd`, last known as `saved`, is being rewritten
// in place by a program that does not lock: the same file, emptied or
// shrunk, changed within the quiet period. Then waits until it has been still
// for that long (at most until `deadline`) and returns its content; otherwise
// returns nothing. A save must not take a file that another program has
// truncated and not yet written for the other side's version.
std::optional<DiskContent> WaitUntilStill(
    const DiskSnapshot& saved, int fd, const std::filesystem::path& path,
    std::chrono::steady_clock::time_point deadline);

// The snapshot of `content`, just written as the file `written` describes.
DiskSnapshot SnapshotOfWrite(const struct stat& written,
                             std::string_view content);

// The current content of the file open at `fd` (-1: missing) when it is no
// longer what `saved` describes, or nothing when it is. Compares content
// only when the times cannot decide; a confirmed snapshot is refreshed so
// that the next check can trust the times.
std::optional<DiskContent> ChangedSince(DiskSnapshot& saved, int fd,
                                        const std::filesystem::path& path);

// ---- Saving (DurableWrite.cpp) ----

// Replaces the file at `path` with `content` so that the file holds, at every
// moment, either its whole old content or its whole new content: the bytes go
// to a new file in the same directory, are synced, and the new file is renamed
// over the old. Links are followed as open(2) follows them, and the file the
// last one names is replaced, so a link stays a link (a link to a missing file
// gets that file). The new file is created readable by its owner only and
// takes an existing file's owner (where allowed), mode and extended attributes
// (ACL and security label included) before its content. Falls back to
// rewriting the file in place when only the directory may not be written.
// Creates missing parent directories. Returns the snapshot of the written
// file. Throws std::filesystem::filesystem_error naming the path: for a path
// ending in "/" (EISDIR, before anything is created); for what is not a
// regular file (EISDIR, or EINVAL for a device, FIFO or socket), a link loop
// (ELOOP) or a link the kernel protects (EACCES); for an attribute it cannot
// copy; and for every failure to write. No temporary file is left behind.
//
// Every step after the directory is opened is taken relative to it, and what
// is replaced must be the file found then or, in a save under the
// ProcessLock, the file locked (`options.locked`): otherwise the save fails
// with ESTALE, having changed nothing. A file that cannot be renamed over
// (EBUSY, EXDEV: a file mounted on its own) is rewritten in place, as is
// every file when `options.inPlace` asks for it; temporaries of the file
// left by dead processes are removed.
struct SaveOptions {
  int locked = -1;     // the locked file, open for reading and writing
  int directory = -1;  // its directory, as the lock opened it
  bool inPlace = false;
  // Set to what a failed in-place rewrite left, so that the retry writes the
  // whole document over it instead of merging into it.
  DiskSnapshot* torn = nullptr;
};
DiskSnapshot ReplaceFileContent(const std::filesystem::path& path,
                                std::string_view content,
                                const SaveOptions& options = {});

// ---- Several processes, one file (ProcessLock.cpp, Merge.cpp) ----

// The advisory lock every save of a file holds from its check of the disk
// to its rename: a write lock (F_OFD_SETLK) on the file itself, open for
// reading and writing, which a missing file is first created (empty) to
// take. The kernel drops it when its holder dies. Released on destruction,
// which also removes the empty file it created if the save did not replace
// it.
class ProcessLock {
 public:
  // Creates the missing directories above `path`. Waits at most the lock
  // timeout (10 seconds) for a lock held elsewhere, then throws
  // filesystem_error (timed out). Where the file system has no locks, goes
  // on without one. Throws filesystem_error naming `path` for a name ending
  // in "/" (EISDIR, before anything is created), for what is not a regular
  // file, and for a file this process may not write.
  explicit ProcessLock(const std::filesystem::path& path);
  ~ProcessLock();
  ProcessLock(const ProcessLock&) = delete;
  ProcessLock& operator=(const ProcessLock&) = delete;
  // The locked file, open for reading and writing.
  int File() const { return fd_.Get(); }
  // The file's directory, opened once: a save takes every step in it.
  int Directory() const { return dir_.Get(); }
  // Whether the lock created the file: it held nothing before.
  bool Created() const { return created_; }
  // When the wait for this lock would have timed out: the bound of any
  // other wait of the save.
  std::chrono::steady_clock::time_point Deadline() const { return deadline_; }
  // The same bound for a wait that starts now.
  static std::chrono::steady_clock::time_point DeadlineFromNow();

 private:
  std::chrono::steady_clock::time_point deadline_;
  Descriptor dir_;  // the file's directory, opened once
  std::string leaf_;
  Descriptor fd_;
  bool created_ = false;
};

// The changes a document made since it last loaded or saved its file, one
// entry per key and per section, in the order they were made, so that a save
// can re-apply them on top of what another writer left. A key written again
// keeps its place; an erase, or a write after an erase, moves to the end; a
// section's erase drops the earlier entries of its keys. Values are not kept:
// a write re-applies the value the document holds.
class ChangeLog {
 public:
  enum class Kind { kWrite, kEraseKey, kEraseSection };
  struct Change {
    Kind kind;
    std::optional<std::string> section;
    std::string key;  // empty for kEraseSection
  };

  void Add(Kind kind, const std::optional<std::string>& section,
           std::string_view key);
  bool Empty() const { return changes_.empty(); }
  void Clear();
  const std::list<Change>& InOrder() const { return changes_; }

  // Whether the key of `pair` is logged as written, so that writing it
  // again needs no Add: a cheap probe by address, for repeated writes.
  bool Covers(const KeyValuePair* pair) const;
  // Notes that the key of `pair` was just logged as written. Never throws:
  // this is a cache, and a pair left out is only slower.
  void Cover(const KeyValuePair* pair) noexcept;
  // Forgets every covered pair: called whenever lines may be freed (an
  // erase, a new parse), as their addresses may be reused.
  void Uncover() noexcept;

 private:
  // The entry's section and key, folded: what names one entry.
  const std::string& Target(const std::optional<std::string>& section,
                            std::string_view key, bool wholeSection);

  std::list<Change> changes_;
  std::unordered_map<std::string, std::list<Change>::iterator> byTarget_;
  std::string scratch_;  // Target's buffer, reused
  // Open addressing by address; a power of two in size, at most half full.
  std::vector<const KeyValuePair*> covered_;
  std::size_t coveredCount_ = 0;
};

// Saves `file`'s own changes without losing anyone else's: under the
// ProcessLock, re-reads the file when someone else wrote it since the last
// load or save, re-applies the change log on top, then File::Write. Does
// nothing when the log is empty. The caller holds file.mutex exclusively,
// or, for a registered document, `held` (its DocumentState::lock) in save
// mode, which a merge turns into change mode while it lasts.
void SaveChanges(File& file, WriterHold* held);

// File::Reload without its lock: the caller holds what SaveChanges needs.
void Refresh(File& file, WriterHold* held);

// Writes the document's lines to its file as `options` say: File::Write
// without its lock.
void WriteDocument(File& file, SaveOptions options);

// Makes every later save of `file` rewrite the file in place (see
// ReplaceFileContent) instead of renaming a new file over it: for a file
// whose directory must not change. The caller holds the document's lock.
void SetSaveInPlace(File& file, bool inPlace);

// The test seam of the lock's bounded wait.
void SetLockTimeoutForTesting(std::chrono::milliseconds timeout);

// ---- The document's private half (Document.cpp) ----

// A section's index of its keys: the first key line of each key, so that
// lookups need not walk the lines. Exact because duplicates only come from
// loading (the first is indexed), a key is added only when missing, and
// erasing removes every line of a key at once. Built by the first lookup,
// possibly by two readers at once under the document's lock held shared:
// `mutex` serialises them.
struct SectionIndex {
  std::mutex mutex;
  std::atomic<bool> built{false};
  KeyTable keys;  // Guarded by mutex until built, then by the document's.
};

// What a File keeps out of its public layout. Guarded by the File's mutex
// (or, in a registered document, by `lock`).
struct DocumentState {
  static DocumentState& Of(const File& file) { return *file.state_; }
  static SectionIndex& IndexOf(const Section& section) {
    return *section.index_;
  }

  // The lock of a registered document, taken by the exported functions
  // instead of the File's mutex (which they never take). Unused by a File
  // that a caller builds.
  ReaderLock lock;
  bool byteOrderMark = false;  // the file began with one
  SectionTable sections;       // the named sections by name
  DiskSnapshot disk;           // the file as last loaded or saved
  ChangeLog changes;           // what is not saved yet
  bool saveInPlace = false;    // rewrite the file itself, never rename
};

// Replaces the document's lines and sections with those of `content`, and
// its snapshot with content's. A missing file gives no sections at all, an
// empty one the unnamed section. Gives the strong guarantee: on bad_alloc
// the document is unchanged.
void Parse(File& file, const DiskContent& content);

// The document's edits, without a lock, a check of their input or a save:
// for the public members and for re-applying changes. Each either completes
// or, on bad_alloc, changes nothing. SetValue returns the line it wrote;
// RemoveKey and RemoveSection return false when the section is missing.
KeyValuePair* SetValue(File& file, const std::optional<std::string>& section,
                       const std::string& key, const std::string& value);
bool RemoveKey(File& file, const std::optional<std::string>& section,
               std::string_view key);
bool RemoveSection(File& file, const std::optional<std::string>& section);
// The first key line of `key` in `section`, or null.
KeyValuePair* FindPair(const File& file,
                       const std::optional<std::string>& section,
                       std::string_view key);
// Rewrites the key line `pair` with `value`, keeping its stored key.
void Rewrite(KeyValuePair& pair, const std::string& value);

// ---- File's members without their lock (Document.cpp) ----
//
// File's members take `mutex` around these; the exported functions take the
// registered document's ReaderLock instead: shared for the lookups, change
// mode for the edits.

// Throws invalid_argument for what WriteValue refuses (see INI.h).
void CheckStorable(const std::optional<std::string>& section,
                   const std::string& key, const std::string& value);
std::vector<std::string> SectionTexts(const File& file,
                                      const std::optional<std::string>& name);
std::vector<std::pair<std::string, std::string>> SectionPairs(
    const File& file, const std::optional<std::string>& name);
std::unordered_set<std::string> SectionNames(const File& file);
// The edits, logged. The erases return false, having changed nothing, when
// the section is missing: nothing to save then.
void LoggedWrite(File& file, const std::optional<std::string>& section,
                 const std::string& key, const std::string& value);
bool LoggedEraseKey(File& file, const std::optional<std::string>& section,
                    std::string_view key);
bool LoggedEraseSection(File& file, const std::optional<std::string>& section);
// After a logged change: stamps changeTime when writing is deferred, and
// otherwise saves at once (a registered document's `held` goes to save mode
// first, so that readers need not wait for the sync). `changedBefore`: the
// change log was not empty before this change; a registered document then
// keeps its stamp.
void ApplyWriteRule(File& file, WriterHold* held, bool changedBefore = false);

// True while documents defer their writes. Set last by
// InitialiseAsyncWriting, cleared first by ShutdownAsyncWriting.
extern std::atomic<bool> g_async;

// Creates the registry now if it does not exist yet. Statics are destroyed in
// the reverse order of their construction, so a static that calls this in its
// constructor is destroyed while the registry still exists.
void CreateRegistry();

// The registered document of `file`, loaded on the first use of the path.
// Never null; throws what loading throws.
std::shared_ptr<File> GetFile(const std::string& file);

// A registered document and the calling thread's slot in its ReaderLock.
struct Named {
  File& document;
  std::size_t slot;
};

// The same document as GetFile, by reference (documents live until exit),
// with the thread's slot. Repeated calls from one thread take no lock.
Named Lookup(const std::string& file);
File& Document(const std::string& file);

// Runs `read(const File&)` on the registered document of `file` under its
// lock held shared, and returns what it returns.
template <class Read>
auto Reading(const std::string& file, Read read) {
  const Named named = Lookup(file);
  const SharedHold hold(DocumentState::Of(named.document).lock, named.slot);
  return read(static_cast<const File&>(named.document));
}

// Every registered document, taken under the registry's shared lock and
// returned without it, so the caller may flush them without stalling others.
std::vector<std::shared_ptr<File>> RegisteredFiles();

// Flushes a registered document: SaveChanges in save mode.
void FlushRegistered(File& document);

// Flushes every registered document once, swallowing each failure so that one
// failing document does not keep the others from being saved.
void FlushAllFiles() noexcept;

// Test seams, unreachable through the shared library (where the interval
// stays 60 seconds): the time from the end of one periodic cycle to the next,
// and a function the writer thread calls at the end of every cycle.
void SetFlushIntervalForTesting(std::chrono::milliseconds interval);
void SetCycleObserverForTesting(std::function<void()> observer);
// A function called with the caller's spelling before each first load of a
// path, outside every lock.
void SetLoadObserverForTesting(
    std::function<void(const std::string&)> observer);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_INTERNAL_H_
