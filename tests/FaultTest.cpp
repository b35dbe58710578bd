// Saving under faults: a write cut short by the file size limit, and a file or
// its directory removed or replaced between saves. In every case the old file
// stays whole or the new one is complete, the failure reaches the caller, the
// change stays in memory until a flush saves it, and no temporary file is left.

#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <set>
#include <string>
#include <system_error>

#include "TestUtil.h"
#include "save/Save.h"

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using testing::Names;
using testing::ReadAll;
using testing::WriteAll;

using FaultTest = testing::TempDirTest;
using testing::FileSizeLimit;

// The limit cuts the new file at `limit` bytes; a deferred change fails in
// the flush, an immediate one in the change itself.
struct LimitCase {
  rlim_t limit;
  bool deferred;
};
const LimitCase kLimits[] = {
    {0, false}, {10, false}, {64, false}, {0, true}, {64, true}};

TEST_F(FaultTest, FileSizeLimitKeepsTheOldFileAndTheChange) {
  const std::string old = "; settings\n[s]\nk=old\n";
  const std::string value(100, 'v');
  int n = 0;
  for (const LimitCase& c : kLimits) {
    const std::string context = "limit " + std::to_string(c.limit) +
                                (c.deferred ? " deferred" : " immediate");
    const fs::path dir = dir_ / std::to_string(n++);
    fs::create_directory(dir);
    const fs::path path = dir / "app.ini";
    WriteAll(path, old);
    File file(path, [&] { return c.deferred; });

    std::error_code error;
    {
      FileSizeLimit limit(c.limit);
      try {
        file.WriteValue("s", "k", value);
        file.Flush();
      } catch (const fs::filesystem_error& e) {
        error = e.code();
      }
    }
    EXPECT_EQ(error, std::errc::file_too_large) << context;
    EXPECT_EQ(ReadAll(path), old) << context;
    EXPECT_EQ(file.ReadValue("s", "k"), value) << context;
    EXPECT_EQ(Names(dir), std::set<std::string>{"app.ini"}) << context;

    file.Flush();
    EXPECT_EQ(ReadAll(path), "; settings\n[s]\nk=" + value + "\n") << context;
    EXPECT_EQ(Names(dir), std::set<std::string>{"app.ini"}) << context;
  }
}

// A save in place cut short by the limit: the retry writes the whole
// document the process holds over what the failed write left, never
// merging into it.
TEST_F(FaultTest, FailedInPlaceSaveIsRetriedWhole) {
  const std::string path = Path("app.ini");
  std::string old;
  for (int i = 0; i < 100; ++i) old += "opt" + std::to_string(i) + "=value\n";
  WriteAll(path, old);
  File file(path, [] { return true; });
  detail::SetSaveInPlace(file, true);  // not shared yet: no lock needed
  file.WriteValue(std::nullopt, "opt0", "a longer value shifts every byte");
  for (const rlim_t limit : {rlim_t{1000}, rlim_t{0}}) {
    FileSizeLimit limited(limit);
    EXPECT_THROW(file.Flush(), fs::filesystem_error) << limit;
  }
  file.Flush();
  EXPECT_EQ(ReadAll(path), "opt0=a longer value shifts every byte" +
                               old.substr(old.find('\n')));
  EXPECT_EQ(Names(dir_), std::set<std::string>{"app.ini"});
}

// The file, or its whole directory, vanishes between two saves: as if
// another writer had emptied it. The next save of a change writes that change
// into a new file, creating the directories as needed; a flush with no change
// of its own writes nothing.
struct VanishCase {
  const char* removed;
  bool change;
  const char* expected;  // null: still missing
};
const VanishCase kVanished[] = {
    {"conf/app.ini", true, "[s]\nb=2\n"},
    {"conf/app.ini", false, nullptr},
    {"conf", true, "[s]\nb=2\n"},
    {"conf", false, nullptr},
};

TEST_F(FaultTest, VanishedFileIsWrittenAgain) {
  int n = 0;
  for (const VanishCase& c : kVanished) {
    const std::string context =
        std::string(c.removed) + (c.change ? " then a change" : " then flush");
    const fs::path base = dir_ / std::to_string(n++);
    const std::string file = (base / "conf/app.ini").string();
    WriteString("s", "a", "1", file);
    ASSERT_TRUE(fs::remove_all(base / c.removed)) << context;

    if (c.change) {
      WriteString("s", "b", "2", file);
    } else {
      Flush(file);
    }
    EXPECT_EQ(fs::exists(file), c.expected != nullptr) << context;
    if (c.expected == nullptr) continue;
    EXPECT_EQ(ReadAll(file), c.expected) << context;
    EXPECT_EQ(Names(base / "conf"), std::set<std::string>{"app.ini"})
        << context;
  }
}

TEST_F(FaultTest, DirectoryInPlaceOfTheFileFailsUntilRemoved) {
  const std::string file = Path("app.ini");
  WriteString("s", "a", "1", file);
  fs::remove(file);
  fs::create_directory(file);
  WriteAll(fs::path(file) / "keep", "x");

  EXPECT_THROW(WriteString("s", "b", "2", file), fs::filesystem_error);
  EXPECT_EQ(ReadString("s", "b", "", file), "2");
  EXPECT_THROW(Flush(file), fs::filesystem_error);  // still failing
  EXPECT_EQ(ReadAll(fs::path(file) / "keep"), "x");
  EXPECT_EQ(Names(dir_), std::set<std::string>{"app.ini"});

  fs::remove_all(file);  // as if emptied: only the unsaved change is written
  Flush(file);
  EXPECT_EQ(ReadAll(file), "[s]\nb=2\n");
  EXPECT_EQ(Names(dir_), std::set<std::string>{"app.ini"});
}

}  // namespace
}  // namespace vty::config::ini
