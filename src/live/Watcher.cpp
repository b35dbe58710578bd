// The watcher: one thread, running while someone subscribes, that waits on
// inotify for changes in the directories of the watched files, reads a
// changed file again as Reload does once its writer is done with it, and
// runs the subscribers' callbacks with what the merge of the other writer's
// edit changed.
//
// The directory is watched rather than the file, since a save (this
// library's, an editor's) renames a new file over the old, which a watch on
// the old file's inode would never see (DirectoryWatches.h). What the
// events say of an edit in progress decides when to read (EditProgress.h).
// This process's own saves do not merge anything, so they report nothing:
// what a callback gets is exactly what a merge brought in, whether the
// watcher, a Reload or a save of this process's own made it.
//
// A directory's entries can be watched too (WatchDirectory, for drop-in
// directories): its callback only hears that something in it changed, once
// the events have gone quiet, and runs after the files' calls.
//
// Lock order: a document's lock, then the watcher's mutex. Neither is held
// while a callback or the error handler runs.

#include "live/Watcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "base/Immortal.h"
#include "live/DirectoryWatches.h"
#include "live/EditProgress.h"
#include "live/Failures.h"
#include "live/Fork.h"
#include "save/Merge.h"
#include "save/Save.h"

namespace vty::config::ini {

namespace detail {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Reading waits until the directories have been quiet for kQuiet (at most
// kGatherAtMost), so that edits close together come as one call.
constexpr milliseconds kQuiet{15};
constexpr milliseconds kGatherAtMost{80};

}  // namespace

class Watcher {
 public:
  // Never destroyed, so that a subscription destroyed at exit can still
  // cancel.
  static Watcher& Get() { return Immortal<Watcher>(); }

  Subscription Subscribe(File& document, ValueReader read,
                         ChangeCallback callback);
  Subscription Bundle(std::function<void()> release);
  Subscription WatchDirectory(const std::string& directory,
                              std::function<void()> heard);
  void Cancel(std::uint64_t id) noexcept;
  bool Watches(const File& file) {
    std::lock_guard lock(mutex_);
    return watched_.count(&file) != 0;
  }
  void Queue(const File& file, KeyValues before, KeyValues after);

  // Around a fork: nothing is being subscribed or handed over meanwhile. The
  // child has no watcher thread and none of the parent's subscriptions.
  void PrepareFork() { mutex_.lock(); }
  void AfterFork(bool child);

 private:
  struct Subscriber {
    File* document = nullptr;
    ValueReader read;
    ChangeCallback callback;
  };
  // A watched document (its watches are in watches_).
  struct Watched {
    File* document = nullptr;
    EditProgress progress;  // whether, and from when, to read it again
    std::size_t users = 0;  // its subscribers
  };
  struct Notice {
    const File* document = nullptr;
    KeyValues before, after;
  };
  // A directory whose entries are watched (its watches are in watches_).
  struct Directory {
    std::string path;
    std::function<void()> heard;
    bool due = false;  // an entry changed since `heard` last ran
  };

  void StartLocked();
  void Run();
  // Hears the inotify events until the directories have been quiet for
  // kQuiet; `wait`: for kQuiet even when no event is there yet.
  void Collect(int inotify, bool wait);
  // When the thread must wake next, at the latest: a document to read, a
  // polled one to check. Clock::time_point::max(): no bound.
  Clock::time_point NextLocked(Clock::time_point lastPoll) const;
  // Marks the polled documents to be read, once per PollInterval().
  void Poll(Clock::time_point& lastPoll);
  // The documents due to be read whose writers are done; taken.
  std::vector<File*> TakeReadable();
  bool Pending() {
    std::lock_guard lock(mutex_);
    return !notices_.empty();
  }
  void ReadAgain(File& document);
  void Deliver();
  // Runs the `heard` of each directory due, its watches set again first.
  void DeliverDirectories();
  void WakeLocked() const;

  std::mutex mutex_;
  std::condition_variable idle_;  // a callback returned
  std::map<std::uint64_t, std::shared_ptr<Subscriber>> subscribers_;
  std::map<std::uint64_t, std::function<void()>> bundles_;  // see Bundle
  std::map<std::uint64_t, std::shared_ptr<Directory>> directories_;
  std::unordered_map<const File*, Watched> watched_;
  DirectoryWatches watches_;
  std::deque<Notice> notices_;
  std::uint64_t nextId_ = 1;
  std::uint64_t running_ = 0;  // the subscriber whose callback runs
  // The thread and its descriptors, which it closes itself when it ends,
  // letting itself go; the last thing it touches is the mutex.
  bool alive_ = false;
  std::thread thread_;
  std::thread::id threadId_;
  int wake_ = -1;  // an eventfd: notices queued, subscribers gone
};

Subscription Watcher::Subscribe(File& document, ValueReader read,
                                ChangeCallback callback) {
  if (!callback) {
    throw std::invalid_argument("vty::config::ini: OnChange of " +
                                document.path.string() +
                                " was given an empty callback");
  }
  auto subscriber = std::make_shared<Subscriber>(
      Subscriber{&document, std::move(read), std::move(callback)});
  std::exception_ptr failure;
  std::uint64_t id = 0;
  {
    std::lock_guard lock(mutex_);
    if (!alive_) StartLocked();
    auto [entry, fresh] =
        watched_.try_emplace(&document, Watched{&document, {}, 0});
    try {
      if (fresh) failure = watches_.Watch(document);
      id = nextId_++;
      subscribers_.emplace(id, std::move(subscriber));
    } catch (...) {
      if (fresh) {
        watches_.Forget(document);
        watched_.erase(entry);
      }
      throw;
    }
    ++entry->second.users;
    WakeLocked();  // the thread's timeout may change
  }
  if (failure) ReportFailure(document.path.string(), failure);
  return Subscription(id);
}

void Watcher::StartLocked() {
  const int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) {
    throw std::system_error(errno, std::generic_category(),
                            "vty::config::ini: cannot start watching files");
  }
  watches_.Open();
  wake_ = wake;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    watches_.Close();
    ::close(wake_);
    wake_ = -1;
    throw;
  }
  threadId_ = thread_.get_id();
  alive_ = true;
}

Subscription Watcher::Bundle(std::function<void()> release) {
  std::lock_guard lock(mutex_);
  const std::uint64_t id = nextId_++;
  bundles_.emplace(id, std::move(release));
  return Subscription(id);
}

Subscription Watcher::WatchDirectory(const std::string& directory,
                                     std::function<void()> heard) {
  auto watched = std::make_shared<Directory>(
      Directory{directory, std::move(heard), false});
  std::exception_ptr failure;
  std::uint64_t id = 0;
  {
    std::lock_guard lock(mutex_);
    if (!alive_) StartLocked();
    id = nextId_++;
    try {
      failure = watches_.WatchDirectory(id, directory);
      directories_.emplace(id, std::move(watched));
    } catch (...) {
      watches_.ForgetDirectory(id);
      throw;
    }
    WakeLocked();  // the thread's timeout may change
  }
  if (failure) ReportFailure(directory, failure);
  return Subscription(id);
}

void Watcher::Cancel(std::uint64_t id) noexcept {
  std::unique_lock lock(mutex_);
  if (const auto bundle = bundles_.find(id); bundle != bundles_.end()) {
    // Run without the mutex: releasing cancels other subscriptions.
    const std::function<void()> release = std::move(bundle->second);
    bundles_.erase(bundle);
    lock.unlock();
    release();
    return;
  }
  if (const auto directory = directories_.find(id);
      directory != directories_.end()) {
    directories_.erase(directory);
    watches_.ForgetDirectory(id);
  } else {
    const auto found = subscribers_.find(id);
    if (found == subscribers_.end()) return;
    const auto watched = watched_.find(found->second->document);
    subscribers_.erase(found);
    if (watched != watched_.end() && --watched->second.users == 0) {
      watches_.Forget(*watched->second.document);
      watched_.erase(watched);
    }
  }
  WakeLocked();  // the thread ends when nobody is left
  // A callback running on the watcher's thread finishes before this returns,
  // unless it is the caller.
  if (std::this_thread::get_id() != threadId_) {
    idle_.wait(lock, [&] { return running_ != id; });
  }
}

void Watcher::WakeLocked() const {
  if (!alive_) return;
  const std::uint64_t one = 1;
  // A full counter already wakes the thread.
  [[maybe_unused]] const ssize_t written = ::write(wake_, &one, sizeof one);
}

void Watcher::Queue(const File& file, KeyValues before, KeyValues after) {
  std::lock_guard lock(mutex_);
  if (watched_.count(&file) == 0) return;
  if (!notices_.empty() && notices_.back().document == &file) {
    notices_.back().after = std::move(after);  // one call for both
    return;
  }
  notices_.push_back(Notice{&file, std::move(before), std::move(after)});
  WakeLocked();
}

void Watcher::Run() {
  auto lastPoll = Clock::now();
  for (;;) {
    int inotify = -1;
    int wake = -1;
    int timeout = -1;  // nothing to read or check: wait for events only
    bool ready = false;
    {
      std::lock_guard lock(mutex_);
      if (subscribers_.empty() && directories_.empty()) {
        // Nobody watches: the thread ends, and with it every watch.
        watches_.Close();
        ::close(wake_);
        wake_ = -1;
        watched_.clear();
        notices_.clear();
        directories_.clear();  // none: cancelled ones are gone
        alive_ = false;
        // Nobody joins a thread that ends by itself: it is let go.
        thread_.detach();
        return;
      }
      inotify = watches_.Descriptor();
      wake = wake_;
      const auto now = Clock::now();
      const auto next = NextLocked(lastPoll);
      ready = !notices_.empty() || next <= now;
      if (!ready && next != Clock::time_point::max()) {
        timeout = static_cast<int>(
            std::chrono::ceil<milliseconds>(next - now).count());
      }
    }
    if (!ready) {
      pollfd fds[2] = {{wake, POLLIN, 0}, {inotify, POLLIN, 0}};
      ::poll(fds, inotify >= 0 ? 2 : 1, timeout);
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t read = ::read(wake, &count, sizeof count);
    }
    if (inotify >= 0) Collect(inotify, false);
    Poll(lastPoll);
    // Edits that come while the files are read, or soon after a read that
    // found a change, are read too before the calls, whose notices they
    // join: a writer may write in a few bursts. The bound keeps a file
    // written without pause from holding back every other subscriber's
    // call, and what is still due is read next time.
    for (int round = 0; round < 4; ++round) {
      const std::vector<File*> reading = TakeReadable();
      if (reading.empty()) break;
      for (File* document : reading) ReadAgain(*document);
      if (inotify >= 0) Collect(inotify, Pending());
    }
    Deliver();
    DeliverDirectories();
  }
}

Clock::time_point Watcher::NextLocked(Clock::time_point lastPoll) const {
  auto next = Clock::time_point::max();
  for (const auto& entry : watched_) {
    const Watched& watched = entry.second;
    if (watched.progress.Due()) {
      next = std::min(next, watched.progress.ReadableAt());
    }
    if (watches_.Polled(*watched.document)) {
      next = std::min(next, lastPoll + PollInterval());
    }
  }
  for (const auto& [id, directory] : directories_) {
    if (directory->due) return Clock::time_point::min();
    if (watches_.DirectoryPolled(id)) {
      next = std::min(next, lastPoll + PollInterval());
    }
  }
  return next;
}

void Watcher::Poll(Clock::time_point& lastPoll) {
  const auto now = Clock::now();
  if (now - lastPoll < PollInterval()) return;
  lastPoll = now;
  std::lock_guard lock(mutex_);
  for (auto& entry : watched_) {
    // Reading it sets its watches again, where they can be set now.
    if (watches_.Polled(*entry.second.document)) entry.second.progress.Check();
  }
  for (auto& [id, directory] : directories_) {
    if (watches_.DirectoryPolled(id)) directory->due = true;
  }
}

std::vector<File*> Watcher::TakeReadable() {
  std::vector<File*> readable;
  const auto now = Clock::now();
  std::lock_guard lock(mutex_);
  for (auto& entry : watched_) {
    EditProgress& progress = entry.second.progress;
    if (!progress.Due() || progress.ReadableAt() > now) continue;
    progress.Taken();
    readable.push_back(entry.second.document);
  }
  return readable;
}

void Watcher::Collect(int inotify, bool wait) {
  alignas(inotify_event) char buffer[16 * 1024];
  const auto start = Clock::now();
  bool any = wait;
  for (;;) {
    const ssize_t got = ::read(inotify, buffer, sizeof buffer);
    if (got > 0) {
      any = true;
      const auto now = Clock::now();
      std::lock_guard lock(mutex_);
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        watches_.Hear(
            *event,
            [&](const File& file) {
              const auto found = watched_.find(&file);
              if (found != watched_.end()) {
                found->second.progress.Hear(event->mask, now);
              }
            },
            [&](std::uint64_t id) {
              const auto found = directories_.find(id);
              if (found != directories_.end()) found->second->due = true;
            });
      }
      continue;
    }
    if (!any) return;
    const auto waited = Clock::now() - start;
    if (waited >= kGatherAtMost) return;
    pollfd fd{inotify, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<milliseconds>(kGatherAtMost - waited);
    if (::poll(&fd, 1, static_cast<int>(std::min(kQuiet, left).count())) <= 0) {
      return;
    }
  }
}

void Watcher::ReadAgain(File& document) {
  std::exception_ptr failure;
  {
    std::lock_guard lock(mutex_);
    if (watched_.count(&document) == 0) return;  // cancelled meanwhile
    // Before the read, so that no edit after it goes unheard: a directory
    // made again, a link pointed elsewhere, is watched from here on.
    try {
      failure = watches_.Watch(document);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  if (failure) ReportFailure(document.path.string(), failure);
  try {
    Reload(document);  // a merge queues what it changed
  } catch (...) {
    ReportFailure(document.path.string(), std::current_exception());
  }
}

void Watcher::Deliver() {
  for (;;) {
    Notice notice;
    std::vector<std::pair<std::uint64_t, std::shared_ptr<Subscriber>>> targets;
    {
      std::lock_guard lock(mutex_);
      if (notices_.empty()) return;
      notice = std::move(notices_.front());
      notices_.pop_front();
      for (const auto& entry : subscribers_) {
        if (entry.second->document == notice.document) {
          targets.push_back(entry);
        }
      }
    }
    for (const auto& [id, subscriber] : targets) {
      std::string file = subscriber->document->path.string();
      try {
        const std::vector<Change> changes =
            Diff(notice.before, notice.after, subscriber->read);
        if (changes.empty()) continue;
        {
          std::lock_guard lock(mutex_);
          if (subscribers_.count(id) == 0) continue;  // cancelled meanwhile
          running_ = id;
        }
        subscriber->callback(changes);
      } catch (...) {
        ReportFailure(file, std::current_exception());
      }
      std::lock_guard lock(mutex_);
      running_ = 0;
      idle_.notify_all();
    }
  }
}

void Watcher::DeliverDirectories() {
  for (;;) {
    std::uint64_t id = 0;
    std::shared_ptr<Directory> directory;
    std::exception_ptr failure;
    {
      std::lock_guard lock(mutex_);
      for (const auto& [each, watched] : directories_) {
        if (watched->due) {
          id = each;
          directory = watched;
          break;
        }
      }
      if (!directory) return;
      directory->due = false;
      // Before the call, so that no entry made after it goes unheard: a
      // directory made meanwhile is watched from here on.
      try {
        failure = watches_.WatchDirectory(id, directory->path);
      } catch (...) {
        failure = std::current_exception();
      }
      running_ = id;
    }
    if (failure) ReportFailure(directory->path, failure);
    try {
      directory->heard();
    } catch (...) {
      ReportFailure(directory->path, std::current_exception());
    }
    std::lock_guard lock(mutex_);
    running_ = 0;
    idle_.notify_all();
  }
}

void Watcher::AfterFork(bool child) {
  if (child) {
    if (alive_) {
      thread_.detach();
      ::close(wake_);
    }
    watches_.Close();  // the parent's descriptor, copied into the child
    wake_ = -1;
    alive_ = false;
    threadId_ = {};
    running_ = 0;
    subscribers_.clear();
    directories_.clear();
    // Never released in the child, whose copies of the parent's locks may
    // be held: what they own is left to the process's end.
    static_cast<void>(
        std::make_unique<decltype(bundles_)>(std::move(bundles_)).release());
    bundles_.clear();
    watched_.clear();
    notices_.clear();
    // Made anew in place: a thread of the parent may have waited on them.
    ::new (static_cast<void*>(&idle_)) std::condition_variable();
    ::new (static_cast<void*>(&mutex_)) std::mutex();
  } else {
    mutex_.unlock();
  }
}

void PrepareWatcherForFork() { Watcher::Get().PrepareFork(); }

void WatcherAfterFork(bool child) { Watcher::Get().AfterFork(child); }

namespace {

// The merge listener (Merge.h): the values of a watched document before a
// merge, handed to the watcher's thread with the values after it.
std::function<void(const File&)> HearMerge(const File& file) {
  if (!Watcher::Get().Watches(file)) return nullptr;
  return [before = ValuesOf(file)](const File& merged) mutable noexcept {
    try {
      Watcher::Get().Queue(merged, std::move(before), ValuesOf(merged));
    } catch (...) {
      // Out of memory: the document is merged, only the call is lost.
    }
  };
}

}  // namespace

Subscription BundleSubscription(std::function<void()> release) {
  return Watcher::Get().Bundle(std::move(release));
}

Subscription WatchDirectory(const std::string& directory,
                            std::function<void()> heard) {
  return Watcher::Get().WatchDirectory(directory, std::move(heard));
}

void CancelSubscription(std::uint64_t id) noexcept {
  Watcher::Get().Cancel(id);
}

Subscription Subscribe(File& document, ValueReader read,
                       ChangeCallback callback) {
  // Merges are heard from the first subscription on: before it, nobody
  // listens.
  SetMergeListener(&HearMerge);
  return Watcher::Get().Subscribe(document, std::move(read),
                                  std::move(callback));
}

}  // namespace detail

}  // namespace vty::config::ini
