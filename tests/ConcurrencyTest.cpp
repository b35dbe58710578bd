// Stress: threads read, write, erase, walk and flush shared files while the
// background writer cycles fast and is started and stopped again and again;
// readers (more of them than the document lock has slots) read what the
// workers write; afterwards the disk holds each document as it is in memory,
// with every value written last. Run under ThreadSanitizer too.

#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "Internal.h"
#include "TestUtil.h"

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
  // A value read is always one that some worker wrote whole, or none.
  const auto read = [&](int reader) {
    for (int i = reader; i < reader + kRounds / 2; ++i) {
      const std::string value =
          ReadString("T" + std::to_string(i % kWorkers),
                     "k" + std::to_string(i % 4), "", files[i % kFiles]);
      EXPECT_TRUE(value.empty() || std::isdigit(value.front())) << value;
    }
  };
  std::vector<std::thread> readers;
  for (std::size_t n = 0; n < detail::ReaderLock::kSlots + 2; ++n) {
    readers.emplace_back(read, static_cast<int>(n));
  }
  std::vector<std::thread> workers;
  for (int n = 0; n < kWorkers; ++n) workers.emplace_back(work, n);
  for (auto& thread : workers) thread.join();
  for (auto& thread : readers) thread.join();
  switcher.join();
  ShutdownAsyncWriting();
  detail::SetCycleObserverForTesting(nullptr);
  detail::SetFlushIntervalForTesting(60s);

  for (int f = 0; f < kFiles; ++f) {
    // The disk holds exactly the document in memory...
    std::string memory;
    for (const auto& line : detail::Document(files[f]).lines) {
      memory += line->text + "\n";
    }
    EXPECT_EQ(testing::ReadAll(files[f]), memory) << files[f];
    // ...and that holds every value a thread wrote last.
    const File disk(files[f], [] { return false; });
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
  File& document = detail::Document(file);
  for (const auto mode :
       {detail::WriterHold::Mode::kSave, detail::WriterHold::Mode::kChange}) {
    std::optional<detail::WriterHold> hold;
    hold.emplace(detail::DocumentState::Of(document).lock, mode);
    auto read = std::async(std::launch::async,
                           [&] { return ReadString("s", "k", "", file); });
    const bool readDuringHold =
        read.wait_for(mode == detail::WriterHold::Mode::kSave ? 10s : 50ms) ==
        std::future_status::ready;
    EXPECT_EQ(readDuringHold, mode == detail::WriterHold::Mode::kSave);
    hold.reset();
    EXPECT_EQ(read.get(), "v");
  }
}

// The lock alone, every mode and move at once: a change writes two fields
// that readers and saves must only ever see equal.
TEST(ReaderLockTest, EveryModeExcludesWhatItMust) {
  detail::ReaderLock lock;
  int first = 0;
  int second = 0;
  std::atomic<int> writersLeft{2};
  const auto write = [&](bool save) {
    for (int i = 0; i < 2000; ++i) {
      using Mode = detail::WriterHold::Mode;
      detail::WriterHold hold(lock, save ? Mode::kSave : Mode::kChange);
      if (save) {
        EXPECT_EQ(first, second);
        hold.ToChange();
      }
      first = second = i;
    }
    --writersLeft;
  };
  const auto read = [&] {
    const std::size_t slot = detail::ReaderLock::NewThreadSlot();
    while (writersLeft > 0) {
      const detail::SharedHold hold(lock, slot);
      EXPECT_EQ(first, second);
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(write, false);
  threads.emplace_back(write, true);
  for (int n = 0; n < 3; ++n) threads.emplace_back(read);
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace vty::config::ini
