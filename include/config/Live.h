// Vantry.Config: live settings. A program hears about another writer's edit
// of a file, learns of the failures that no caller of its own sees, and
// checks a file for lines a person probably did not mean.
//
// File: config/Live.h
// -----------------------------------------------------------------------------
//
// Example: re-apply the log level whenever an administrator edits the file.
//
//   ini::SetErrorHandler([](const std::string& file, std::exception_ptr e) {
//     try { std::rethrow_exception(e); }
//     catch (const std::exception& x) { Log("settings: ", file, ": ",
//     x.what()); }
//   });
//   ini::Subscription live = ini::OnChange("conf/app.ini",
//       [](const std::vector<ini::Change>& changes) {
//         for (const ini::Change& c : changes)
//           if (ini::IsEqual(c.key, "Level"))
//           SetLevel(c.after.value_or("info"));
//       });
//
// Thread safety: every function here may be called from any thread at any
// time, from a callback too.

#ifndef VTY_CONFIG_LIVE_H_
#define VTY_CONFIG_LIVE_H_

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/LineRules.h"
#include "config/Values.h"

namespace vty::config::ini {

/// Names a section: `std::nullopt` is the unnamed one.
using SectionName = std::optional<std::string>;

namespace detail {
class Watcher;
}  // namespace detail

// -----------------------------------------------------------------------------
// Hearing about another writer's edit
// -----------------------------------------------------------------------------

/// One key whose value another writer changed.
struct Change {
  SectionName section;  // as the file spells it now (or did, when erased)
  std::string key;      // likewise
  std::optional<std::string> before;  // std::nullopt: absent before
  std::optional<std::string> after;   // std::nullopt: erased
};

/// Keeps a callback subscribed while it lives. Destroying it, assigning
/// another to it or calling `Cancel` stops the calls: once that returns, the
/// callback is not running and will not run again (unless it was called from
/// the callback itself, which then finishes normally). Movable, not copyable.
/// Discarding one cancels at once, so the compiler warns of a dropped one.
class [[nodiscard]] VTY_CONFIG_API Subscription {
 public:
  /// Subscribed to nothing.
  Subscription() noexcept = default;
  Subscription(Subscription&& other) noexcept;
  Subscription& operator=(Subscription&& other) noexcept;
  Subscription(const Subscription&) = delete;
  Subscription& operator=(const Subscription&) = delete;
  ~Subscription();

  /// Stops the calls. Does nothing when already cancelled.
  void Cancel() noexcept;
  /// True until cancelled (or moved from).
  bool Active() const noexcept { return id_ != 0; }

 private:
  friend class detail::Watcher;
  explicit Subscription(std::uint64_t id) noexcept : id_(id) {}
  std::uint64_t id_ = 0;
};

/// Calls `callback` whenever another process, program or editor changes
/// `file` on disk (a rename over it, a rewrite in place, a delete and
/// re-create): the document is first read again as `Reload` reads it (this
/// process's unsaved changes stay on top, but where theirs of the same key
/// is later: see `Conflict`), and the callback gets, in file
/// order, every key whose value changed, as `ReadString` gives it (the raw
/// text after '='; `Settings::OnChange` gives values as its handle reads
/// them); keys erased come last. A `Reload` that reads in such an
/// edit, and a save that merges one, call it too. This process's own saves
/// never do. Several edits close together may come as one call.
///
/// The directory of the file is watched with inotify (and, when `file` is a
/// symbolic link, the directory of each link's target on the way), so a
/// call follows an edit within a fraction of a second and nothing runs while
/// nobody watches. The file is read once its writer is done with it: a file
/// renamed away, removed or just made is waited for up to 250 ms, and a file
/// being written until its writer closes it (at most 2 s), so that an
/// editor's save that renames the old file away and writes a new one comes
/// as one call with only what changed. A directory renamed away or removed
/// is watched again by its path. Where a watch cannot be set (a file system
/// without inotify, the watch limit reached, a missing directory) the file
/// is checked every second (every interval of the background writer, when
/// shorter) until it can be, and the error handler is told so, once each
/// time.
///
/// Callbacks run one at a time, in order, on one thread of the library, with
/// no lock held: a callback may call any function of the library, on this
/// file too. An exception thrown by a callback goes to the error handler
/// with the file; it never ends the process. Throws what the first use of
/// `file` throws, `std::invalid_argument` for an empty callback, and
/// `std::system_error` when the thread cannot be started.
[[nodiscard]] VTY_CONFIG_API Subscription
OnChange(const std::string& file,
         std::function<void(const std::vector<Change>&)> callback);

// -----------------------------------------------------------------------------
// Failures no caller sees
// -----------------------------------------------------------------------------

/// The notice the error handler gets when this process and another writer
/// both changed one key of `file` since this process last read or saved it
/// (their file's value differs from the one this process had read, and this
/// process has set or erased the key since, unsaved). The change made later
/// stands: this process's time of its latest change of the key against the
/// file's modification time when the save or the reload reads it in, both
/// on the wall clock the kernel stamps files by. At equal times ours
/// stands; an edit of theirs within one tick of the file clock (about 4 ms)
/// after ours may count as earlier; a file time in the future is later than
/// ours; a file deleted or emptied is weighed as no edit, and ours stands. When
/// theirs stands, the document takes their value, the change of ours is
/// dropped and `OnChange` subscribers hear it (before: our value, after:
/// theirs); when ours stands, it is saved over theirs. The erase or rename
/// of a whole section is no key's change: it is re-applied as ever, and the
/// keys of such a section are never weighed. Values are as the change was
/// made: raw for the free functions, as the handle reads them for a
/// handle's, the lines of a key written by `Add` joined by "\n".
class VTY_CONFIG_API Conflict : public std::runtime_error {
 public:
  Conflict(const std::string& file, SectionName section, std::string key,
           std::optional<std::string> ours, std::optional<std::string> theirs,
           bool oursStands);
  /// The section and the key as this process spelled them.
  const SectionName& Section() const noexcept { return section_; }
  const std::string& Key() const noexcept { return key_; }
  /// The value each side gave the key; std::nullopt: erased.
  const std::optional<std::string>& Ours() const noexcept { return ours_; }
  const std::optional<std::string>& Theirs() const noexcept { return theirs_; }
  /// Whether this process's change is the later, and stands.
  bool OursStands() const noexcept { return oursStands_; }

 private:
  SectionName section_;
  std::string key_;
  std::optional<std::string> ours_, theirs_;
  bool oursStands_;
};

/// From its return on, `handler` hears of every failure that no caller of
/// the library sees: each failed attempt of the background writer (or of the
/// flush at shutdown or exit) to save a file, with that file; an exception
/// thrown by an `OnChange` callback; a file that could not be watched or
/// read again after an edit; and, as a `Conflict`, each key that this
/// process and another writer both changed, reported by the save or reload
/// that read their edit in once it lets go of the file's locks, on its
/// thread. `file` is the document's absolute path. The
/// failed change is kept and tried again as always. The handler runs on the
/// thread that met the failure, with no lock of the library held, and may
/// call any function of the library; what it throws is discarded. On the
/// writer thread, `ShutdownAsyncWriting` stops the writer once the handler
/// returns, flushing at once, and an `InitialiseAsyncWriting` after it is
/// ignored. An empty handler (the default) drops the failures.
VTY_CONFIG_API void SetErrorHandler(
    std::function<void(const std::string& file, std::exception_ptr)> handler);

// -----------------------------------------------------------------------------
// Checking a file
// -----------------------------------------------------------------------------

/// One line of a file that is probably not what its writer meant.
struct Finding {
  std::size_t line;     // 1-based
  std::string message;  // what the line is and what is read of it
  std::string file;     // the file the line is in, as its caller named it
};

/// Reads `file` from disk now, by the rules loading uses, and reports in
/// line order: a line that is none of blank, comment, key or section header
/// (`[broken`, `=value`), which every read skips; a key that occurs again in
/// its section (only the first is read); a header that repeats an earlier
/// section's (its lines join that section); a key or section name that
/// begins or ends with a space the line rules do not strip (vertical tab,
/// form feed, no-break or other Unicode space) or holds a byte-order mark,
/// so that a name as a caller types it does not find it. A missing file has
/// no findings. Throws `std::filesystem::filesystem_error` for a file that
/// cannot be read, and `std::bad_alloc`.
VTY_CONFIG_API std::vector<Finding> Check(const std::string& file);

}  // namespace vty::config::ini

#endif  // VTY_CONFIG_LIVE_H_
