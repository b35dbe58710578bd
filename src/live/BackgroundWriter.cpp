// The background writer: a thread running an event loop whose timer flushes
// every changed document a fixed interval after the previous cycle ended. The
// interval is measured on the monotonic clock, so setting the wall clock back
// does not delay a deferred change.

#include "live/BackgroundWriter.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "live/Failures.h"
#include "live/Fork.h"
#include "live/Registry.h"
#include "save/Save.h"

namespace vty::config::ini {

namespace {

using std::chrono::milliseconds;

constexpr milliseconds kFlushInterval{60'000};
constexpr milliseconds kShortestInterval{10};

// Flushes every registered document once, swallowing each failure so that one
// failing document does not keep the others from being saved.
void FlushAllFiles() noexcept {
  try {
    for (File* document : detail::RegisteredFiles()) {
      try {
        detail::Flush(*document);
      } catch (...) {
        // This document stays changed and is tried again next time; the
        // caller's error handler hears of each failed attempt.
        detail::ReportFailure(document->path.string(),
                              std::current_exception());
      }
    }
  } catch (...) {
    // Out of memory for the list: nothing was flushed, nothing was lost.
  }
}

// Lifecycle: InitialiseAsyncWriting arms the timer, starts the thread and
// then sets g_async; ShutdownAsyncWriting clears g_async, stops the loop on
// the writer's own thread, joins it and flushes every document. A writer
// still running when the process exits (or the library is unloaded) is shut
// down the same way by the destructor, so no deferred change is lost.
class AsyncState {
 public:
  AsyncState() {
    // The final flush at exit needs the registry, so it must be built first
    // (and so destroyed after this).
    detail::CreateRegistry();
  }
  AsyncState(const AsyncState&) = delete;
  AsyncState& operator=(const AsyncState&) = delete;
  ~AsyncState() { Shutdown(); }

  // `interval`: the caller's, or none to keep a running writer's and start
  // a new one with the default.
  void Initialise(std::optional<milliseconds> interval) {
    std::lock_guard lock(mutex_);
    if (interval) detail::SetWriterInterval(*interval);
    if (thread_.joinable()) return;  // already running
    if (!interval) detail::SetWriterInterval(kFlushInterval);
    if (forked_) {
      // The loop's descriptors are shared with the parent: make its own.
      context_.notify_fork(boost::asio::execution_context::fork_child);
      forked_ = false;
    }
    // A loop stopped by an earlier shutdown must be restarted, or run()
    // would return at once and no cycle would ever come.
    context_.restart();
    ++run_;
    ArmNextCycle();
    thread_ = std::thread([this] { RunIOContext(); });
    detail::g_async.store(true);
  }

  void Shutdown() noexcept {
    try {
      std::lock_guard lock(mutex_);
      // Cleared under the lock, so that an Initialise running at the same
      // time cannot set it again after this shutdown.
      detail::g_async.store(false);
      if (!thread_.joinable()) return;  // not running: nothing deferred
      // The timer is not safe for concurrent use, and the writer thread may
      // be re-arming it right now: cancel it on that thread instead.
      boost::asio::post(context_, [this] {
        timer_.cancel();
        context_.stop();
      });
      thread_.join();
    } catch (...) {
      return;
    }
    FlushAllFiles();
  }

  // Around a fork: no start or stop is under way meanwhile. The child has no
  // writer thread: it forgets the parent's, and saves its changes at once.
  void PrepareFork() { mutex_.lock(); }
  void AfterFork(bool child) {
    if (child && thread_.joinable()) {
      thread_.detach();
      forked_ = true;
      detail::g_async.store(false);
    }
    mutex_.unlock();
  }

  void SetObserver(std::function<void()> observer) {
    std::lock_guard lock(observerMutex_);
    observer_ = std::move(observer);
  }

 private:
  // Arms the timer for the next cycle. Runs on the writer thread, or before
  // it starts.
  void ArmNextCycle() {
    timer_.expires_after(detail::WriterInterval());
    timer_.async_wait(
        [this, run = run_](const boost::system::error_code& error) {
          // A wait that completed just before a shutdown stopped the loop is
          // still queued when it restarts: it belongs to the earlier run.
          if (run == run_) OnTimer(error);
        });
  }

  // One periodic cycle. A document that fails to save stays changed and is
  // tried again next cycle; it does not keep the others from being saved or
  // stop the writer. The registry's lock is held only to list the documents.
  void OnTimer(const boost::system::error_code& error) {
    if (error) return;  // cancelled or re-armed
    FlushAllFiles();
    ArmNextCycle();
    std::lock_guard lock(observerMutex_);
    if (observer_) observer_();
  }

  // The body of the writer thread: runs the loop until it is stopped,
  // discarding whatever a handler throws.
  void RunIOContext() {
    for (;;) {
      try {
        context_.run();
        return;
      } catch (...) {
        if (context_.stopped()) return;
      }
    }
  }

  boost::asio::io_context context_;
  // Touched only on the writer thread while it runs.
  boost::asio::steady_timer timer_{context_};
  // Serialises Initialise and Shutdown. Guards thread_.
  std::mutex mutex_;
  std::thread thread_;
  bool forked_ = false;  // the loop is a copy of a parent's; Guarded by mutex_
  // Counts the starts; written only while no writer thread runs.
  std::uint64_t run_ = 0;
  std::mutex observerMutex_;
  std::function<void()> observer_;  // Guarded by observerMutex_.
};

AsyncState& GetAsyncState() {
  static AsyncState state;
  return state;
}

}  // namespace

void InitialiseAsyncWriting() { GetAsyncState().Initialise(std::nullopt); }

void InitialiseAsyncWriting(milliseconds interval) {
  if (interval < kShortestInterval) {
    throw std::invalid_argument(
        "vty::config::ini: the background writer's interval of " +
        std::to_string(interval.count()) +
        " ms is under the shortest allowed, 10 ms");
  }
  GetAsyncState().Initialise(interval);
}

void ShutdownAsyncWriting() noexcept { GetAsyncState().Shutdown(); }

namespace detail {

void PrepareWriterForFork() { GetAsyncState().PrepareFork(); }

void WriterAfterFork(bool child) { GetAsyncState().AfterFork(child); }

void SetCycleObserverForTesting(std::function<void()> observer) {
  GetAsyncState().SetObserver(std::move(observer));
}

}  // namespace detail

}  // namespace vty::config::ini
