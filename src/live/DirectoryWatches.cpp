// The watcher's inotify watches, set again by path whenever a file is read.

#include "live/DirectoryWatches.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "live/Interval.h"

namespace vty::config::ini::detail {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// What a writer's edit of a file in a directory shows: a file made, written
// (a truncation too) and closed, renamed in or away, removed; and the
// directory itself renamed away or removed.
constexpr std::uint32_t kEdits = IN_CREATE | IN_CLOSE_WRITE | IN_MODIFY |
                                 IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE |
                                 IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// The events that end a watch's directory for us: the watch of a directory
// renamed away follows it, and is let go.
constexpr std::uint32_t kGone =
    IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;
// As open(2) follows links before it gives up with ELOOP.
constexpr int kHopsAtMost = 40;
constexpr milliseconds kPollAtMost{1000};

// `path`, then each path its symbolic links lead to, the file itself last.
// A link is read relative to its own directory, as the kernel reads it.
std::vector<fs::path> LinkChain(const fs::path& path) {
  std::vector<fs::path> chain{path};
  for (int hop = 0; hop < kHopsAtMost; ++hop) {
    std::error_code error;
    const fs::path& at = chain.back();
    if (!fs::is_symlink(fs::symlink_status(at, error))) break;
    fs::path target = fs::read_symlink(at, error);
    if (error) break;
    chain.push_back(target.is_absolute() ? std::move(target)
                                         : at.parent_path() / target);
  }
  return chain;
}

}  // namespace

milliseconds PollInterval() { return std::min(WriterInterval(), kPollAtMost); }

void DirectoryWatches::Open() noexcept {
  inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  inotifyError_ = inotify_ < 0 ? errno : 0;
}

void DirectoryWatches::Close() noexcept {
  if (inotify_ >= 0) ::close(inotify_);
  inotify_ = -1;
  spots_.clear();
  directories_.clear();
  users_.clear();
}

std::exception_ptr DirectoryWatches::Watch(const File& file) {
  std::vector<Spot> now;
  for (const fs::path& at : LinkChain(file.path)) {
    std::string name = at.filename().string();
    if (name.empty() || name == "." || name == "..") continue;  // no file
    now.push_back(Spot{at.parent_path().string(), std::move(name)});
  }
  return SetSpots(std::move(now), spots_[&file]);
}

std::exception_ptr DirectoryWatches::WatchDirectory(
    std::uint64_t id, const std::string& directory) {
  std::string path = directory;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::vector<Spot> now;
  const std::vector<fs::path> chain = LinkChain(path);
  for (const fs::path& at : chain) {
    std::string name = at.filename().string();
    if (name.empty() || name == "." || name == "..") continue;
    now.push_back(Spot{at.parent_path().string(), std::move(name)});
  }
  Spot entries{chain.back().string(), ""};
  entries.absent = true;
  now.push_back(std::move(entries));
  return SetSpots(std::move(now), directories_[id]);
}

std::exception_ptr DirectoryWatches::SetSpots(std::vector<Spot> now,
                                              std::vector<Spot>& before) {
  std::exception_ptr failure;
  for (Spot& spot : now) {
    int error = inotifyError_;
    if (inotify_ >= 0) {
      // The directory's watch, if it has one already: the kernel gives each
      // directory one per instance.
      spot.watch =
          ::inotify_add_watch(inotify_, spot.directory.c_str(), kEdits);
      if (spot.watch >= 0) {
        ++users_[spot.watch];
        spot.absent = false;
        continue;
      }
      error = errno;
    }
    // A directory awaited is not there yet: its parent's watch tells when it
    // comes, so it is neither polled nor reported.
    spot.absent =
        spot.absent && inotify_ >= 0 && (error == ENOENT || error == ENOTDIR);
    if (spot.absent) continue;
    spot.told = std::any_of(before.begin(), before.end(), [&](const Spot& s) {
      return s.told && s.directory == spot.directory && s.name == spot.name;
    });
    if (spot.told || failure) {
      spot.told = true;
      continue;
    }
    spot.told = true;
    failure = std::make_exception_ptr(std::system_error(
        error, std::generic_category(),
        "vty::config::ini: cannot watch " + spot.directory + " for edits of " +
            (spot.name.empty() ? std::string("its entries") : spot.name) +
            "; checking it every " + std::to_string(PollInterval().count()) +
            " ms instead"));
  }
  // Let go only now, so that a watch both keep is never removed meanwhile.
  for (const Spot& old : before) Release(old.watch);
  before = std::move(now);
  return failure;
}

void DirectoryWatches::Forget(const File& file) noexcept {
  const auto found = spots_.find(&file);
  if (found == spots_.end()) return;
  for (const Spot& spot : found->second) Release(spot.watch);
  spots_.erase(found);
}

void DirectoryWatches::ForgetDirectory(std::uint64_t id) noexcept {
  const auto found = directories_.find(id);
  if (found == directories_.end()) return;
  for (const Spot& spot : found->second) Release(spot.watch);
  directories_.erase(found);
}

bool DirectoryWatches::AnyPolled(const std::vector<Spot>& spots) {
  return std::any_of(spots.begin(), spots.end(), [](const Spot& spot) {
    return spot.watch < 0 && !spot.absent;
  });
}

bool DirectoryWatches::Polled(const File& file) const {
  const auto found = spots_.find(&file);
  return found != spots_.end() && AnyPolled(found->second);
}

bool DirectoryWatches::DirectoryPolled(std::uint64_t id) const {
  const auto found = directories_.find(id);
  return found != directories_.end() && AnyPolled(found->second);
}

bool DirectoryWatches::Concerns(std::vector<Spot>& spots,
                                const inotify_event& event) {
  const bool gone = (event.mask & kGone) != 0;
  const std::string_view name = event.len != 0 ? event.name : "";
  bool concerned = false;
  for (Spot& spot : spots) {
    if (spot.watch != event.wd) continue;
    if (gone) {
      spot.watch = -1;  // watched again, by path, when the file is read
      spot.told = false;
      concerned = true;
    } else if (spot.name.empty() || name == spot.name) {
      concerned = true;
    }
  }
  return concerned;
}

void DirectoryWatches::Hear(
    const inotify_event& event, const std::function<void(const File&)>& heard,
    const std::function<void(std::uint64_t)>& heardDirectory) {
  if ((event.mask & IN_Q_OVERFLOW) != 0) {  // events lost: anything changed
    for (auto& entry : spots_) heard(*entry.first);
    for (auto& entry : directories_) heardDirectory(entry.first);
    return;
  }
  for (auto& [file, spots] : spots_) {
    if (Concerns(spots, event)) heard(*file);
  }
  for (auto& [id, spots] : directories_) {
    if (Concerns(spots, event)) heardDirectory(id);
  }
  if ((event.mask & kGone) == 0) return;
  const auto found = users_.find(event.wd);
  if (found == users_.end()) return;
  users_.erase(found);
  // A directory renamed away keeps its watch, which would report the edits
  // of files that are no longer there.
  if ((event.mask & IN_MOVE_SELF) != 0) ::inotify_rm_watch(inotify_, event.wd);
}

void DirectoryWatches::Release(int watch) noexcept {
  const auto found = users_.find(watch);
  if (found == users_.end() || --found->second != 0) return;
  users_.erase(found);
  ::inotify_rm_watch(inotify_, watch);
}

}  // namespace vty::config::ini::detail
