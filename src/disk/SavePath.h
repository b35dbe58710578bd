// Finding the file a save writes, following links only where that is safe
// (SavePath.cpp).

#ifndef VTY_CONFIG_SRC_DISK_SAVEPATH_H_
#define VTY_CONFIG_SRC_DISK_SAVEPATH_H_

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <utility>

#include "disk/Posix.h"

namespace vty::config::ini::detail {

// Where a save writes: the file `leaf` in the directory open at `dir`.
struct SavePath {
  Descriptor dir;    // opened O_PATH
  std::string leaf;  // never a link; it may be missing
  // The device and inode of the directory that holds the path's own last
  // name, before a link there is followed: the directory a load reads in.
  std::pair<dev_t, ino_t> parent{0, 0};
};

// Resolves `path` for a save, one name at a time, every step relative to
// the directory reached: links are followed as open(2) follows them (at
// most 40; a link that fs.protected_symlinks guards is refused as the
// kernel refuses it), the last one included, so that `leaf` names the file
// itself and a link stays a link. A link is followed only when its owner is
// root, this process's user, or the owner of the directory it leads into:
// a user's link cannot send a save by root into a directory the user may
// not write. With `makeDirectories`, the missing directories of the path
// are created (mode 0777 less the umask), never one a link leads to.
// Throws std::filesystem::filesystem_error naming `path`: EISDIR for a name
// that is no file's ("dir/", ".", "..", a link to a directory's name, before
// anything is created), EACCES for a link refused, ELOOP, ENOENT or ENOTDIR
// for a directory that cannot be reached, and for every failed call.
SavePath ResolveToSave(const std::filesystem::path& path, bool makeDirectories);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_SAVEPATH_H_
