// Files edited through the handle and the tool read back, key for key, as
// Python's configparser and crudini read them: an edit never leaves a file
// that another reader of it reads differently.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "config/Settings.h"

namespace vty::config::ini::testing {
namespace {

// The rules both readers share: a deeper-indented line continues a value, a
// blank line ends it, a key missing from a section is read from [DEFAULT],
// the last of a repeated key wins, ';' after a blank begins a comment, and
// quotes are part of a value.
Syntax AsTheyRead() {
  Syntax syntax;
  syntax.continuationLines = true;
  syntax.defaultSection = "DEFAULT";
  syntax.duplicates = Syntax::Duplicates::Last;
  syntax.quotes = false;
  return syntax;
}

// Prints SECTION<TAB>KEY<TAB>VALUE for every key configparser reads, line
// breaks in values written "\n".
constexpr char kConfigparser[] = R"(
import configparser, sys
parser = configparser.ConfigParser(
    strict=False, inline_comment_prefixes=(';',), interpolation=None,
    empty_lines_in_values=False)
parser.optionxform = str
parser.read(sys.argv[1])
for section in parser.sections():
    for key, value in parser.items(section):
        print(section, key, value.replace('\n', '\\n'), sep='\t')
)";

// The lines of `text` in byte order: configparser lists a section's default
// keys first, the handle after the section's own.
std::string Sorted(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end - at));
    at = end == std::string::npos ? text.size() : end + 1;
  }
  std::sort(lines.begin(), lines.end());
  std::string sorted;
  for (const std::string& line : lines) sorted += line + "\n";
  return sorted;
}

// The same lines from the handle's reads.
std::string AsTheHandleReads(const Settings& settings) {
  std::string lines;
  for (const SectionName& section : settings.Sections()) {
    if (!section || *section == "DEFAULT") continue;  // no section to them
    for (const auto& [key, value] : settings.Pairs(section)) {
      lines +=
          *section + "\t" + key + "\t" + Replace(value, "\n", "\\n") + "\n";
    }
  }
  return lines;
}

class OtherReadersTest : public TempDirTest {
 protected:
  // Runs vty-ini with FILE `file` and `args` after it, reading as the other
  // readers do, with standard input from `in` unless it is empty; true when
  // it exits 0.
  static bool Tool(const std::string& command, const std::string& file,
                   const std::string& args, const std::string& in = "") {
    std::string line = ShellQuote(VTY_INI_TOOL) + " " + command + " " +
                       ShellQuote(file) + " " + args + " --continuation --last";
    if (!in.empty()) line += " < " + ShellQuote(in);
    return std::system(line.c_str()) == 0;
  }
};

TEST_F(OtherReadersTest, ConfigparserAndCrudiniReadWhatTheHandleReads) {
  if (std::system("python3 -c 'import configparser' 2>/dev/null") != 0) {
    GTEST_SKIP() << "Python 3 is not installed (Debian package python3)";
  }
  const bool crudini = std::system("command -v crudini >/dev/null") == 0;
  const std::string script = Path("read.py");
  WriteAll(script, kConfigparser);
  using Edit = std::function<void(Settings&, const std::string& file)>;
  const struct {
    const char* text;
    Edit edit;
  } kCases[] = {
      {"[DEFAULT]\nPort = 80\n[Net]\nMotd = one\n    two\n    three\n"
       "Host = h   ; the host\n",
       [](Settings& s, const std::string&) {
         s.Set("Net", "New", 1);
         s.Set("Net", "Motd", "hello\nworld");
         s.Set("Net", "Port", 81);
       }},
      {"[Net]\r\nMotd = one\r\n  two\r\nx = 1\r\nx = 2\r\n\r\n[Log]\r\n",
       [](Settings& s, const std::string& file) {
         s.Set("Net", "x", 3);
         s.Erase("Net", "Motd");
         s.Add("Log", "Level", "warn\ndebug");
         s.Flush();
         EXPECT_TRUE(Tool("set", file, "Net Motd again"));
       }},
      {"[A]\nk = a\n\tb\n\tc\n\n[B]\nm = 1\n",
       [](Settings& s, const std::string& file) {
         EXPECT_TRUE(Tool("set", file, "A k z"));
         s.Reload();
         s.Set("B", "m", "p\nq");
         s.Flush();
         WriteAll(file + ".in", "[A]\nj = 2\n[C]\nc = 3\n");
         EXPECT_TRUE(Tool("merge", file, "", file + ".in"));
       }},
  };
  for (const auto& c : kCases) {
    const std::string file = Path(std::to_string(&c - kCases) + ".ini");
    WriteAll(file, c.text);
    Settings settings(file, AsTheyRead());
    c.edit(settings, file);
    settings.Flush();
    settings.Reload();
    int code = 0;
    EXPECT_EQ(
        Sorted(Capture("python3 " + ShellQuote(script) + " " + ShellQuote(file),
                       code)),
        Sorted(AsTheHandleReads(settings)))
        << ReadAll(file);
    EXPECT_EQ(code, 0);
    if (!crudini) continue;
    for (const SectionName& section : settings.Sections()) {
      if (!section) continue;
      for (const auto& [key, value] : settings.Pairs(section)) {
        EXPECT_EQ(Capture("crudini --get " + ShellQuote(file) + " " +
                              ShellQuote(*section) + " " + ShellQuote(key),
                          code),
                  value + "\n")
            << "[" << *section << "] " << key << " in\n"
            << ReadAll(file);
      }
    }
  }
  if (!crudini)
    GTEST_SKIP() << "crudini is not installed (Debian package crudini)";
}

}  // namespace
}  // namespace vty::config::ini::testing
