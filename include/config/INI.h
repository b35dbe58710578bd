// Vantry.Config: settings kept in INI files, edited without losing a byte.
//
// File: config/INI.h
// -----------------------------------------------------------------------------
//
// A caller names a file, a section and a key. The library loads each file once,
// on the first use of its path, into a document that keeps every physical line
// with its exact text; reads look values up in that document, and edits change
// only the lines they must and save the whole file again. Every other byte a
// person wrote (comments, blank lines, order, odd text) survives.
//
// Example:
//
//   using namespace vty::config::ini;
//   std::string host = ReadString("Net", "Host", "localhost", "conf/app.ini");
//   int port = ReadValue<int>("Net", "Port", 80, "conf/app.ini");
//   WriteString("Net", "Port", "8080", "conf/app.ini");  // saved before return
//   EraseKey("Net", "Legacy", "conf/app.ini");
//
// These free functions are the compatible interface: raw values and
// "key=value" lines, byte for byte as ever. config/Settings.h has the handle
// that names its file once and reads values as a person means them (blanks
// and inline comments left out, lists), on the same shared documents.
//
// Rules that hold everywhere:
//   * Keys and section names match without regard to ASCII letter case; bytes
//     above 0x7F match only themselves. Blanks are the space and the tab only.
//   * The value of a key line is all the text after its first "=", untrimmed.
//   * `std::nullopt` names the unnamed section (the lines before the first
//     header); the empty string names a different, named section.
//   * A missing file, section or key is never an error: reads give the
//     caller's default, queries give empty results.
//   * A document is read on the first use of its path. Changes made on disk by
//     someone else are merged in by the next save of a change of this process
//     (theirs and ours both survive), or read in at once by `Reload`; a read
//     is always a lookup in memory.
//   * Failures are reported by standard exceptions only.
//
// Thread safety: every function here may be called from any thread at any
// time. Each document has its own reader-writer lock, held for the length of
// one call; a save also takes a lock on the file against other processes,
// before the document's, so that reads and deferred changes go on while it
// waits. The registry of documents is locked only to find or add a document
// (and around a fork(), while every document is held), and no lock is held
// while a callback runs.

#ifndef VTY_CONFIG_INI_H_
#define VTY_CONFIG_INI_H_

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <ostream>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config/LineRules.h"
#include "config/Values.h"

namespace vty::config::ini {

// -----------------------------------------------------------------------------
// Document model
// -----------------------------------------------------------------------------
//
// A `File` holds every line of one INI file in `lines`, in file order; each
// `Section` names its lines by iterators into that list, so a section whose
// header occurs twice owns both blocks. Key lines are `KeyValuePair`s; header,
// blank and comment lines are ignorable `Line`s; other text is a `Line` that
// is not ignorable. Section, Line and KeyValuePair have no lock of their own:
// touch them only under their File's `mutex`. The fields are public to be
// read; change a document only through its member functions, which keep the
// document's private indexes of sections and keys in step.

class Line;
class KeyValuePair;
namespace detail {
struct DocumentState;
struct SectionIndex;
}  // namespace detail

/// One section of a document: its name and the positions of its lines.
class VTY_CONFIG_API Section {
 public:
  /// Case-insensitive hash of a key, consistent with `KeyEq`. Seeded once per
  /// process: values differ from one run to the next.
  struct VTY_CONFIG_API KeyHasher {
    std::size_t operator()(const std::string_view& key) const;
  };
  /// Case-insensitive key equality: `IsEqual(a, b)`.
  struct VTY_CONFIG_API KeyEq {
    bool operator()(const std::string_view& a, const std::string_view& b) const;
  };

  /// Makes a section with no lines. Does not throw beyond `std::bad_alloc`.
  explicit Section(std::optional<std::string> name);
  Section(const Section&) = delete;
  Section& operator=(const Section&) = delete;
  ~Section();

  /// `std::nullopt` for the unnamed section; otherwise the name as first
  /// written (a later header in another letter case does not change it).
  std::optional<std::string> name;
  /// The section's lines in file order; for a loaded named section the first
  /// is its header. Each iterator stays valid while its line is in the file.
  std::list<std::list<std::shared_ptr<Line>>::iterator> lineRefs;

 private:
  friend struct detail::DocumentState;
  // The section's private key index, built by its first lookup.
  std::unique_ptr<detail::SectionIndex> index_;
};

/// How a line ended in its file: LF, CR LF, a lone CR, or not at all (the
/// last line of a file that ends without one).
enum class LineEnding : unsigned char { Lf, CrLf, Cr, None };

/// One physical line, kept with its exact text.
class VTY_CONFIG_API Line {
 public:
  Line(std::shared_ptr<Section> section, bool ignorable, std::string text);
  virtual ~Line();

  /// The section the line belongs to; keeps the section alive.
  std::shared_ptr<Section> section;
  /// True for blank, comment and header lines: lines that carry no data.
  bool ignorable;
  /// The line's ending as loaded; a line an edit adds takes the ending of
  /// the line above it. The free functions' saves write LF whatever it is;
  /// on a document a handle was made on, every save writes it
  /// (config/Settings.h). It fills padding: a Line is no larger for it.
  LineEnding ending = LineEnding::Lf;
  /// The whole line as it is saved, without its line terminator.
  std::string text;
};

/// A key line: `text` is what is saved; `key` and `value` are what it means.
class VTY_CONFIG_API KeyValuePair : public Line {
 public:
  KeyValuePair(std::shared_ptr<Section> section, std::string text,
               std::string key, std::string value);
  ~KeyValuePair() override;

  /// The key, stripped of blanks.
  std::string key;
  /// All the text after the first '=', untrimmed.
  std::string value;
};

/// Writes `line.text` and one "\n", whatever the line's type.
VTY_CONFIG_API std::ostream& operator<<(std::ostream& os, const Line& line);

/// One key and its value, as `IterateAllSections` hands them out.
struct VTY_CONFIG_API SectionKeyValuePair {
  SectionKeyValuePair(std::string key, std::string value);

  /// The key as the document stores it.
  const std::string& Key() const;
  /// A copy of the value. The argument is accepted and ignored.
  std::string ValueAs(const std::string& ignored) const;
  /// Byte-for-byte equality of key and value (letter case counts).
  bool operator==(const SectionKeyValuePair& other) const;

  std::string key;
  std::string value;
};

/// The in-memory document of one INI file. Loaded in the constructor; read
/// again only by `Reload` and by a save that finds the file changed by
/// someone else. Neither copied nor moved. Every public member function is
/// safe to call from any thread: lookups take `mutex` shared, changes, saves
/// and reloads exclusively. Calling one from a thread that already holds
/// `mutex` throws `std::system_error` (resource_deadlock_would_occur) or
/// deadlocks.
class VTY_CONFIG_API File {
 public:
  /// Case-insensitive hash of a section name, seeded as `KeyHasher`;
  /// `std::nullopt` hashes to 0.
  struct VTY_CONFIG_API SectionNameHasher {
    std::size_t operator()(const std::optional<std::string>& name) const;
  };
  /// Section-name equality: `std::nullopt` equals only itself; names compare
  /// with `IsEqual`.
  struct VTY_CONFIG_API SectionNameEq {
    bool operator()(const std::optional<std::string>& a,
                    const std::optional<std::string>& b) const;
  };

  /// Loads the file at `path`, made absolute against the current working
  /// directory: the document stays bound to that file whatever directory the
  /// process moves to later. A missing file (or a missing directory on the
  /// way to it) gives an empty document with no sections. A UTF-8 byte-order
  /// mark at the very start is not part of the first line; it is remembered
  /// and written again by every save. Throws
  /// `std::filesystem::filesystem_error` naming the path when the file exists
  /// but cannot be read (no permission, no descriptor left, a read error) or
  /// is not a regular file (a directory, a FIFO, a device: never opened in a
  /// way that could block), and `std::bad_alloc`.
  File(std::filesystem::path path, std::function<bool()> isAsyncWriting);
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  /// Destroys the document without saving it.
  ~File();

  /// Parses the file into the document, dropping every change not saved yet
  /// (`Reload` keeps them); called by the constructor. Takes no lock: call it
  /// only while no other thread uses the document. Throws as the
  /// constructor does.
  void Read();
  /// The file's last-write time, or the zero time point (earlier than any
  /// file's time) when the file does not exist. Throws
  /// `std::filesystem::filesystem_error` for other failures.
  std::filesystem::file_time_type GetFileTime() const;

  /// The value of the first key line of `key` in `section`, or `std::nullopt`
  /// when the section or the key is missing. Takes `mutex` shared.
  std::optional<std::string> ReadValue(
      const std::optional<std::string>& section,
      const std::string_view& key) const;
  /// The text of every key line and unrecognised line of `section`, in file
  /// order; headers, comments and blank lines are left out.
  std::vector<std::string> ReadSection(
      const std::optional<std::string>& section) const;
  /// Every (key, value) of `section` in file order, duplicates kept.
  std::vector<std::pair<std::string, std::string>> ReadSectionKeyValuePairs(
      const std::optional<std::string>& section) const;
  /// The names of all named sections, as first written; never the unnamed.
  std::unordered_set<std::string> ReadSectionNames() const;

  /// Sets `key` in `section` to `value`. The first key line of the key is
  /// rewritten as the stored key, "=" and the value; a missing key is added
  /// after the section's last non-blank line; a missing section is appended
  /// at the end of the file as "[section]" and the key line. Then saves at
  /// once or, when writing is deferred, only marks the document changed.
  /// Throws `std::invalid_argument`, before anything changes, for what would
  /// not load back as written: the section, key or value holds "\r" or
  /// "\n"; the key is empty, holds '=', begins with ';', '#' or a UTF-8
  /// byte-order mark, or begins or ends with a blank; the section name is
  /// empty, holds '=', or begins or ends with a blank. A failed save throws
  /// `std::filesystem::filesystem_error` and the change stays in memory.
  void WriteValue(const std::optional<std::string>& section,
                  const std::string& key, const std::string& value);
  /// Removes every key line of `key` from `section` and then saves (or marks
  /// the document changed), also when no line matched. A missing section
  /// changes and saves nothing. Throws as a save throws.
  void EraseKey(const std::optional<std::string>& section,
                const std::string_view& key);
  /// Removes every line of `section` (every block of it, headers included)
  /// and forgets the section, then saves. A missing section changes nothing.
  void EraseSection(const std::optional<std::string>& section);

  /// Saves the document as it stands: every line, each followed by "\n",
  /// after the byte-order mark the file was loaded with, with no lock taken
  /// and no look at what the file holds now. The file is replaced
  /// atomically: a new file in the same directory is written, synced and
  /// renamed over it (a symbolic link stays a link; permissions and owner are
  /// kept). Creates missing parent directories. The caller must hold `mutex`
  /// exclusively. Afterwards the document counts as saved. Throws
  /// `std::filesystem::filesystem_error` naming the path when anything
  /// fails; the file is then left as it was and the document stays changed.
  void Write();
  /// Saves the changes this document made since it was last loaded or saved,
  /// and only those: a document with no change of its own writes nothing.
  /// Under an advisory lock on the file (see the README), it first checks
  /// whether someone else wrote the file since this document last loaded or
  /// saved it; if so it re-reads the file and re-applies its own changes on
  /// top, in the order they were made, so that both survive. Then `Write`.
  /// Takes `mutex` exclusively. Throws as `Write`, and
  /// `std::filesystem::filesystem_error` when the file cannot be re-read or
  /// the lock is held elsewhere for more than 10 seconds; the change then
  /// stays in memory for the next try.
  void Flush();
  /// Reads the file again now if someone else changed it since this document
  /// last loaded or saved it, and re-applies the changes this document has
  /// not saved yet; writes nothing. A file that was deleted reads as empty.
  /// Takes `mutex` exclusively. Throws `std::filesystem::filesystem_error`
  /// as loading does, leaving the document as it was.
  void Reload();

  /// Where the file lives, as an absolute path; fixed at construction.
  std::filesystem::path path;
  /// Asked after every change: true defers the save to a later `Flush`.
  std::function<bool()> isAsyncWriting;
  /// Guards `lines`, `sections`, `changeTime` and everything they reach.
  mutable std::shared_mutex mutex;
  /// Every line in file order. Guarded by mutex.
  std::list<std::shared_ptr<Line>> lines;
  /// Every section, matched without regard to letter case; iteration order is
  /// the hash order. Guarded by mutex.
  std::unordered_map<std::optional<std::string>, std::shared_ptr<Section>,
                     SectionNameHasher, SectionNameEq>
      sections;
  /// The file's time after a load or save; the current time after a
  /// deferred change. Guarded by mutex.
  std::filesystem::file_time_type changeTime;

 private:
  friend struct detail::DocumentState;
  // Indexes, the byte-order mark, what the file on disk held when last read
  // or saved, and the changes not saved yet. Guarded by mutex.
  std::unique_ptr<detail::DocumentState> state_;
};

#define VTY_CONFIG_READ_TYPES_                                       \
  "vty::config::ini: T must be std::string, " VTY_CONFIG_TYPE_NAMES_ \
  "and no other type"

// -----------------------------------------------------------------------------
// Reading
// -----------------------------------------------------------------------------
//
// `file` is a path as the caller writes it. Paths are compared element by
// element as spelled: "dir//a.ini" and "dir/a.ini" share one document,
// "a.ini" and "./a.ini" do not. The first use of a path loads the file
// (a relative path against the working directory of that moment, for good);
// a missing file gives an empty document.
//
// Every function below throws `std::bad_alloc`,
// `std::filesystem::filesystem_error` when a first load finds a file it cannot
// read or that is not a regular file (nothing is then registered, and the
// next call tries again), and `std::system_error` when a lock reports a
// would-be deadlock.

/// Returns the stored value of `key` in `section`, or `defaultValue` when the
/// file, section or key is missing. An empty stored value counts as found.
VTY_CONFIG_API std::string ReadString(const std::optional<std::string>& section,
                                      const std::string_view& key,
                                      const std::string_view& defaultValue,
                                      const std::string& file);

/// Sets `value` to the stored value, or to `defaultValue` when missing.
/// Returns true when the key was found. On an exception `value` is unchanged.
VTY_CONFIG_API bool ReadString(const std::optional<std::string>& section,
                               const std::string_view& key,
                               const std::string_view& defaultValue,
                               std::string& value, const std::string& file);

/// Copies the stored value (or `defaultValue`) into `buffer` as a C string of
/// at most `size` - 1 characters, fills the rest with NUL bytes and always
/// ends it with NUL. Returns the length of the C string (a result of
/// `size` - 1 may mean it was cut). With `size` 0 nothing is written and 0 is
/// returned. On an exception the buffer is not written.
VTY_CONFIG_API unsigned long ReadString(
    const std::optional<std::string>& section, const std::string_view& key,
    const std::string_view& defaultValue, char* buffer, unsigned long size,
    const std::string& file);

/// Typed read: the stored value parsed as a `T` (see `ParseValue`), or
/// `defaultValue` when the file, section or key is missing or the value does
/// not parse. A value that does not parse is never an exception. For
/// `std::string`, the same as the first `ReadString`.
template <class T>
T ReadValue(const std::optional<std::string>& /*section*/,
            const std::string_view& /*key*/, const T& defaultValue,
            const std::string& /*file*/) {
  static_assert(detail::IsTypedValue<T>::value, VTY_CONFIG_READ_TYPES_);
  return defaultValue;  // each supported T has its exported form below
}

/// Typed read with a found flag: sets `value` to the parsed value and returns
/// true; sets it to `defaultValue` and returns false when the key is missing
/// or its value does not parse. On an exception `value` is unchanged. For
/// `std::string`, the same as the second `ReadString`.
template <class T>
bool ReadValue(const std::optional<std::string>& /*section*/,
               const std::string_view& /*key*/, const T& /*defaultValue*/,
               T& /*value*/, const std::string& /*file*/) {
  static_assert(detail::IsTypedValue<T>::value, VTY_CONFIG_READ_TYPES_);
  return false;
}

/// The typed reads with a C string default (a string literal): the first
/// two `ReadString`s.
inline std::string ReadValue(const std::optional<std::string>& section,
                             const std::string_view& key,
                             const char* defaultValue,
                             const std::string& file) {
  return ReadString(section, key, defaultValue, file);
}
inline bool ReadValue(const std::optional<std::string>& section,
                      const std::string_view& key, const char* defaultValue,
                      std::string& value, const std::string& file) {
  return ReadString(section, key, defaultValue, value, file);
}

template <>
VTY_CONFIG_API std::string ReadValue<std::string>(
    const std::optional<std::string>& section, const std::string_view& key,
    const std::string& defaultValue, const std::string& file);

template <>
VTY_CONFIG_API bool ReadValue<std::string>(
    const std::optional<std::string>& section, const std::string_view& key,
    const std::string& defaultValue, std::string& value,
    const std::string& file);

// The typed forms above exist for std::string (reads only) and for exactly
// the types below; any other T does not compile.
#define VTY_CONFIG_TYPED_READS_(T)                                            \
  template <>                                                                 \
  VTY_CONFIG_API T ReadValue<T>(                                              \
      const std::optional<std::string>& section, const std::string_view& key, \
      const T& defaultValue, const std::string& file);                        \
  template <>                                                                 \
  VTY_CONFIG_API bool ReadValue<T>(                                           \
      const std::optional<std::string>& section, const std::string_view& key, \
      const T& defaultValue, T& value, const std::string& file);
VTY_CONFIG_VALUE_TYPES_(VTY_CONFIG_TYPED_READS_)
#undef VTY_CONFIG_TYPED_READS_

// -----------------------------------------------------------------------------
// Sections
// -----------------------------------------------------------------------------

/// The names of the file's named sections, each once, as first written; the
/// unnamed section is never listed. No defined order.
VTY_CONFIG_API std::unordered_set<std::string> ReadSectionNames(
    const std::string& file);

/// The text of every key line and unrecognised line of `section`, in file
/// order (headers, comments and blank lines left out); empty for a missing
/// section. `std::nullopt` reads the lines before the first header.
VTY_CONFIG_API std::vector<std::string> ReadSection(
    const std::optional<std::string>& section, const std::string& file);

/// Calls `callback` once for every named section that exists when the walk
/// starts, with its name and its key/value pairs in file order. Sections are
/// visited in the order of their first header in the file (a section added
/// since stands where its header went: at the end). No lock is
/// held while a callback runs, so it may call any function of this library,
/// on this file too; a section erased meanwhile is visited with no pairs, one
/// created meanwhile is not visited. A `std::exception` thrown by `callback`
/// (or the `std::bad_function_call` of an empty one) goes to `errorCallback`
/// and the walk goes on; anything else thrown by `callback`, and whatever
/// `errorCallback` throws (an empty one throws `std::bad_function_call`),
/// ends the walk and passes to the caller. Returns true.
VTY_CONFIG_API bool IterateAllSections(
    const std::string& file,
    const std::function<void(
        const std::string&, const std::vector<SectionKeyValuePair>&)>& callback,
    const std::function<void(const std::exception&)>& errorCallback);

// -----------------------------------------------------------------------------
// Changing
// -----------------------------------------------------------------------------
//
// While the background writer is not running, every change is saved before
// its call returns; while it runs, changes stay in memory (and are seen by
// every read at once) until the next periodic flush, `Flush` or
// `ShutdownAsyncWriting`. Besides the exceptions of the reading functions,
// each function below throws `std::filesystem::filesystem_error` when a save
// fails; the change then stays in memory and the next flush tries again.

/// Sets `key` in `section` to `value` (see `File::WriteValue` for where new
/// lines go). Throws `std::invalid_argument`, changing nothing, for a key,
/// value or section name that could not be stored faithfully: a line break
/// anywhere, a key that is empty, holds '=' or starts like a comment or a
/// byte-order mark, a key or section name with a blank at either end, a
/// section name that is empty or holds '='. Its message names the rule that
/// failed, the key or section and the file.
VTY_CONFIG_API void WriteString(const std::optional<std::string>& section,
                                const std::string& key,
                                const std::string& value,
                                const std::string& file);

/// Typed write: `WriteString` of `FormatValue(value)`, with its placement,
/// refusals and saving. Provided for std::string (the same as `WriteString`)
/// and for the types of the typed reads; any other T does not compile.
template <class T>
void WriteValue(const std::optional<std::string>& /*section*/,
                const std::string& /*key*/, const T& /*value*/,
                const std::string& /*file*/) {
  static_assert(detail::IsTypedValue<T>::value, VTY_CONFIG_READ_TYPES_);
}

/// `WriteString`, for a C string (a string literal) value.
inline void WriteValue(const std::optional<std::string>& section,
                       const std::string& key, const char* value,
                       const std::string& file) {
  WriteString(section, key, value, file);
}

template <>
VTY_CONFIG_API void WriteValue<std::string>(
    const std::optional<std::string>& section, const std::string& key,
    const std::string& value, const std::string& file);

#define VTY_CONFIG_TYPED_WRITE_(T)                                             \
  template <>                                                                  \
  VTY_CONFIG_API void WriteValue<T>(const std::optional<std::string>& section, \
                                    const std::string& key, const T& value,    \
                                    const std::string& file);
VTY_CONFIG_VALUE_TYPES_(VTY_CONFIG_TYPED_WRITE_)
#undef VTY_CONFIG_TYPED_WRITE_

/// Removes every line of `key` in `section`. A missing section is not an
/// error and saves nothing; a missing key in an existing section still saves.
VTY_CONFIG_API void EraseKey(const std::optional<std::string>& section,
                             const std::string_view& key,
                             const std::string& file);

/// Removes the whole section, every block of it. Not an error when missing.
VTY_CONFIG_API void EraseSection(const std::optional<std::string>& section,
                                 const std::string& file);

/// Saves the file now if this process changed it since its last load or
/// save, merging in whatever someone else wrote meanwhile (see `File::Flush`);
/// otherwise writes nothing. Works the same whether writing is deferred.
VTY_CONFIG_API void Flush(const std::string& file);

/// Reads the file again now if someone else changed it on disk, keeping this
/// process's unsaved changes on top (see `File::Reload`); for example on
/// SIGHUP, to pick up an administrator's edit without a restart. Reads never
/// re-read the file by themselves. Writes nothing.
VTY_CONFIG_API void Reload(const std::string& file);

// -----------------------------------------------------------------------------
// Background writing
// -----------------------------------------------------------------------------
//
// Between `InitialiseAsyncWriting` and `ShutdownAsyncWriting` every change is
// deferred: a background thread flushes every changed document 60 seconds
// (or the caller's interval) after its previous cycle ended, and a failing
// document does not stop it. A process that ends while the writer runs flushes
// every document at exit.

/// Starts the background writer; from its return on, every document defers
/// its writes. Does nothing when the writer already runs; starts it afresh
/// after `ShutdownAsyncWriting`. Throws `std::system_error` when the thread
/// cannot be started; writes then stay immediate.
VTY_CONFIG_API void InitialiseAsyncWriting();

/// The same, with a cycle every `interval` (measured from the end of the
/// previous cycle) instead of 60 seconds; called while the writer runs, it
/// sets the interval from the next cycle on. Throws `std::invalid_argument`
/// for an interval under 10 milliseconds, changing nothing.
VTY_CONFIG_API void InitialiseAsyncWriting(std::chrono::milliseconds interval);

/// Stops the background writer: from its first step on every change is saved
/// at once; then the thread is joined and every changed document flushed,
/// each failure swallowed. Does nothing when the writer does not run. Called
/// by an error handler on the writer thread itself, it flushes at once and
/// the writer stops when the handler returns, unjoined until the next start
/// or stop on another thread.
VTY_CONFIG_API void ShutdownAsyncWriting() noexcept;

}  // namespace vty::config::ini

#undef VTY_CONFIG_READ_TYPES_

#endif  // VTY_CONFIG_INI_H_
