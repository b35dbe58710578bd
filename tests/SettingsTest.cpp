// The handle: values as a person means them, edits that keep the line a
// person wrote, refusals that change nothing, sections and keys in file
// order, what Inspect tells, and one document shared with the free
// functions.

#include <filesystem>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "config/Settings.h"

namespace vty::config::ini {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ReadAll;
using testing::Replace;
using testing::WriteAll;
using Items = std::vector<std::string>;

const Syntax kRaw = testing::Rules(false, "", ',', false);
const Syntax kUntrimmed =
    testing::Rules(false, ";", ',');  // comments, blanks kept

class SettingsTest : public testing::TempDirTest {};

TEST_F(SettingsTest, ReadsValuesAsMeantAndRawAsReadString) {
  static const struct {
    const char* line;
    const char* meant;  // under the default syntax
  } kCases[] = {
      {"k = 8080   ; the port", "8080"},
      {"k=\t8080\t", "8080"},
      {"k = http://a;b", "http://a;b"},
      {"k = #fff", "#fff"},
      {"k=;x", ";x"},
      {"k = ; only a comment", ""},
      {"k=", ""},
      {"k =   ", ""},
      {"k = a = b", "a = b"},
  };
  for (const auto& c : kCases) {
    const std::string path = Path(std::to_string(&c - kCases) + ".ini");
    WriteAll(path, std::string("[s]\n") + c.line + "\n");
    EXPECT_EQ(Settings(path).Get("S", "K", "-"), c.meant) << c.line;
    EXPECT_EQ(Settings(path, kRaw).Get("s", "k", "-"),
              ReadString("s", "k", "+", path))
        << c.line;
  }
  const Settings lists = Settings::FromText(
      "a = x , y,,z ; note\nb =\nc = 1, 2,x\nd = 1 , 0x10\ne = , \n");
  EXPECT_EQ(lists.Get<Items>(std::nullopt, "a", {}),
            (Items{"x", "y", "", "z"}));
  EXPECT_EQ(lists.Get<Items>(std::nullopt, "b", {"-"}), Items{});
  EXPECT_EQ(lists.Get<std::vector<int>>(std::nullopt, "c", {7}),
            std::vector<int>{7});  // "x" is no int
  EXPECT_EQ(lists.Get<std::vector<int>>(std::nullopt, "d", {}),
            (std::vector<int>{1, 16}));
  EXPECT_EQ(lists.Get<Items>(std::nullopt, "e", {}), (Items{"", ""}));
  EXPECT_EQ(lists.Get<int>(std::nullopt, "missing", 5), 5);
}

TEST_F(SettingsTest, EditsKeepTheLineAPersonWrote) {
  static const struct {
    const char* before;
    const char* section;  // nullptr: the unnamed section
    const char* key;
    const char* value;
    const char* after;
  } kCases[] = {
      {"[Net]\n  Port = 8080   ; the port\n", "Net", "Port", "9090",
       "[Net]\n  Port = 9090   ; the port\n"},
      {"[Net]\n\tPort\t=\t8080\t;\tx\n", "NET", "port", "1",
       "[Net]\n\tPort\t=\t1\t;\tx\n"},
      {"[n]\nc = 1 # '#' is no marker\n", "n", "c", "2", "[n]\nc = 2\n"},
      {"[n]\nk =   ; empty\n", "n", "k", "v", "[n]\nk = v  ; empty\n"},
      {"[n]\nk = 1 ; c\n", "n", "k", "", "[n]\nk =  ; c\n"},
      {"[A]\na=1\n\n# about B\n[B]\nb=1\n", "A", "x", "2",
       "[A]\na=1\nx=2\n\n# about B\n[B]\nb=1\n"},
      {"[A]\n# about B\n[B]\n", "A", "x", "1", "[A]\nx=1\n# about B\n[B]\n"},
      {"[A]\na=1\n[B]\nb=2\n[a]\n; c\n", "A", "x", "1",
       "[A]\na=1\nx=1\n[B]\nb=2\n[a]\n; c\n"},
      {"a=1\n", "S", "k", "v", "a=1\n\n[S]\nk=v\n"},
      {"a=1\n\n", "S", "k", "v", "a=1\n\n[S]\nk=v\n"},
      {"", "S", "k", "v", "[S]\nk=v\n"},
      {"# top\n[A]\n", nullptr, "k", ";v", "k=;v\n# top\n[A]\n"},
      // A new key is spelled as the key line it follows, or the file's first.
      {"[A]\n  k\t=  v\n", "A", "n", "1", "[A]\n  k\t=  v\nn\t=  1\n"},
      {"[A]\nKey = v\n[B]\n", "B", "n", "1", "[A]\nKey = v\n[B]\nn = 1\n"},
      // Quoted only where the bare value would read otherwise.
      {"[s]\nMotd = hi   ; greeting\n", "s", "Motd", "hello ; world",
       "[s]\nMotd = \"hello ; world\"   ; greeting\n"},
      {"[s]\nPath = x\n", "s", "Path", "C:\\dir with space",
       "[s]\nPath = C:\\dir with space\n"},
      {"[s]\nk = \"a ; b\" ; c\n", "s", "k", "d", "[s]\nk = d ; c\n"},
  };
  for (const auto& c : kCases) {
    const SectionName section =
        c.section ? SectionName(c.section) : std::nullopt;
    Settings text = Settings::FromText(c.before);
    text.Set(section, c.key, c.value);
    EXPECT_EQ(text.Text(), c.after) << c.before;
    EXPECT_EQ(text.Get(section, c.key, "-"), c.value) << c.before;
    const std::string path = Path(std::to_string(&c - kCases) + ".ini");
    WriteAll(path, c.before);
    Settings(path).Set(section, c.key, c.value);
    EXPECT_EQ(ReadAll(path), c.after) << c.before;
  }
  // A flag keeps its words and letter case.
  for (const auto& [before, after] :
       std::vector<std::pair<std::string, std::string>>{{"yes", "no"},
                                                        {"On", "Off"},
                                                        {"1", "0"},
                                                        {"TRUE", "FALSE"},
                                                        {"x", "false"}}) {
    Settings flags = Settings::FromText("TLS = " + before + " ; c\n");
    flags.Set(std::nullopt, "TLS", false);
    EXPECT_EQ(flags.Text(), "TLS = " + after + " ; c\n") << before;
  }
  Settings typed = Settings::FromText("[s]\nl = x ; c\n");
  typed.Set("s", "l", std::vector<int>{1, 2, 3});
  typed.Set("s", "e", std::vector<std::string>{"a", "", "b"});
  typed.Set("s", "f", 0.1);
  typed.Set("s", "v", std::string_view("view"));
  EXPECT_EQ(typed.Get("s", "missing", std::string_view("view")), "view");
  EXPECT_EQ(typed.Text(),
            "[s]\nl = 1, 2, 3 ; c\ne = a,, b\nf = 0.1\nv = view\n");
  Settings quoted = Settings::FromText("[s]\nPeers = x   ; c\n");
  quoted.Set("s", "Peers", Items{"a, b", " c", "d"});
  EXPECT_EQ(quoted.Text(), "[s]\nPeers = \"a, b\", \" c\", d   ; c\n");
}

// Every list reads back as written or is refused: never as another list.
TEST_F(SettingsTest, ListsReadBackAsWrittenOrAreRefused) {
  const Items kLists[] = {{},        {""},       {"", ""},       {"a", ""},
                          {"", "a"}, {"a", "b"}, {"a", "", "b"}, {"", "", ""}};
  for (const Syntax& syntax :
       {testing::Rules(true, ";", ','), testing::Rules(false, ";", ','),
        testing::Rules(true, ";", ' '), testing::Rules(false, ";", ' '),
        testing::Rules(false, "", '\t')}) {
    for (const Items& items : kLists) {
      Settings settings = Settings::FromText("", syntax);
      try {
        settings.Set("s", "k", items);
      } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("key \"k\""),
                  std::string::npos)
            << error.what();
        continue;
      }
      EXPECT_EQ(settings.Get<Items>("s", "k", {"-"}), items)
          << '\'' << syntax.listSeparator << "' trims " << syntax.trimValues
          << ": " << settings.Text();
    }
  }
}

// A braced list is a list, even of one item: never the text of its first.
TEST_F(SettingsTest, BracedListsAreLists) {
  Settings settings = Settings::FromText("[s]\nk = old\n");
  settings.Set("s", "k", {"a", "b"});
  EXPECT_EQ(settings.Text(), "[s]\nk = a, b\n");
  settings.Set("s", "k", {"only"});
  EXPECT_EQ(settings.Get<Items>("s", "k", {}), Items{"only"});
  settings.Set("s", "n", {8080, 8081});
  EXPECT_EQ(settings.Get<std::vector<int>>("s", "n", {}),
            (std::vector<int>{8080, 8081}));
  settings.Set("s", "f", {true, false});
  EXPECT_EQ(settings.Get("s", "f", std::string()), "true, false");
}

TEST_F(SettingsTest, RefusalsNameTheRuleAndChangeNothing) {
  const std::string path = Path("app.ini");
  const std::string before = "[Net]\nPort = 8080 ; p\n";
  WriteAll(path, before);
  // Without quotes: with them, most of these values are quoted instead.
  Settings settings(path, testing::Rules(true, ";", ',', false));
  const auto refusal = [&](auto set) {
    try {
      set();
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(ReadAll(path), before) << error.what();
      EXPECT_EQ(settings.Text(), before) << error.what();
      return std::string(error.what());
    }
    return std::string("no refusal");
  };
  EXPECT_EQ(
      refusal([&] { settings.Set("Net", "Po=rt", "1"); }),
      "vty::config::ini: key \"Po=rt\" in [Net] of " + path + " holds '='");
  EXPECT_EQ(refusal([&] { settings.Set("Net", "Port", "a ;b"); }),
            "vty::config::ini: value \"a ;b\" of key \"Port\" in [Net] of " +
                path +
                " holds ';' after a blank, which this handle's syntax reads "
                "as an inline comment");
  const std::regex rule(
      "vty::config::ini: .* of " + path +
      " (begins or ends|holds a line|has an item|is a list|is empty).*");
  for (const auto& set : std::vector<std::function<void()>>{
           [&] { settings.Set("Net", "Port", " x"); },
           [&] { settings.Set("Net", "Port", "a\nb"); },
           [&] { Settings(path).Set("Net", "Port", "a\r\"b\""); },
           [&] { settings.Set("Net", "Port", Items{"a,b"}); },
           [&] { settings.Set("Net", "Port", Items{""}); },
           [&] { settings.Set("", "k", "v"); },
           [&] { WriteString("Net", " k", "v", path); }}) {
    const std::string message = refusal(set);
    EXPECT_TRUE(std::regex_match(message, rule)) << message;
  }
}

TEST_F(SettingsTest, ListsSectionsAndKeysInFileOrder) {
  const Settings settings = Settings::FromText(
      "a=1\n[Net]\nHost = h ; c\nport=1\nHOST=dup\n[Log]\nx=1\n[NET]\n"
      "host=2\nTimeout = 3\n[Empty]\n");
  EXPECT_EQ(settings.Sections(),
            (std::vector<SectionName>{std::nullopt, "Net", "Log", "Empty"}));
  EXPECT_EQ(settings.Keys("net"), (Items{"Host", "port", "Timeout"}));
  EXPECT_EQ(settings.Pairs("net"),
            (std::vector<std::pair<std::string, std::string>>{
                {"Host", "h"}, {"port", "1"}, {"Timeout", "3"}}));
  EXPECT_TRUE(settings.HasSection("EMPTY"));
  EXPECT_TRUE(settings.HasSection(std::nullopt));
  EXPECT_FALSE(settings.HasSection("Missing"));
  EXPECT_TRUE(settings.HasKey("NET", "timeout"));
  EXPECT_TRUE(settings.Keys("Missing").empty());
  const Settings headed = Settings::FromText("; c\n[A]\n");
  EXPECT_EQ(headed.Sections(), std::vector<SectionName>{"A"});
  EXPECT_FALSE(headed.HasSection(std::nullopt));
}

// A repeated key read as the free functions (the first) or as configparser,
// crudini and git (the last) read it, and [DEFAULT] as configparser reads it.
TEST_F(SettingsTest, RepeatedKeysAndTheDefaultSection) {
  const char* text =
      "[DEFAULT]\nPort = 80\nHost = d\n[Net]\nx = 1\nX = 2\nHost = h\n";
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  Syntax last;
  last.duplicates = Syntax::Duplicates::Last;
  Syntax defaults;
  defaults.defaultSection = "DEFAULT";
  const struct {
    const char* name;
    Syntax syntax;
    const char* x;
    Pairs pairs;
    const char* port;  // Get("Net", "Port", "-")
    std::size_t portLine;
  } kCases[] = {
      {"first", {}, "1", {{"x", "1"}, {"Host", "h"}}, "-", 0},
      {"last", last, "2", {{"x", "2"}, {"Host", "h"}}, "-", 0},
      {"defaults",
       defaults,
       "1",
       {{"x", "1"}, {"Host", "h"}, {"Port", "80"}},
       "80",
       2},
  };
  for (const auto& c : kCases) {
    const Settings settings = Settings::FromText(text, c.syntax);
    EXPECT_EQ(settings.Get("Net", "x", "-"), c.x) << c.name;
    EXPECT_EQ(settings.GetAll("Net", "X"), (Items{"1", "2"})) << c.name;
    EXPECT_EQ(settings.Pairs("Net"), c.pairs) << c.name;
    EXPECT_EQ(settings.Get("Net", "Port", "-"), c.port) << c.name;
    EXPECT_EQ(settings.Inspect("Net", "Port").line, c.portLine) << c.name;
    EXPECT_EQ(settings.HasKey("Net", "Port"), c.portLine != 0) << c.name;
    EXPECT_TRUE(settings.Pairs("Missing").empty()) << c.name;
  }
  // Set edits the line Get reads, and a default is overridden in the
  // section itself.
  Settings settings = Settings::FromText(text, last);
  settings.Set("Net", "x", 3);
  Settings overriding = Settings::FromText(text, defaults);
  overriding.Set("Net", "Port", 81);
  EXPECT_EQ(settings.Text(),
            "[DEFAULT]\nPort = 80\nHost = d\n[Net]\nx = 1\nX = 3\nHost = h\n");
  EXPECT_EQ(overriding.Text(), std::string(text) + "Port = 81\n");
  EXPECT_EQ(overriding.Get("DEFAULT", "Port", "-"), "80");
}

TEST_F(SettingsTest, InspectTellsMissingFromInvalidWithTheLine) {
  const Settings settings = Settings::FromText(
      "; c\r\n[Net]\r\nPort = 80800000000\r\nHost = h ; c\r\n");
  const Lookup port = settings.Inspect<int>("Net", "Port");
  EXPECT_EQ(port.state, Lookup::State::Invalid);
  EXPECT_EQ(port.text, "80800000000");
  EXPECT_EQ(port.line, 3u);
  EXPECT_EQ(settings.Inspect<long long>("Net", "Port").state,
            Lookup::State::Present);
  const Lookup host = settings.Inspect("net", "HOST");
  EXPECT_EQ(host.state, Lookup::State::Present);
  EXPECT_EQ(host.text, "h");
  EXPECT_EQ(host.line, 4u);
  const Lookup missing = settings.Inspect<int>("Net", "Missing");
  EXPECT_EQ(missing.state, Lookup::State::Missing);
  EXPECT_EQ(missing.text, "");
  EXPECT_EQ(missing.line, 0u);
  EXPECT_EQ(settings.Get<int>("Net", "Port", 80), 80);
  EXPECT_EQ(settings.Find<int>("Net", "Port"), std::nullopt);
  EXPECT_EQ(settings.Find<std::string>("Net", "Host"), "h");
}

TEST_F(SettingsTest, FromTextGivesEveryTestFileBackByteForByte) {
  int files = 0;
  std::set<std::string> kinds;  // of line endings the files hold
  for (const char* dir : {VTY_CONFIG_TEST_DATA, VTY_CONFIG_LOAD_CORPUS}) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string bytes = ReadAll(entry.path());  // binary: CRs kept
      EXPECT_EQ(Settings::FromText(bytes, kRaw).Text(), bytes) << entry.path();
      if (bytes.find("\r\n") != std::string::npos) kinds.insert("CR LF");
      if (std::regex_search(bytes, std::regex("\r([^\n]|$)"))) {
        kinds.insert("lone CR");
      }
      if (!bytes.empty() && bytes.back() != '\n' && bytes.back() != '\r') {
        kinds.insert("no final ending");
      }
      ++files;
    }
  }
  EXPECT_GE(files, 8);
  EXPECT_EQ(kinds.size(), 3u) << ::testing::PrintToString(kinds);
  Settings text = Settings::FromText("a=1\n");
  EXPECT_THROW(text.Flush(), std::logic_error);
  EXPECT_THROW(text.Reload(), std::logic_error);
}

// Each row, written in LF, runs in CR LF and in lone CRs, with and without
// the last one, in memory and on disk.
TEST_F(SettingsTest, EditsKeepEveryLineEnding) {
  const std::string kNet = "[Net]\nPort = 1\nHost=a\n";
  const struct {
    const char *section, *key, *value;  // no value: erase
    std::string after;
  } rows[] = {{"Net", "Host", "b", "[Net]\nPort = 1\nHost=b\n"},
              {"Net", "Port", nullptr, "[Net]\nHost=a\n"},
              {"Net", "New", "x", kNet + "New=x\n"},
              {"Log", "Level", "x", kNet + "\n[Log]\nLevel = x\n"}};
  int file = 0;
  for (const auto& row : rows) {
    for (const std::string ending : {"\r\n", "\r", "\r\n", "\r"}) {
      const bool cut = file++ % 4 >= 2;  // the last ending
      const auto in = [&](const std::string& lf) {
        const std::string text = Replace(lf, "\n", ending);
        return cut ? text.substr(0, text.size() - ending.size()) : text;
      };
      const std::string path = Path(std::to_string(file));
      WriteAll(path, in(kNet));
      for (Settings settings : {Settings::FromText(in(kNet)), Settings(path)}) {
        row.value ? settings.Set(row.section, row.key, row.value)
                  : (void)settings.Erase(row.section, row.key);
        EXPECT_EQ(settings.Text(), in(row.after)) << row.key << file;
      }
      EXPECT_EQ(ReadAll(path), in(row.after)) << row.key << file;
    }
  }
  // The free functions save LF, unless a handle was made on the document.
  for (const bool handle : {false, true}) {
    const std::string path = Path(handle ? "handle" : "free");
    WriteAll(path, "[Net]\r\nPort = 1\r\n");
    if (handle) Settings{path};
    WriteString("Net", "Port", "2", path);
    EXPECT_EQ(ReadAll(path),
              handle ? "[Net]\r\nPort=2\r\n" : "[Net]\nPort=2\n");
  }
}

TEST_F(SettingsTest, SharesOneDocumentWithTheFreeFunctions) {
  const std::string path = Path("shared.ini");
  Settings settings(path);
  WriteString("Log", "Level", " warning", path);
  EXPECT_EQ(settings.Get("Log", "Level", "info"), "warning");
  settings.Set("Log", "Level", "debug");
  EXPECT_EQ(ReadString("Log", "Level", "", path), " debug");
  EXPECT_EQ(ReadValue("Log", "Missing", "info", path), "info");
  WriteValue("Log", "File", "a.log", path);
  EXPECT_EQ(ReadAll(path), "[Log]\nLevel= debug\nFile=a.log\n");
  EXPECT_TRUE(settings.Erase("Log", "File"));
  EXPECT_FALSE(settings.Erase("Log", "File"));
  EXPECT_TRUE(settings.EraseSection("LOG"));
  EXPECT_FALSE(settings.EraseSection("Log"));
  EXPECT_EQ(ReadAll(path), "");
}

// Another process rewrote the file since we loaded it: our write through a
// handle goes into the line they left, keeping their layout, or where a
// handle puts a new key when they erased it.
TEST_F(SettingsTest, MergeReappliesAHandleWriteIntoTheirLine) {
  static const struct {
    const char* theirs;
    const char* after;
    Syntax syntax = {};
  } kCases[] = {
      {"[Net]\n  Port   =  1 ; theirs\nHost=x\n",
       "[Net]\n  Port   =  2 ; theirs\nHost=x\n"},
      {"[Net]\nHost=x\n# about Log\n[Log]\n",
       "[Net]\nHost=x\nPort=2\n# about Log\n[Log]\n"},
      // Untrimmed, "2" before their " ; c" would read back as "2; c".
      {"[Net]\nPort = x ; c\n", "[Net]\nPort=2\n", kUntrimmed},
  };
  for (const auto& c : kCases) {
    const std::string path = Path(std::to_string(&c - kCases) + ".ini");
    WriteAll(path, "[Net]\nPort = 1\n");
    Settings settings(path, c.syntax);
    WriteAll(path, c.theirs);
    settings.Set("Net", "Port", 2);
    EXPECT_EQ(ReadAll(path), c.after);
  }
  // Their line takes our write as we stored it: a quoted item stays one.
  const std::string quoted = Path("quoted.ini");
  WriteAll(quoted, "[Net]\nPeers = x\n");
  InitialiseAsyncWriting();
  Settings peers(quoted);
  peers.Set("Net", "Peers", Items{"a, b"});
  // Their edit is dated before ours, so that ours is the later change.
  WriteAll(quoted, "[Net]\n  Peers =  y ; theirs\n");
  fs::last_write_time(quoted, fs::file_time_type::clock::now() - 1h);
  peers.Flush();
  ShutdownAsyncWriting();
  EXPECT_EQ(ReadAll(quoted), "[Net]\n  Peers =  \"a, b\" ; theirs\n");
  EXPECT_EQ(peers.Get<Items>("Net", "Peers", {}), Items{"a, b"});
  // The entry of a key written by both takes the way of its last write.
  for (const bool freeLast : {false, true}) {
    const std::string path =
        Path(freeLast ? "free-last.ini" : "handle-last.ini");
    WriteAll(path, "[Net]\nPort = 1\n");
    InitialiseAsyncWriting();
    WriteString("Net", "Port", " a", path);
    Settings(path).Set("Net", "Port", 2);
    if (freeLast) WriteString("Net", "Port", " x ; y", path);
    WriteAll(path, "[Net]\n  Port = 1 ; theirs\n");
    // Theirs before ours, by its file time: ours stands.
    fs::last_write_time(path, fs::file_time_type::clock::now() - 1h);
    Flush(path);
    ShutdownAsyncWriting();
    EXPECT_EQ(ReadAll(path), freeLast ? "[Net]\nPort= x ; y\n"
                                      : "[Net]\n  Port = 2 ; theirs\n");
  }
}

// A Set of the value a key has already changes nothing, so a merge must not
// put it back over another writer's newer value.
TEST_F(SettingsTest, ASetOfTheValueAKeyHasLeavesTheirEditAlone) {
  const std::string path = Path("same.ini");
  WriteAll(path, "[Net]\nPort = 1\nHost=x\n");
  InitialiseAsyncWriting();
  Settings settings(path);
  settings.Set("Net", "Port", 1);
  settings.Set("Net", "Host", "y");  // something of ours to merge
  WriteAll(path, "[Net]\nPort = 9\nHost=x\n");
  settings.Flush();
  ShutdownAsyncWriting();
  EXPECT_EQ(ReadAll(path), "[Net]\nPort = 9\nHost=y\n");
}

TEST_F(SettingsTest, RenameSectionChangesOnlyTheNameInEveryHeader) {
  static const struct {
    const char* text;
    const char* from;
    const char* to;
    const char* after;    // nullptr: refused
    const char* refusal;  // what the message says
  } kCases[] = {
      {"\xEF\xBB\xBF; c\n  [ net ]  ; x\nPort=1\n[Log]\n[NET]\nHost=h\n", "Net",
       "Web", "\xEF\xBB\xBF; c\n  [ Web ]  ; x\nPort=1\n[Log]\n[Web]\nHost=h\n",
       ""},
      {"[net]\n", "Net", "NET", "[NET]\n", ""},
      {"[Net]\n[Log]\n", "Net", "log", nullptr, "names a section there"},
      {"[Net]\n", "Net", "a\nb", nullptr, "holds a line break"},
      {"[Net] ; c\n", "Net", "a] ; b", nullptr, "would not load back"},
      {"[Net]\n", "Net", "", nullptr, "is empty"},
  };
  for (const auto& c : kCases) {
    Settings settings = Settings::FromText(c.text);
    if (c.after == nullptr) {
      try {
        settings.RenameSection(std::string(c.from), c.to);
        ADD_FAILURE() << c.to;
      } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find(c.refusal), std::string::npos)
            << error.what();
      }
      EXPECT_EQ(settings.Text(), c.text);
      continue;
    }
    EXPECT_TRUE(settings.RenameSection(std::string(c.from), c.to)) << c.to;
    EXPECT_EQ(settings.Text(), c.after);
    EXPECT_TRUE(settings.HasSection(std::string(c.to)));
  }
  Settings none = Settings::FromText("k=v\n");
  EXPECT_FALSE(none.RenameSection(std::string("Net"), "Web"));
  EXPECT_THROW(none.RenameSection(std::nullopt, "Web"), std::invalid_argument);
}

TEST_F(SettingsTest, MergeReappliesARenameAfterTheEditsBeforeIt) {
  const std::string path = Path("renamed.ini");
  WriteAll(path, "[Net]\nPort=1\n[Old]\n");
  InitialiseAsyncWriting();
  Settings settings(path);
  settings.Set("Net", "Port", 2);
  settings.RenameSection(std::string("Net"), "Web");
  settings.Set("Net", "Port", 3);  // a new [Net], after the rename
  settings.RenameSection(std::string("Old"), "New");
  WriteAll(path, "; theirs\n[Net]\nPort=1\nHost=h\n[Old]\nk=v\n");
  settings.Flush();
  ShutdownAsyncWriting();
  EXPECT_EQ(ReadAll(path),
            "; theirs\n[Web]\nPort=2\nHost=h\n[New]\nk=v\n\n[Net]\nPort=3\n");
}

TEST_F(SettingsTest, SaveInPlaceKeepsTheInodeAndEveryByte) {
  const std::string path = Path("in-place.ini");
  const std::string link = Path("hard-link.ini");
  WriteAll(path, "; keep\n[Net]\n  Port = 1 ; x\n");
  fs::create_hard_link(path, link);
  const ino_t inode = testing::Inode(path);
  Settings settings(path);
  settings.SaveInPlace(true);
  settings.Set("Net", "Port", 2);
  EXPECT_EQ(testing::Inode(path), inode);
  EXPECT_EQ(ReadAll(link), "; keep\n[Net]\n  Port = 2 ; x\n");
  settings.SaveInPlace(false);
  settings.Set("Net", "Port", 3);
  EXPECT_NE(testing::Inode(path), inode);
  EXPECT_THROW(Settings::FromText("").SaveInPlace(true), std::logic_error);
}

}  // namespace
}  // namespace vty::config::ini
