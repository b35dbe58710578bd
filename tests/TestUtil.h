// Helpers shared by the tests: a fresh directory per test, and whole-file
// reads and writes so that tests compare every byte.

#ifndef VTY_CONFIG_TESTS_TESTUTIL_H_
#define VTY_CONFIG_TESTS_TESTUTIL_H_

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "config/INI.h"
#include "config/Syntax.h"

namespace vty::config::ini::testing {

// A handle's syntax by its first four rules, the others as they default:
// spelt out, since a partial brace initialiser of Syntax draws clang's
// -Wmissing-field-initializers.
inline Syntax Rules(bool trimValues, std::string inlineComments,
                    char listSeparator = ',', bool quotes = true) {
  Syntax syntax;
  syntax.trimValues = trimValues;
  syntax.inlineComments = std::move(inlineComments);
  syntax.listSeparator = listSeparator;
  syntax.quotes = quotes;
  return syntax;
}

// One edit: 'w' writes, 'k' erases a key, 's' erases a section.
struct Edit {
  char op;
  std::optional<std::string> section;
  std::string key, value;
};
inline Edit W(std::optional<std::string> s, std::string k, std::string v) {
  return {'w', std::move(s), std::move(k), std::move(v)};
}
inline Edit K(std::optional<std::string> s, std::string k) {
  return {'k', std::move(s), std::move(k), ""};
}
inline Edit S(std::optional<std::string> s) {
  return {'s', std::move(s), "", ""};
}

// Applies `edit` to `file` through its member functions.
void Apply(File& file, const Edit& edit);

// The text of every line of `file`, each followed by "\n": what a save
// writes, less a byte-order mark.
std::string LinesOf(const File& file);

// The whole content of `path`, byte for byte ("" when it cannot be read).
std::string ReadAll(const std::filesystem::path& path);

// `text` with every `from` replaced by `to`.
std::string Replace(std::string text, const std::string& from,
                    const std::string& to);

// `arg` in single quotes for sh, every byte kept.
std::string ShellQuote(const std::string& arg);

// Runs `command` with sh and gives its standard output; `code` is its exit
// status (-1 when it did not exit).
std::string Capture(const std::string& command, int& code);

// Creates or replaces `path` with exactly `content`.
void WriteAll(const std::filesystem::path& path, const std::string& content);

// The status of `path` (links followed), failing the test when there is none.
struct stat Stat(const std::filesystem::path& path);
inline ino_t Inode(const std::filesystem::path& path) {
  return Stat(path).st_ino;
}

// Every name in `dir`, so that a test sees any temporary file left behind.
std::set<std::string> Names(const std::filesystem::path& dir);

// Gives every test a new, empty directory, removed afterwards. The registry
// never forgets a path, so each test must use paths of its own: Path() makes
// them unique per test.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A path inside this test's directory, as a string the exported functions
  // take.
  std::string Path(const std::string& name) const;

  std::filesystem::path dir_;
};

// Limits the files this process writes to `bytes`, with SIGXFSZ ignored so
// that a write past the limit fails with EFBIG instead of killing the
// process. Restores both on destruction.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    EXPECT_EQ(::sigaction(SIGXFSZ, &ignore, &oldAction_), 0);
    EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &old_), 0);
    rlimit limited = old_;
    limited.rlim_cur = bytes;
    EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::sigaction(SIGXFSZ, &oldAction_, nullptr);
  }

 private:
  rlimit old_{};
  struct sigaction oldAction_ {};
};

}  // namespace vty::config::ini::testing

#endif  // VTY_CONFIG_TESTS_TESTUTIL_H_
