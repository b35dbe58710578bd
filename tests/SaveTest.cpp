// Saving: a file holds its whole old or whole new content at every moment,
// keeps its permissions, owner and links; a failed save is reported and tried
// again; a flush writes exactly when the disk lacks a change.

#include <fcntl.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "TestUtil.h"
#include "config/INI.h"
#include "disk/Temporaries.h"
#include "save/Save.h"

// Notes the mode a file had when the library gave it an owner: a temporary
// file's mode from its creation on, before it takes the target's.
static mode_t g_modeAtChown = 0;
extern "C" int fchown(int fd, uid_t owner, gid_t group) noexcept {
  struct stat st {};
  g_modeAtChown = ::fstat(fd, &st) == 0 ? st.st_mode & 07777 : 07777;
  return static_cast<int>(::syscall(SYS_fchown, fd, owner, group));
}

// When set, every rename over a file the tests name (never a hidden one)
// fails with this errno, as a rename the kernel refuses across mounts
// (EXDEV) or onto a mount point (EBUSY).
static int g_renameError = 0;
extern "C" int renameat(int oldDir, const char* oldPath, int newDir,
                        const char* newPath) noexcept {
  if (g_renameError != 0 && newPath[0] != '.') return errno = g_renameError, -1;
  return static_cast<int>(
      ::syscall(SYS_renameat2, oldDir, oldPath, newDir, newPath, 0));
}

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::Names;
using testing::ReadAll;
using testing::Stat;
using testing::WriteAll;
using Clock = fs::file_time_type::clock;
using SaveTest = testing::TempDirTest;

// The process's umask, read once before any test runs.
const mode_t kUmask = [] {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}();

TEST_F(SaveTest, PermissionsAndOwnerSurvive) {
  const std::string path = Path("app.ini");
  WriteAll(path, "a=1\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  const bool root = ::geteuid() == 0;  // only root may give a file away
  ASSERT_TRUE(!root || ::chown(path.c_str(), 1234, 4321) == 0);
  const ino_t inode = Stat(path).st_ino;
  WriteString(std::nullopt, "a", "2", path);
  EXPECT_EQ(ReadAll(path), "a=2\n");
  const struct stat st = Stat(path);
  EXPECT_NE(st.st_ino, inode) << "not replaced by a new file";
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(!root || (st.st_uid == 1234 && st.st_gid == 4321)) << "owner";

  // A new file gets what a plain create gives; its directories are made.
  const std::string fresh = Path("conf/sub/new.ini");
  WriteString("s", "k", "v", fresh);
  EXPECT_EQ(ReadAll(fresh), "[s]\nk=v\n");
  EXPECT_EQ(Stat(fresh).st_mode & 07777, 0666 & ~kUmask);
  EXPECT_EQ(Names(dir_ / "conf" / "sub"), std::set<std::string>{"new.ini"});
}

// File::Write takes no lock between processes, whose constructor would make
// the directories: the write makes them itself.
TEST_F(SaveTest, WriteWithoutTheLockMakesTheDirectories) {
  File file(Path("a/b/new.ini"), [] { return true; });
  file.WriteValue("S", "k", "v");
  file.Write();
  EXPECT_EQ(testing::ReadAll(Path("a/b/new.ini")), "[S]\nk=v\n");
}

TEST_F(SaveTest, SymbolicLinksStayLinks) {
  fs::create_directory(dir_ / "real");
  WriteAll(dir_ / "real" / "app.ini", "a=1\n");
  fs::create_symlink("real/app.ini", dir_ / "link.ini");
  WriteString(std::nullopt, "a", "2", Path("link.ini"));
  EXPECT_EQ(ReadAll(dir_ / "real" / "app.ini"), "a=2\n");
  EXPECT_EQ(fs::read_symlink(dir_ / "link.ini"), "real/app.ini");  // lstat
  EXPECT_EQ(Names(dir_ / "real"), std::set<std::string>{"app.ini"});
  EXPECT_EQ(Names(dir_), (std::set<std::string>{"link.ini", "real"}));
}

// A save shows no more than the file did, keeps its ACL and attributes, and
// refuses special files, link loops, links the kernel protects and a name
// ending in "/": every name stays as it was. As a user without privileges
// (through the tool), it saves in place where only the file may be written,
// and refuses a file it cannot read. Rows that cannot be set up are skipped.
TEST_F(SaveTest, KeepsAccessAndRefusesWhatItCannotReplace) {
  // clang-format off
  const struct { bool user; const char* setup; const char* file; int error; }
  cases[] = {
    {false, "touch f && chmod 640 f && chown 1:2 f && setfattr -n user.a -v 1 f"
     " && setfattr -n user.b f && setfacl -m u:nobody:r,g::- f", "f", 0},
    {false, "mkfifo f", "f", EINVAL},  {false, "mknod f c 1 3", "f", EINVAL},
    {false, "mkfifo p && ln -s p f", "f", EINVAL},
    {false, "ln -s g f && ln -s f g", "f", ELOOP},
    {false, "grep -qx 1 /proc/sys/fs/protected_symlinks && mkdir -m 1777 t && "
     "mkfifo r && ln -s ../r t/f && chown -h 1 t/f", "t/f", EACCES},
    {false, "true", "d/f/", EISDIR},
    {true, "touch f && chmod 666 f", "f", 0},  // the directory stays root's
    {true, "chown vty-test: . && touch f && chmod 200 f && chown vty-test: f",
     "f", EACCES},
  };
  // clang-format on
  const auto sh = [](const std::string& line) {
    return std::system(line.c_str());
  };
  const std::string tool = VTY_INI_TOOL;
  const std::string makeUser = "test -x '" + tool +
                               "' && (id -u vty-test || "
                               "useradd -r -M vty-test) >/dev/null 2>&1 && ";
  const std::string asUser =
      "setpriv --reuid=vty-test --regid=vty-test --clear-groups " + tool +
      " set ";
  const std::string describe =
      "find . -printf '%p %y %m %U:%G\\n' | sort && getfattr -hRd -m - .";
  std::string skipped;
  for (const auto& c : cases) {
    const std::string dir = Path(std::to_string(&c - cases));
    const std::string path = dir + "/" + c.file, cd = "cd " + dir + " && ";
    ReadString(std::nullopt, "k", "", path);  // loaded while missing
    if (sh("mkdir " + dir + " && " + cd + (c.user ? makeUser : "") + c.setup +
           " && " + describe + " >" + dir + ".0") != 0) {
      skipped += std::string(" [") + c.setup + "]";
      continue;
    }
    int error = 0;
    try {
      if (c.user) {
        error = sh(cd + asUser + c.file + " '' k v 2>/dev/null") ? EACCES : 0;
      } else {
        WriteString(std::nullopt, "k", "v", path);
        EXPECT_EQ(g_modeAtChown, 0600u) << "the temporary file was not private";
      }
    } catch (const fs::filesystem_error& e) {
      error = e.code().value();
    }
    EXPECT_EQ(error, c.error) << c.setup;
    EXPECT_EQ(sh(cd + describe + " >" + dir + ".1"), 0);
    EXPECT_EQ(ReadAll(dir + ".1"), ReadAll(dir + ".0")) << c.setup;
  }
  if (!skipped.empty()) GTEST_SKIP() << "rest passed; cannot set up" << skipped;
}

// A failed save is reported, leaves nothing behind and keeps the change in
// memory; every flush tries again, and succeeds once the obstacle is gone.
TEST_F(SaveTest, FailedSaveIsReportedAndRetried) {
  // clang-format off
  const struct { const char* obstacle; bool directory; const char* file; }
  cases[] = {
    {"blocker", false, "blocker/sub/app.ini"},  // no directory under a file
    {"app.ini", true, "app.ini"},  // no file can be renamed over a directory
  };
  // clang-format on
  for (const auto& c : cases) {
    const fs::path base = dir_ / (c.directory ? "dir" : "file");
    const fs::path obstacle = base / c.obstacle;
    const std::string path = (base / c.file).string();
    ReadString(std::nullopt, "k", "", path);  // loads before the obstacle
    fs::create_directories(c.directory ? obstacle : base);
    if (!c.directory) WriteAll(obstacle, "x");

    EXPECT_THROW(WriteString(std::nullopt, "k", "v", path),
                 fs::filesystem_error)
        << c.file;
    EXPECT_EQ(ReadString(std::nullopt, "k", "", path), "v") << c.file;
    EXPECT_THROW(Flush(path), fs::filesystem_error) << c.file;
    EXPECT_EQ(Names(base), std::set<std::string>{c.obstacle}) << c.file;

    fs::remove(obstacle);
    Flush(path);
    EXPECT_EQ(ReadAll(path), "k=v\n") << c.file;
  }
}

// A document saves only a change of its own, merged into what another
// writer left: never its stale copy over a restored or deleted file.
TEST_F(SaveTest, FlushWritesExactlyWhenTheDiskLacksAChange) {
  enum Then { kNothing, kRewrite, kDelete };  // happens after the change
  // clang-format off
  const struct { const char* name; bool future, change; Then then;
                 const char* after; } cases[] = {
    {"unchanged", false, false, kNothing, "a=1\r\n"},
    {"changed", false, true, kNothing, "a=2\n"},
    {"unchanged, time in future", true, false, kNothing, "a=1\r\n"},
    {"changed, time in future", true, true, kNothing, "a=2\n"},
    {"changed, then rewritten", false, true, kRewrite, "a=2\nb=3\n"},
    {"unchanged, then rewritten", false, false, kRewrite, "a=other\nb=3\n"},
    {"unchanged, then deleted", false, false, kDelete, nullptr},
    {"changed, then deleted", false, true, kDelete, "a=2\n"},
  };
  // clang-format on
  for (const auto& c : cases) {
    const std::string path = Path(c.name);
    WriteAll(path, "a=1\r\n");
    if (c.future) fs::last_write_time(path, Clock::now() + 1h);
    File file(path, [] { return true; });  // deferred
    if (c.change) file.WriteValue(std::nullopt, "a", "2");
    EXPECT_EQ(ReadAll(path), "a=1\r\n") << c.name << ": saved too early";
    if (c.then == kRewrite) {
      WriteAll(path, "a=other\nb=3\n");
      fs::last_write_time(path, Clock::now() - 1h);  // as `cp -p` restores
    }
    if (c.then == kDelete) fs::remove(path);
    file.Flush();
    if (c.after == nullptr) {
      EXPECT_FALSE(fs::exists(path)) << c.name;
      continue;
    }
    EXPECT_EQ(ReadAll(path), c.after) << c.name;
    const ino_t inode = Stat(path).st_ino;
    file.Flush();
    EXPECT_EQ(Stat(path).st_ino, inode) << c.name << ": written twice";
  }
  EXPECT_EQ(Names(dir_).size(), std::size(cases) - 1);  // no temporary left
  Flush(Path("missing.ini"));  // a document without lines makes no file
  EXPECT_FALSE(fs::exists(Path("missing.ini")));
}

// A child (in a PID namespace of its own when `ownNamespace`) that creates
// a temporary of `leaf` in `dir` and holds it until `release` reaches end of
// file; its name comes back through `named`. Returns the child, or -1.
pid_t HoldTemporary(const fs::path& dir, bool ownNamespace, const int named[2],
                    const int release[2]) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  ::close(named[0]);
  ::close(release[1]);
  if (ownNamespace && (::unshare(CLONE_NEWPID) != 0 || ::fork() != 0)) {
    ::wait(nullptr);  // the holder, PID 1 of its namespace
    ::_exit(0);
  }
  const int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY);
  std::string name;
  if (detail::CreateTemporary(fd, "app.ini", 0600, name) >= 0) {
    (void)!::write(named[1], name.data(), name.size());
  }
  ::close(named[1]);
  char byte;
  (void)!::read(release[0], &byte, 1);
  ::_exit(0);
}

// A save removes a temporary of its file only when no writer holds it
// locked, whatever pid its name carries: a live one in another PID
// namespace stays, a dead one named after a live pid goes.
TEST_F(SaveTest, TemporariesAreRemovedOnlyWhenTheirWriterIsGone) {
  const std::string path = Path("app.ini");
  for (const bool ownNamespace : {false, true}) {
    SCOPED_TRACE(ownNamespace ? "in a PID namespace" : "in a child");
    const std::string left = ".app.ini.tmp" + std::to_string(::getpid());
    std::set<std::string> kept{"app.ini", ".other.ini.tmp1.0.1",
                               ".app.ini.tmpx1.0"};
    for (const std::string& name :
         {left + ".0.1", std::string(".app.ini.tmp1.0.1"),
          std::string(".other.ini.tmp1.0.1"),
          std::string(".app.ini.tmpx1.0")}) {
      WriteAll(dir_ / name, "x");  // no writer holds these
    }
    int named[2], release[2];
    ASSERT_EQ(::pipe(named), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t child = HoldTemporary(dir_, ownNamespace, named, release);
    ASSERT_GE(child, 0);
    ::close(named[1]);
    ::close(release[0]);
    char name[256];
    const ssize_t size = ::read(named[0], name, sizeof name);
    ::close(named[0]);
    if (size <= 0) {
      ::close(release[1]);
      ::waitpid(child, nullptr, 0);
      ASSERT_TRUE(ownNamespace) << "the child made no temporary";
      GTEST_SKIP() << "cannot make a PID namespace here (needs CAP_SYS_ADMIN)";
    }
    const std::string held(name, static_cast<std::size_t>(size));
    WriteString(std::nullopt, "k", "1", path);
    kept.insert(held);
    EXPECT_EQ(Names(dir_), kept);
    ::close(release[1]);  // the writer goes
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    WriteString(std::nullopt, "k", "2", path);
    kept.erase(held);
    EXPECT_EQ(Names(dir_), kept);
    for (const std::string& name : kept) {
      if (name != "app.ini") fs::remove(dir_ / name);
    }
  }
}

// A file mounted on its own (a container's single-file volume) cannot be
// renamed over (EBUSY): it is rewritten in place.
TEST_F(SaveTest, FileMountedOnItsOwnIsRewrittenInPlace) {
  const std::string source = Path("source.ini"), path = Path("app.ini");
  WriteAll(source, "a=1\n");
  WriteAll(path, "");
  if (std::system(("mount --bind " + source + " " + path).c_str()) != 0) {
    GTEST_SKIP() << "cannot bind-mount a file here (needs root and mounts)";
  }
  EXPECT_NO_THROW(WriteString(std::nullopt, "b", "2", path));
  EXPECT_EQ(std::system(("umount " + path).c_str()), 0);
  EXPECT_EQ(ReadAll(source), "a=1\nb=2\n");
  EXPECT_EQ(Names(dir_), (std::set<std::string>{"app.ini", "source.ini"}));
}

// A rewrite in place that leaves the file shorter cuts off the old tail, so
// that an erased key's text does not come back after the new end.
TEST_F(SaveTest, InPlaceSaveThatShrinksCutsTheOldTail) {
  const std::string path = Path("app.ini");
  WriteAll(path, "a=1\nlong=erased\n");
  File file(path, [] { return true; });
  detail::SetSaveInPlace(file, true);  // not shared yet: no lock needed
  file.EraseKey(std::nullopt, "long");
  file.Flush();
  EXPECT_EQ(ReadAll(path), "a=1\n");
}

// A rename the kernel refuses because the file is a mount point (EBUSY) or
// on another mount than its directory (EXDEV): rewritten in place.
TEST_F(SaveTest, RefusedRenameIsRewrittenInPlace) {
  for (const int error : {EBUSY, EXDEV}) {
    const std::string path = Path(std::to_string(error));
    WriteAll(path, "a=1\n");
    const ino_t inode = Stat(path).st_ino;
    g_renameError = error;
    EXPECT_NO_THROW(WriteString(std::nullopt, "b", "2", path)) << error;
    g_renameError = 0;
    EXPECT_EQ(ReadAll(path), "a=1\nb=2\n") << error;
    EXPECT_EQ(Stat(path).st_ino, inode) << error;
  }
  EXPECT_EQ(Names(dir_).size(), 2u);  // no temporary left
}

// Root saves a user's file while its directory is swapped, over and over,
// with a link to a directory only root may write: no text of the user's and
// no temporary reaches that directory.
TEST_F(SaveTest, SwappedDirectoryNeverCarriesAUsersFileAway) {
  const fs::path home = dir_ / "home", secret = dir_ / "secret";
  fs::create_directories(home / "conf");
  fs::create_directory(secret);
  fs::create_directory_symlink("../secret", home / "swap");
  const std::string path = (home / "conf" / "app.ini").string();
  WriteAll(path, "user=1\n");
  const fs::path a = home / "conf", b = home / "swap";
  const pid_t swapper = ::fork();
  while (swapper == 0) {
    ::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), 2);
  }
  for (int i = 0; i < 300; ++i) {
    try {
      WriteString(std::nullopt, "k", std::to_string(i), path);
    } catch (const fs::filesystem_error&) {  // found the swap half-way
    }
  }
  ASSERT_EQ(::kill(swapper, SIGKILL), 0);
  ASSERT_EQ(::waitpid(swapper, nullptr, 0), swapper);
  const auto left = Names(secret);  // at most root's own save, if any
  EXPECT_LE(left, std::set<std::string>{"app.ini"});
  EXPECT_EQ(ReadAll(secret / "app.ini").find("user"), std::string::npos);
}

// A link is followed only when its owner is root, this process's user or
// the owner of the directory it leads into: root's save through a user's
// link into a root-only directory fails and creates nothing there (the file,
// a directory after the link, nor one the link names); root's link, or the
// directory owner's, works. Rows: the link, where it leads, the path saved,
// the owners of the link and of that directory, whether the file is there.
TEST_F(SaveTest, LinksOfOtherUsersLeadOnlyIntoTheirOwnDirectories) {
  const passwd* user = nullptr;
  if (::geteuid() != 0 ||
      std::system(
          "(id -u vty-test || useradd -r -M vty-test) >/dev/null 2>&1") != 0 ||
      (user = ::getpwnam("vty-test")) == nullptr) {
    GTEST_SKIP() << "needs root and the user vty-test (useradd)";
  }
  const uid_t uid = user->pw_uid;
  // clang-format off
  const struct {
    const char* link; const char* to; const char* file;
    uid_t linkOwner, dirOwner; bool existing; int error;
  } cases[] = {
    {"conf", "../secret", "conf/app.ini", uid, 0, false, EACCES},
    {"conf", "../secret", "conf/sub/app.ini", uid, 0, false, EACCES},
    {"conf", "../secret/deep", "conf/app.ini", uid, 0, false, ENOENT},
    {"app.ini", "../secret/app.ini", "app.ini", uid, 0, false, EACCES},
    {"app.ini", "../secret/app.ini", "app.ini", uid, 0, true, EACCES},
    {"conf", "../secret", "conf/app.ini", 0, 0, false, 0},
    {"app.ini", "../secret/app.ini", "app.ini", 0, 0, true, 0},
    {"conf", "../secret", "conf/app.ini", uid, uid, false, 0},
    {"app.ini", "../secret/app.ini", "app.ini", uid, uid, true, 0},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(&c - cases) + ": " + c.file);
    const fs::path home = dir_ / std::to_string(&c - cases) / "home";
    const fs::path secret = home / "../secret";
    fs::create_directories(home);
    fs::create_directory(secret);
    ASSERT_EQ(::chown(home.c_str(), uid, uid), 0);
    ASSERT_EQ(::chmod(secret.c_str(), 0700), 0);
    ASSERT_EQ(::chown(secret.c_str(), c.dirOwner, c.dirOwner), 0);
    const std::string old = c.existing ? "root=1\n" : "";
    if (c.existing) WriteAll(secret / "app.ini", old);
    fs::create_symlink(c.to, home / c.link);
    ASSERT_EQ(::lchown((home / c.link).c_str(), c.linkOwner, c.linkOwner), 0);
    const auto before = Names(secret);
    int error = 0;
    try {
      WriteString(std::nullopt, "k", "v", (home / c.file).string());
    } catch (const fs::filesystem_error& e) {
      error = e.code().value();
    }
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ReadAll(secret / "app.ini"), c.error ? old : old + "k=v\n");
    EXPECT_TRUE(c.error == 0 || Names(secret) == before);
  }
}

// A child saves a growing document over and over and is killed at random
// moments. After every kill the file must hold one whole saved state,
// "k0=v" to "kN=v", and never fewer keys than before. A killed save may
// leave its temporary file; any other stray file is a fault.
TEST_F(SaveTest, KilledSaveLeavesOldOrNewContent) {
  const std::string path = Path("crash.ini");
  const std::string temporary = ".crash.ini.tmp";
  const unsigned seed = std::random_device()();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::size_t keys = 0;
  int strays = 0;
  useconds_t maxDelay = 3000;
  for (int kill = 0; kill < 200; ++kill) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        File file(path, [] { return false; });
        for (auto n = file.ReadSectionKeyValuePairs(std::nullopt).size();; ++n)
          file.WriteValue(std::nullopt, "k" + std::to_string(n), "v");
      } catch (...) {
      }
      ::_exit(1);  // only a failure ends the loop
    }
    ::usleep(std::uniform_int_distribution<useconds_t>(200, maxDelay)(random));
    ASSERT_EQ(::kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << "the child stopped by itself";

    const std::string text = ReadAll(path);
    std::size_t lines = 0;
    std::string expected;
    while (expected.size() < text.size()) {
      expected += "k" + std::to_string(lines++) + "=v\n";
    }
    ASSERT_EQ(text, expected) << "after kill " << kill;
    ASSERT_GE(lines, keys) << "after kill " << kill;
    // Keep the kills near the time one save takes on this disk.
    maxDelay = lines == keys ? std::min<useconds_t>(maxDelay * 2, 20000)
                             : std::max<useconds_t>(maxDelay / 2, 1000);
    keys = lines;
    for (const std::string& name : Names(dir_)) {
      if (name == "crash.ini") continue;
      EXPECT_EQ(name.rfind(temporary, 0), 0u) << "stray file " << name;
      fs::remove(dir_ / name);
      ++strays;
    }
  }
  EXPECT_GT(keys, 0u) << "no child ever saved";
  RecordProperty("keys", static_cast<int>(keys));
  RecordProperty("temporaries_left_by_kills", strays);
}

}  // namespace
}  // namespace vty::config::ini
