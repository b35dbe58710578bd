// The command line of vty-ini: the exit codes, the options a command takes,
// and the parse of its words into an Args (Arguments.cpp). The commands
// themselves are in ReadCommands.cpp and EditCommands.cpp, their table in
// Main.cpp.

#ifndef VTY_CONFIG_TOOLS_ARGUMENTS_H_
#define VTY_CONFIG_TOOLS_ARGUMENTS_H_

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "config/INI.h"

namespace vty::config::tool {

class Store;

// ---- Exit codes ----

constexpr int kOk = 0;
constexpr int kMissing = 1;  // missing, or check found something
constexpr int kUsage = 2;    // the command line is wrong
constexpr int kFailure = 3;  // the library refused the request or failed

// A command line that cannot be run. main() prints the message on one line
// with a pointer to --help.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `text` as the library reads a T and writes it again, or std::nullopt when
// it is not a T.
template <class T>
inline std::optional<std::string> AsType(std::string_view text) {
  T value;
  if (!ini::ParseValue<T>(text, value)) return std::nullopt;
  return ini::FormatValue<T>(value);
}

struct Type {
  std::string_view name;
  std::optional<std::string> (*convert)(std::string_view);
};

inline constexpr Type kTypes[] = {{"int", AsType<long long>},
                                  {"uint", AsType<unsigned long long>},
                                  {"bool", AsType<bool>},
                                  {"float", AsType<double>}};

// A command's operands and the options given to it.
struct Args {
  std::vector<std::string> operands;  // FILE first
  std::optional<std::string> defaultValue;
  const Type* type = nullptr;  // --type
  std::string format;          // --format: "", "sh", "ini" or "lines"
  std::string prefix;          // --prefix: put before every sh name
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
  // How values are read, as the other readers of FILE read them.
  std::string inlineComments = ";";                       // --inline-comments
  bool last = false;                                      // --last
  bool continuation = false;                              // --continuation
  bool quotes = true;                                     // --no-quotes
  std::optional<std::string> defaultSection = "DEFAULT";  // --default-section
  bool all = false;                                       // get --all
  bool add = false;                                       // set --add
  std::optional<std::string> comment;  // set --comment: the block above KEY
  std::vector<std::string> layers;     // --layer PATH: below FILE, lowest first
  std::optional<std::string> env;      // --env PREFIX: the top layer
  bool showOrigin = false;             // --show-origin: FILE:LINE<TAB>VALUE
};

// The library's name for a SECTION operand: "" is the unnamed section.

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
  // --inline-comments, --last, --default-section, --continuation,
  // --no-quotes
  kReading = 256,
  kAll = 512,       // --all
  kAdd = 1024,      // --add
  kComment = 2048,  // --comment TEXT
  kLayers = 4096,   // --layer PATH, --env PREFIX
  kOrigin = 8192,   // --show-origin
};

// One command of the table in Main.cpp.
struct Command {
  std::string_view name;
  std::string_view operands;  // as the usage line names them
  std::size_t fewest, most;   // operands
  unsigned options;
  int (*read)(const Args&);          // a reading command, or
  int (*edit)(const Args&, Store&);  // an editing one
};

// The operands and options after the command's name. Options may stand
// anywhere; "--" ends them. Throws UsageError.
Args ParseArgs(const Command& command, const std::vector<std::string>& words);

}  // namespace vty::config::tool

#endif  // VTY_CONFIG_TOOLS_ARGUMENTS_H_
