// Stress: threads read, write, erase, walk and flush shared files while the
// background writer cycles fast and is started and stopped again and again,
// and another writer's saves make every save merge; readers (more of them
// than the document lock has slots) read what the workers write meanwhile;
// afterwards the disk holds every value written last. Run under
// ThreadSanitizer too. And the document lock's modes, one by one, and its
// slots.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "TestUtil.h"
#include "live/BackgroundWriter.h"
#include "live/Registry.h"

namespace vty::config::ini {
namespace {

using namespace std::chrono_literals;

constexpr int kWorkers = 4;
constexpr int kFiles = 3;
constexpr int kRounds = 600;

using ConcurrencyTest = testing::TempDirTest;

TEST_F(ConcurrencyTest, LastValueOfEveryKeyReachesTheDisk) {
  std::vector<std::string> files;
  for (int f = 0; f < kFiles; ++f) files.push_back(Path(std::to_string(f)));
  std::mutex mutex;
  std::condition_variable cycled;
  int cycles = 0;
  detail::SetFlushIntervalForTesting(1ms);
  detail::SetCycleObserverForTesting([&] {
    std::lock_guard lock(mutex);
    ++cycles;
    cycled.notify_all();
  });

  // Worker n alone uses the section "T<n>" of every file, so the value it
  // wrote last to a key there is well defined: models[n][file][key], "" once
  // erased (no value written is empty).
  std::map<std::string, std::string> models[kWorkers][kFiles];
  int working = kWorkers;  // Guarded by mutex.
  const auto work = [&](int worker) {
    std::minstd_rand random(worker + 1);
    const std::string section = "T" + std::to_string(worker);
    for (int round = 0; round < kRounds; ++round) {
      const int f = static_cast<int>(random() % kFiles);
      const std::string key = "k" + std::to_string(random() % 4);
      auto& model = models[worker][f];
      switch (random() % 8) {
        case 0:
          EraseKey(section, key, files[f]);
          model[key].clear();
          break;
        case 1:
          EraseSection(section, files[f]);
          for (auto& entry : model) entry.second.clear();
          break;
        case 2:
          Flush(files[f]);
          break;
        case 3: {  // a walk whose callback writes to the file it walks
          const std::string value = "walk." + std::to_string(round);
          bool visited = false;
          IterateAllSections(
              files[f],
              [&](auto&, auto&) {
                WriteString(section, "w", value, files[f]);
                visited = true;
              },
              [](auto&) {});
          if (visited) model["w"] = value;
          break;
        }
        default:
          model[key] = std::to_string(worker) + "." + std::to_string(round);
          WriteString(section, key, model[key], files[f]);
      }
      EXPECT_EQ(ReadString(section, key, "", files[f]), model[key]);
    }
    std::lock_guard lock(mutex);
    --working;
    cycled.notify_all();
  };
  // Starts the writer, lets it end up to two cycles and stops it; again
  // and again, and once more the moment the workers are done, with their
  // last changes most likely still deferred.
  std::thread switcher([&] {
    for (int round = 0;; ++round) {
      InitialiseAsyncWriting();
      std::unique_lock lock(mutex);
      const int target = cycles + round % 3;
      EXPECT_TRUE(cycled.wait_for(
          lock, 10s, [&] { return cycles >= target || working == 0; }));
      const bool done = working == 0;
      lock.unlock();
      ShutdownAsyncWriting();
      if (done) return;
    }
  });
  // A value read is always one that some worker wrote whole, or none. Two
  // readers read until the workers are done, so that merges meet readers.
  std::atomic<bool> finished{false};
  const auto read = [&](int reader) {
    for (int i = reader; reader < 2 ? !finished : i < reader + kRounds / 2;
         ++i) {
      const std::string value =
          ReadString("T" + std::to_string(i % kWorkers),
                     "k" + std::to_string(i % 4), "", files[i % kFiles]);
      EXPECT_TRUE(value.empty() || std::isdigit(value.front())) << value;
    }
  };
  // Another writer of the same files, through documents of its own, as a
  // second process would: the next save of each file must merge.
  std::string outside[kFiles];
  std::thread outsider([&] {
    std::vector<std::unique_ptr<File>> others;
    for (int i = 0; !finished; ++i) {
      const int f = i % kFiles;
      if (others.size() <= static_cast<std::size_t>(f)) {
        others.push_back(
            std::make_unique<File>(files[f], [] { return false; }));
      }
      outside[f] = std::to_string(i);
      others[f]->WriteValue("Outside", "n", outside[f]);
    }
  });
  std::vector<std::thread> readers;
  for (std::size_t n = 0; n < detail::DocumentLock::kSlots + 2; ++n) {
    readers.emplace_back(read, static_cast<int>(n));
  }
  std::vector<std::thread> workers;
  for (int n = 0; n < kWorkers; ++n) workers.emplace_back(work, n);
  for (auto& thread : workers) thread.join();
  finished = true;
  for (auto& thread : readers) thread.join();
  outsider.join();
  switcher.join();
  ShutdownAsyncWriting();
  detail::SetCycleObserverForTesting(nullptr);
  detail::SetFlushIntervalForTesting(60s);

  for (int f = 0; f < kFiles; ++f) {
    // The document reads in the other writer's last save...
    Reload(files[f]);
    EXPECT_EQ(testing::ReadAll(files[f]),
              testing::LinesOf(detail::RegisteredDocument(files[f])))
        << files[f];
    // ...and the disk holds every value a thread wrote last.
    const File disk(files[f], [] { return false; });
    EXPECT_EQ(disk.ReadValue("Outside", "n"), outside[f]) << files[f];
    for (int n = 0; n < kWorkers; ++n) {
      const std::string section = "T" + std::to_string(n);
      for (const auto& [key, value] : models[n][f]) {
        EXPECT_EQ(disk.ReadValue(section, key).value_or(""), value)
            << files[f] << " [" << section << "] " << key;
      }
    }
  }
}

// A save's write and sync hold the document in save mode, which shuts out
// changes and other saves but not readers; a change shuts out readers too.
TEST_F(ConcurrencyTest, ReadsGoOnWhileASaveHoldsTheDocument) {
  const std::string file = Path("held.ini");
  WriteString("s", "k", "v", file);
  File& document = detail::RegisteredDocument(file);
  for (const auto mode :
       {detail::Hold::Mode::kSave, detail::Hold::Mode::kChange}) {
    auto hold = std::make_unique<detail::Hold>(document, mode);
    auto read = std::async(std::launch::async,
                           [&] { return ReadString("s", "k", "", file); });
    const bool readDuringHold =
        read.wait_for(mode == detail::Hold::Mode::kSave ? 10s : 50ms) ==
        std::future_status::ready;
    EXPECT_EQ(readDuringHold, mode == detail::Hold::Mode::kSave);
    hold.reset();
    EXPECT_EQ(read.get(), "v");
  }
}

// A save waiting for a program still rewriting the file in place holds
// nothing of the document, nor of a fork: a deferred change and a fork() in
// other threads return while it waits, and the change is saved too.
TEST_F(ConcurrencyTest, ChangesAndForksGoOnWhileASaveWaitsForAWriter) {
  const std::string file = Path("waited.ini");
  std::string base;
  for (int i = 0; i < 20; ++i) base += "base" + std::to_string(i) + "=x\n";
  testing::WriteAll(file, base);
  InitialiseAsyncWriting(1h);
  WriteString("s", "first", "1", file);  // deferred
  // The writer truncates, writes a part, and goes on writing a blank line
  // now and then (so the file is never still) until released, at most 5 s.
  const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  ASSERT_EQ(::write(fd, base.data(), 40), 40);
  std::atomic<bool> release{false}, finished{false};
  std::thread writer([&] {
    for (const auto end = std::chrono::steady_clock::now() + 5s;
         !release && std::chrono::steady_clock::now() < end;) {
      std::this_thread::sleep_for(20ms);
      EXPECT_EQ(::write(fd, "\n", 1), 1);
    }
    EXPECT_EQ(::write(fd, base.data() + 40, base.size() - 40),
              static_cast<ssize_t>(base.size() - 40));
    ::close(fd);
    finished = true;
  });
  auto save = std::async(std::launch::async, [&] { Flush(file); });
  // Until the save holds the file's lock.
  const int probe = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  for (const auto end = std::chrono::steady_clock::now() + 5s;
       std::chrono::steady_clock::now() < end;) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    if (::fcntl(probe, F_OFD_GETLK, &whole) == 0 && whole.l_type != F_UNLCK)
      break;
    std::this_thread::sleep_for(1ms);
  }
  ::close(probe);
  WriteString("s", "second", "2", file);
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  EXPECT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_FALSE(finished) << "a change or a fork waited for the save";
  release = true;
  writer.join();
  save.get();
  Flush(file);
  ShutdownAsyncWriting();
  const std::string kept = testing::ReadAll(file);
  for (int i = 0; i < 20; ++i) {
    const std::string line = "base" + std::to_string(i) + "=x\n";
    EXPECT_NE(kept.find(line), std::string::npos) << line << kept;
  }
  EXPECT_NE(kept.find("[s]\nfirst=1\nsecond=2\n"), std::string::npos) << kept;
}

// Every mode and move at once: a change writes two fields, one after the
// other, that readers and saves must only ever see equal; the save moves to
// change mode and back twice, so readers woken by the move back may find
// kBlocked raised again.
TEST_F(ConcurrencyTest, EveryModeExcludesWhatItMust) {
  const File& document = detail::RegisteredDocument(Path("modes.ini"));
  int first = 0;
  int second = 0;
  std::atomic<int> writersLeft{2};
  // A microsecond or so between the one and the other, for a reader or a
  // writer let in to break the pair.
  std::atomic<int> spins{0};
  const auto pause = [&] {
    for (int n = 0; n < 200; ++n) ++spins;
  };
  const auto write = [&](bool save) {
    for (int i = 0; i < 1000; ++i) {
      using Mode = detail::Hold::Mode;
      detail::Hold hold(document, save ? Mode::kSave : Mode::kChange);
      for (int move = 0; save && move < 2; ++move) {
        EXPECT_EQ(first, second);
        hold.ToChange();
        first = i, pause(), second = i;
        hold.ToSave();
      }
      hold.ToChange();
      first = i, pause(), second = i;
    }
    --writersLeft;
  };
  const auto read = [&] {
    while (writersLeft > 0) {
      const detail::Hold hold(document, detail::Hold::Mode::kRead);
      const int seen = first;
      pause();
      EXPECT_EQ(seen, second);
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(write, false);
  threads.emplace_back(write, true);
  for (int n = 0; n < 3; ++n) threads.emplace_back(read);
  for (auto& thread : threads) thread.join();
}

// A thread owns its slot alone until it exits, the threads past the slot
// count share the last one, and in a forked child, which has only the forking
// thread, the slots of the parent's other threads are free.
TEST_F(ConcurrencyTest, EachThreadOwnsItsSlotUntilItExits) {
  const auto owned = [](bool fork) {
    std::vector<std::size_t> slots(detail::DocumentLock::kSlots + 2);
    std::atomic<std::size_t> ready{0};
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (std::size_t& slot : slots) {
      threads.emplace_back([&] {
        slot = detail::DocumentLock::ThreadSlot();
        for (++ready; !done;) std::this_thread::yield();
      });
    }
    while (ready < slots.size()) std::this_thread::yield();
    int status = 0;
    if (fork) {
      const pid_t child = ::fork();
      if (child == 0) {
        std::size_t slot = 0;
#ifndef VTY_CONFIG_THREAD_SANITIZER  // which stops a child starting threads
        std::thread([&] { slot = detail::DocumentLock::ThreadSlot(); }).join();
#endif
        ::_exit(slot < detail::DocumentLock::kShared ? 0 : 1);
      }
      EXPECT_EQ(::waitpid(child, &status, 0), child);
    }
    done = true;
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(status, 0)
        << "the parent's threads' slots stayed owned in a child";
    std::set<std::size_t> distinct(slots.begin(), slots.end());
    distinct.erase(detail::DocumentLock::kShared);
    EXPECT_EQ(slots.size() - std::count(slots.begin(), slots.end(),
                                        detail::DocumentLock::kShared),
              distinct.size())
        << "two threads own one slot";
    return distinct.size();
  };
  const std::size_t first = owned(true);
  EXPECT_GE(first, detail::DocumentLock::kSlots / 2);
  EXPECT_EQ(owned(false), first) << "slots not given back as threads exit";
}

// A writer that waits is not let in before readers that wait, even when it
// came first: a loop of writes cannot starve readers.
TEST_F(ConcurrencyTest, WaitingReadersGoBeforeTheNextWriter) {
  const File& document = detail::RegisteredDocument(Path("fair.ini"));
  detail::DocumentLock& lock = detail::DocumentState::Of(document).lock;
  const auto waitFor = [&](std::size_t waiting) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (lock.WaitingForTesting() < waiting) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  };
  for (int round = 0; round < 20; ++round) {
    std::mutex mutex;
    std::string order;
    const auto enter = [&](detail::Hold::Mode mode, char who) {
      const detail::Hold hold(document, mode);
      std::lock_guard guard(mutex);
      order += who;
    };
    auto first =
        std::make_unique<detail::Hold>(document, detail::Hold::Mode::kChange);
    std::thread writer(enter, detail::Hold::Mode::kChange, 'w');
    EXPECT_TRUE(waitFor(1));
    std::thread reader(enter, detail::Hold::Mode::kRead, 'r');
    EXPECT_TRUE(waitFor(2));
    first.reset();
    writer.join();
    reader.join();
    EXPECT_EQ(order, "rw") << "round " << round;
  }
}

}  // namespace
}  // namespace vty::config::ini
