// Where the watcher sees a file's edits: inotify watches on the directory of
// the file, and of each symbolic link's target on the way to it, set by
// path, so that a directory renamed away or removed and made again is
// watched again; a directory that cannot be watched is polled instead.

#ifndef VTY_CONFIG_SRC_LIVE_DIRECTORYWATCHES_H_
#define VTY_CONFIG_SRC_LIVE_DIRECTORYWATCHES_H_

#include <sys/inotify.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/INI.h"

namespace vty::config::ini::detail {

// How often a file whose directory cannot be watched is checked: the
// background writer's interval, and at least once a second.
std::chrono::milliseconds PollInterval();

// Not thread-safe: the watcher calls it under its mutex.
class DirectoryWatches {
 public:
  DirectoryWatches() = default;
  DirectoryWatches(const DirectoryWatches&) = delete;
  DirectoryWatches& operator=(const DirectoryWatches&) = delete;
  ~DirectoryWatches() { Close(); }

  // Opens the inotify instance; without one, every file is polled.
  void Open() noexcept;
  // Closes it and forgets every file.
  void Close() noexcept;
  // The instance's descriptor, or -1.
  int Descriptor() const noexcept { return inotify_; }

  // Watches the directories where edits of `file` show, found anew from its
  // path (a link may have been pointed elsewhere, a directory made again),
  // and lets go of the watches it no longer needs. Returns the failure to
  // report when a directory cannot be watched that could be, or was not
  // tried, before: the file is then to be polled.
  std::exception_ptr Watch(const File& file);
  void Forget(const File& file) noexcept;
  // Whether some directory of `file` is not watched.
  bool Polled(const File& file) const;

  // As Watch, for the entries of the directory `directory`, known as `id`:
  // an edit of any name in it, and the directory (or a link on the way to
  // it) made, renamed or removed in its parent. A directory not made yet is
  // no failure: its parent's watch tells when it comes.
  std::exception_ptr WatchDirectory(std::uint64_t id,
                                    const std::string& directory);
  void ForgetDirectory(std::uint64_t id) noexcept;
  bool DirectoryPolled(std::uint64_t id) const;

  // Calls `heard` with each file that `event` concerns: an edit of its name,
  // or its directory gone (renamed away, removed, unmounted), whose watch is
  // then let go until Watch sets it again; and `heardDirectory` likewise
  // with each directory's id.
  void Hear(const inotify_event& event,
            const std::function<void(const File&)>& heard,
            const std::function<void(std::uint64_t)>& heardDirectory);

 private:
  // A directory and the name in it where a file's edits show; an empty name
  // stands for every name.
  struct Spot {
    std::string directory, name;
    int watch = -1;       // -1: not watched
    bool told = false;    // that it cannot be watched
    bool absent = false;  // a directory not made yet, awaited by its parent
  };

  // Sets the watches of `now`, then lets go of those of `before`, which it
  // replaces; returns the failure to report, as Watch does.
  std::exception_ptr SetSpots(std::vector<Spot> now, std::vector<Spot>& before);
  // Whether `event` concerns the spots, marking those whose directory is gone.
  static bool Concerns(std::vector<Spot>& spots, const inotify_event& event);
  static bool AnyPolled(const std::vector<Spot>& spots);
  void Release(int watch) noexcept;

  int inotify_ = -1;
  int inotifyError_ = 0;  // why there is no instance
  std::unordered_map<const File*, std::vector<Spot>> spots_;
  std::unordered_map<std::uint64_t, std::vector<Spot>> directories_;
  std::unordered_map<int, std::size_t> users_;  // spots by watch descriptor
};

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_DIRECTORYWATCHES_H_
