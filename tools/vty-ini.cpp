// vty-ini: reads and edits INI files from the command line with exactly the
// rules of the Vantry.Config library, so that an administrator or a script
// can change one setting and leave every other byte of the file as it was.
//
// The tool parses nothing itself. Reads and edits go through the exported
// functions; the listing commands load a private `File` (never saved) because
// only the document's lines know the order in which sections appear. merge
// loads its input the same way, from a private copy of standard input (the
// library loads only regular files), and gathers its edits in a private
// `File` of the target, saved once.
//
// Run `vty-ini --help` for the commands, the output formats and exit codes.

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "config/INI.h"

#ifndef VTY_CONFIG_VERSION
#error "the build must define VTY_CONFIG_VERSION"
#endif

namespace {

namespace fs = std::filesystem;
namespace ini = vty::config::ini;

// ---- Exit codes ----

constexpr int kOk = 0;
constexpr int kMissing = 1;  // the value, key, section or file is missing
constexpr int kUsage = 2;    // the command line is wrong
constexpr int kFailure = 3;  // the library refused the request or failed

constexpr std::string_view kHelp =
    R"(Usage: vty-ini COMMAND FILE [SECTION [KEY [VALUE]]] [OPTION]
       vty-ini --help | --version

Reads and edits an INI file with the rules of the Vantry.Config library. An
edit rewrites only the lines it must; every comment, blank line, unrecognised
line and the order of the lines stay as they were written.

Commands:
  get FILE SECTION KEY [--default TEXT] [--raw] [--type TYPE]
      Print the value of KEY without the blanks (spaces and tabs) at its
      ends; with --raw, exactly as stored. When the key is missing, print
      TEXT as given; without --default, print nothing and exit 1. With
      --type, print the value (or TEXT) as a TYPE, in the form set writes;
      exit 3 when the stored value is not a TYPE.
  set FILE SECTION KEY VALUE [--existing] [--verbose] [--type TYPE]
      Set KEY to VALUE. The key's first line is rewritten as KEY=VALUE (the
      key keeps its stored spelling); a new key goes after the last non-blank
      line of its section; a new section is appended at the end of the file.
      A missing FILE is created, with its directories. When the stored value
      already equals VALUE exactly, the file is not touched: no save, no new
      time stamp. A VALUE of "-" is one line read from standard input,
      without its line end (so 'printf -- "-\n" | vty-ini set F S K -' stores
      "-"). With --existing, change KEY only when it is already there, and
      exit 1 otherwise. With --verbose, print "changed" or "unchanged". With
      --type, a VALUE that is not a TYPE is refused (exit 2, the file
      untouched), and VALUE is stored in its typed form: " 0x1F" as 31,
      "Yes" as true.
  merge FILE [--existing] [--verbose]
      Read an INI text from standard input and set each of its keys in FILE
      as set does; the keys before its first header go to FILE's unnamed
      section, and of a key given twice in a section the first value counts.
      FILE is saved once: the whole merge reaches it, or none of it does.
      --existing skips the keys FILE lacks; --verbose prints "changed" or
      "unchanged".
  del FILE SECTION KEY
      Erase every line of KEY in SECTION. Exit 1 when there is none.
  del-section FILE SECTION
      Erase every line of SECTION, its headers and comments included, in every
      block where its header occurs. Exit 1 when there is none.
  sections FILE
      Print the name of each named section once, in the order of first
      appearance, as first written.
  section FILE SECTION
      Print the key lines and unrecognised lines of SECTION exactly as written
      (headers, comments and blank lines left out). Exit 1 when the file has
      no such section.
  dump FILE [--json] [--raw]
      Print every key/value pair, section by section in file order, one
      SECTION<TAB>KEY<TAB>VALUE line per pair; a key that occurs twice is
      listed twice. Values lose the blanks at their ends as get prints them,
      unless --raw. Within the fields a tab, a line feed and a backslash are
      written as \t, \n and \\.
      With --json, print one JSON object that maps each section name to an
      object of its keys and values. A key that occurs twice keeps its first
      value (the one get prints); bytes that are not UTF-8 become U+FFFD, so
      use the tab format when every byte matters.

Sections, keys and values:
  An empty SECTION argument ("") names the unnamed section: the lines before
  the first section header. It is never listed by sections; dump names it "".
  Section names and keys match in any ASCII letter case. A value is all the
  text after the first '=' of its line, blanks included, so "Port = 80"
  has the value " 80"; get and dump print "80" unless --raw.
  A missing FILE makes get (without --default), sections, section and dump
  exit 1 with a message naming it, so that a mistyped path is not silent;
  the other commands read it as an empty file. A FILE that exists but
  cannot be read is an error, so that an edit never replaces it with an
  empty document.
  An argument beginning with "--" is an option; after "--" none is, so
  'vty-ini set app.ini Net Flag -- --on' stores the value "--on".

Types (--type), read by the library's typed rules, in every locale alike:
  Blanks around the value are ignored. A number out of range is not a TYPE.
  int    an optional sign, then decimal digits or 0x and hex digits (no
         octal: 010 is ten); 64 bits; printed in decimal
  uint   the same without '-'
  bool   true/false, yes/no, on/off or 1/0 in any letter case; printed as
         true or false
  float  a double as 1e3, -0.5, inf or nan (with a '.', never a ','); printed
         as the shortest text that reads back as the same number

Options:
  --default TEXT, --default=TEXT   get: what to print for a missing key
  --raw                            get, dump: print values exactly as stored
  --existing                       set, merge: change only keys already there
  --verbose                        set, merge: print "changed" or "unchanged"
  --type TYPE, --type=TYPE         get, set: int, uint, bool or float
  --json                           dump: print JSON
  --help                           print this help and exit
  --version                        print the library's version and exit

Exit status:
  0  success
  1  the value, key, section or FILE is missing
  2  the command line is wrong (set --type: VALUE is not a TYPE)
  3  the library refused the request or failed: a key that is empty, holds
     '=' or starts with ';' or '#'; a value or name holding a line break; a
     section name holding '='; a file that cannot be read or saved; for get
     --type, a stored value that is not a TYPE. The message names the file,
     and the file is left as it was.

Examples:
  vty-ini set app.ini Net Port 9090
  vty-ini get app.ini Net Timeout --default 30
  vty-ini get app.ini "" name
  vty-ini dump --json app.ini
  vty-ini merge app.ini --existing < site-defaults.ini
  echo "$PASSWORD" | vty-ini set app.ini Db Password -
)";

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
  bool json = false;
  bool raw = false;
  bool existing = false;
  bool verbose = false;
  bool help = false;
  bool fileExists = true;  // FILE was there when the command began
};

// The library's name for the SECTION operand: "" is the unnamed section.
std::optional<std::string> SectionName(const std::string& operand) {
  if (operand.empty()) return std::nullopt;
  return operand;
}

// ---- Reading the document ----

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

// A private document of `file`, loaded by the library's rules and never
// saved: edits go through the exported functions.
ini::File LoadSnapshot(const std::string& file) {
  return ini::File(file, [] { return false; });
}

// Every section that has lines, in the order its first line appears; the
// unnamed section comes first when lines stand before the first header. A
// header repeated later (in any letter case) names the same section.
std::vector<std::optional<std::string>> SectionsInFileOrder(
    const ini::File& doc) {
  std::shared_lock lock(doc.mutex);
  std::vector<std::optional<std::string>> order;
  std::unordered_set<const ini::Section*> seen;
  for (const auto& line : doc.lines) {
    if (seen.insert(line->section.get()).second) {
      order.push_back(line->section->name);
    }
  }
  return order;
}

// The pairs of `section` with each key once, holding its first value: the one
// get reads.
std::vector<std::pair<std::string, std::string>> FirstPairs(
    const ini::File& doc, const std::optional<std::string>& section) {
  std::vector<std::pair<std::string, std::string>> first;
  std::unordered_set<std::string, ini::Section::KeyHasher, ini::Section::KeyEq>
      keys;
  for (auto& pair : doc.ReadSectionKeyValuePairs(section)) {
    if (keys.insert(pair.first).second) first.push_back(std::move(pair));
  }
  return first;
}

bool HasSection(const ini::File& doc, const std::optional<std::string>& name) {
  const auto order = SectionsInFileOrder(doc);
  return std::any_of(order.begin(), order.end(), [&](const auto& section) {
    return ini::File::SectionNameEq()(section, name);
  });
}

// ---- Output formats ----

// A value as get and dump print it: without the blanks at its ends, or with
// `raw` exactly as stored.
std::string_view Shown(std::string_view value, bool raw) {
  if (raw) return value;
  const std::size_t first = value.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return value.substr(first, value.find_last_not_of(" \t") + 1 - first);
}

// A dump field: tab, line feed and backslash escaped, every other byte kept.
std::string EscapeField(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// The length of the well-formed UTF-8 sequence at text[at] (no overlong
// forms, surrogates or code points above U+10FFFF), or 0.
std::size_t Utf8Length(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  char32_t code = 0, least = 0;
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) length = 2, code = lead & 0x1F, least = 0x80;
  if ((lead & 0xF0) == 0xE0) length = 3, code = lead & 0x0F, least = 0x800;
  if ((lead & 0xF8) == 0xF0) length = 4, code = lead & 0x07, least = 0x10000;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    return 0;
  }
  return length;
}

// `text` as a JSON string: quote and backslash escaped, control characters as
// \u00XX, ill-formed UTF-8 replaced by U+FFFD.
std::string JsonString(std::string_view text) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const auto c = static_cast<unsigned char>(text[at]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++at;
    } else if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
      ++at;
    } else if (const std::size_t length = Utf8Length(text, at)) {
      out += text.substr(at, length);
      at += length;
    } else {
      out += "\\ufffd";
      ++at;
    }
  }
  return out + '"';
}

void PrintTabs(const ini::File& doc, bool raw) {
  for (const auto& section : SectionsInFileOrder(doc)) {
    const std::string name = EscapeField(section.value_or(""));
    for (const auto& [key, value] : doc.ReadSectionKeyValuePairs(section)) {
      std::cout << name << '\t' << EscapeField(key) << '\t'
                << EscapeField(Shown(value, raw)) << '\n';
    }
  }
}

// One section per line. Every named section appears, even without keys; the
// unnamed one only when it has keys.
void PrintJson(const ini::File& doc, bool raw) {
  bool first = true;
  std::cout << '{';
  for (const auto& section : SectionsInFileOrder(doc)) {
    const auto pairs = FirstPairs(doc, section);  // get reads the first one
    if (!section && pairs.empty()) continue;
    std::cout << (first ? "\n  " : ",\n  ") << JsonString(section.value_or(""))
              << ": {";
    first = false;
    const char* keySeparator = "";
    for (const auto& [key, value] : pairs) {
      std::cout << keySeparator << JsonString(key) << ": "
                << JsonString(Shown(value, raw));
      keySeparator = ", ";
    }
    std::cout << '}';
  }
  std::cout << (first ? "}\n" : "\n}\n");
}

// ---- Commands ----
//
// Each takes its operands in the order of its usage line and returns the
// exit code; library failures leave as exceptions.

// For the commands that only read FILE: a mistyped path must not pass for an
// empty file.
int MissingFile(const Args& args) {
  std::cerr << "vty-ini: " << args.operands[0] << ": no such file\n";
  return kMissing;
}

// The end of an edit that may have changed nothing.
int Report(const Args& args, bool changed) {
  if (args.verbose) std::cout << (changed ? "changed\n" : "unchanged\n");
  return kOk;
}

// The VALUE "-": standard input without the one line end that closes it. A
// line break before that stays in the value, and the library refuses it.
std::string ReadInputLine() {
  std::string text{std::istreambuf_iterator<char>(std::cin),
                   std::istreambuf_iterator<char>()};
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

int Get(const Args& args) {
  if (!args.fileExists && !args.defaultValue) return MissingFile(args);
  std::string value;
  const bool found =
      ini::ReadString(SectionName(args.operands[1]), args.operands[2],
                      args.defaultValue.value_or(""), value, args.operands[0]);
  if (!found && !args.defaultValue) return kMissing;
  if (args.type) {
    const auto typed = args.type->convert(value);
    if (!typed && !found) {
      throw UsageError("--default is not of type " +
                       std::string(args.type->name));
    }
    if (!typed) {
      throw std::invalid_argument("the value '" + value + "' of " +
                                  args.operands[2] + " is not of type " +
                                  std::string(args.type->name));
    }
    value = *typed;
  } else if (found) {
    value = Shown(value, args.raw);
  }
  std::cout << value << '\n';
  return kOk;
}

int Set(const Args& args) {
  const std::string& file = args.operands[0];
  const auto section = SectionName(args.operands[1]);
  const std::string& key = args.operands[2];
  std::optional<std::string> value =
      args.operands[3] == "-" ? ReadInputLine() : args.operands[3];
  if (args.type && !(value = args.type->convert(*value))) {
    throw UsageError("VALUE is not of type " + std::string(args.type->name));
  }
  std::string stored;
  const bool found = ini::ReadString(section, key, "", stored, file);
  if (args.existing && !found) return kMissing;
  // An equal value saves nothing, so the file keeps its inode and its time.
  const bool change = !found || stored != *value;
  if (change) ini::WriteString(section, key, *value, file);
  return Report(args, change);
}

// Standard input, loaded by the library's rules through a temporary file
// that is removed at once.
ini::File LoadStandardInput() {
  std::string pattern = (fs::temp_directory_path() / "vty-ini.XXXXXX").string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) {
    throw fs::filesystem_error("cannot copy the standard input", pattern,
                               std::error_code(errno, std::generic_category()));
  }
  ::close(fd);
  struct Remove {
    std::string path;
    ~Remove() { ::unlink(path.c_str()); }
  } remove{pattern};
  {
    const std::string text(std::istreambuf_iterator<char>(std::cin), {});
    std::ofstream copy(pattern, std::ios::binary | std::ios::trunc);
    if (!copy.write(text.data(), static_cast<std::streamsize>(text.size()))
             .flush() ||
        std::cin.bad()) {
      throw fs::filesystem_error("cannot copy the standard input", pattern,
                                 std::make_error_code(std::errc::io_error));
    }
  }
  return LoadSnapshot(pattern);
}

int Merge(const Args& args) {
  const ini::File input = LoadStandardInput();
  // Every change stays in this private document until the one Flush below,
  // which replaces the file with the whole merge in one step.
  ini::File target(args.operands[0], [] { return true; });
  bool changed = false;
  for (const auto& section : SectionsInFileOrder(input)) {
    for (const auto& [key, value] : FirstPairs(input, section)) {
      const auto stored = target.ReadValue(section, key);
      if (stored ? *stored == value : args.existing) continue;
      target.WriteValue(section, key, value);
      changed = true;
    }
  }
  if (changed) target.Flush();
  return Report(args, changed);
}

int Del(const Args& args) {
  const auto section = SectionName(args.operands[1]);
  std::string ignored;
  // EraseKey would save the file even for a missing key; leave it alone.
  if (!ini::ReadString(section, args.operands[2], "", ignored,
                       args.operands[0])) {
    return kMissing;
  }
  ini::EraseKey(section, args.operands[2], args.operands[0]);
  return kOk;
}

int DelSection(const Args& args) {
  const auto section = SectionName(args.operands[1]);
  if (!HasSection(LoadSnapshot(args.operands[0]), section)) return kMissing;
  ini::EraseSection(section, args.operands[0]);
  return kOk;
}

int Sections(const Args& args) {
  if (!args.fileExists) return MissingFile(args);
  for (const auto& section :
       SectionsInFileOrder(LoadSnapshot(args.operands[0]))) {
    if (section) std::cout << *section << '\n';
  }
  return kOk;
}

int PrintSection(const Args& args) {
  if (!args.fileExists) return MissingFile(args);
  const ini::File doc = LoadSnapshot(args.operands[0]);
  const auto section = SectionName(args.operands[1]);
  if (!HasSection(doc, section)) return kMissing;
  for (const auto& text : doc.ReadSection(section)) std::cout << text << '\n';
  return kOk;
}

int Dump(const Args& args) {
  if (!args.fileExists) return MissingFile(args);
  const ini::File doc = LoadSnapshot(args.operands[0]);
  if (args.json) {
    PrintJson(doc, args.raw);
  } else {
    PrintTabs(doc, args.raw);
  }
  return kOk;
}

// ---- Command line ----

enum Options : unsigned {
  kNone = 0,
  kDefault = 1,   // --default TEXT
  kJson = 2,      // --json
  kRaw = 4,       // --raw
  kExisting = 8,  // --existing
  kVerbose = 16,  // --verbose
  kType = 32,     // --type TYPE
};

struct Command {
  std::string_view name;
  std::string_view operands;  // as the usage line names them
  std::size_t operandCount;
  unsigned options;
  int (*run)(const Args&);
};

constexpr Command kCommands[] = {
    {"get", "FILE SECTION KEY [--default TEXT] [--raw] [--type TYPE]", 3,
     kDefault | kRaw | kType, Get},
    {"set", "FILE SECTION KEY VALUE|- [--existing] [--verbose] [--type TYPE]",
     4, kExisting | kVerbose | kType, Set},
    {"merge", "FILE [--existing] [--verbose]", 1, kExisting | kVerbose, Merge},
    {"del", "FILE SECTION KEY", 3, kNone, Del},
    {"del-section", "FILE SECTION", 2, kNone, DelSection},
    {"sections", "FILE", 1, kNone, Sections},
    {"section", "FILE SECTION", 2, kNone, PrintSection},
    {"dump", "FILE [--json] [--raw]", 1, kJson | kRaw, Dump},
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

// Options may stand anywhere after the command; "--" ends them.
Args ParseArgs(const Command& command, const std::vector<std::string>& words) {
  Args args;
  bool options = true;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (!options || !StartsWith(word, "--")) {
      args.operands.push_back(word);
    } else if (word == "--") {
      options = false;
    } else if (word == "--help") {
      args.help = true;
    } else if ((command.options & kJson) && word == "--json") {
      args.json = true;
    } else if ((command.options & kRaw) && word == "--raw") {
      args.raw = true;
    } else if ((command.options & kExisting) && word == "--existing") {
      args.existing = true;
    } else if ((command.options & kVerbose) && word == "--verbose") {
      args.verbose = true;
    } else if ((command.options & kDefault) && word == "--default") {
      if (++i == words.size()) throw UsageError("--default needs a TEXT");
      args.defaultValue = words[i];
    } else if ((command.options & kDefault) && StartsWith(word, "--default=")) {
      args.defaultValue = word.substr(std::string_view("--default=").size());
    } else if ((command.options & kType) && word == "--type") {
      if (++i == words.size()) throw UsageError("--type needs a TYPE");
      args.type = FindType(words[i]);
    } else if ((command.options & kType) && StartsWith(word, "--type=")) {
      args.type = FindType(std::string_view(word).substr(7));
    } else {
      throw UsageError(std::string(command.name) + " has no option " + word);
    }
  }
  if (!args.help && args.operands.size() != command.operandCount) {
    throw UsageError("usage: vty-ini " + std::string(command.name) + " " +
                     std::string(command.operands));
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
    return command.run(args);
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
