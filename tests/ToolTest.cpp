// Drives the built vty-ini binary as a user would: runs it through the shell
// and checks its output, its exit code and every byte of the file.

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "disk/ProcessLock.h"

namespace vty::config::ini::testing {
namespace {

namespace fs = std::filesystem;

struct Result {
  int code;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& arg) { return ShellQuote(arg); }

class ToolTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    file_ = Path("app.ini");
  }

  // Runs vty-ini with `args`, in which "FILE" stands for file_.
  Result Run(const std::vector<std::string>& args, const std::string& in = "") {
    WriteAll(Path("i"), in);  // piped to its standard input
    std::string command =
        "cat " + Quote(Path("i")) + "|" + prefix_ + Quote(VTY_INI_TOOL);
    for (const auto& arg : args) {
      command += " " + Quote(arg == "FILE" ? file_ : arg);
    }
    int code = 0;
    std::string out = Capture(command + " 2>" + Quote(Path("err")), code);
    return {code, std::move(out), ReadAll(Path("err"))};
  }

  std::string file_;
  std::string prefix_;  // put before the tool's name, e.g. "LD_PRELOAD=..."
};

constexpr char kIni[] =
    "; settings\nname = Demo\n\n"
    "[Net]\nHost = 127.0.0.1\nPort=8080\nPORT=9999\n"
    "[Log]\nLevel=info\nnot a key\n"
    "[Empty]\n"
    "[net]\nTimeout=5\n"
    "[Odd]\np=C:\\d\tx\nq=\"hi\"\x01\nb=\xC3\xA9\xFF\n";

TEST_F(ToolTest, ReadsWithTheLibrarysRulesAndChangesNothing) {
  static const struct {
    std::vector<std::string> args;
    int code;
    std::string out;
  } cases[] = {
      {{"get", "FILE", "Net", "Host"}, 0, "127.0.0.1\n"},
      {{"get", "FILE", "nEt", "port"}, 0, "8080\n"},  // the first line wins
      {{"get", "FILE", "net", "Timeout"}, 0, "5\n"},  // a repeated header
      {{"get", "FILE", "", "name", "--raw"}, 0, " Demo\n"},
      {{"get", "FILE", "Net", "Missing"}, 1, ""},
      {{"get", "FILE", "Net", "Missing", "--default", "30"}, 0, "30\n"},
      {{"get", "--default=", "FILE", "Net", "Missing"}, 0, "\n"},
      {{"get", "FILE", "Net", "Host", "--default", "x"}, 0, "127.0.0.1\n"},
      {{"get", "FILE", "Net", "Port", "--type", "uint"}, 0, "8080\n"},
      {{"get", "FILE", "net", "Timeout", "--type=float"}, 0, "5\n"},
      {{"get", "FILE", "Net", "No", "--default=0x1F", "--type=int"}, 0, "31\n"},
      {{"sections", "FILE"}, 0, "Net\nLog\nEmpty\nOdd\n"},  // not hash order
      {{"section", "FILE", "Log", "--raw"}, 0, "Level=info\nnot a key\n"},
      {{"section", "FILE", ""}, 0, "name=Demo\n"},
      {{"section", "FILE", "Empty"}, 0, ""},
      {{"section", "FILE", "Nope"}, 1, ""},
      {{"dump", "FILE"},
       0,
       "\tname\tDemo\nNet\tHost\t127.0.0.1\nNet\tPort\t8080\n"
       "Net\tTimeout\t5\nLog\tLevel\tinfo\n"
       "Odd\tp\tC:\\\\d\\tx\nOdd\tq\t\"hi\"\x01\nOdd\tb\t\xC3\xA9\xFF\n"},
      {{"dump", "--json", "FILE", "--raw"}, 0, R"({
  "": {"name": " Demo"},
  "Net": {"Host": " 127.0.0.1", "Port": "8080", "Timeout": "5"},
  "Log": {"Level": "info"},
  "Empty": {},
  "Odd": {"p": "C:\\d\u0009x", "q": "\"hi\"\u0001", "b": "é\ufffd"}
}
)"},
  };
  WriteAll(file_, kIni);
  for (const auto& c : cases) {
    const Result result = Run(c.args);
    const std::string context = ::testing::PrintToString(c.args);
    EXPECT_EQ(result.code, c.code) << context << result.err;
    EXPECT_EQ(result.out, c.out) << context;
    EXPECT_EQ(result.err.empty(), c.code == 0) << context << result.err;
  }
  EXPECT_EQ(ReadAll(file_), kIni);
}

TEST_F(ToolTest, EditsTouchOnlyTheirLines) {
  static const struct {
    std::optional<std::string> before;  // nullopt: no file
    std::vector<std::string> args;
    int code;
    std::string after, in = "", out = "";  // and standard input and output
  } cases[] = {
      // clang-format off
      {"; c\n[S]\n k = 0\n\n[T]\n", {"set", "FILE", "s", "K", "1"},
       0, "; c\n[S]\n k = 1\n\n[T]\n"},
      {"[S]\na=0\n\n[T]\n", {"set", "FILE", "S", "k", "1"},
       0, "[S]\na=0\nk=1\n\n[T]\n"},
      {"[S]\n", {"set", "FILE", "", "k", "1"}, 0, "k=1\n[S]\n"},
      {std::nullopt, {"set", "FILE", "S", "k", "--", "--on"},
       0, "[S]\nk=--on\n"},
      {"k = 1\n", {"set", "FILE", "", "K", "1"}, 0, "k = 1\n"},
      {"k=1\n", {"set", "--verbose", "--existing", "FILE", "", "K", "-"},
       0, "k=in\n", "in\r\n"},
      {"k=1\n", {"set", "--existing", "FILE", "", "x", "1"}, 1, "k=1\n"},
      {"k=1\n", {"set", "FILE", "", "k", "-"}, 3, "k=1\n", "a\nb"},
      {std::nullopt, {"get", "FILE", "S", "k", "--default="}, 0, "", "", "\n"},
      {"a=0\n[N]\nk=1\n\n", {"merge", "FILE", "--existing", "--verbose"},
       0, "a=1\n[N]\nk=2\n\n", "a=1\n[n]\nk=2\nk=3\n[X]\nj=v\n"},
      {"[N]\nk = a\n", {"merge", "FILE", "--verbose"}, 0, "[N]\nk = a\n",
       "[n]\nk = a\nk=b\n"},
      {std::nullopt, {"merge", "FILE"}, 0, "a=1\n\n[S]\nb=\n", "a=1\n[S]\nb=\n"},
      {"[S]\nk=1\n; c\nK=2\n", {"del", "FILE", "S", "k"}, 0, "[S]\n; c\n"},
      // CR LF shows that nothing was saved: a save would write LF.
      {"[S]\r\nk=1\r\n", {"del", "FILE", "S", "x"}, 0, "[S]\r\nk=1\r\n"},
      {"a=1\n[S]\n[T]\n[s]\n; c\n", {"del-section", "FILE", "S"},
       0, "a=1\n[T]\n"},
      {"[S]\r\n", {"del-section", "FILE", "T"}, 0, "[S]\r\n"},
      {"[S]\nk = 0\n", {"set", "FILE", "S", "k", " 0x1F", "--type", "int"},
       0, "[S]\nk = 31\n"},
      {std::nullopt, {"set", "FILE", "S", "on", "Yes", "--type=bool"},
       0, "[S]\non=true\n"},
      {"[S]\nk = 1\n  one\nm=2\n", {"set", "FILE", "S", "k", "2", "--add"},
       0, "[S]\nk = 1\n  one\nk = 2\nm=2\n"},
      {"[S]\nm = a\n  b\nk=1\n", {"set", "FILE", "S", "m", "x"},
       0, "[S]\nm = x\nk=1\n"},
      {"[DEFAULT]\nx = 1\n", {"merge", "FILE"}, 0,
       "[DEFAULT]\nx = 2\n\n[S]\ny = 3\n", "[DEFAULT]\nx=2\n[S]\ny=3\n"},
      {"[S]\nm = a\n  b = c\n", {"merge", "FILE", "--continuation"},
       0, "[S]\nm = a\n  b = c\nb = 1\n", "[S]\nb=1\n"},
      // clang-format on
  };
  const auto old = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const auto& c : cases) {
    const std::string context = ::testing::PrintToString(c.args);
    fs::remove(file_), fs::remove(Path("link"));
    if (c.before) WriteAll(file_, *c.before);
    if (c.before) fs::last_write_time(file_, old);
    if (c.before) fs::create_hard_link(file_, Path("link"));
    const Result result = Run(c.args, c.in);
    EXPECT_EQ(result.code, c.code) << context << result.err;
    EXPECT_EQ(result.out, c.out) << context;
    EXPECT_EQ(ReadAll(file_), c.after) << context;
    if (c.before != c.after) continue;  // else: no save, no rewrite either
    EXPECT_TRUE(fs::equivalent(file_, Path("link"))) << context;  // one inode
    EXPECT_EQ(fs::last_write_time(file_), old) << context;
  }
}

// Usage errors (2) and refused input or failing files (3) print one line,
// pointing to --help or naming the file, and change no file.
TEST_F(ToolTest, ErrorsPrintOneLineAndLeaveTheFile) {
  const std::string dir = Path(""), belowFile = Path("plain") + "/x.ini";
  const std::string missing = Path("missing");
  const struct {
    std::vector<std::string> args;
    int code;
  } cases[] = {
      // clang-format off
      {{}, 2},                         {{"frob", "FILE"}, 2},
      {{"get", "FILE", "S"}, 2},       {{"set", "FILE", "S", "k", "v", "v"}, 2},
      {{"dump", "FILE", "--default", "x"}, 2},
      {{"get", "FILE", "S", "k", "--default"}, 2},
      {{"get", missing, "S", "k"}, 1},  {{"sections", missing}, 1},
      {{"section", missing, "S"}, 1},   {{"dump", missing, "--raw"}, 1},
      {{"merge", belowFile}, 3},
      {{"set", "FILE", "S", "a=b", "v"}, 3},
      {{"set", "FILE", "S", " #k", "v"}, 3},
      {{"set", "FILE", "S", "k", "a\nb"}, 3},
      {{"set", "FILE", "S=1", "k", "v"}, 3},
      {{"set", belowFile, "S", "k", "v"}, 3},
      {{"get", dir, "S", "k"}, 3},
      {{"get", "FILE", "S", "k", "--type", "int"}, 3},
      {{"get", "FILE", "S", "k", "--type", "long"}, 2},
      {{"set", "FILE", "S", "k", "1.5", "--type", "int"}, 2},
      {{"set", "FILE", "S", "k", "-1", "--type=uint"}, 2},
      // clang-format on
  };
  const std::string before = "; keep me\r\n[S]\r\nk = old";  // a save ends it
  WriteAll(file_, before);
  WriteAll(Path("plain"), before);
  for (const auto& c : cases) {
    const Result result = Run(c.args, "k=v\n");
    const std::string context = ::testing::PrintToString(c.args) + result.err;
    EXPECT_EQ(result.code, c.code) << context;
    EXPECT_EQ(result.out, "") << context;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << context;
    const std::string named = c.code == 2           ? "(see vty-ini --help)\n"
                              : c.args[1] == "FILE" ? file_ + ": "
                                                    : c.args[1] + ": ";
    EXPECT_NE(result.err.find(named), std::string::npos) << context;
  }
  EXPECT_EQ(ReadAll(file_), before);
  EXPECT_EQ(ReadAll(Path("plain")), before);
}

// One row per task administrators' scripts do, as crudini does them: the
// input file, the command, its standard output, a part of its standard
// error, its exit status and the file's bytes afterwards. "FILE" in any of
// them stands for the file's path.
TEST_F(ToolTest, DoesWhatScriptsExpect) {
  constexpr char kApp[] =
      "; app\n[Net]\n  Port = 8080   ; the port\nHost=a\n; about Log\n\n"
      "[Log]\nHosts = a, b\n";
  const struct {
    std::string before;
    std::vector<std::string> args;
    std::string out, err;
    int code;
    std::string after, in = "";
  } rows[] = {
      // clang-format off
      {kApp, {"get", "FILE", "net", "port"}, "8080\n", "", 0, kApp},
      {kApp, {"get", "FILE", "Net", "Port", "--type", "int"}, "8080\n", "", 0, kApp},
      {kApp, {"set", "FILE", "Net", "Port", "9090"}, "", "", 0,
       "; app\n[Net]\n  Port = 9090   ; the port\nHost=a\n; about Log\n\n"
       "[Log]\nHosts = a, b\n"},
      {"[A]\nk=1\n", {"set", "FILE", "New", "Key", "v"}, "", "", 0,
       "[A]\nk=1\n\n[New]\nKey=v\n"},
      {"; c\r\n[A]\r\nk = 1\r\n", {"set", "FILE", "A", "k", "2"}, "", "", 0,
       "; c\r\n[A]\r\nk = 2\r\n"},
      {"[A]\r\nk=1\r\n", {"set", "FILE", "New", "Key", "v"}, "", "", 0,
       "[A]\r\nk=1\r\n\r\n[New]\r\nKey=v\r\n"},
      {kApp, {"set", "FILE", "Net", "Timeout", "5"}, "", "", 0,
       "; app\n[Net]\n  Port = 8080   ; the port\nHost=a\nTimeout=5\n"
       "; about Log\n\n[Log]\nHosts = a, b\n"},
      {"[S]\nq = it's $HOME \\ `x`\nu=http://a;b\n",
       {"get", "FILE", "S", "--format=sh"},
       "q='it'\\''s $HOME \\ `x`'\nu='http://a;b'\n", "", 0,
       "[S]\nq = it's $HOME \\ `x`\nu=http://a;b\n"},
      {"[S]\nk = v ; c\n", {"get", "FILE", "S", "k", "--format", "ini"},
       "[S]\nk = v\n", "", 0, "[S]\nk = v ; c\n"},
      {"[S]\nk = v\n", {"get", "FILE", "S", "--format=lines"},
       "[ S ] k = v\n", "", 0, "[S]\nk = v\n"},
      {"[S]\na.b=1\n", {"get", "FILE", "S", "--format=sh"}, "",
       "key \"a.b\" in [S] of FILE is not a shell name", 3, "[S]\na.b=1\n"},
      // Keys become variables: none the shell or the loader reads.
      {"[S]\nk=1\nPATH=.\n", {"get", "FILE", "S", "--format=sh"}, "",
       "key \"PATH\" in [S] of FILE names PATH", 3, "[S]\nk=1\nPATH=.\n"},
      {"[S]\nLD_PRELOAD=x\n", {"get", "FILE", "S", "--format=sh"}, "",
       "names LD_PRELOAD", 3, "[S]\nLD_PRELOAD=x\n"},
      {"[S]\nPATH=.\n", {"get", "FILE", "S", "--format=sh", "--prefix=APP_"},
       "APP_PATH='.'\n", "", 0, "[S]\nPATH=.\n"},
      {std::string("[S]\nk=a\0b\n", 10), {"get", "FILE", "S", "--format=sh"},
       "", "holds a NUL byte", 3, std::string("[S]\nk=a\0b\n", 10)},
      // JSON holds Unicode text only: names it would merge are refused.
      {"[\xFF]\nk=1\n[\xFE]\nk=2\n", {"dump", "FILE", "--json"}, "",
       "FILE: --json would print sections [\\xFF] and [\\xFE] as one name, "
       "\"\\ufffd\"", 3, "[\xFF]\nk=1\n[\xFE]\nk=2\n"},
      {"[S]\n\xFF=1\n\xEF\xBF\xBD=2\n", {"dump", "FILE", "--json"}, "",
       "keys \"\\xFF\" and \"\xEF\xBF\xBD\" of [S] as one", 3,
       "[S]\n\xFF=1\n\xEF\xBF\xBD=2\n"},
      {kApp, {"get", "FILE", "Net", "Nope"}, "",
       "FILE: key not found: [Net] Nope", 1, kApp},
      {kApp, {"del", "FILE", "Net", "Nope"}, "", "", 0, kApp},
      {kApp, {"del-section", "FILE", "Nope"}, "", "", 0, kApp},
      {kApp, {"del", "FILE", "Net", "Nope", "--existing"}, "",
       "FILE: key not found: [Net] Nope", 1, kApp},
      {kApp, {"del-section", "FILE", "Nope", "--existing"}, "",
       "FILE: section not found: [Nope]", 1, kApp},
      {"[S]\nk=1\nj=2\n", {"del", "FILE", "S", "k", "--verbose"}, "",
       "changed: del FILE [S] k", 0, "[S]\nj=2\n"},
      {"[S]\nk=1\n", {"set", "FILE", "S", "k", "1", "--verbose"}, "",
       "unchanged: set FILE [S] k", 0, "[S]\nk=1\n"},
      {"[Net]\nPort = 1 ; c\n", {"merge", "FILE", "Net", "--verbose"}, "",
       "changed: set FILE [Net] Port", 0, "[Net]\nPort = 7070 ; c\n",
       "Port=   7070  \n"},
      {"[Net]\nPort=1\n", {"merge", "FILE", "--existing"}, "",
       "skipped: merge FILE [X] k", 0, "[Net]\nPort=2\n",
       "[Net]\nPort=2\n[X]\nk=v\n"},
      {kApp, {"set", "FILE", "Log", "Hosts", "c", "--list"}, "", "", 0,
       "; app\n[Net]\n  Port = 8080   ; the port\nHost=a\n; about Log\n\n"
       "[Log]\nHosts = a, b, c\n"},
      {kApp, {"set", "FILE", "Log", "Hosts", "b", "--list"}, "", "", 0, kApp},
      {kApp, {"del", "FILE", "Log", "Hosts", "a", "--list"}, "", "", 0,
       "; app\n[Net]\n  Port = 8080   ; the port\nHost=a\n; about Log\n\n"
       "[Log]\nHosts = b\n"},
      {"[S]\nk=1\n", {"set", "FILE", "S", "k", "2", "--output=-"},
       "[S]\nk=2\n", "", 0, "[S]\nk=1\n"},
      {"[S]\nk=1\n", {"set", "FILE", "S", "k", "2", "--dry-run"},
       "--- FILE\n+++ FILE\n@@ -1,2 +1,2 @@\n [S]\n-k=1\n+k=2\n", "", 0,
       "[S]\nk=1\n"},
      {"[A] ; c\nk=1\n[a]\nj=2\n", {"rename-section", "FILE", "A", "B"}, "",
       "", 0, "[B] ; c\nk=1\n[B]\nj=2\n"},
      {"[A]\n[B]\n", {"rename-section", "FILE", "A", "b"}, "",
       "section name \"b\" of FILE names a section there already", 3,
       "[A]\n[B]\n"},
      {"[A]\nk=1\n", {"rename-section", "FILE", "a", "B", "--inplace"}, "",
       "", 0, "[B]\nk=1\n"},
      {"[L]\nHosts = a| b\n", {"set", "FILE", "L", "Hosts", "c", "--list",
       "--list-sep", "|"}, "", "", 0, "[L]\nHosts = a| b| c\n"},
      {"[L]\nHosts = a| b\n", {"del", "FILE", "L", "Hosts", "a", "--list",
       "--list-sep=|"}, "", "", 0, "[L]\nHosts = b\n"},
      {"[S]\nk=1\n", {"set", "FILE", "S", "k", "2", "--dry-run",
       "--output=-"}, "", "--dry-run and --output=- exclude each other", 2,
       "[S]\nk=1\n"},
      {"[S]\nk = 1 ; c\n", {"set", "FILE", "S", "k", " 2 ; d", "--raw"}, "",
       "", 0, "[S]\nk = 2 ; d\n"},
      // Quotes: read as the text inside, written where the value needs them.
      {"[S]\nk = \"a ; b\" ; c\n", {"get", "FILE", "S", "k"}, "a ; b\n", "",
       0, "[S]\nk = \"a ; b\" ; c\n"},
      {"[S]\nk = \"a ; b\" ; c\n", {"get", "FILE", "S", "k", "--no-quotes"},
       "\"a\n", "", 0, "[S]\nk = \"a ; b\" ; c\n"},
      {"[S]\nk = 1 ; c\n", {"set", "FILE", "S", "k", "C:\\x ; \"y\""}, "", "",
       0, "[S]\nk = \"C:\\x ; \\\"y\\\"\" ; c\n"},
      {"[S]\nk = 1 ; c\n", {"set", "FILE", "S", "k", "a ; b", "--no-quotes"},
       "", "value \"a ; b\" of key \"k\" in [S] of FILE holds ';' after a "
       "blank", 3, "[S]\nk = 1 ; c\n"},
      {"[S]\nk = 1 ; c\n", {"set", "FILE", "S", "k", "--raw", "--",
       " \"x ; y\" ; d"}, "", "", 0, "[S]\nk = \"x ; y\" ; d\n"},
      {"[L]\nHosts = a\n", {"set", "FILE", "L", "Hosts", "b, c", "--list"},
       "", "", 0, "[L]\nHosts = a, \"b, c\"\n"},
      {"[S]\nk=100\n", {"set", "FILE", "S", "k", "2", "--inplace"}, "", "", 0,
       "[S]\nk=2\n"},
      {"[a]\nk=1\n[broken\nK=2\n[A]\n", {"check", "FILE"},
       "FILE:3: unrecognised text in [a]: neither blank, comment, key "
       "(nothing before its first '=') nor section header; every read skips "
       "it\nFILE:4: key \"K\" occurs again in [a] (first on line 2): only "
       "the first is read\nFILE:5: section [a] repeats the header on line 1: "
       "the lines below join that section\n",
       "FILE: 3 problems", 1, "[a]\nk=1\n[broken\nK=2\n[A]\n"},
      {"[a]\nk=1\n", {"check", "FILE"}, "", "", 0, "[a]\nk=1\n"},
      {"[db]\nport = 3306   # default port\n", {"get", "FILE", "db", "port",
       "--inline-comments", ";#", "--type", "int"}, "3306\n", "", 0,
       "[db]\nport = 3306   # default port\n"},
      {"[db]\nport = 3306   # default port\n", {"set", "FILE", "db", "port",
       "3307", "--inline-comments=;#"}, "", "", 0,
       "[db]\nport = 3307   # default port\n"},
      {"[S]\nk=1\nK=2\n", {"get", "FILE", "S", "k", "--last"}, "2\n", "", 0,
       "[S]\nk=1\nK=2\n"},
      {"[S]\nk=1\nK=2\n", {"set", "FILE", "S", "k", "3", "--last"}, "", "", 0,
       "[S]\nk=1\nK=3\n"},
      {"[S]\nk = a ; c\nK=b\n", {"get", "FILE", "S", "k", "--all"}, "a\nb\n",
       "", 0, "[S]\nk = a ; c\nK=b\n"},
      {"[DEFAULT]\nd=1\n[S]\nk=2\n", {"get", "FILE", "S", "d"}, "1\n", "", 0,
       "[DEFAULT]\nd=1\n[S]\nk=2\n"},
      // Listings give a section's own keys, as crudini lists them.
      {"[DEFAULT]\nd=1\n[S]\nk=2\n", {"section", "FILE", "S"}, "k=2\n", "",
       0, "[DEFAULT]\nd=1\n[S]\nk=2\n"},
      {"[DEFAULT]\nd=1\n[S]\nk=2\n", {"get", "FILE", "DEFAULT", "d"}, "1\n",
       "", 0, "[DEFAULT]\nd=1\n[S]\nk=2\n"},
      {"[DEFAULT]\nd=1\n[S]\nk=2\n", {"set", "FILE", "S", "d", "1"}, "", "",
       0, "[DEFAULT]\nd=1\n[S]\nk=2\nd=1\n"},
      {"[DEFAULT]\nd=1\n[S]\nk=2\n", {"get", "FILE", "S", "d",
       "--default-section="}, "", "FILE: key not found: [S] d", 1,
       "[DEFAULT]\nd=1\n[S]\nk=2\n"},
      {"[S]\nk=1\n", {"merge", "FILE"}, "",
       "FILE: line 2 of the standard input is neither blank", 3, "[S]\nk=1\n",
       "[T]\r\n[broken\r\nk=2\r\n"},
      {"[S]\nk=1\n", {"set", "FILE", "S", "k", "-"}, "",
       "FILE: VALUE \"-\" found no line on the standard input", 3,
       "[S]\nk=1\n"},
      // Comment blocks: read above a header or a key line, set with a value.
      {kApp, {"comment", "FILE", "net"}, "app\n", "", 0, kApp},
      {kApp, {"comment", "FILE", "Log"}, "", "", 0, kApp},  // a blank between
      {"[S]\n# a\n#\n  ;  b\nk=1\n", {"comment", "FILE", "S", "K"},
       "a\n\n b\n", "", 0, "[S]\n# a\n#\n  ;  b\nk=1\n"},
      {kApp, {"comment", "FILE", "Net", "Host"}, "", "", 0, kApp},
      {kApp, {"comment", "FILE", "Net", "Nope"}, "",
       "FILE: key not found: [Net] Nope", 1, kApp},
      {kApp, {"comment", "FILE", "Nope"}, "",
       "FILE: section not found: [Nope]", 1, kApp},
      {kApp, {"comment", "FILE", ""}, "", "the unnamed section has no header",
       2, kApp},
      {"[S]\r\nk=1\r\n", {"set", "FILE", "S", "k", "2", "--comment", "c"},
       "", "", 0, "[S]\r\n; c\r\nk=2\r\n"},
      {"# x\n[S]\n", {"set", "FILE", "S", "k", "v", "--comment=a\nb"}, "", "",
       0, "# x\n[S]\n# a\n# b\nk=v\n"},
      {"[S]\n; c\nk=1\n", {"set", "FILE", "S", "k", "1", "--comment", "c",
       "--verbose"}, "", "unchanged: set FILE [S] k", 0, "[S]\n; c\nk=1\n"},
      {"[S]\n; c\nk=1\n", {"set", "FILE", "S", "k", "1", "--comment", ""},
       "", "", 0, "[S]\nk=1\n"},
      {"[S]\nk=1\n", {"set", "FILE", "S", "k", "2", "--comment", "a\rb"}, "",
       "FILE: vty::config::ini: comment of key \"k\" in [S] of FILE holds a "
       "carriage return", 3, "[S]\nk=1\n"},
      {"[ a ]\n\xEF\xBB\xBFk=1\n", {"check", "FILE"},
       "FILE:2: key \"\xEF\xBB\xBFk\" holds a byte-order mark: a name typed "
       "without it does not find it\n",
       "FILE: 1 problem", 1, "[ a ]\n\xEF\xBB\xBFk=1\n"},
      // clang-format on
  };
  const auto named = [&](std::string text) {
    for (std::size_t at; (at = text.find("FILE")) != std::string::npos;) {
      text.replace(at, 4, file_);
    }
    return text;
  };
  for (const auto& row : rows) {
    const std::string context = ::testing::PrintToString(row.args);
    fs::remove(file_), fs::remove(Path("link"));
    WriteAll(file_, row.before);
    fs::create_hard_link(file_, Path("link"));
    const Result result = Run(row.args, row.in);
    EXPECT_EQ(result.code, row.code) << context << result.err;
    EXPECT_EQ(result.out, named(row.out)) << context;
    EXPECT_NE(result.err.find(named(row.err)), std::string::npos)
        << context << result.err;
    EXPECT_EQ(result.err.empty(), row.err.empty()) << context << result.err;
    EXPECT_EQ(ReadAll(file_), row.after) << context;
    const bool inPlace = row.args.back() == "--inplace";
    if (row.before == row.after || inPlace) {  // the same inode
      EXPECT_EQ(ReadAll(Path("link")), row.after) << context;
    }
  }
}

// --layer PATH (lowest first, FILE on top), --env and --show-origin on the
// reading commands; the editing commands refuse them. "@V" stands for the
// vendor's file, "@D" for its drop-in directory.
TEST_F(ToolTest, ReadsThroughLayers) {
  const std::string vendor = Path("vendor.conf"), dropIns = Path("vendor.d");
  WriteAll(vendor, "[Net]\nPort = 80\nHost = v\n");
  fs::create_directory(dropIns);
  WriteAll(dropIns + "/10-x.conf", "[Net]\nHost = d\n");
  constexpr char kAdmin[] = "; admin\n[Net]\nPort = 8080\n";
  const auto named = [&](std::string text) {
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{"@V", vendor},
          {"@D", dropIns},
          {"FILE", file_}}) {
      for (std::size_t at; (at = text.find(from)) != std::string::npos;) {
        text.replace(at, from.size(), to);
      }
    }
    return text;
  };
  const std::vector<std::string> layers{"--layer", "@V", "--layer=@D"};
  const struct {
    std::vector<std::string> args;
    std::string environment, out, err = "";
    int code = 0;
  } rows[] = {
      // clang-format off
      {{"get", "FILE", "Net", "Port"}, "", "8080\n"},
      {{"get", "FILE", "Net", "Host"}, "", "d\n"},
      {{"get", "FILE", "Net", "Host", "--layer", "@D", "--layer", "@V"}, "",
       "v\n"},  // lowest first
      {{"get", "FILE", "Net", "Host", "--show-origin"}, "",
       "@D/10-x.conf:2\td\n"},
      {{"get", "FILE", "Net", "Port", "--show-origin"}, "", "FILE:3\t8080\n"},
      {{"get", "FILE", "Net", "Gone", "--show-origin", "--default=x"}, "",
       "\tx\n"},
      {{"get", "FILE", "net", "port", "--env", "APP", "--show-origin"},
       "APP__NET__PORT=7", "env:APP__NET__PORT\t7\n"},
      {{"get", "FILE", "Net", "Port", "--env=APP"}, "app__net__port=9", "9\n"},
      {{"dump", "FILE", "--show-origin"}, "",
       "FILE:3\tNet\tPort\t8080\n@D/10-x.conf:2\tNet\tHost\td\n"},
      {{"dump", "FILE", "--env", "APP"}, "APP__NET__HOST=e",
       "Net\tPort\t8080\nNet\tHost\te\n"},
      {{"cat", "FILE"}, "",
       "# @V\n[Net]\nPort = 80\nHost = v\n\n# @D/10-x.conf\n[Net]\nHost = d\n"
       "\n# FILE\n; admin\n[Net]\nPort = 8080\n"},
      {{"set", "FILE", "Net", "Port", "1"}, "", "",
       "set writes", 2},
      {{"del", "FILE", "Net", "Port", "--env=APP"}, "", "",
       "del writes", 2},
      {{"get", "@D", "Net", "Host"}, "", "", "is a drop-in directory", 3},
      // clang-format on
  };
  for (const auto& row : rows) {
    std::vector<std::string> args;
    for (const std::string& arg : row.args) args.push_back(named(arg));
    if (row.args.size() < 5 || row.args[4] != "--layer") {
      for (const std::string& arg : layers) args.push_back(named(arg));
    }
    const std::string context = ::testing::PrintToString(args);
    WriteAll(file_, kAdmin);
    prefix_ = row.environment.empty() ? "" : row.environment + " ";
    const Result result = Run(args);
    EXPECT_EQ(result.code, row.code) << context << result.err;
    EXPECT_EQ(result.out, named(row.out)) << context;
    EXPECT_NE(result.err.find(named(row.err)), std::string::npos)
        << context << result.err;
    EXPECT_EQ(ReadAll(file_), kAdmin) << context;
  }
}

// `get --format=sh`, evaluated by sh, gives the variables crudini's gives,
// on every file of the project that crudini parses and `check` passes (the
// two differ by design on repeated headers and on keys differing in case).
TEST_F(ToolTest, ShellOutputMatchesCrudini) {
  if (std::system("command -v crudini >/dev/null") != 0) {
    GTEST_SKIP() << "crudini is not installed (Debian package crudini)";
  }
  // The variables an output sets, one NAME=VALUE per line as sh prints them.
  const auto variables = [&](const std::string& output) {
    WriteAll(Path("vars.sh"), output);
    const std::string command =
        "env -i sh -c '. \"$0\"; set | grep -v ^PPID=' " +
        Quote(Path("vars.sh")) + " > " + Quote(Path("vars.out"));
    EXPECT_EQ(std::system(command.c_str()), 0);
    return ReadAll(Path("vars.out"));
  };
  int compared = 0;
  for (const auto& entry :
       fs::recursive_directory_iterator(VTY_CONFIG_SOURCE_DIR)) {
    const std::string file = entry.path().string();
    if (entry.path().extension() != ".ini" ||
        file.find("/build") != std::string::npos) {
      continue;
    }
    file_ = file;
    if (Run({"check", "FILE"}).code != 0) continue;
    const Result names = Run({"sections", "FILE"});
    for (std::size_t start = 0; start < names.out.size();) {
      const std::size_t end = names.out.find('\n', start);
      const std::string section = names.out.substr(start, end - start);
      start = end + 1;
      const std::string crudini = "crudini --get --format=sh " + Quote(file) +
                                  " " + Quote(section) + " 2>/dev/null";
      int code = 0;
      const std::string theirs = Capture(crudini, code);
      if (code != 0) continue;  // a file crudini does not parse
      const Result ours = Run({"get", "FILE", section, "--format=sh"});
      ASSERT_EQ(ours.code, 0) << file << " [" << section << "] " << ours.err;
      EXPECT_EQ(variables(ours.out), variables(theirs))
          << file << " [" << section << "]";
      ++compared;
    }
  }
  EXPECT_GT(compared, 0);
}

// A single file bind-mounted over another cannot be replaced by a rename:
// a save rewrites it in place instead, as --inplace does.
TEST_F(ToolTest, InPlaceEditsABindMountedFile) {
  WriteAll(Path("source.ini"), "[S]\nk=1\n");
  WriteAll(file_, "");
  const std::string mount =
      "mount --bind " + Quote(Path("source.ini")) + " " + Quote(file_);
  if (geteuid() != 0 || std::system((mount + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "needs root and a kernel that lets it bind-mount a file";
  }
  struct Unmount {
    std::string path;
    ~Unmount() { std::system(("umount " + Quote(path)).c_str()); }
  } unmount{file_};
  const Result renamed = Run({"set", "FILE", "S", "k", "2"});  // EBUSY:
  EXPECT_EQ(renamed.code, 0) << renamed.err;  // rewritten in place instead
  EXPECT_EQ(ReadAll(Path("source.ini")), "[S]\nk=2\n");
  const Result inPlace = Run({"set", "FILE", "S", "k", "22", "--inplace"});
  EXPECT_EQ(inPlace.code, 0) << inPlace.err;
  EXPECT_EQ(ReadAll(Path("source.ini")), "[S]\nk=22\n");
}

// An in-place rewrite takes the lock the library's saves take, so a save
// of another process is never lost under it: held elsewhere, the tool waits
// out its bound, leaves the file and says so.
TEST_F(ToolTest, InPlaceTakesTheLibrarysLock) {
  WriteAll(file_, "[S]\nk=1\n");
  const detail::ProcessLock other(file_);
  const Result result = Run({"set", "FILE", "S", "k", "2", "--inplace"});
  EXPECT_EQ(result.code, 3) << result.err;
  EXPECT_NE(result.err.find("; the file is as it was\n"), std::string::npos)
      << result.err;
  EXPECT_EQ(ReadAll(file_), "[S]\nk=1\n");
}

// Where the file system has no locks, the library saves as if alone, and
// so does --inplace: the same inode, every other byte kept.
TEST_F(ToolTest, InPlaceGoesOnWhereTheFileSystemHasNoLocks) {
#ifdef VTY_CONFIG_SANITIZED
  GTEST_SKIP() << "a preloaded library cannot come before the sanitizer's "
                  "runtime";
#endif
  WriteAll(file_, "; keep\n[S]\n  k = 1 ; c\n");
  const ino_t inode = Inode(file_);
  prefix_ = "LD_PRELOAD=" + Quote(VTY_CONFIG_NO_LOCKS) + " ";
  const Result result = Run({"set", "FILE", "S", "k", "2", "--inplace"});
  EXPECT_EQ(result.code, 0) << result.err;
  EXPECT_EQ(ReadAll(file_), "; keep\n[S]\n  k = 2 ; c\n");
  EXPECT_EQ(Inode(file_), inode);
}

// Bash completion offers the names of FILE's sections and keys, each one
// word for the shell however it is spelled.
TEST_F(ToolTest, CompletionQuotesNamesWithBlanks) {
  if (std::system("command -v bash >/dev/null") != 0) {
    GTEST_SKIP() << "bash is not installed";
  }
  WriteAll(file_, "[my sec]\nkey one = 1\n[Net]\nHost=h\n");
  const auto complete = [&](const std::string& words) {
    const std::string script =
        "PATH=" + fs::path(VTY_INI_TOOL).parent_path().string() + ":$PATH; . " +
        VTY_CONFIG_SOURCE_DIR +
        "/tools/completion/vty-ini.bash; COMP_WORDS=(vty-ini " + words +
        "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _vty_ini; "
        "printf '%s\\n' \"${COMPREPLY[@]}\"";
    int code = 0;
    return Capture("bash -c " + Quote(script), code);
  };
  const std::string file = Quote(file_);
  EXPECT_EQ(complete("get " + file + " my"), "my\\ sec\n");
  EXPECT_EQ(complete("get " + file + " 'my\\ sec' k"), "key\\ one\n");
  EXPECT_EQ(complete("get " + file + " \"'my sec'\" ''"), "key\\ one\n");
  // An option's value is no operand: FILE is still the file.
  EXPECT_EQ(complete("get --layer /dev/null --env APP " + file + " N"),
            "Net\n");
}

TEST_F(ToolTest, HelpAndVersion) {
  const std::string help = Run({"--help"}).out;
  for (const char* name :
       {"get", "set", "merge", "del", "del-section", "sections", "section",
        "dump", "rename-section", "comment", "check", "--raw", "--existing",
        "--verbose", "--dry-run", "--inplace"}) {
    EXPECT_NE(help.find(std::string("\n  ") + name + " "), help.npos) << name;
  }
  EXPECT_NE(help.find("(\"\") names the unnamed section"), help.npos);
  EXPECT_NE(help.find("  --type TYPE, --type=TYPE "), help.npos);
  EXPECT_EQ(Run({"get", "--help"}).out, help);
  EXPECT_EQ(Run({"--version"}).out,
            "vty-ini (Vantry.Config) " VTY_CONFIG_VERSION "\n");
  EXPECT_EQ(std::string(VTY_CONFIG_VERSION).rfind("1.2.", 0), 0u);
}

// What `--help` and the manual page name must be the same: every option
// anywhere in them, and each command's options on its usage lines ("  set
// FILE ..." in the help, `.BI "set " ...` in the page).
TEST_F(ToolTest, HelpAndManualPageNameTheSameCommandsAndOptions) {
  using Names = std::set<std::string>;
  const auto names = [](const std::string& text, const std::regex& line) {
    Names all, pairs;
    const std::regex option("--[a-z][a-z-]*");
    for (std::sregex_iterator it(text.begin(), text.end(), option), end;
         it != end; ++it) {
      all.insert(it->str());
    }
    for (std::sregex_iterator it(text.begin(), text.end(), line), end;
         it != end; ++it) {
      const std::string usage = it->str(), command = (*it)[1];
      pairs.insert(command);
      for (std::sregex_iterator at(usage.begin(), usage.end(), option);
           at != end; ++at) {
        pairs.insert(command + " " + at->str());
      }
    }
    return std::pair{all, pairs};
  };
  std::string page = ReadAll(VTY_CONFIG_SOURCE_DIR "/docs/vty-ini.1");
  for (std::size_t at; (at = page.find("\\-")) != std::string::npos;) {
    page.erase(at, 1);  // roff's minus sign
  }
  const auto help =
      names(Run({"--help"}).out, std::regex("\n  ([a-z][a-z-]*) FILE[^\n]*"));
  const auto manual =
      names(page, std::regex("\n\\.BI \"([a-z][a-z-]*) [^\n]*"));
  EXPECT_EQ(help.first, manual.first);
  EXPECT_EQ(help.second, manual.second);
  EXPECT_EQ(help.second.count("rename-section"), 1u);
}

}  // namespace
}  // namespace vty::config::ini::testing
