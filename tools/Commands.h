// The commands of vty-ini, each in the file of its job: ReadCommands.cpp
// (get, sections, section, comment, dump, check) and EditCommands.cpp (set,
// merge, del, del-section, rename-section). What they share, the names they
// give sections, their messages and typed values, is in Commands.cpp.
//
// A reading command takes its Args; an editing one also the Store of FILE,
// which Edit then previews or saves. Each returns an exit code
// (Arguments.h) and throws what main() turns into exit 2 or 3.

#ifndef VTY_CONFIG_TOOLS_COMMANDS_H_
#define VTY_CONFIG_TOOLS_COMMANDS_H_

#include <string>

#include "Arguments.h"
#include "Store.h"

namespace vty::config::tool {

// ---- Reading commands ----
int Get(const Args& args);
int Sections(const Args& args);
int PrintSection(const Args& args);
int PrintComment(const Args& args);
int Dump(const Args& args);
// Through the layers of --layer, FILE and --env (LayerCommands.cpp).
int LayeredGet(const Args& args);
int LayeredDump(const Args& args);
int Cat(const Args& args);
int Check(const Args& args);

// ---- Editing commands ----
int Set(const Args& args, Store& store);
int Merge(const Args& args, Store& store);
int Del(const Args& args, Store& store);
int DelSection(const Args& args, Store& store);
int RenameSection(const Args& args, Store& store);
// Runs an editing command on FILE, then shows or saves the result.
int Edit(const Args& args, int (*edit)(const Args&, Store&));

// ---- Shared ----

// The library's name for a SECTION operand: "" is the unnamed section.
SectionName AsSection(const std::string& operand);
std::string Describe(const SectionName& section);
// How the command reads FILE: --inline-comments, --last, --default-section,
// --no-quotes and the --list-sep of the list values.
ini::Syntax SyntaxOf(const Args& args);
// Whether FILE exists, for the commands that report a missing file. What
// exists but cannot be read (or is no regular file) the library refuses by
// itself, so that an edit never replaces it.
bool Exists(const std::string& file);
// Every exit but 0 says why on standard error, naming what is missing;
// each returns kMissing.
int Missing(const Args& args, const std::string& what);
int MissingFile(const Args& args);
int MissingSection(const Args& args, const SectionName& section);
int MissingKey(const Args& args, const SectionName& section,
               const std::string& key);
// --verbose: what an edit did, on standard error.
void Tell(const Args& args, bool changed, const std::string& what);
// The VALUE "-": standard input without the one line end that closes it. A
// line break before that stays in the value, and the library refuses it.
// Throws std::invalid_argument when standard input holds no line at all: a
// script whose producer failed would otherwise empty the setting.
std::string ReadInputLine();
// A value as --type prints or stores it. `what` names it for the message.
std::string Typed(const Args& args, const std::string& value,
                  const std::string& what);

}  // namespace vty::config::tool

#endif  // VTY_CONFIG_TOOLS_COMMANDS_H_
