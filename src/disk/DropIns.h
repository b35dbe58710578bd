// Which files of drop-in directories are read, and in what order: systemd's
// rules for "*.conf.d" directories (DropIns.cpp).

#ifndef VTY_CONFIG_SRC_DISK_DROPINS_H_
#define VTY_CONFIG_SRC_DISK_DROPINS_H_

#include <string>
#include <vector>

namespace vty::config::ini::detail {

// Whether `path` names a drop-in directory: a directory now, or a path
// ending in "/" or ".d", which names one even before it is made.
bool IsDropInDirectory(const std::string& path);

// The file `name` of the directory `directory`, as a layer's origin spells
// it: the directory as given, one '/', the name.
std::string DropInPath(const std::string& directory, const std::string& name);

// The files to read of each of `directories` (lowest precedence first): for
// each directory, the paths of its regular files ending in ".ini" or
// ".conf", in byte order of their names. A name that a later directory has
// too is read from there only, and not at all when that one is empty or
// resolves to /dev/null (it masks the name). A missing directory has none.
// Throws std::filesystem::filesystem_error naming a directory that exists
// but cannot be listed.
std::vector<std::vector<std::string>> ListDropIns(
    const std::vector<std::string>& directories);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_DROPINS_H_
