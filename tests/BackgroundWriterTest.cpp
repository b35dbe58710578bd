// The background writer: when deferred changes reach the disk, and that the
// writer survives failing documents, restarts, races and the end of the
// process without losing a change or stalling callers.

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <set>
#include <thread>

#include "TestUtil.h"
#include "config/Live.h"
#include "live/BackgroundWriter.h"
#include "live/Registry.h"

// The wall clock that Boost's deadline_timer reads, set back an hour on demand.
static std::atomic<bool> g_clockSetBack{false};
extern "C" int gettimeofday(timeval* now, void*) noexcept {
  timespec wall{};
  ::clock_gettime(CLOCK_REALTIME, &wall);
  *now = {wall.tv_sec - (g_clockSetBack ? 3600 : 0), wall.tv_nsec / 1000};
  return 0;
}

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Inode;

// Waits never last this long unless something is stuck. Not a measure of
// speed: every wait below is for a condition.
constexpr auto kGuard = 10s;
constexpr std::chrono::milliseconds kFast{1};

// Follows the writer's periodic cycles through the cycle observer, and can
// park the writer at the end of a cycle so that a test changes documents
// between two cycles without racing one.
class Cycles {
 public:
  // Runs on the writer thread at the end of every cycle.
  void OnCycle() {
    std::unique_lock lock(mutex_);
    ++count_;
    threads_.insert(std::this_thread::get_id());
    changed_.notify_all();
    changed_.wait(lock, [this] { return !held_; });
  }
  // Parks the writer at the end of its next cycle; false when none comes.
  bool Hold() {
    std::unique_lock lock(mutex_);
    held_ = true;
    return WaitLocked(lock, 1);
  }
  // Lets a parked writer go on, then waits until `cycles` more have ended.
  bool Release(int cycles = 0) {
    std::unique_lock lock(mutex_);
    held_ = false;
    changed_.notify_all();
    return WaitLocked(lock, cycles);
  }
  // How many threads have run a cycle.
  std::size_t Threads() {
    std::lock_guard lock(mutex_);
    return threads_.size();
  }

 private:
  bool WaitLocked(std::unique_lock<std::mutex>& lock, int cycles) {
    const int target = count_ + cycles;
    return changed_.wait_for(lock, kGuard, [&] { return count_ >= target; });
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  bool held_ = false;
  std::set<std::thread::id> threads_;
};

// The writer is one per process: every test starts without it, with fast
// cycles, and leaves it shut down.
class BackgroundWriterTest : public testing::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    detail::SetFlushIntervalForTesting(kFast);
    detail::SetCycleObserverForTesting([this] { cycles_.OnCycle(); });
  }
  void TearDown() override {
    cycles_.Release();
    ShutdownAsyncWriting();
    detail::SetCycleObserverForTesting(nullptr);
    detail::SetFlushIntervalForTesting(60s);
    // Cycles flush the documents of earlier tests too, and so recreate
    // their removed files: remove every directory used so far.
    static std::vector<fs::path> directories;
    directories.push_back(dir_);
    std::error_code ignored;
    for (const auto& dir : directories) fs::remove_all(dir, ignored);
  }

  Cycles cycles_;
};

constexpr char kOld[] = "[Net]\nPort=80\n";
constexpr char kNew[] = "[Net]\nPort=8080\n";

TEST_F(BackgroundWriterTest, DeferredChangesAreSavedByFlushAndOncePerCycle) {
  const std::string before = Path("before.ini");
  const std::string after = Path("after.ini");
  testing::WriteAll(before, kOld);
  EXPECT_EQ(ReadString("Net", "Port", "", before), "80");  // registered now
  InitialiseAsyncWriting();
  ASSERT_TRUE(cycles_.Hold());
  for (int i = 0; i < 10; ++i) {
    WriteString("Net", "Port", std::to_string(i), before);
  }
  WriteString("Net", "Port", "8080", after);
  EXPECT_EQ(ReadString("Net", "Port", "", before), "9");
  EXPECT_EQ(testing::ReadAll(before), kOld);
  EXPECT_FALSE(fs::exists(after));
  Flush(after);
  EXPECT_EQ(testing::ReadAll(after), kNew);
  // Every save renames a new file over the old one: one new inode per save.
  const ino_t loaded = Inode(before);
  ASSERT_TRUE(cycles_.Release(1));
  EXPECT_EQ(testing::ReadAll(before), "[Net]\nPort=9\n");
  const ino_t saved = Inode(before);
  EXPECT_NE(saved, loaded);
  ASSERT_TRUE(cycles_.Hold());  // a whole cycle more, with nothing to save
  EXPECT_EQ(Inode(before), saved);
}

TEST_F(BackgroundWriterTest, ShutdownSavesAndWritesBecomeImmediate) {
  const std::string path = Path("shutdown.ini");
  ShutdownAsyncWriting();  // never started
  WriteString("Net", "Port", "80", path);
  EXPECT_EQ(testing::ReadAll(path), kOld);
  detail::SetFlushIntervalForTesting(1h);  // only the shutdown may save
  InitialiseAsyncWriting();
  WriteString("Net", "Port", "8080", path);
  EXPECT_EQ(testing::ReadAll(path), kOld);
  ShutdownAsyncWriting();
  EXPECT_EQ(testing::ReadAll(path), kNew);
  ShutdownAsyncWriting();  // already stopped
  WriteString("Net", "Port", "81", path);
  EXPECT_EQ(testing::ReadAll(path), "[Net]\nPort=81\n");
}

TEST_F(BackgroundWriterTest, FailingDocumentDoesNotStopTheWriter) {
  std::string blocked = Path("a/x.ini");
  std::string good = Path("b/x.ini");
  InitialiseAsyncWriting();
  ASSERT_TRUE(cycles_.Hold());
  WriteString("Net", "Port", "1", blocked);
  WriteString("Net", "Port", "1", good);
  // The one the cycle reaches first fails: the other must still be saved.
  const auto order = detail::RegisteredFiles();
  if (std::find(order.begin(), order.end(),
                &detail::RegisteredDocument(blocked)) >
      std::find(order.begin(), order.end(),
                &detail::RegisteredDocument(good))) {
    std::swap(blocked, good);
  }
  const fs::path sub = fs::path(blocked).parent_path();
  testing::WriteAll(sub, "a file where a directory must go\n");
  ASSERT_TRUE(cycles_.Release(1)) << "the writer ended";
  EXPECT_EQ(testing::ReadAll(good), "[Net]\nPort=1\n");
  // Later cycles still save changes...
  ASSERT_TRUE(cycles_.Hold());
  WriteString("Net", "Port", "2", good);
  ASSERT_TRUE(cycles_.Release(1)) << "the writer ended";
  EXPECT_EQ(testing::ReadAll(good), "[Net]\nPort=2\n");
  // ...and the failed document once the obstacle is gone.
  ASSERT_TRUE(cycles_.Hold());
  fs::remove(sub);
  ASSERT_TRUE(cycles_.Release(1));
  EXPECT_EQ(testing::ReadAll(blocked), "[Net]\nPort=1\n");
}

// An error handler may start and stop the writer, on the writer thread or
// in a shutdown's flush, while another thread starts and stops it too:
// nothing waits for ever. A stuck run ends the test binary.
TEST_F(BackgroundWriterTest, HandlerMayStartAndStopTheWriter) {
  const std::string failing = Path("a/x.ini");
  testing::WriteAll(Path("a"), "a file where a directory must go\n");
  std::mutex mutex;
  std::condition_variable reported;
  int calls = 0;  // Guarded by mutex.
  SetErrorHandler([&](const std::string&, std::exception_ptr) {
    int call;
    {
      std::lock_guard lock(mutex);
      call = ++calls;
    }
    reported.notify_all();
    // Gives the shutdown that the report woke time to take its locks: no
    // condition tells that another thread waits inside the library.
    std::this_thread::sleep_for(2ms);
    if (call % 2 != 0) {
      ShutdownAsyncWriting();
    } else {
      InitialiseAsyncWriting(10ms);
    }
  });
  auto run = std::async(std::launch::async, [&] {
    for (int i = 0; i < 50; ++i) {
      int seen;
      {
        std::lock_guard lock(mutex);
        seen = calls;
      }
      InitialiseAsyncWriting(10ms);
      try {
        WriteString("Net", "Port", std::to_string(i), failing);
      } catch (const fs::filesystem_error&) {  // the writer was stopped
      }
      std::unique_lock lock(mutex);
      reported.wait_for(lock, kGuard, [&] { return calls > seen; });
      lock.unlock();
      ShutdownAsyncWriting();
    }
  });
  if (run.wait_for(kGuard) != std::future_status::ready) {
    std::fprintf(stderr, "a start or stop from the handler deadlocked\n");
    std::_Exit(1);
  }
  SetErrorHandler(nullptr);
  ShutdownAsyncWriting();
  fs::remove(Path("a"));
  Flush(failing);
  EXPECT_EQ(testing::ReadAll(failing), "[Net]\nPort=49\n");
}

TEST_F(BackgroundWriterTest, IntervalIgnoresTheWallClockSetBack) {
  InitialiseAsyncWriting();
  ASSERT_TRUE(cycles_.Hold());  // the next cycle's timer is armed
  g_clockSetBack = true;
  EXPECT_TRUE(cycles_.Release(1)) << "the interval waits for the wall clock";
  g_clockSetBack = false;
}

TEST_F(BackgroundWriterTest, SecondInitialiseWhileRunningDoesNothing) {
  const std::string path = Path("twice.ini");
  InitialiseAsyncWriting();
  InitialiseAsyncWriting();
  ASSERT_TRUE(cycles_.Hold());
  WriteString("Net", "Port", "1", path);
  EXPECT_FALSE(fs::exists(path));
  ASSERT_TRUE(cycles_.Release(3));
  EXPECT_EQ(testing::ReadAll(path), "[Net]\nPort=1\n");
  EXPECT_EQ(cycles_.Threads(), 1u);
}

TEST_F(BackgroundWriterTest, InitialiseAfterShutdownRunsCyclesAgain) {
  const std::string path = Path("restart.ini");
  InitialiseAsyncWriting();
  ASSERT_TRUE(cycles_.Hold());
  cycles_.Release();
  ShutdownAsyncWriting();
  InitialiseAsyncWriting();
  ASSERT_TRUE(cycles_.Hold()) << "no cycle after the restart";
  WriteString("Net", "Port", "1", path);
  EXPECT_FALSE(fs::exists(path));
  ASSERT_TRUE(cycles_.Release(1));
  EXPECT_EQ(testing::ReadAll(path), "[Net]\nPort=1\n");
}

// Run under ThreadSanitizer: stopping must not touch the timer while the
// writer thread re-arms it.
TEST_F(BackgroundWriterTest, StartAndStopWhileCyclingIsSafe) {
  const std::string path = Path("toggle.ini");
  for (int round = 0; round < 60; ++round) {
    InitialiseAsyncWriting();
    WriteString("Net", "Round", std::to_string(round), path);
    if (round % 2 == 0) {
      ASSERT_TRUE(cycles_.Hold());
      cycles_.Release();
    }
    ShutdownAsyncWriting();
    ASSERT_EQ(testing::ReadAll(path),
              "[Net]\nRound=" + std::to_string(round) + "\n")
        << round;
  }
}

// Also when a static object's destructor writes after the library's own
// statics are gone: the registry outlives every caller.
TEST_F(BackgroundWriterTest, ProcessEndingWhileWriterRunsSavesEverything) {
  for (const std::string mode : {"", "destructor"}) {
    const std::string path = Path("child" + mode + ".ini");
    std::vector<char*> argv = {const_cast<char*>(VTY_CONFIG_EXIT_CHILD),
                               const_cast<char*>(path.c_str())};
    if (!mode.empty()) argv.push_back(const_cast<char*>(mode.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    ASSERT_EQ(
        ::posix_spawn(&child, argv[0], nullptr, nullptr, argv.data(), environ),
        0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(testing::ReadAll(path),
              mode.empty() ? kNew : std::string(kNew) + "Bye=1\n");
  }
}

// Whether `child` exits with status 0 within `bound`; killed if it does not.
bool ExitsWell(pid_t child, std::chrono::milliseconds bound) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
  pollfd ended{fd, POLLIN, 0};
  const bool inTime = fd >= 0 && ::poll(&ended, 1, bound.count()) == 1;
  if (!inTime) ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (fd >= 0) ::close(fd);
  return inTime && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A child forked at any moment, whatever the parent's threads are doing in
// the library (changing, saving, the writer cycling), may use the library
// and shut it down: nothing it inherits stays held, and its change is saved.
TEST_F(BackgroundWriterTest, ForkedChildUsesTheLibraryAndExits) {
  const std::string path = Path("fork.ini");
  InitialiseAsyncWriting();
  std::atomic<bool> done{false};
  std::thread busy([&] {
    for (int i = 0; !done; ++i) {
      WriteString("parent", "k", std::to_string(i), path);
      if (i % 8 == 0) Flush(path);
    }
  });
  constexpr int kChildren = 30;
  int failed = 0;
  for (int n = 0; n < kChildren; ++n) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      const std::string key = "k" + std::to_string(n);
      WriteString("child", key, "1", path);  // saved at once
      const bool read = ReadString("child", key, "", path) == "1";
      // What exit() does for the library, without the leak check that would
      // count the memory of the parent's threads, which the child lacks.
      ShutdownAsyncWriting();
      ::_exit(read ? 0 : 1);
    }
    failed += !ExitsWell(child, 10s);
  }
  done = true;
  busy.join();
  EXPECT_EQ(failed, 0);
  Reload(path);
  for (int n = 0; n < kChildren; ++n) {
    EXPECT_EQ(ReadString("child", "k" + std::to_string(n), "", path), "1") << n;
  }
}

TEST_F(BackgroundWriterTest, CycleDoesNotStallCallersWhileItWrites) {
  // A cycle flushes documents in the registry's order. Holding the lock of
  // the later of two changed documents stops the cycle there; once the
  // earlier one is on disk, the cycle is known to be under way.
  const std::string one = Path("one/a.ini");
  const std::string two = Path("two/a.ini");
  fs::create_directories(Path("one"));
  fs::create_directories(Path("two"));
  InitialiseAsyncWriting();
  ASSERT_TRUE(cycles_.Hold());
  WriteString("Net", "Port", "1", one);
  WriteString("Net", "Port", "2", two);
  File* first = &detail::RegisteredDocument(one);
  File* last = &detail::RegisteredDocument(two);
  const auto order = detail::RegisteredFiles();
  if (std::find(order.begin(), order.end(), first) >
      std::find(order.begin(), order.end(), last)) {
    std::swap(first, last);
  }
  const int saves = ::inotify_init1(IN_CLOEXEC);  // renames end every save
  ASSERT_GE(::inotify_add_watch(saves, first->path.parent_path().c_str(),
                                IN_MOVED_TO),
            0);
  auto blocked =
      std::make_unique<detail::Hold>(*last, detail::Hold::Mode::kChange);
  cycles_.Release();
  pollfd saved{saves, POLLIN, 0};
  ASSERT_EQ(::poll(&saved, 1, 10'000), 1) << "no cycle came";
  ::close(saves);
  // A new path needs the registry's exclusive lock.
  auto read = std::async(std::launch::async, [this] {
    return ReadString("Net", "Port", "none", Path("unrelated.ini"));
  });
  EXPECT_EQ(read.wait_for(kGuard), std::future_status::ready)
      << "the cycle holds the registry while it writes";
  blocked.reset();
  EXPECT_EQ(read.get(), "none");
  ASSERT_TRUE(cycles_.Hold());  // the stopped cycle has ended
  EXPECT_EQ(testing::ReadAll(one), "[Net]\nPort=1\n");
  EXPECT_EQ(testing::ReadAll(two), "[Net]\nPort=2\n");
}

}  // namespace
}  // namespace vty::config::ini
