// Rewriting a file in place so that neither a full disk nor a crash leaves it
// torn (InPlace.cpp).

#ifndef VTY_CONFIG_SRC_DISK_INPLACE_H_
#define VTY_CONFIG_SRC_DISK_INPLACE_H_

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "disk/Disk.h"

namespace vty::config::ini::detail {

// The new text of an in-place rewrite, kept in a synced file beside the
// target, ".NAME.inplace", until the rewrite is synced: what a crash in the
// middle is completed from. The copy ends with a record of the file it
// belongs to (device and inode), its length before the rewrite, and the
// length and checksum of the new text, so that a later reader knows it
// whole and meant for that file. Its writer holds it write-locked
// (F_OFD_SETLK) for as long as it works. Removed on destruction unless
// Keep() was called.
class KeptCopy {
 public:
  // Turns the temporary `temporary` in the directory open at `dir`, open at
  // `fd` (write-locked) and holding `content`, synced, into the kept copy of
  // the file `leaf` there, whose status is `target`: the record is added,
  // the copy synced, renamed to its name and the directory synced. Throws
  // filesystem_error naming `path`, having removed the temporary.
  KeptCopy(int dir, const std::string& leaf, const std::string& temporary,
           Descriptor fd, std::string_view content, const struct stat& target,
           const std::filesystem::path& path);
  ~KeptCopy();
  KeptCopy(const KeptCopy&) = delete;
  KeptCopy& operator=(const KeptCopy&) = delete;
  // Leaves the copy for the next load or save: the target may be torn.
  void Keep() { kept_ = true; }

 private:
  int dir_;
  std::string name_;
  Descriptor fd_;
  bool kept_ = false;
};

// Rewrites the file open at `file` with `content`: first its blocks are
// allocated to the new length (fallocate; where the file system cannot, the
// new tail is written and synced), so that a full disk or a quota fails
// before an old byte changes, the file then cut back to its old length; then
// the new bytes over the old from the start, the length cut to theirs, and a
// sync. `copy` is the kept copy of `content`, or null where none could be
// made (a directory this process may not write): a crash in the middle then
// leaves a mixture. On a failure after the first old byte may have changed,
// the copy is kept and `torn` (when given) gets the snapshot of what the file
// holds: a retry must find it unchanged by anyone else, and write the whole
// document over it rather than merge. Throws filesystem_error naming `path`,
// saying whether the file changed.
DiskSnapshot RewriteInPlace(Descriptor& file, std::string_view content,
                            const std::filesystem::path& path,
                            DiskSnapshot* torn, KeptCopy* copy);

// Under the ProcessLock of the file `leaf` in the directory open at `dir`,
// locked at `locked`: completes from its kept copy an in-place rewrite that
// a crash cut short, and removes a copy that is no longer needed (its
// rewrite completed, or the file replaced since). A copy still write-locked
// by its writer is left alone. Throws filesystem_error naming `path` when
// the file cannot be completed.
void CompleteInterruptedRewrite(int locked, int dir, const std::string& leaf,
                                const std::filesystem::path& path);

// The same before a load of `path`, which holds no lock: when a kept copy
// is beside the file, takes the file's ProcessLock and completes it. Does
// nothing where this process may not lock the file (it may only read it,
// a link on the way is refused, the lock stays held elsewhere).
void CompleteInterruptedRewrite(const std::filesystem::path& path);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_INPLACE_H_
