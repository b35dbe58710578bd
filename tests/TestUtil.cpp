#include "TestUtil.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace vty::config::ini::testing {

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::string ShellQuote(const std::string& arg) {
  // A quote itself is closed, escaped, reopened.
  std::string quoted = "'";
  for (const char c : arg) quoted += c == '\'' ? "'\\''" : std::string(1, c);
  return quoted + "'";
}

std::string Capture(const std::string& command, int& code) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    code = -1;
    return out;
  }
  char buffer[4096];
  while (const std::size_t got = fread(buffer, 1, sizeof buffer, pipe)) {
    out.append(buffer, got);
  }
  const int status = pclose(pipe);
  code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

void WriteAll(const std::filesystem::path& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  ASSERT_TRUE(out.good()) << path;
}

struct stat Stat(const std::filesystem::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st;
}

std::set<std::string> Names(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

void Apply(File& file, const Edit& edit) {
  if (edit.op == 'w') {
    file.WriteValue(edit.section, edit.key, edit.value);
  } else if (edit.op == 'k') {
    file.EraseKey(edit.section, edit.key);
  } else {
    file.EraseSection(edit.section);
  }
}

std::string LinesOf(const File& file) {
  std::string text;
  for (const auto& line : file.lines) text += line->text + "\n";
  return text;
}

std::string Replace(std::string text, const std::string& from,
                    const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos;
       at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

void TempDirTest::SetUp() {
  static std::atomic<int> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir_ = std::filesystem::temp_directory_path() /
         ("vty-config-" + std::to_string(::getpid()) + "-" +
          std::to_string(counter++) + "-" + info->test_suite_name() + "-" +
          info->name());
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directories(dir_);
}

void TempDirTest::TearDown() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string TempDirTest::Path(const std::string& name) const {
  return (dir_ / name).string();
}

}  // namespace vty::config::ini::testing
