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
// Where things are: the command table below; the command line in
// Arguments.*; the commands in ReadCommands.cpp and EditCommands.cpp; the
// --help text in Help.cpp; the output formats in Formats.*, the diff of
// --dry-run in Diff.*.

#include <exception>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "Help.h"

#ifndef VTY_CONFIG_VERSION
#error "the build must define VTY_CONFIG_VERSION"
#endif

namespace vty::config::tool {
namespace {

constexpr Command kCommands[] = {
    {"get",
     "FILE SECTION [KEY] [--default TEXT] [--raw] [--type TYPE] [--format F] "
     "[--all] [--inline-comments CHARS] [--last] [--continuation] "
     "[--no-quotes] [--default-section NAME] [--layer PATH] [--env PREFIX] "
     "[--show-origin]",
     2, 3,
     kDefault | kRaw | kType | kFormat | kReading | kAll | kLayers | kOrigin,
     Get, nullptr},
    {"set",
     "FILE SECTION KEY VALUE|-|ITEM [--existing] [--add] [--raw] "
     "[--type TYPE] [--list] [--comment TEXT] [--inline-comments CHARS] "
     "[--last] [--continuation] [--no-quotes] [--default-section NAME]",
     4, 4,
     kExisting | kAdd | kRaw | kType | kList | kComment | kEditing | kReading,
     nullptr, Set},
    {"merge",
     "FILE [SECTION] [--existing] [--inline-comments CHARS] [--last] "
     "[--continuation] [--no-quotes] [--default-section NAME]",
     1, 2, kExisting | kEditing | kReading, nullptr, Merge},
    {"del", "FILE SECTION KEY [ITEM --list] [--existing]", 3, 4,
     kExisting | kList | kEditing, nullptr, Del},
    {"del-section", "FILE SECTION [--existing]", 2, 2, kExisting | kEditing,
     nullptr, DelSection},
    {"rename-section", "FILE SECTION NEW", 3, 3, kEditing, nullptr,
     RenameSection},
    {"sections", "FILE", 1, 1, kNone, Sections, nullptr},
    {"comment",
     "FILE SECTION [KEY] [--inline-comments CHARS] [--last] "
     "[--default-section NAME]",
     2, 3, kReading, PrintComment, nullptr},
    {"section",
     "FILE SECTION [--raw] [--inline-comments CHARS] [--last] "
     "[--continuation] [--no-quotes] [--default-section NAME]",
     2, 2, kRaw | kReading, PrintSection, nullptr},
    {"dump",
     "FILE [--json] [--raw] [--inline-comments CHARS] [--last] "
     "[--continuation] [--no-quotes] [--default-section NAME] [--layer PATH] "
     "[--env PREFIX] [--show-origin]",
     1, 1, kJson | kRaw | kReading | kLayers | kOrigin, Dump, nullptr},
    {"cat", "FILE [--layer PATH]", 1, 1, kLayers, Cat, nullptr},
    {"check", "FILE", 1, 1, kNone, Check, nullptr},
};

const Command& FindCommand(std::string_view name) {
  for (const Command& command : kCommands) {
    if (command.name == name) return command;
  }
  throw UsageError("unknown command '" + std::string(name) + "'");
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
    return Edit(args, command.edit);
  } catch (const UsageError&) {
    throw;  // a command's own check of its arguments
  } catch (const std::exception& error) {
    std::cout.flush();
    std::cerr << "vty-ini: " << file << ": " << error.what() << '\n';
    return kFailure;
  }
}

}  // namespace
}  // namespace vty::config::tool

int main(int argc, char** argv) {
  namespace tool = vty::config::tool;
  using tool::kFailure;
  int status;
  try {
    status = tool::Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const tool::UsageError& error) {
    std::cerr << "vty-ini: " << error.what() << " (see vty-ini --help)\n";
    return tool::kUsage;
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
