// vty-ini: reads and edits INI files from the command line with exactly the
// rules of the Vantry.Config library, so that an administrator or a script
// can change one setting and leave every other byte of the file as it was.
//
// The tool parses nothing itself: every read and edit goes through a Store
// (Store.h), a private document of the file whose changes reach the file in
// one save at the end of the command, merged with what others wrote
// meanwhile, or not at all (--dry-run, --output=-). merge loads its input the
// same way, from a private copy of standard input (the library loads only
// regular files).
//
// Run `vty-ini --help` for the commands, the output formats and exit codes.

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "Check.h"
#include "Diff.h"
#include "Formats.h"
#include "InPlace.h"
#include "Store.h"
#include "config/INI.h"

#ifndef VTY_CONFIG_VERSION
#error "the build must define VTY_CONFIG_VERSION"
#endif

namespace {

namespace fs = std::filesystem;
namespace ini = vty::config::ini;
namespace tool = vty::config::tool;
using tool::SectionName;
using tool::Store;

// ---- Exit codes ----

constexpr int kOk = 0;
constexpr int kMissing = 1;  // missing, or check found something
constexpr int kUsage = 2;    // the command line is wrong
constexpr int kFailure = 3;  // the library refused the request or failed

constexpr std::string_view kHelp =
    R"help(Usage: vty-ini COMMAND FILE [SECTION [KEY [VALUE]]] [OPTION]...
       vty-ini --help | --version

Reads and edits an INI file with the rules of the Vantry.Config library. An
edit rewrites only the lines it must; every comment, blank line, unrecognised
line and the order of the lines stay as they were written. `man vty-ini`
says more.

Commands:
  get FILE SECTION KEY [--default TEXT] [--raw] [--type TYPE] [--format F]
  get FILE SECTION --format F [--raw]
      Print the value of KEY as a person means it: without the blanks at its
      ends and without a comment (a ';' after a blank, and the rest of the
      line); with --raw, everything after the '=' as stored. A missing key
      prints TEXT, or without --default a message, and exits 1. --type
      prints the value as a TYPE (exit 3 when it is not one). Without KEY,
      --format prints every key of SECTION.
  set FILE SECTION KEY VALUE [--existing] [--type TYPE]
  set FILE SECTION KEY ITEM --list [--list-sep C]
      Set KEY to VALUE. The key's line keeps its layout: its indentation,
      the blanks around '=' and around the value, and its comment. A new key
      goes after the last key line of its section, a new section at the end
      of the file. A missing FILE is created, with its directories. An equal
      value leaves the file untouched. VALUE "-" is one line of standard
      input. --existing changes KEY only when it is there (exit 1
      otherwise). A VALUE that would read back otherwise (blanks at its
      ends, a ';' after a blank) is refused. --list adds ITEM to the list
      KEY holds unless it is there already.
  merge FILE [SECTION] [--existing]
      Set each key of the INI text on standard input in FILE, values as
      get gives them; keys before its first header go to SECTION (without
      SECTION: to FILE's unnamed section). A key given twice counts once,
      with its first value. One save for the whole merge. --existing skips
      (and names on standard error) the keys FILE lacks.
  del FILE SECTION KEY [--existing]
  del FILE SECTION KEY ITEM --list [--list-sep C] [--existing]
      Erase every line of KEY in SECTION; with --list, remove ITEM from the
      list KEY holds. Nothing to erase is not an error, unless --existing
      (exit 1).
  del-section FILE SECTION [--existing]
      Erase every line of SECTION, its headers and comments included, in
      every block where its header occurs. Absent: exit 0, or 1 with
      --existing.
  rename-section FILE SECTION NEW
      Rename every header of SECTION to NEW; its lines stay where they are.
      Exit 1 when there is no SECTION, 3 when NEW names another section.
      The file is rewritten in place, as with --inplace.
  sections FILE
      Print the name of each named section once, in file order.
  section FILE SECTION [--raw]
      Print KEY=VALUE for each key line of SECTION (values as get prints
      them); with --raw, its key lines and unrecognised lines as written.
  dump FILE [--json] [--raw]
      Print every pair, one SECTION<TAB>KEY<TAB>VALUE line each (a tab, line
      feed and backslash in them written \t, \n and \\); each key once,
      with the value get prints. --json: one object of sections, each an
      object of its keys and values.
  check FILE
      Print FILE:LINE: MESSAGE for each line no read reaches or that is
      probably a mistake: a line that is no blank, comment, key or header; a
      key its section already has; a section header given again; blanks
      inside a header's brackets; a byte-order mark inside a name. Exit 1
      when there is any.

Options for every edit (set, merge, del, del-section, rename-section):
  --verbose        name on standard error what changed ("changed: set
                   app.ini [Net] Port") or that nothing did ("unchanged: ...")
  --dry-run        print a unified diff of what would change; write nothing
  --output=-       print the edited file; write nothing
  --inplace        rewrite the file in place, keeping its inode (a single
                   file bind-mounted into a container, hard links); a crash
                   or a full disk in the middle can leave it truncated

Other options:
  --existing                       set, merge: change only keys already
                                   there; del, del-section: exit 1 when
                                   there is nothing to erase
  --default TEXT, --default=TEXT   get: what to print for a missing key
  --raw                            get, dump, section: the stored text
  --type TYPE, --type=TYPE         get, set: int, uint, bool or float
  --format F, --format=F           get: sh (NAME='VALUE', quoted for sh; a
                                   name that is no shell name is refused),
                                   ini ([SECTION] and KEY = VALUE) or lines
                                   ([ SECTION ] KEY = VALUE)
  --list, --list-sep C             set, del: a list item; items are
                                   separated by C (default ',') with blanks
                                   around them trimmed
  --json                           dump: print JSON
  --help, --version

Sections and keys:
  An empty SECTION ("") names the unnamed section: the lines before the
  first header. Names match in any ASCII letter case. A missing FILE makes
  get (without --default), sections, section, dump and check exit 1; the
  other commands read it as empty. After "--" no argument is an option.

Types (--type), in every locale alike; blanks around the value ignored:
  int    an optional sign, then decimal digits or 0x and hex digits (no
         octal); 64 bits; printed in decimal
  uint   the same without '-'
  bool   true/false, yes/no, on/off or 1/0 in any letter case; printed as
         true or false
  float  a double as 1e3, -0.5, inf or nan; printed as the shortest text
         that reads back as the same number

Exit status (every status but 0 comes with a message on standard error):
  0  success, also for an edit that changed nothing
  1  the value, key, section or FILE is missing; check found something
  2  the command line is wrong (set --type: VALUE is not a TYPE)
  3  the library refused the request or failed; the file is left as it was

Examples:
  vty-ini set app.ini Net Port 9090
  vty-ini get app.ini Net Timeout --default 30
  eval "$(vty-ini get app.ini Net --format=sh)"; echo "$Port"
  vty-ini set app.ini Net Hosts example.org --list
  vty-ini merge app.ini --existing < site-defaults.ini
  echo "$PASSWORD" | vty-ini set app.ini Db Password -
)help";

// A command line that cannot be run. main() prints the message on one line
// with a pointer to --help.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- Typed values ----

// `text` as the library reads a T and writes it again, or std::nullopt when
// it is not a T.
template <class T>
std::optional<std::string> AsType(std::string_view text) {
  T value;
  if (!ini::ParseValue<T>(text, value)) return std::nullopt;
  return ini::FormatValue<T>(value);
}

struct Type {
  std::string_view name;
  std::optional<std::string> (*convert)(std::string_view);
};

constexpr Type kTypes[] = {{"int", AsType<long long>},
                           {"uint", AsType<unsigned long long>},
                           {"bool", AsType<bool>},
                           {"float", AsType<double>}};

// A command's operands and the options given to it.
struct Args {
  std::vector<std::string> operands;  // FILE first
  std::optional<std::string> defaultValue;
  const Type* type = nullptr;  // --type
  std::string format;          // --format: "", "sh", "ini" or "lines"
  char listSeparator = 0;      // --list: the separator; 0 without --list
  bool json = false;
  bool raw = false;
  bool existing = false;
  bool verbose = false;
  bool dryRun = false;
  bool output = false;  // --output=-
  bool inPlace = false;
  bool help = false;
  bool fileExists = true;  // FILE was there when the command began
};

// The library's name for a SECTION operand: "" is the unnamed section.
SectionName AsSection(const std::string& operand) {
  if (operand.empty()) return std::nullopt;
  return operand;
}

std::string Describe(const SectionName& section) {
  return "[" + section.value_or("") + "]";
}

// Whether FILE exists, for the commands that report a missing file. What
// exists but cannot be read (or is no regular file) the library refuses by
// itself, so that an edit never replaces it.
bool Exists(const std::string& file) {
  std::error_code error;
  const fs::file_status status = fs::status(file, error);
  if (status.type() == fs::file_type::not_found) return false;
  if (error) throw fs::filesystem_error("cannot reach the file", file, error);
  return true;
}

// ---- Messages ----

// Every exit but 0 says why on standard error, naming what is missing.
int Missing(const Args& args, const std::string& what) {
  std::cout.flush();
  std::cerr << "vty-ini: " << args.operands[0] << ": " << what << '\n';
  return kMissing;
}

int MissingFile(const Args& args) { return Missing(args, "no such file"); }

int MissingSection(const Args& args, const SectionName& section) {
  return Missing(args, "section not found: " + Describe(section));
}

int MissingKey(const Args& args, const SectionName& section,
               const std::string& key) {
  return Missing(args, "key not found: " + Describe(section) + " " + key);
}

// --verbose: what an edit did, on standard error.
void Tell(const Args& args, bool changed, const std::string& what) {
  if (!args.verbose) return;
  std::cerr << (changed ? "changed: " : "unchanged: ") << what << '\n';
}

// ---- Values ----

// The VALUE "-": standard input without the one line end that closes it. A
// line break before that stays in the value, and the library refuses it.
std::string ReadInputLine() {
  std::string text{std::istreambuf_iterator<char>(std::cin),
                   std::istreambuf_iterator<char>()};
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

// A value as --type prints or stores it. `what` names it for the message.
std::string Typed(const Args& args, const std::string& value,
                  const std::string& what) {
  if (!args.type) return value;
  if (auto typed = args.type->convert(value)) return *typed;
  throw std::invalid_argument("the value '" + value + "' of " + what +
                              " is not of type " +
                              std::string(args.type->name));
}

// ---- Reading commands ----

// get --format: the printed form of pairs of one section.
void PrintFormatted(
    const Args& args, const SectionName& section,
    const std::vector<std::pair<std::string, std::string>>& pairs) {
  if (args.format == "sh") {
    for (const auto& [key, value] : pairs) {  // all refused before any print
      if (!tool::IsShellName(key)) {
        throw std::invalid_argument(
            "key \"" + key + "\" in " + Describe(section) + " of " +
            args.operands[0] +
            " is not a shell name; --format=sh refuses it rather than "
            "change it");
      }
    }
    for (const auto& [key, value] : pairs) {
      std::cout << key << '=' << tool::ShellQuote(value) << '\n';
    }
  } else if (args.format == "ini") {
    if (section) std::cout << '[' << *section << "]\n";
    for (const auto& [key, value] : pairs) {
      std::cout << key << " = " << value << '\n';
    }
  } else {  // lines
    for (const auto& [key, value] : pairs) {
      std::cout << "[ " << section.value_or("") << " ] " << key << " = "
                << value << '\n';
    }
  }
}

int Get(const Args& args) {
  if (!args.fileExists && !args.defaultValue) return MissingFile(args);
  const Store store(args.operands[0]);
  const SectionName section = AsSection(args.operands[1]);
  if (args.operands.size() == 2) {  // a whole section, --format required
    if (!store.HasSection(section)) return MissingSection(args, section);
    auto pairs = store.Pairs(section, args.raw);
    for (auto& [key, value] : pairs) {
      value = Typed(args, value, Describe(section) + " " + key);
    }
    PrintFormatted(args, section, pairs);
    return kOk;
  }
  const std::string& key = args.operands[2];
  std::optional<std::string> value = store.Get(section, key, args.raw);
  if (!value && !args.defaultValue) return MissingKey(args, section, key);
  if (!value && args.type && !args.type->convert(*args.defaultValue)) {
    throw UsageError("--default is not of type " +
                     std::string(args.type->name));
  }
  const std::string shown = Typed(args, value.value_or(*args.defaultValue),
                                  Describe(section) + " " + key);
  if (args.format.empty()) {
    std::cout << shown << '\n';
  } else {
    PrintFormatted(args, section, {{key, shown}});
  }
  return kOk;
}

int Sections(const Args& args) {
  if (!args.fileExists) return MissingFile(args);
  for (const auto& section : Store(args.operands[0]).Sections()) {
    if (section) std::cout << *section << '\n';
  }
  return kOk;
}

int PrintSection(const Args& args) {
  if (!args.fileExists) return MissingFile(args);
  const Store store(args.operands[0]);
  const SectionName section = AsSection(args.operands[1]);
  if (!store.HasSection(section)) return MissingSection(args, section);
  if (args.raw) {
    for (const auto& text : ini::ReadSection(section, args.operands[0])) {
      std::cout << text << '\n';
    }
  } else {
    for (const auto& [key, value] : store.Pairs(section, false)) {
      std::cout << key << '=' << value << '\n';
    }
  }
  return kOk;
}

int Dump(const Args& args) {
  if (!args.fileExists) return MissingFile(args);
  const Store store(args.operands[0]);
  if (!args.json) {
    for (const auto& section : store.Sections()) {
      const std::string name = tool::EscapeField(section.value_or(""));
      for (const auto& [key, value] : store.Pairs(section, args.raw)) {
        std::cout << name << '\t' << tool::EscapeField(key) << '\t'
                  << tool::EscapeField(value) << '\n';
      }
    }
    return kOk;
  }
  // One section per line. Every named section appears, even without keys;
  // the unnamed one only when it has keys.
  bool first = true;
  std::cout << '{';
  for (const auto& section : store.Sections()) {
    const auto pairs = store.Pairs(section, args.raw);  // get reads the first
    if (!section && pairs.empty()) continue;
    std::cout << (first ? "\n  " : ",\n  ")
              << tool::JsonString(section.value_or("")) << ": {";
    first = false;
    const char* keySeparator = "";
    for (const auto& [key, value] : pairs) {
      std::cout << keySeparator << tool::JsonString(key) << ": "
                << tool::JsonString(value);
      keySeparator = ", ";
    }
    std::cout << '}';
  }
  std::cout << (first ? "}\n" : "\n}\n");
  return kOk;
}

int Check(const Args& args) {
  const std::string& file = args.operands[0];
  if (!args.fileExists) return MissingFile(args);
  std::ifstream in(file, std::ios::binary);
  const std::string text(std::istreambuf_iterator<char>(in), {});
  if (in.bad() || !in.is_open()) {
    throw fs::filesystem_error("cannot read the file", file,
                               std::make_error_code(std::errc::io_error));
  }
  const auto findings = tool::Check(text);
  for (const auto& finding : findings) {
    std::cout << file << ':' << finding.line << ": " << finding.message << '\n';
  }
  if (findings.empty()) return kOk;
  return Missing(args, std::to_string(findings.size()) +
                           (findings.size() == 1 ? " problem" : " problems"));
}

// ---- Editing commands ----
//
// Each edits a Store and returns kOk, or kMissing under --existing; Edit
// then previews or saves what changed.

// Standard input as an INI text, read as the library reads a file.
ini::Settings ReadStandardInput() {
  const std::string text(std::istreambuf_iterator<char>(std::cin), {});
  if (std::cin.bad()) {
    throw std::system_error(std::make_error_code(std::errc::io_error),
                            "cannot read the standard input");
  }
  return ini::Settings::FromText(text);
}

int Set(const Args& args, Store& store) {
  const SectionName section = AsSection(args.operands[1]);
  const std::string& key = args.operands[2];
  std::string value =
      args.operands[3] == "-" ? ReadInputLine() : args.operands[3];
  if (args.type) {
    auto typed = args.type->convert(value);
    if (!typed) {
      throw UsageError("VALUE is not of type " + std::string(args.type->name));
    }
    value = *typed;
  }
  if (args.existing && !store.Get(section, key, false)) {
    return MissingKey(args, section, key);
  }
  bool changed;
  if (args.listSeparator) {  // ITEM, unless the list has it
    std::vector<std::string> items =
        store.GetList(section, key).value_or(std::vector<std::string>());
    const bool present =
        std::find(items.begin(), items.end(), value) != items.end();
    if (!present) items.push_back(value);
    changed = store.SetList(section, key, items);
  } else {
    changed = store.Set(section, key, value);
  }
  Tell(args, changed,
       "set " + args.operands[0] + " " + Describe(section) + " " + key);
  return kOk;
}

int Del(const Args& args, Store& store) {
  const SectionName section = AsSection(args.operands[1]);
  const std::string& key = args.operands[2];
  const std::string what =
      "del " + args.operands[0] + " " + Describe(section) + " " + key;
  if (!args.listSeparator) {
    if (args.operands.size() > 3) {
      throw UsageError("del: ITEM needs --list");
    }
    const bool changed = store.Erase(section, key);
    if (!changed && args.existing) return MissingKey(args, section, key);
    Tell(args, changed, what);
    return kOk;
  }
  if (args.operands.size() < 4) throw UsageError("del --list needs an ITEM");
  const std::string& item = args.operands[3];
  std::vector<std::string> items =
      store.GetList(section, key).value_or(std::vector<std::string>());
  const auto kept = std::remove(items.begin(), items.end(), item);
  const bool present = kept != items.end();
  if (!present && args.existing) {
    return Missing(
        args, "item not found: " + Describe(section) + " " + key + " " + item);
  }
  items.erase(kept, items.end());
  const bool changed = present && store.SetList(section, key, items);
  Tell(args, changed, what + " " + item);
  return kOk;
}

int DelSection(const Args& args, Store& store) {
  const SectionName section = AsSection(args.operands[1]);
  const bool changed = store.EraseSection(section);
  if (!changed && args.existing) return MissingSection(args, section);
  Tell(args, changed,
       "del-section " + args.operands[0] + " " + Describe(section));
  return kOk;
}

int RenameSection(const Args& args, Store& store) {
  const std::string& from = args.operands[1];
  const std::string& to = args.operands[2];
  if (from.empty() || to.empty()) {
    throw UsageError("rename-section: the unnamed section has no header");
  }
  if (!store.HasSection(from)) return MissingSection(args, from);
  const bool changed = store.RenameSection(from, to);
  Tell(args, changed,
       "rename-section " + args.operands[0] + " [" + from + "] [" + to + "]");
  return kOk;
}

int Merge(const Args& args, Store& store) {
  const ini::Settings input = ReadStandardInput();
  const SectionName into =
      args.operands.size() > 1 ? AsSection(args.operands[1]) : std::nullopt;
  bool changed = false;
  for (const auto& section : input.Sections()) {
    const SectionName target = section ? section : into;
    for (const auto& [key, value] : input.Pairs(section)) {
      const std::string what =
          args.operands[0] + " " + Describe(target) + " " + key;
      if (args.existing && !store.Get(target, key, false)) {
        std::cerr << "skipped: merge " << what << " (not in the file)\n";
        continue;
      }
      const bool set = store.Set(target, key, value);
      if (set) Tell(args, true, "set " + what);
      changed |= set;
    }
  }
  if (!changed) Tell(args, false, "merge " + args.operands[0]);
  return kOk;
}

// Runs an editing command on FILE, then shows or saves the result.
int Edit(const Args& args, int (*edit)(const Args&, Store&), bool inPlace) {
  const std::string& file = args.operands[0];
  // In place, the lock comes first, so that nobody saves between the read
  // and the rewrite.
  std::optional<tool::FileLock> lock;
  if (inPlace && !args.dryRun && !args.output) lock.emplace(file);
  Store store(file, args.listSeparator ? args.listSeparator : ',');
  if (const int status = edit(args, store); status != kOk) return status;
  if (args.dryRun) {
    std::cout << tool::UnifiedDiff(store.Loaded(), store.Text(), file);
  } else if (args.output) {
    std::cout << store.Text();
  } else {
    store.Save(lock ? &*lock : nullptr);
  }
  return kOk;
}

// ---- Command line ----

enum Options : unsigned {
  kNone = 0,
  kDefault = 1,    // --default TEXT
  kJson = 2,       // --json
  kRaw = 4,        // --raw
  kExisting = 8,   // --existing
  kType = 16,      // --type TYPE
  kFormat = 32,    // --format F
  kList = 64,      // --list, --list-sep C
  kEditing = 128,  // --verbose, --dry-run, --output=-, --inplace
};

struct Command {
  std::string_view name;
  std::string_view operands;  // as the usage line names them
  std::size_t fewest, most;   // operands
  unsigned options;
  int (*read)(const Args&);          // a reading command, or
  int (*edit)(const Args&, Store&);  // an editing one
  bool inPlace = false;              // always rewrites in place
};

constexpr Command kCommands[] = {
    {"get",
     "FILE SECTION [KEY] [--default TEXT] [--raw] [--type TYPE] [--format F]",
     2, 3, kDefault | kRaw | kType | kFormat, Get, nullptr},
    {"set", "FILE SECTION KEY VALUE|-|ITEM [--existing] [--type TYPE] [--list]",
     4, 4, kExisting | kType | kList | kEditing, nullptr, Set},
    {"merge", "FILE [SECTION] [--existing]", 1, 2, kExisting | kEditing,
     nullptr, Merge},
    {"del", "FILE SECTION KEY [ITEM --list] [--existing]", 3, 4,
     kExisting | kList | kEditing, nullptr, Del},
    {"del-section", "FILE SECTION [--existing]", 2, 2, kExisting | kEditing,
     nullptr, DelSection},
    {"rename-section", "FILE SECTION NEW", 3, 3, kEditing, nullptr,
     RenameSection, true},
    {"sections", "FILE", 1, 1, kNone, Sections, nullptr},
    {"section", "FILE SECTION [--raw]", 2, 2, kRaw, PrintSection, nullptr},
    {"dump", "FILE [--json] [--raw]", 1, 1, kJson | kRaw, Dump, nullptr},
    {"check", "FILE", 1, 1, kNone, Check, nullptr},
};

const Command& FindCommand(std::string_view name) {
  for (const Command& command : kCommands) {
    if (command.name == name) return command;
  }
  throw UsageError("unknown command '" + std::string(name) + "'");
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

const Type* FindType(std::string_view name) {
  for (const Type& type : kTypes) {
    if (type.name == name) return &type;
  }
  throw UsageError("--type must be int, uint, bool or float");
}

// The value of an option given as "--name VALUE" or "--name=VALUE", or
// std::nullopt when `words[i]` is not that option.
std::optional<std::string> OptionValue(const std::vector<std::string>& words,
                                       std::size_t& i, std::string_view name) {
  const std::string& word = words[i];
  if (word == name) {
    if (++i == words.size()) {
      throw UsageError(std::string(name) + " needs a value");
    }
    return words[i];
  }
  if (StartsWith(word, name) && word[name.size()] == '=') {
    return word.substr(name.size() + 1);
  }
  return std::nullopt;
}

// Options may stand anywhere after the command; "--" ends them.
Args ParseArgs(const Command& command, const std::vector<std::string>& words) {
  Args args;
  bool options = true;
  const auto has = [&](unsigned option) { return command.options & option; };
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    std::optional<std::string> value;
    if (!options || !StartsWith(word, "--")) {
      args.operands.push_back(word);
    } else if (word == "--") {
      options = false;
    } else if (word == "--help") {
      args.help = true;
    } else if (has(kJson) && word == "--json") {
      args.json = true;
    } else if (has(kRaw) && word == "--raw") {
      args.raw = true;
    } else if (has(kExisting) && word == "--existing") {
      args.existing = true;
    } else if (has(kEditing) && word == "--verbose") {
      args.verbose = true;
    } else if (has(kEditing) && word == "--dry-run") {
      args.dryRun = true;
    } else if (has(kEditing) && word == "--inplace") {
      args.inPlace = true;
    } else if (has(kEditing) && (value = OptionValue(words, i, "--output"))) {
      if (*value != "-") throw UsageError("--output takes only '-'");
      args.output = true;
    } else if (has(kList) && word == "--list") {
      if (!args.listSeparator) args.listSeparator = ',';
    } else if (has(kList) && (value = OptionValue(words, i, "--list-sep"))) {
      if (value->size() != 1 || *value == " " || *value == "\t") {
        throw UsageError("--list-sep must be one character, not a blank");
      }
      args.listSeparator = (*value)[0];
    } else if (has(kDefault) && (value = OptionValue(words, i, "--default"))) {
      args.defaultValue = value;
    } else if (has(kType) && (value = OptionValue(words, i, "--type"))) {
      args.type = FindType(*value);
    } else if (has(kFormat) && (value = OptionValue(words, i, "--format"))) {
      if (*value != "sh" && *value != "ini" && *value != "lines") {
        throw UsageError("--format must be sh, ini or lines");
      }
      args.format = *value;
    } else {
      throw UsageError(std::string(command.name) + " has no option " + word);
    }
  }
  if (args.help) return args;
  if (args.operands.size() < command.fewest ||
      args.operands.size() > command.most) {
    throw UsageError("usage: vty-ini " + std::string(command.name) + " " +
                     std::string(command.operands));
  }
  if (command.read == Get && args.operands.size() == 2 && args.format.empty()) {
    throw UsageError("get without KEY needs --format");
  }
  if (command.read == Get && args.operands.size() == 2 && args.defaultValue) {
    throw UsageError("get without KEY takes no --default");
  }
  if (args.dryRun && args.output) {
    throw UsageError("--dry-run and --output=- exclude each other");
  }
  if (args.listSeparator && args.type) {
    throw UsageError("--list takes no --type");
  }
  return args;
}

int Run(const std::vector<std::string>& words) {
  if (words.empty()) throw UsageError("no command given");
  if (words[0] == "--help" || words[0] == "-h") {
    std::cout << kHelp;
    return kOk;
  }
  if (words[0] == "--version") {
    std::cout << "vty-ini (Vantry.Config) " VTY_CONFIG_VERSION "\n";
    return kOk;
  }
  const Command& command = FindCommand(words[0]);
  Args args = ParseArgs(
      command, std::vector<std::string>(words.begin() + 1, words.end()));
  if (args.help) {
    std::cout << kHelp;
    return kOk;
  }
  const std::string& file = args.operands[0];
  try {
    args.fileExists = Exists(file);
    if (command.read) return command.read(args);
    return Edit(args, command.edit, command.inPlace || args.inPlace);
  } catch (const UsageError&) {
    throw;  // a command's own check of its arguments
  } catch (const std::exception& error) {
    std::cout.flush();
    std::cerr << "vty-ini: " << file << ": " << error.what() << '\n';
    return kFailure;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int status;
  try {
    status = Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& error) {
    std::cerr << "vty-ini: " << error.what() << " (see vty-ini --help)\n";
    return kUsage;
  } catch (const std::exception& error) {  // e.g. std::bad_alloc
    std::cerr << "vty-ini: " << error.what() << '\n';
    return kFailure;
  } catch (...) {
    std::cerr << "vty-ini: unknown failure\n";
    return kFailure;
  }
  if (!std::cout.flush()) {
    std::cerr << "vty-ini: cannot write the output\n";
    return kFailure;
  }
  return status;
}
