// What loading makes of a path that is not a plain, readable file: only a
// missing file is an empty document; anything else that cannot be read is an
// error that registers nothing, so that no later save wipes the file. And a
// document stays bound to the file it was loaded from, and one slow load
// stalls no other path.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <future>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "TestUtil.h"
#include "live/Registry.h"

// When set, the next read of a file returns what the file held, and then
// the file at `first` is rewritten in place with `second`, as a writer that
// does not lock would, before the reader looks at it again.
static std::optional<std::pair<std::string, std::string>> g_rewriteAfterRead;
static ssize_t ReadThenRewrite(int fd, void* buffer, size_t count, off_t at) {
  const auto got =
      static_cast<ssize_t>(::syscall(SYS_pread64, fd, buffer, count, at));
  if (auto rewrite = std::exchange(g_rewriteAfterRead, std::nullopt)) {
    vty::config::ini::testing::WriteAll(rewrite->first, rewrite->second);
  }
  return got;
}
extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t at) {
  return ReadThenRewrite(fd, buffer, count, at);
}
extern "C" ssize_t pread64(int fd, void* buffer, size_t count, off64_t at) {
  return ReadThenRewrite(fd, buffer, count, at);
}

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ReadAll;
using testing::WriteAll;

using LoadTest = testing::TempDirTest;

// Each path is refused on first use, without blocking; once a readable file
// stands there, the next use loads it.
TEST_F(LoadTest, RefusesWhatIsNotARegularFile) {
  const struct {
    const char* name;
    void (*make)(const std::string& path);
  } cases[] = {
      {"directory", [](const std::string& p) { fs::create_directory(p); }},
      {"fifo",
       [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
      {"link to the null device",
       [](const std::string& p) { fs::create_symlink("/dev/null", p); }},
      {"link loop", [](const std::string& p) { fs::create_symlink(p, p); }},
  };
  for (const auto& c : cases) {
    const std::string path = Path(c.name);
    c.make(path);
    EXPECT_THROW(ReadString("s", "k", "", path), fs::filesystem_error)
        << c.name;
    EXPECT_THROW(WriteString("s", "k", "v", path), fs::filesystem_error)
        << c.name;
    fs::remove_all(path);
    WriteAll(path, "[s]\nk=1\n");
    EXPECT_EQ(ReadString("s", "k", "", path), "1") << c.name;
  }
}

// Out of descriptors, a file cannot be opened: the read fails instead of
// giving an empty document that the next write would save over the file.
TEST_F(LoadTest, OpenFailureIsAnErrorNotAnEmptyFile) {
  const std::string path = Path("app.ini");
  WriteAll(path, "; keep\n[s]\nk=1\n");
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = 64;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> held;
  for (int fd; (fd = ::dup(0)) >= 0;) held.push_back(fd);
  EXPECT_THROW(ReadString("s", "k", "", path), fs::filesystem_error);
  for (const int fd : held) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);

  WriteString("s", "j", "2", path);
  EXPECT_EQ(ReadAll(path), "; keep\n[s]\nk=1\nj=2\n");

  // A read error (EIO: reading this process's memory at address 0) names
  // the file too.
  try {
    ReadString("s", "k", "", "/proc/self/mem");
    ADD_FAILURE() << "no error";
  } catch (const fs::filesystem_error& error) {
    EXPECT_EQ(error.path1(), "/proc/self/mem");
    EXPECT_EQ(error.code(), std::errc::io_error);
  }
}

// The file is rewritten in place while it loads: the load reads it again,
// so that the document holds what the writer left, as its snapshot says.
TEST_F(LoadTest, FileRewrittenWhileReadIsReadAgain) {
  const std::string path = Path("app.ini");
  WriteAll(path, "a=1\n");
  g_rewriteAfterRead.emplace(path, "a=22\n");
  File file(path, [] { return true; });
  EXPECT_EQ(file.ReadValue(std::nullopt, "a"), "22");
}

// A relative path names the file in the working directory of its first use,
// for good: a later chdir does not make it save over another directory's.
TEST_F(LoadTest, RelativePathStaysBoundAfterChdir) {
  const fs::path start = fs::current_path();
  const std::string spelling = "chdir-" + std::to_string(::getpid()) + ".ini";
  for (const char* dir : {"a", "b"}) {
    fs::create_directory(dir_ / dir);
    WriteAll(dir_ / dir / spelling, std::string("from=") + dir + "\n");
  }
  fs::current_path(dir_ / "a");
  EXPECT_EQ(ReadString(std::nullopt, "from", "", spelling), "a");
  fs::current_path(dir_ / "b");
  WriteString(std::nullopt, "k", "v", spelling);
  fs::current_path(start);
  EXPECT_EQ(ReadAll(dir_ / "a" / spelling), "from=a\nk=v\n");
  EXPECT_EQ(ReadAll(dir_ / "b" / spelling), "from=b\n");
}

// While one path loads, others are used, and the writer shuts down.
TEST_F(LoadTest, SlowLoadStallsNoOtherPath) {
  const std::string slow = Path("slow.ini"), fast = Path("fast.ini");
  WriteAll(fast, "k=1\n");
  std::promise<void> loading, others;
  std::future<void> othersDone = others.get_future();
  std::future_status waited = std::future_status::deferred;
  detail::SetLoadObserverForTesting([&](const std::string& file) {
    if (file != slow) return;
    loading.set_value();
    waited = othersDone.wait_for(10s);
  });
  std::thread loader([&] { ReadString(std::nullopt, "k", "", slow); });
  loading.get_future().wait();
  EXPECT_EQ(ReadString(std::nullopt, "k", "", fast), "1");
  InitialiseAsyncWriting();
  ShutdownAsyncWriting();
  others.set_value();
  loader.join();
  detail::SetLoadObserverForTesting(nullptr);
  EXPECT_EQ(waited, std::future_status::ready);
}

}  // namespace
}  // namespace vty::config::ini
