// Live settings: another writer's edits reach OnChange exactly, the writer
// keeps the caller's interval, failures nobody sees reach the error handler,
// and Check names the lines a person probably did not mean.

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "Heard.h"
#include "TestUtil.h"
#include "config/Live.h"
#include "config/Settings.h"
#include "live/BackgroundWriter.h"

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using LiveTest = testing::TempDirTest;
using testing::Heard;
using testing::kGuard;
using testing::ReadAll;
using testing::WriteAll;

std::string Shell(std::string command, const std::string& path) {
  for (std::size_t at; (at = command.find("PATH")) != std::string::npos;) {
    command.replace(at, 4, path);
  }
  return std::to_string(std::system(command.c_str()));
}

// The inodes this process's inotify instances watch, as the kernel lists
// them ("inotify wd:1 ino:1a2b sdev:...").
std::set<ino_t> WatchedInodes() {
  std::set<ino_t> inodes;
  for (const auto& fd : fs::directory_iterator("/proc/self/fdinfo")) {
    std::ifstream info(fd.path());
    for (std::string line; std::getline(info, line);) {
      const std::size_t at = line.find(" ino:");
      if (line.rfind("inotify ", 0) == 0 && at != std::string::npos) {
        inodes.insert(std::stoull(line.substr(at + 5), nullptr, 16));
      }
    }
  }
  return inodes;
}

// Another process edits the file three ways; our own save comes first, and
// the first call must not be about it; a change not saved yet stays on top.
TEST_F(LiveTest, AnotherProcessesEditsArriveExactly) {
  const std::string path = Path("app.ini");
  WriteAll(path, "[Log]\nLevel=info\nKeep=1\n[Net]\nPort=80\n");
  Heard heard;
  const Subscription live = OnChange(path, heard.Callback());
  WriteString("Net", "Port", "81", path);
  InitialiseAsyncWriting();
  WriteString("Net", "Timeout", "5", path);
  const struct {
    const char* command;
    const char* heard;
  } kEdits[] = {
      {VTY_INI_TOOL " set PATH Log Level debug", "Log.Level: info -> debug"},
      {R"(printf '[Log]\nLevel=debug\n[Net]\nPort=82\nHost=h\n' >PATH.new &&
          mv PATH.new PATH)",
       "Net.Port: 81 -> 82; Net.Host: - -> h; Log.Keep: 1 -> -"},
      {R"(printf '[log]\nlevel=warn\n[Net]\nPort=82\nHost=h\n' >PATH)",
       "log.level: debug -> warn"},
  };
  for (std::size_t i = 0; i < std::size(kEdits); ++i) {
    ASSERT_EQ(Shell(kEdits[i].command, path), "0") << kEdits[i].command;
    EXPECT_EQ(heard.Wait(i + 1), kEdits[i].heard) << kEdits[i].command;
  }
  EXPECT_EQ(ReadString("LOG", "LEVEL", "", path), "warn");
  ShutdownAsyncWriting();
  EXPECT_EQ(ReadAll(path),
            "[log]\nlevel=warn\n[Net]\nPort=82\nHost=h\nTimeout=5\n");
}

// Merges queued while a callback runs come as one call, from the value
// before the first to the value after the last.
TEST_F(LiveTest, MergesQueuedDuringACallComeAsOne) {
  const std::string path = Path("app.ini");
  WriteAll(path, "k=0\n");
  Heard heard;
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  const Subscription live =
      OnChange(path, [&, record = heard.Callback()](const auto& changes) {
        record(changes);
        std::unique_lock lock(mutex);
        released.wait_for(lock, kGuard, [&] { return release; });
      });
  const auto edit = [&](const char* text) {  // whole, never read half done
    WriteAll(path + ".new", text);
    fs::rename(path + ".new", path);
    Reload(path);
  };
  edit("k=1\n");
  ASSERT_EQ(heard.Wait(1), ".k: 0 -> 1");  // the watcher waits in the call
  edit("k=2\n");
  edit("k=3\n");
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  EXPECT_EQ(heard.Wait(2), ".k: 1 -> 3");
}

// A handle hears values as its syntax reads them: an edit of a comment alone
// is no change. Its Check sees the document as the handle does.
TEST_F(LiveTest, HandlesHearValuesAsTheyReadThem) {
  const std::string path = Path("app.ini");
  WriteAll(path, "[Log]\nLevel = info   ; the default\n");
  Heard raw, meant;
  const Subscription rawLive = OnChange(path, raw.Callback());
  const Subscription live = Settings(path).OnChange(meant.Callback());
  ASSERT_EQ(Shell(R"(printf '[Log]\nLevel = info ; quieter\n' >PATH)", path),
            "0");
  EXPECT_EQ(raw.Wait(1), "Log.Level:  info   ; the default ->  info ; quieter");
  ASSERT_EQ(Shell(VTY_INI_TOOL " set PATH Log Level debug", path), "0");
  EXPECT_EQ(meant.Wait(1), "Log.Level: info -> debug");
  // The tool keeps the line's layout and comment: only the value changes.
  EXPECT_EQ(raw.Wait(2), "Log.Level:  info ; quieter ->  debug ; quieter");
  EXPECT_EQ(meant.Count(), 1u);
  EXPECT_THROW(
      static_cast<void>(Settings::FromText("").OnChange(meant.Callback())),
      std::logic_error);
  const auto found = Settings::FromText("k=1\n[broken\n").Check();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].line, 2u);
}

// A cancelled subscription hears nothing; a callback that writes and reloads
// its own file does not deadlock, its save calls nobody, and what it throws
// reaches the error handler.
TEST_F(LiveTest, CallbacksMayUseTheLibraryAndThrow) {
  const std::string path = Path("app.ini");
  WriteAll(path, "a=1\n");
  Heard cancelled, heard, failures;
  SetErrorHandler(failures.Handler());
  Subscription first = OnChange(path, cancelled.Callback());
  const Subscription second =
      OnChange(path, [&](const std::vector<Change>& changes) {
        WriteString(std::nullopt, "seen", changes[0].after.value_or("-"), path);
        Reload(path);
        heard.Callback()(changes);
        throw std::runtime_error("boom");
      });
  first = Subscription();
  EXPECT_FALSE(first.Active());
  for (const char* edit : {"a=2", "a=3\\nseen=2"}) {
    ASSERT_EQ(Shell("printf '" + std::string(edit) + "\\n' >PATH", path), "0");
    const char value = edit[2];
    const std::string got = heard.Wait(value - '1');
    if (got == "(nothing)") {
      ADD_FAILURE() << "the callback did not return: a deadlock";
      std::_Exit(1);  // a stuck callback would hang the exit too
    }
    EXPECT_EQ(got, std::string(".a: ") + char(value - 1) + " -> " + value);
    EXPECT_EQ(failures.Wait(value - '1'),
              fs::absolute(path).string() + ": boom");
  }
  EXPECT_EQ(ReadAll(path), "a=3\nseen=3\n");
  EXPECT_EQ(cancelled.Count(), 0u);
  SetErrorHandler(nullptr);
}

// The writer saves at the caller's interval, and each failed attempt to
// save reaches the handler once, with the file.
TEST_F(LiveTest, WriterIntervalAndFailedSaves) {
  const std::string path = Path("app.ini");
  EXPECT_THROW(InitialiseAsyncWriting(9ms), std::invalid_argument);
  Heard cycles, failures;
  SetErrorHandler(failures.Handler());
  // Each cycle's end is heard with the number of failures heard by then.
  detail::SetCycleObserverForTesting(
      [&] { cycles.Add(std::to_string(failures.Count())); });
  detail::SetFlushIntervalForTesting(0ms);  // the caller's interval
  InitialiseAsyncWriting(20ms);
  WriteString(std::nullopt, "k", "v", path);
  const std::size_t start = cycles.Count();
  cycles.Wait(start + 1, [&] { return ReadAll(path) == "k=v\n"; });
  EXPECT_EQ(ReadAll(path), "k=v\n");
  EXPECT_LE(cycles.Count(), start + 3) << "saved only after several cycles";
  {
    const testing::FileSizeLimit limit(8);
    WriteString(std::nullopt, "big", std::string(64, 'x'), path);
    const std::size_t from = cycles.Count() + 1;  // the first whole cycle
    cycles.Wait(from + 3);
    for (std::size_t n = from + 1; n <= from + 3; ++n) {
      EXPECT_EQ(std::stoul(cycles.Wait(n)), std::stoul(cycles.Wait(n - 1)) + 1)
          << "failures heard by the end of cycle " << n;
    }
  }
  const std::size_t failed = failures.Count();
  EXPECT_NE(failures.Wait(1).find(fs::absolute(path).string() + ": "),
            std::string::npos);
  cycles.Wait(cycles.Count() + 2);
  EXPECT_EQ(ReadAll(path), "k=v\nbig=" + std::string(64, 'x') + "\n");
  EXPECT_LE(failures.Count(), failed + 1);  // at most one cycle in flight
  ShutdownAsyncWriting();
  detail::SetCycleObserverForTesting(nullptr);
  SetErrorHandler(nullptr);
}

// This process changes Log.Level (deferred, through either face) and then
// vty-ini changes it too, its file timed after ours or an hour before: the
// later change stands, OnChange hears theirs replace ours, and the error
// handler hears of the conflict either way.
struct ConflictCase {
  bool erase;               // ours: erases the key, or sets it to warn
  const char* tool;         // theirs
  const char* theirsLater;  // the file when theirs is later
  const char* heard;        // what OnChange hears then
  const char* oursLater;    // the file when ours is
  const char* notice;       // how the handler's notice tells the two
};

// clang-format off
const ConflictCase kConflicts[] = {
  {false, "set PATH Log Level debug", "[Log]\nLevel=debug\n",
   "Log.Level: warn -> debug", "[Log]\nLevel=warn\n",
   R"(was changed here (to "warn") and by another writer (to "debug"))"},
  {true, "set PATH Log Level debug", "[Log]\nLevel=debug\n",
   "Log.Level: - -> debug", "[Log]\n",
   R"(was changed here (erased) and by another writer (to "debug"))"},
  {false, "del PATH Log Level", "[Log]\n", "Log.Level: warn -> -",
   "[Log]\nLevel=warn\n",
   R"(was changed here (to "warn") and by another writer (erased))"},
};
// clang-format on

TEST_F(LiveTest, ConflictsTheLaterChangeStandsAndBothSidesKnow) {
  InitialiseAsyncWriting(10min);  // nothing is saved by itself meanwhile
  int n = 0;
  for (const bool oursLater : {false, true}) {
    for (const bool handle : {false, true}) {
      for (const ConflictCase& c : kConflicts) {
        const std::string path = Path(std::to_string(++n) + ".ini");
        WriteAll(path, "[Log]\nLevel=info\n");
        Heard heard, told;
        SetErrorHandler(told.Handler());
        Subscription live;
        if (!oursLater) {
          live = handle ? Settings(path).OnChange(heard.Callback())
                        : OnChange(path, heard.Callback());
        }
        Settings settings(path);
        if (handle && c.erase) settings.Erase("Log", "Level");
        if (handle && !c.erase) settings.Set("Log", "Level", "warn");
        if (!handle && c.erase) EraseKey("Log", "Level", path);
        if (!handle && !c.erase) WriteString("Log", "Level", "warn", path);
        // The tool edits a copy, timed whatever the tick of the file
        // system's clock, which replaces the file in one rename.
        const std::string copy = path + ".theirs";
        fs::copy_file(path, copy);
        ASSERT_EQ(Shell(VTY_INI_TOOL " " + std::string(c.tool), copy), "0");
        fs::last_write_time(
            copy, fs::file_time_type::clock::now() - (oursLater ? 1h : 0h));
        fs::rename(copy, path);
        if (!oursLater) {
          EXPECT_EQ(heard.Wait(1), c.heard) << path;
        }
        Flush(path);
        EXPECT_EQ(ReadAll(path), oursLater ? c.oursLater : c.theirsLater)
            << path;
        const std::string file = fs::absolute(path).string();
        EXPECT_EQ(told.Wait(1), file +
                                    R"(: vty::config::ini: key "Level" in )"
                                    "[Log] of " +
                                    file + " " + c.notice +
                                    " since the file was last read; the "
                                    "later change, " +
                                    (oursLater ? "ours" : "theirs") +
                                    ", stands");
        EXPECT_EQ(told.Count(), 1u) << path;
      }
    }
  }
  ShutdownAsyncWriting();
  SetErrorHandler(nullptr);
}

// A directory that cannot be watched (here: missing) is checked at the
// writer's interval instead, which the handler hears once.
TEST_F(LiveTest, UnwatchableDirectoryIsChecked) {
  const std::string path = Path("later/app.ini");
  Heard heard, failures;
  SetErrorHandler(failures.Handler());
  detail::SetFlushIntervalForTesting(20ms);
  const Subscription live = OnChange(path, heard.Callback());
  EXPECT_NE(failures.Wait(1).find("; checking it every 20 ms instead"),
            std::string::npos);
  fs::create_directory(dir_ / "later");
  WriteAll(path, "k=1\n");
  EXPECT_EQ(heard.Wait(1), ".k: - -> 1");
  ASSERT_EQ(Shell("printf 'k=2\\n' >PATH", path), "0");
  EXPECT_EQ(heard.Wait(2), ".k: 1 -> 2");
  EXPECT_EQ(failures.Count(), 1u);
  SetErrorHandler(nullptr);
  detail::SetFlushIntervalForTesting(0ms);
}

// The watched directory renamed away or removed, and made again: the
// watcher watches the new one by its path, and hears every later edit.
TEST_F(LiveTest, DirectoryMadeAgainIsWatchedAgain) {
  for (const char* away : {"mv PATH PATH.old", "rm -r PATH"}) {
    const fs::path dir = dir_ / (away[0] == 'm' ? "moved" : "removed");
    const std::string path = (dir / "app.ini").string();
    fs::create_directory(dir);
    WriteAll(path, "k=0\n");
    Heard heard;
    const Subscription live = OnChange(path, heard.Callback());
    ASSERT_EQ(Shell(away, dir.string()), "0");
    fs::create_directory(dir);
    for (const char* value : {"1", "2", "3"}) {
      ASSERT_EQ(Shell("printf 'k=" + std::string(value) + "\\n' >PATH", path),
                "0");
      const std::string tail = std::string(" -> ") + value;
      EXPECT_NE(heard.Latest([&](const std::string& latest) {
        return latest.size() >= tail.size() &&
               latest.compare(latest.size() - tail.size(), tail.size(), tail) ==
                   0;
      }),
                "(nothing)")
          << away << ", then k=" << value;
    }
    EXPECT_EQ(ReadString(std::nullopt, "k", "", path), "3") << away;
    // Watched, not merely polled; the directory renamed away is let go.
    const std::set<ino_t> watched = WatchedInodes();
    EXPECT_EQ(watched.count(testing::Inode(dir)), 1u) << away;
    if (fs::exists(dir.string() + ".old")) {
      EXPECT_EQ(watched.count(testing::Inode(dir.string() + ".old")), 0u);
    }
  }
}

// An editor that saves by renaming the file away and writing a new one,
// pausing at each step (the pauses are what is tested): each save is one
// call, with only the key it changed.
TEST_F(LiveTest, RenameAwaySavesComeAsOneCall) {
  const std::string path = Path("app.ini");
  WriteAll(path, "[Log]\nLevel=0\nKeep=1\n[Net]\nPort=80\n");
  Heard heard;
  const Subscription live = OnChange(path, heard.Callback());
  constexpr int kSaves = 4;
  for (int i = 1; i <= kSaves; ++i) {
    fs::rename(path, path + "~");
    std::this_thread::sleep_for(40ms);
    std::FILE* made = std::fopen(path.c_str(), "w");
    ASSERT_NE(made, nullptr);
    std::this_thread::sleep_for(40ms);
    std::fprintf(made, "[Log]\nLevel=%d\nKeep=1\n[Net]\nPort=80\n", i);
    std::fclose(made);
    fs::remove(path + "~");
    EXPECT_EQ(heard.Wait(i), "Log.Level: " + std::to_string(i - 1) + " -> " +
                                 std::to_string(i));
  }
  EXPECT_EQ(heard.Count(), std::size_t{kSaves});
}

// A file that is a symbolic link: edits of its target are heard, in the same
// directory or another, and after the link is pointed elsewhere, edits of
// the new target.
TEST_F(LiveTest, SymbolicLinksTargetsAreWatched) {
  fs::create_directory(dir_ / "other");
  WriteAll(Path("real.ini"), "k=0\n");
  WriteAll(Path("other/far.ini"), "k=far\n");
  fs::create_symlink("real.ini", Path("app.ini"));
  Heard heard;
  const Subscription live = OnChange(Path("app.ini"), heard.Callback());
  const struct {
    const char* command;
    const char* heard;
  } kEdits[] = {
      {"printf 'k=1\\n' >PATH/real.ini", ".k: 0 -> 1"},
      {"printf 'k=2\\n' >PATH/real.new && mv PATH/real.new PATH/real.ini",
       ".k: 1 -> 2"},
      {"ln -sfn other/far.ini PATH/app.ini", ".k: 2 -> far"},
      {"printf 'k=3\\n' >PATH/other/far.ini", ".k: far -> 3"},
  };
  for (std::size_t i = 0; i < std::size(kEdits); ++i) {
    ASSERT_EQ(Shell(kEdits[i].command, dir_.string()), "0");
    EXPECT_EQ(heard.Wait(i + 1), kEdits[i].heard) << kEdits[i].command;
  }
}

TEST_F(LiveTest, CheckNamesEachKindOfLine) {
  const struct {
    const char* text;
    std::vector<std::string> found;  // "line: start of the message"
  } kCases[] = {
      {"\xEF\xBB\xBF[Net]\nk=1\n; c\n\n", {}},
      {"[broken\n=value\nk=1\n[a] x\n",
       {"1: unrecognised", "2: unrecognised", "4: unrecognised"}},
      {"[A]\nk=1\nK=2\n[a]\nk=3\nj=1\n[B]\nk=4\n",
       {"3: key \"K\" occurs again in [A] (first on line 2)",
        "4: section [A] repeats the header on line 1", "5: key \"k\" occurs"}},
      {"[\vNet]\n\xEF\xBB\xBFk=1\nk\xC2\xA0=2\n[Net\xE3\x80\x80]\n",
       {"1: section name \"\vNet\" begins or ends with a space",
        "2: key \"\xEF\xBB\xBFk\" holds a byte-order mark",
        "3: key \"k\xC2\xA0\" begins or ends", "4: section name"}},
  };
  for (const auto& c : kCases) {
    WriteAll(Path("c.ini"), c.text);
    std::vector<std::string> found;
    for (const Finding& f : Check(Path("c.ini"))) {
      found.push_back(std::to_string(f.line) + ": " + f.message);
    }
    ASSERT_EQ(found.size(), c.found.size()) << c.text;
    for (std::size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].rfind(c.found[i], 0), 0u) << found[i];
    }
  }
  EXPECT_TRUE(Check(Path("missing.ini")).empty());
  EXPECT_TRUE(Check(VTY_CONFIG_EXAMPLE_INI).empty());
  std::string lines;  // the fixture's odd lines, on purpose
  for (const Finding& f : Check(VTY_CONFIG_TEST_DATA "/roundtrip.ini")) {
    lines += std::to_string(f.line) + " ";
  }
  EXPECT_EQ(lines, "8 12 14 15 16 18 ");
}

// Watchers, writers, readers and subscriptions coming and going at once;
// at the end nothing is lost. For ThreadSanitizer.
TEST_F(LiveTest, SubscriptionsComeAndGoUnderLoad) {
  const std::string path = Path("app.ini");
  WriteAll(path, "theirs=0\n");
  Heard heard;
  const Subscription live = OnChange(path, heard.Callback());
  InitialiseAsyncWriting(10ms);
  constexpr int kRounds = 60;
  std::vector<std::thread> threads;
  threads.emplace_back([&] {  // another writer: a document of its own
    File other(path, [] { return false; });
    for (int i = 1; i <= kRounds; ++i) {
      other.WriteValue(std::nullopt, "theirs", std::to_string(i));
      if (i % 10 == 0) Reload(path);
    }
  });
  threads.emplace_back([&] {
    for (int i = 1; i <= kRounds; ++i) {
      WriteString(std::nullopt, "mine", std::to_string(i), path);
      ReadString(std::nullopt, "theirs", "", path);
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < kRounds; ++i) {
      Subscription brief = OnChange(path, [&](const std::vector<Change>&) {
        ReadString(std::nullopt, "mine", "", path);
      });
    }
  });
  for (std::thread& thread : threads) thread.join();
  ShutdownAsyncWriting();
  Reload(path);
  EXPECT_EQ(ReadString(std::nullopt, "mine", "", path), "60");
  const std::string file = ReadAll(path);
  EXPECT_NE(file.find("mine=60\n"), std::string::npos) << file;
  EXPECT_NE(file.find("theirs=60\n"), std::string::npos) << file;
}

}  // namespace
}  // namespace vty::config::ini
