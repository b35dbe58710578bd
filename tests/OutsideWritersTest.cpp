// Other writers at the moment of a save: programs rewriting the file in
// place without a lock, tools locking it as POSIX tools do, and processes
// creating it together. Nothing that was in the file before is lost.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "TestUtil.h"

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using testing::ReadAll;
using testing::WriteAll;

using OutsideWritersTest = testing::TempDirTest;

// Runs `body(i)` in `count` child processes at once; each must return true.
template <class Body>
void InChildren(int count, const Body& body) {
  std::vector<pid_t> children(count);
  for (int i = 0; i < count; ++i) {
    // noexcept: a child that throws ends there (terminate), and fails.
    if ((children[i] = ::fork()) == 0)
      ::_exit([&]() noexcept { return !body(i); }());
  }
  for (const pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

int Sh(const std::string& line) { return std::system(line.c_str()); }

// As an editor or `cp` opens the file it writes.
int OpenToWrite(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

bool Put(int fd, const std::string& text) {
  return ::write(fd, text.data(), text.size()) ==
         static_cast<ssize_t>(text.size());
}

// A file emptied in place by a writer that does not lock, and written
// 100 ms later: a save in between waits for it, and merges into what the
// writer wrote, never into the empty file.
TEST_F(OutsideWritersTest, SaveWaitsForAnInPlaceRewriteToFinish) {
  const std::string path = Path("app.ini");
  WriteAll(path, "a=1\nb=1\n");
  File file(path, [] { return true; });
  file.WriteValue(std::nullopt, "c", "1");
  std::ofstream rewrite(path, std::ios::trunc);  // as `cp` and `>` begin
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rewrite << "a=2\nb=1\n";
    rewrite.close();  // a writer still holding it open is waited for
  });
  file.Flush();
  writer.join();
  EXPECT_EQ(ReadAll(path), "a=2\nb=1\nc=1\n");
}

// Editors caught mid-edit by a save, each paused where a save used to take
// the file as it stood for the other side's version: renamed away, made
// again and open but empty (vim's way); renamed away, so that the lock makes
// the file (the editor then writes into it); rewritten in place with a
// longer text, paused past the quiet period; rewritten in place after
// another process renamed a new version in. The save waits: every old line
// stays, on disk and in the document.
TEST_F(OutsideWritersTest, SaveWaitsOutAnEditorMidEdit) {
  using std::chrono::milliseconds;
  std::string base, longer;
  for (int i = 0; i < 20; ++i) base += "base" + std::to_string(i) + "=x\n";
  for (int i = 0; i < 30; ++i) longer += "more" + std::to_string(i) + "=y\n";
  // Begins the edit (returning the descriptor it writes, or -1), and, after
  // the pause, ends it.
  const struct {
    const char* name;
    milliseconds pause;
    int (*begin)(const std::string& path, const std::string& base);
    std::string rest;
  } cases[] = {
      {"vim", milliseconds(500),
       [](const std::string& path, const std::string&) {
         fs::rename(path, path + "~");
         return OpenToWrite(path);
       },
       base + "admin=1\n"},
      {"renamed away", milliseconds(100),
       [](const std::string& path, const std::string&) {
         fs::rename(path, path + "~");
         return -1;
       },
       base + "admin=1\n"},
      {"longer in place", milliseconds(500),
       [](const std::string& path, const std::string& base) {
         const int fd = OpenToWrite(path);
         return Put(fd, base.substr(0, 40)) ? fd : -1;
       },
       base.substr(40) + longer},
      {"in place after a rename", milliseconds(100),
       [](const std::string& path, const std::string& base) {
         WriteAll(path + ".new", base + "other=1\n");
         fs::rename(path + ".new", path);
         const int fd = OpenToWrite(path);
         return Put(fd, base.substr(0, 40)) ? fd : -1;
       },
       base.substr(40) + "other=1\n"},
      {"in place in two steps", milliseconds(100),  // `>`, then `>>`
       [](const std::string& path, const std::string& base) {
         const int fd = OpenToWrite(path);
         Put(fd, base.substr(0, 40));
         ::close(fd);
         return -1;
       },
       base.substr(40) + "other=1\n"},
  };
  for (const auto& c : cases) {
    const std::string path = Path(std::string(c.name) + ".ini");
    WriteAll(path, base);
    File file(path, [] { return false; });
    int fd = c.begin(path, base);
    std::thread editor([&] {
      std::this_thread::sleep_for(c.pause);  // the editor's own pause
      if (fd < 0)
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      EXPECT_TRUE(Put(fd, c.rest)) << c.name;
      ::close(fd);
    });
    file.WriteValue("s", "k", "1");
    editor.join();
    file.Flush();
    const std::string kept = ReadAll(path);
    for (int i = 0; i < 20; ++i) {
      const std::string key = "base" + std::to_string(i);
      EXPECT_NE(kept.find(key + "=x\n"), std::string::npos)
          << c.name << ": " << key << " lost:\n"
          << kept;
      EXPECT_TRUE(file.ReadValue(std::nullopt, key).has_value()) << c.name;
    }
    EXPECT_NE(kept.find("[s]\nk=1\n"), std::string::npos) << c.name << kept;
  }
}

// Reload while an editor has renamed the file away and not yet written the
// new one: the name missing for less than the quiet period is no deletion.
TEST_F(OutsideWritersTest, ReloadWaitsForAFileRenamedAway) {
  const std::string path = Path("app.ini");
  WriteAll(path, "a=1\n");
  File file(path, [] { return false; });
  fs::rename(path, path + "~");
  std::thread editor([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    WriteAll(path, "a=2\n");
  });
  file.Reload();
  editor.join();
  EXPECT_EQ(file.ReadValue(std::nullopt, "a").value_or("lost"), "2");
}

// An administrator edits the file without a lock while one or two services
// save it: every line in the file before they all began stays (the
// administrator's own lines may go). The editors: a rewrite in place (`cp`,
// a shell's `>`), vim's save (the file renamed away, a new one written), a
// new file renamed over, and the paused forms of the rewrite and of vim's
// save, each writing a longer text. Eight rounds of each editor against one
// service and against two by default; on request (scripts/race.sh)
// VTY_RACE_ROUNDS rounds against VTY_RACE_SERVICES services (1 or 2),
// pauses of VTY_RACE_PAUSE_MS, in VTY_RACE_DIR (/dev/shm for tmpfs), and
// only the editors whose names hold VTY_RACE_ONLY. A round that lost a line
// prints the file it left.
TEST_F(OutsideWritersTest, UnlockedEditsDuringSavesLoseNoOldLine) {
  const auto setting = [](const char* name, const char* otherwise) {
    const char* const value = std::getenv(name);
    return std::string(value != nullptr ? value : otherwise);
  };
  const int rounds = std::stoi(setting("VTY_RACE_ROUNDS", "8"));
  const std::vector<int> counts =
      std::getenv("VTY_RACE_SERVICES") != nullptr
          ? std::vector<int>{std::stoi(setting("VTY_RACE_SERVICES", "1"))}
          : std::vector<int>{1, 2};
  const std::string pause =
      std::to_string(std::stod(setting("VTY_RACE_PAUSE_MS", "20")) / 1000);
  const std::string in = setting("VTY_RACE_DIR", dir_.c_str());
  const std::string only = setting("VTY_RACE_ONLY", "");
  std::string base, more;
  for (int i = 0; i < 40; ++i) base += "base" + std::to_string(i) + "=x\n";
  for (int i = 0; i < 20; ++i) more += "admin" + std::to_string(i) + "=1\n";
  const std::string paused = "{ head -c 300 admin.ini; sleep " + pause +
                             "; tail -c +301 admin.ini; } >app.ini";
  const struct {
    const char *name, *prefix;
    std::string edit;
  } cases[] = {{"cp", "", "cp admin.ini app.ini"},
               {"shell", "", "cat admin.ini >app.ini"},
               {"vim", "mv app.ini app.ini~ && ", "cat admin.ini >app.ini"},
               {"rename", "", "cp admin.ini new && mv new app.ini"},
               {"paused", "", paused},
               {"paused-vim", "mv app.ini app.ini~ && ", paused}};
  for (const int services : counts) {
    for (const auto& c : cases) {
      if (std::string(c.name).find(only) == std::string::npos) continue;
      const fs::path dir =
          fs::path(in) / ("race." + std::to_string(::getpid())) / c.name;
      fs::create_directories(dir);
      const std::string path = (dir / "app.ini").string();
      int lost = 0;
      for (int round = 0; round < rounds; ++round) {
        WriteAll(path, base);
        WriteAll(dir / "admin.ini", base + more);
        int loaded[2];
        ASSERT_EQ(::pipe(loaded), 0);
        InChildren(1 + services, [&](int child) {
          char byte = 0;
          if (child == services) {  // the administrator, once services run
            for (int i = 0; i < services; ++i) {
              if (::read(loaded[0], &byte, 1) != 1) return false;
            }
            return ::usleep(static_cast<useconds_t>(round % 20) * 200) == 0 &&
                   Sh("cd " + dir.string() + " && " + c.prefix + c.edit) == 0;
          }
          File service(path, [] { return false; });
          if (::write(loaded[1], &byte, 1) != 1) return false;
          for (int i = 0; i < 15; ++i)
            service.WriteValue("s" + std::to_string(child), "k",
                               std::to_string(i));
          return true;
        });
        ::close(loaded[0]);
        ::close(loaded[1]);
        const std::string left = ReadAll(path);
        if (left.rfind(base, 0) != 0) {
          ++lost;
          std::printf("%s, round %d, left:\n%s\n", c.name, round, left.c_str());
        }
      }
      EXPECT_EQ(lost, 0) << c.name << ", " << services << " service(s): of "
                         << rounds << " rounds";
      std::printf("%s, %d service(s): %d of %d rounds lost an old line\n",
                  c.name, services, lost, rounds);
    }
  }
  fs::remove_all(fs::path(in) / ("race." + std::to_string(::getpid())));
}

// Two processes create one file in a directory that does not exist yet:
// both keys are in it every time.
TEST_F(OutsideWritersTest, CreatorsOfOneFileInAMissingDirectoryLoseNoKey) {
  int lost = 0;
  for (int round = 0; round < 20; ++round) {
    const std::string path =
        (dir_ / std::to_string(round) / "sub" / "new.ini").string();
    InChildren(2, [&](int child) {
      WriteString(std::nullopt, "k" + std::to_string(child), "v", path);
      return true;
    });
    lost += ReadAll(path) != "k0=v\nk1=v\n" && ReadAll(path) != "k1=v\nk0=v\n";
  }
  EXPECT_EQ(lost, 0);
}

// crudini locks with lockf and renames, like the tool: 30 sets by each at
// once, three runs, every key kept.
TEST_F(OutsideWritersTest, CrudiniAndTheToolLoseNoKey) {
  if (Sh("command -v crudini >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "crudini is not installed (scripts/deps.sh crudini)";
  }
  const std::string tool = VTY_INI_TOOL;
  for (int run = 0; run < 3; ++run) {
    const std::string path = Path("run" + std::to_string(run) + ".ini");
    InChildren(60, [&](int i) {
      return Sh((i < 30 ? "crudini --set " + path + " c k"
                        : tool + " set " + path + " t k") +
                std::to_string(i % 30) + " v >/dev/null") == 0;
    });
    File written(path, [] { return false; });
    const auto kept = written.ReadSectionKeyValuePairs("c").size() +
                      written.ReadSectionKeyValuePairs("t").size();
    EXPECT_EQ(kept, 60u) << "run " << run << ":\n" << ReadAll(path);
  }
}

}  // namespace
}  // namespace vty::config::ini
