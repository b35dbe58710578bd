// Saving in place: a full disk fails before the file changes, a kill in the
// middle of the rewrite is completed by the next load or save from the copy
// kept beside the file, and a copy that is not that file's, or no longer
// needed, is only removed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

// A small file system of its own under `dir`, unmounted on destruction.
class SmallFileSystem {
 public:
  SmallFileSystem(const fs::path& dir, const std::string& size) : dir_(dir) {
    fs::create_directory(dir_);
    mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0,
                       ("size=" + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  fs::path dir_;
  bool mounted_ = false;
};

// Fills the file system of `filler` until at most `room` bytes are left.
void LeaveRoom(const fs::path& filler, std::size_t room) {
  const std::string block(4096, 'f');
  FILE* out = std::fopen(filler.c_str(), "we");
  ASSERT_NE(out, nullptr);
  while (std::fwrite(block.data(), 1, block.size(), out) == block.size() &&
         std::fflush(out) == 0) {
  }
  std::fclose(out);
  const auto size = fs::file_size(filler);
  fs::resize_file(filler, size > room ? size - room : 0);
}

// Names of a save's own files left in `dir`: temporaries and kept copies.
std::set<std::string> Leftovers(const fs::path& dir) {
  std::set<std::string> left;
  for (const std::string& name : Names(dir)) {
    if (name[0] == '.') left.insert(name);
  }
  return left;
}

// A full disk, whether the file is bind-mounted into a directory of another
// file system (rewritten in place when its rename fails) or saved in place
// on its own small file system: every save leaves the old text or the new
// one, whole, and a failed save leaves no copy behind.
TEST_F(InPlaceTest, FullDiskLeavesTheOldOrTheNewTextWhole) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to mount a file system";
  const fs::path small = dir_ / "small";
  SmallFileSystem mounted(small, "256k");
  if (!mounted.Mounted()) {
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  }
  constexpr int kLines = 2000;
  const std::string old = Settings(kLines, 1, "old");
  const std::string young = Settings(kLines, 2, "a longer value");
  std::mt19937 random(std::random_device{}());
  int failed = 0;
  for (const bool bound : {true, false}) {
    SCOPED_TRACE(bound ? "bind-mounted" : "on a small file system");
    const fs::path path = bound ? dir_ / "app.ini" : small / "app.ini";
    if (bound) {
      WriteAll(small / "source.ini", "");
      WriteAll(path, "");
      ASSERT_EQ(::mount((small / "source.ini").c_str(), path.c_str(), nullptr,
                        MS_BIND, nullptr),
                0)
          << std::strerror(errno);
    }
    for (int round = 0; round < 50; ++round) {
      WriteAll(path, old);
      File file(path, [] { return true; });
      if (!bound) detail::SetSaveInPlace(file, true);  // not shared: no lock
      file.WriteValue(std::nullopt, "v", "xx");
      for (int n = 0; n < kLines; ++n) {
        file.WriteValue(std::nullopt, "k" + std::to_string(n),
                        "a longer value");
      }
      LeaveRoom(small / "filler", std::uniform_int_distribution<std::size_t>(
                                      0, 2 * young.size())(random));
      try {
        file.Flush();
      } catch (const fs::filesystem_error& e) {
        ++failed;
        EXPECT_EQ(e.code(), std::errc::no_space_on_device) << e.what();
      }
      const std::string text = ReadAll(path);
      ASSERT_TRUE(text == old || text == young)
          << "round " << round << ": torn, " << text.size() << " bytes";
      fs::remove(small / "filler");
      EXPECT_EQ(Leftovers(small), std::set<std::string>{}) << round;
      EXPECT_EQ(Leftovers(dir_), std::set<std::string>{}) << round;
    }
    if (bound) {
      ASSERT_EQ(::umount2(path.c_str(), MNT_DETACH), 0);
    }
  }
  RecordProperty("failed_of_100", failed);
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
  // As long as the old text: only the file's identity tells it from a torn
  // one.
  const std::string renamed = Settings(100, 3, "OLD VALUE");
  enum Action {
    kNothing,
    kCompleted,
    kRenamed,
    kRewritten,
    kCut,
    kDamaged,
    kHeld
  };
  // clang-format off
  const struct {
    const char* what; Action action; bool bySave;
    const std::string& expected; bool copyStays;
  } cases[] = {
    {"torn", kNothing, false, young, false},
    {"torn, then saved", kNothing, true, young, false},
    {"completed, its copy left", kCompleted, false, young, false},
    {"replaced by a rename since", kRenamed, false, renamed, false},
    {"rewritten in place since, longer", kRewritten, false, other, false},
    {"copy cut short", kCut, false, torn, false},
    {"copy damaged", kDamaged, false, torn, false},
    {"copy held by its writer", kHeld, false, torn, true},
  };
  // clang-format on
  for (const auto& c : cases) {
    const fs::path dir = dir_ / std::to_string(&c - cases);
    fs::create_directory(dir);
    const fs::path path = dir / "app.ini", copy = dir / ".app.ini.inplace";
    WriteAll(path, old);
    File earlier(path, [] { return true; });
    File file(path, [] { return true; });
    detail::SetSaveInPlace(file, true);  // not shared: no lock needed
    file.WriteValue(std::nullopt, "v", "x");
    g_failCut = true;
    EXPECT_THROW(file.Flush(), fs::filesystem_error) << c.what;
    g_failCut = false;
    ASSERT_EQ(ReadAll(path), torn) << c.what;
    ASSERT_TRUE(fs::exists(copy)) << c.what;

    int held = -1;
    if (c.action == kCompleted) WriteAll(path, young);  // same inode
    if (c.action == kRewritten) WriteAll(path, other);
    if (c.action == kRenamed) {
      WriteAll(dir / "new", renamed);
      fs::rename(dir / "new", path);
    }
    if (c.action == kCut) fs::resize_file(copy, fs::file_size(copy) - 1);
    if (c.action == kDamaged) {
      std::string bytes = ReadAll(copy);
      bytes[young.size() / 2] ^= 1;
      WriteAll(copy, bytes);
    }
    if (c.action == kHeld) {
      held = ::open(copy.c_str(), O_RDWR | O_CLOEXEC);
      struct flock whole {};
      whole.l_type = F_WRLCK;
      whole.l_whence = SEEK_SET;
      ASSERT_EQ(::fcntl(held, F_OFD_SETLK, &whole), 0);
    }
    if (c.bySave) {
      earlier.WriteValue(std::nullopt, "added", "1");
      earlier.Flush();
      EXPECT_EQ(ReadAll(path), c.expected + "added=1\n") << c.what;
    } else {
      const File later(path, [] { return true; });
      EXPECT_EQ(ReadAll(path), c.expected) << c.what;
      EXPECT_EQ(LinesOf(later), c.expected) << c.what;
    }
    EXPECT_EQ(fs::exists(copy), c.copyStays) << c.what;
    if (held >= 0) ::close(held);
  }
}

// The number of kill rounds: a few dozen in CI, more on demand
// (VTY_CONFIG_KILL_ROUNDS=1000).
int KillRounds() {
  const char* rounds = std::getenv("VTY_CONFIG_KILL_ROUNDS");
  return rounds != nullptr ? std::atoi(rounds) : 30;
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
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  int tornBeforeLoad = 0, copiesLeft = 0, tornAfterLoad = 0;
  const int rounds = KillRounds();
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
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
    ::usleep(static_cast<useconds_t>(
        std::uniform_int_distribution<long>(0, span)(random)));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(saves[0]);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself";

    copiesLeft += fs::exists(copy);
    tornBeforeLoad += whole.count(ReadAll(path)) == 0;
    const File loaded(path, [] { return true; });
    const std::string text = ReadAll(path);
    tornAfterLoad += whole.count(text) == 0;
    EXPECT_EQ(whole.count(text), 1u) << "torn after kill " << round;
    EXPECT_EQ(LinesOf(loaded), text) << "after kill " << round;
    EXPECT_FALSE(fs::exists(copy)) << "after kill " << round;
  }
  std::printf(
      "%d kills: %d left a copy, %d left the file torn, %d torn "
      "after the next load\n",
      rounds, copiesLeft, tornBeforeLoad, tornAfterLoad);
  RecordProperty("copies_left", copiesLeft);
  RecordProperty("torn_before_load", tornBeforeLoad);
  RecordProperty("torn_after_load", tornAfterLoad);
}

}  // namespace
}  // namespace vty::config::ini
