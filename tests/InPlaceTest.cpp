// Saving in place: a full disk fails before the file changes; a kill in the
// rewrite is completed by the next load or save from the copy kept beside it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "TestUtil.h"
#include "config/INI.h"
#include "save/Save.h"

// When set, cutting a file to length fails, as an I/O error would fail it
// after the new bytes are written over the old.
static bool g_failCut = false;
extern "C" int ftruncate(int fd, off_t length) noexcept {
  if (g_failCut) return errno = EIO, -1;
  return static_cast<int>(::syscall(SYS_ftruncate, fd, length));
}

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using testing::LinesOf;
using testing::Names;
using testing::ReadAll;
using testing::WriteAll;
using InPlaceTest = testing::TempDirTest;
using namespace std::chrono_literals;

// `lines` settings, "k<n>=<value>", after a first line "v=" and `width` x's:
// two such texts of different widths differ in every line after the first.
std::string Settings(int lines, int width, const std::string& value) {
  std::string text =
      "v=" + std::string(static_cast<std::size_t>(width), 'x') + "\n";
  for (int n = 0; n < lines; ++n) {
    text += "k" + std::to_string(n) + "=" + value + "\n";
  }
  return text;
}

// Fills the file system of `filler` until at most `room` bytes are left.
void LeaveRoom(const fs::path& filler, std::size_t room) {
  struct statvfs disk {};
  ASSERT_EQ(::statvfs(filler.parent_path().c_str(), &disk), 0);
  const auto free = static_cast<std::size_t>(disk.f_bavail * disk.f_bsize);
  WriteAll(filler, std::string(free > room ? free - room : 0, 'f'));
}

// A full disk, whether the file is bind-mounted into a directory of another
// file system (rewritten in place when its rename fails) or saved in place
// on its own small file system: every save leaves the old text or the new
// one, whole, and a failed save leaves nothing of its own behind.
TEST_F(InPlaceTest, FullDiskLeavesTheOldOrTheNewTextWhole) {
  const fs::path small = dir_ / "small", source = small / "source.ini";
  fs::create_directory(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0) {
    GTEST_SKIP() << "cannot mount a tmpfs (needs root): " << strerror(errno);
  }
  const std::string old = Settings(2000, 1, "old");
  const std::string young = Settings(2000, 30000, "old");
  std::mt19937 random(std::random_device{}());
  int failed = 0;
  for (const bool bound : {true, false}) {
    SCOPED_TRACE(bound ? "bind-mounted" : "on a small file system");
    const fs::path path = bound ? dir_ / "app.ini" : small / "app.ini";
    if (bound) WriteAll(source, ""), WriteAll(path, "");
    ASSERT_TRUE(!bound || ::mount(source.c_str(), path.c_str(), nullptr,
                                  MS_BIND, nullptr) == 0);
    for (int round = 0; round < 50; ++round) {
      WriteAll(path, old);
      File file(path, [] { return true; });
      if (!bound) detail::SetSaveInPlace(file, true);  // not shared: no lock
      file.WriteValue(std::nullopt, "v", std::string(30000, 'x'));
      LeaveRoom(small / "filler", std::uniform_int_distribution<std::size_t>(
                                      0, 2 * young.size())(random));
      try {
        file.Flush();
      } catch (const fs::filesystem_error& e) {
        ++failed;
        EXPECT_EQ(e.code(), std::errc::no_space_on_device) << e.what();
      }
      const std::string text = ReadAll(path);
      ASSERT_TRUE(text == old || text == young) << round << ": torn";
      fs::remove(small / "filler");
      EXPECT_FALSE(fs::exists(path.parent_path() / ".app.ini.inplace"));
    }
    if (bound) ::umount2(path.c_str(), MNT_DETACH);
  }
  ::umount2(small.c_str(), MNT_DETACH);
  std::printf("%d of 100 saves found the disk full\n", failed);
  EXPECT_GT(failed, 0) << "the disk was never full";
}

// A save in place whose cut to length fails after the new, shorter, bytes
// are written over the old: the file is torn, and its copy is kept. Then
// something happens to the file or the copy, and the next load (or a save
// of a document loaded before) finds them: it completes the rewrite only
// when the copy is whole, is that file's, and the file may be torn.
TEST_F(InPlaceTest, CopyLeftBehindIsCompletedOnlyWhenItIsTheFilesAndWhole) {
  const std::string old = Settings(100, 3, "old value");
  const std::string young = Settings(100, 1, "old value");
  const std::string other = Settings(300, 1, "someone else's");
  const std::string torn = young + old.substr(young.size());
  // As long as the old text: only its inode tells it from a torn one.
  const std::string renamed = Settings(100, 3, "OLD VALUE");
  // clang-format off
  enum Action { kNothing, kCompleted, kRenamed, kRewritten, kDamaged, kHeld };
  const struct {
    const char* what; Action action; bool bySave;
    const std::string& expected; bool copyStays;
  } cases[] = {
    {"torn", kNothing, false, young, false},
    {"torn, then saved", kNothing, true, young, false},
    {"completed, its copy left", kCompleted, false, young, false},
    {"replaced by a rename since", kRenamed, false, renamed, false},
    {"rewritten in place since, longer", kRewritten, false, other, false},
    {"copy damaged", kDamaged, false, torn, false},
    {"copy held by its writer", kHeld, false, torn, true},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = dir_ / std::to_string(&c - cases);
    fs::create_directory(dir);
    const fs::path path = dir / "app.ini", copy = dir / ".app.ini.inplace";
    WriteAll(path, old);
    File earlier(path, [] { return true; });
    File file(path, [] { return true; });
    detail::SetSaveInPlace(file, true);  // not shared: no lock needed
    file.WriteValue(std::nullopt, "v", "x");
    g_failCut = true;
    EXPECT_THROW(file.Flush(), fs::filesystem_error);
    g_failCut = false;
    ASSERT_EQ(ReadAll(path), torn);
    ASSERT_TRUE(fs::exists(copy));

    std::string bytes = ReadAll(copy);
    const int held = ::open(copy.c_str(), O_RDWR | O_CLOEXEC);
    if (c.action == kCompleted) WriteAll(path, young);  // same inode
    if (c.action == kRewritten) WriteAll(path, other);
    if (c.action == kRenamed) WriteAll(dir / "n", renamed);
    if (c.action == kRenamed) fs::rename(dir / "n", path);
    if (c.action == kDamaged) WriteAll(copy, bytes.replace(9, 1, "!"));
    // A lock of this process's own conflicts with the OFD lock a save takes.
    ASSERT_TRUE(c.action != kHeld || ::lockf(held, F_TLOCK, 0) == 0);
    if (c.bySave) {
      earlier.WriteValue(std::nullopt, "added", "1");
      earlier.Flush();
      EXPECT_EQ(ReadAll(path), c.expected + "added=1\n");
    } else {
      EXPECT_EQ(LinesOf(File(path, [] { return true; })), c.expected);
      EXPECT_EQ(ReadAll(path), c.expected);
    }
    EXPECT_EQ(fs::exists(copy), c.copyStays);
    ::close(held);
  }
}

// A child saves a 20,000-line file in place over and over, each save
// shifting every line, and is killed at a random moment. The file may be
// torn then; after the next load it must hold one whole saved text, and no
// copy may be left.
TEST_F(InPlaceTest, KilledSaveIsCompletedByTheNextLoad) {
  constexpr int kLines = 20000, kWidths = 7;
  std::set<std::string> whole;
  for (int width = 1; width <= kWidths; ++width) {
    whole.insert(Settings(kLines, width, "value"));
  }
  const fs::path path = dir_ / "big.ini", copy = dir_ / ".big.ini.inplace";
  WriteAll(path, Settings(kLines, 1, "value"));
  std::mt19937 random(std::random_device{}());
  int copies = 0, tornBefore = 0, tornAfter = 0;
  // A few dozen rounds in CI; VTY_CONFIG_KILL_ROUNDS=1000 for more.
  const char* asked = std::getenv("VTY_CONFIG_KILL_ROUNDS");
  const int rounds = asked != nullptr ? std::atoi(asked) : 30;
  for (int round = 0; round < rounds; ++round) {
    int saves[2];
    ASSERT_EQ(::pipe2(saves, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        File file(path, [] { return false; });
        detail::SetSaveInPlace(file, true);
        for (int n = 0;; ++n) {
          file.WriteValue(
              std::nullopt, "v",
              std::string(static_cast<std::size_t>(n % kWidths + 1), 'x'));
          (void)!::write(saves[1], "s", 1);  // one more save done
        }
      } catch (...) {
      }
      ::_exit(1);  // only a failure ends the loop
    }
    ::close(saves[1]);
    // Killed within one save: the time between the first two sets the span.
    const auto nextSave = [&] {
      pollfd ready{saves[0], POLLIN, 0};
      char byte;
      return ::poll(&ready, 1, 10'000) == 1 && ::read(saves[0], &byte, 1) == 1;
    };
    ASSERT_TRUE(nextSave()) << "the child never saved";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(nextSave()) << "the child saved only once";
    const long span = (std::chrono::steady_clock::now() - start) / 1us;
    ::usleep(static_cast<useconds_t>(
        std::uniform_int_distribution<long>(0, span)(random)));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(saves[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself";

    copies += fs::exists(copy);
    tornBefore += whole.count(ReadAll(path)) == 0;
    const std::string text = LinesOf(File(path, [] { return true; }));
    tornAfter += whole.count(ReadAll(path)) == 0;
    EXPECT_EQ(whole.count(text), 1u) << "torn after kill " << round;
    EXPECT_EQ(ReadAll(path), text) << round;
    EXPECT_FALSE(fs::exists(copy)) << round;
  }
  std::printf(
      "%d kills: %d left a copy, %d the file torn; %d torn after the "
      "next load\n",
      rounds, copies, tornBefore, tornAfter);
}

}  // namespace
}  // namespace vty::config::ini
