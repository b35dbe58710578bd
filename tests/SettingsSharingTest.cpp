// Handles and free functions on one path, in several threads and in two
// processes, with the background writer running and not: one document, and
// nothing any of them wrote is lost. Run under ThreadSanitizer too.

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"
#include "config/Settings.h"

namespace vty::config::ini {
namespace {

constexpr int kRounds = 60;

using SettingsSharingTest = testing::TempDirTest;

// Thread n writes the keys of section "T<n>", through a handle of its own
// (even n) or the free functions (odd n), and reads the others' as it goes.
void Work(int thread, const std::string& path) {
  const std::string section = "T" + std::to_string(thread);
  Settings settings(path);
  for (int round = 0; round < kRounds; ++round) {
    const std::string key = "k" + std::to_string(round % 7);
    if (thread % 2 == 0) {
      settings.Set(section, key, round);
      if (round % 10 == 0) settings.Flush();
    } else {
      WriteValue(section, key, round, path);
      if (round % 10 == 0) Reload(path);
    }
    settings.Get<int>("T" + std::to_string((thread + 1) % 4), key, 0);
    settings.Pairs(section);
  }
}

// The last value of every key of `sections`, through a handle on the file as
// it is on disk.
int Lost(const std::string& path, int sections) {
  const Settings disk = Settings::FromText(testing::ReadAll(path));
  int lost = 0;
  for (int s = 0; s < sections; ++s) {
    for (int round = kRounds - 7; round < kRounds; ++round) {
      lost += disk.Get<int>("T" + std::to_string(s),
                            "k" + std::to_string(round % 7), -1) != round;
    }
  }
  return lost;
}

TEST_F(SettingsSharingTest, ThreadsOnOneDocumentLoseNothing) {
  for (const bool deferred : {false, true}) {
    const std::string path = Path(deferred ? "deferred.ini" : "at-once.ini");
    if (deferred) InitialiseAsyncWriting();
    std::vector<std::thread> threads;
    for (int n = 0; n < 4; ++n) threads.emplace_back(Work, n, path);
    for (std::thread& thread : threads) thread.join();
    ShutdownAsyncWriting();
    EXPECT_EQ(Lost(path, 4), 0) << testing::ReadAll(path);
    EXPECT_EQ(Settings(path).Text(), testing::ReadAll(path));
  }
}

TEST_F(SettingsSharingTest, TwoProcessesOnOneFileLoseNothing) {
  const std::string path = Path("shared.ini");
  Settings(path).Set("T0", "k0", -1);  // both processes start from one load
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Work(0, path);  // a handle
    Work(2, path);
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  Work(1, path);  // the free functions
  Work(3, path);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Lost(path, 4), 0) << testing::ReadAll(path);
}

}  // namespace
}  // namespace vty::config::ini
