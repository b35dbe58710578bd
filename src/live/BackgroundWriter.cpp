// The background writer: a thread running an event loop whose timer flushes
// every changed document a fixed interval after the previous cycle ended. The
// interval is measured on the monotonic clock, so setting the wall clock back
// does not delay a deferred change.

#include "live/BackgroundWriter.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <condition_variable>
#include <memory>
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
// the writer's own thread, waits for the loop to end, joins the thread and
// flushes every document. A writer still running when the process exits (or
// the library is unloaded) is shut down the same way by the destructor, so
// no deferred change is lost.
//
// An error handler runs on the writer thread and may call any function,
// these two included, so no wait here holds mutex_: a shutdown waits for the
// loop's end on a condition, and joins the ended thread unlocked. A shutdown
// asked for on the writer thread itself stops the loop once the current
// handler returns, flushes at once and does not wait for itself; a start
// asked for there while that stop is pending is ignored (the stop wins, and
// changes are saved at once meanwhile). The next start or stop elsewhere
// joins the ended thread.
class AsyncState {
 public:
  AsyncState() {
    // The final flush at exit needs the registry, so it must be built first
    // (and so destroyed after this).
    detail::CreateRegistry();
  }
  AsyncState(const AsyncState&) = delete;
  AsyncState& operator=(const AsyncState&) = delete;
  ~AsyncState() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;  // a handler of the last flush starts nothing more
    }
    Shutdown();
    // Exit called by a handler, on the writer thread: it cannot join itself.
    if (thread_.joinable()) thread_.detach();
  }

  // `interval`: the caller's, or none to keep a running writer's and start
  // a new one with the default.
  void Initialise(std::optional<milliseconds> interval) {
    std::unique_lock lock(mutex_);
    if (interval) detail::SetWriterInterval(*interval);
    if (running_ && (!stopping_ || OnWriter())) return;  // running, or its own
    if (closed_) return;
    AwaitEnded(lock);
    if (running_ || closed_) return;  // started or closed meanwhile
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
    // The thread first, which may throw; it cannot end the run before this
    // unlocks mutex_.
    thread_ = std::thread([this] { RunIOContext(); });
    running_ = true;
    stopping_ = false;
    writer_ = thread_.get_id();
    detail::g_async.store(true);
  }

  void Shutdown() noexcept {
    try {
      std::unique_lock lock(mutex_);
      // Cleared under the lock, so that an Initialise running at the same
      // time cannot set it again after this shutdown.
      detail::g_async.store(false);
      if (!running_ && !thread_.joinable()) return;  // nothing deferred
      if (running_ && !stopping_) {
        // The timer is not safe for concurrent use, and the writer thread
        // may be re-arming it right now: cancel it on that thread instead.
        boost::asio::post(context_, [this] {
          timer_.cancel();
          context_.stop();
        });
        stopping_ = true;
      }
      if (!OnWriter()) AwaitEnded(lock);
    } catch (...) {
      return;
    }
    FlushAllFiles();
  }

  // Around a fork: no start or stop is under way meanwhile. The child has no
  // writer thread: it forgets the parent's, and saves its changes at once.
  void PrepareFork() { mutex_.lock(); }
  void AfterFork(bool child) {
    if (child && (running_ || thread_.joinable())) {
      if (thread_.joinable()) thread_.detach();
      running_ = stopping_ = false;
      forked_ = true;
      detail::g_async.store(false);
      // The parent's waiters are recorded in it: a child that notified it
      // could wait for threads it does not have. Left to leak.
      (void)ended_.release();
      ended_ = std::make_unique<std::condition_variable>();
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
        break;
      } catch (...) {
        if (context_.stopped()) break;
      }
    }
    std::lock_guard lock(mutex_);
    running_ = false;
    ended_->notify_all();
  }

  // Whether the caller is the writer thread, a handler's.
  bool OnWriter() const { return writer_ == std::this_thread::get_id(); }

  // Waits, with `lock` on mutex_ released meanwhile, until no loop runs and
  // its thread is joined. Never called on the writer thread.
  void AwaitEnded(std::unique_lock<std::mutex>& lock) {
    for (;;) {
      ended_->wait(lock, [this] { return !running_; });
      if (!thread_.joinable()) return;
      std::thread ended = std::move(thread_);
      writer_ = {};
      // Unlocked: the thread may still be leaving its last lock of mutex_.
      lock.unlock();
      ended.join();
      lock.lock();
    }
  }

  boost::asio::io_context context_;
  // Touched only on the writer thread while it runs.
  boost::asio::steady_timer timer_{context_};
  // Serialises Initialise and Shutdown; never held while waiting for the
  // writer. Guards thread_, writer_, running_, stopping_, closed_, forked_.
  std::mutex mutex_;
  std::unique_ptr<std::condition_variable> ended_ =
      std::make_unique<std::condition_variable>();  // running_ went false
  std::thread thread_;
  std::thread::id writer_;  // thread_'s, until it is joined
  bool running_ = false;    // the loop runs, until its thread leaves it
  bool stopping_ = false;   // its stop is posted
  bool closed_ = false;     // destroyed: no start any more
  bool forked_ = false;     // the loop is a copy of a parent's
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
