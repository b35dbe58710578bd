// Rewriting a file in place, keeping its inode: for a file that cannot be
// replaced by a rename (a single file bind-mounted into a container), and
// for hard links that must all see the change.
//
// The lock is the one every save of the library takes: a write lock on the
// open file description (fcntl F_OFD_SETLK), exclusive,
// on the file itself, checked to still be the file the path names. Take it
// before reading the file, so that nobody saves between the read and the
// rewrite. A crash or a full disk in the middle of an in-place rewrite can
// leave the file truncated; a rename never can.

#ifndef VTY_CONFIG_TOOLS_INPLACE_H_
#define VTY_CONFIG_TOOLS_INPLACE_H_

#include <string>
#include <string_view>

namespace vty::config::tool {

class FileLock {
 public:
  // Locks `path`, waiting at most 10 seconds. A missing file locks nothing
  // (Held() is false). Throws std::filesystem::filesystem_error.
  explicit FileLock(const std::string& path);
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

  bool Held() const { return fd_ >= 0; }

  // Replaces the file's bytes with `text` through the locked descriptor,
  // truncates it to that length and syncs it. REQUIRES: Held().
  void Rewrite(std::string_view text) const;

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace vty::config::tool

#endif  // VTY_CONFIG_TOOLS_INPLACE_H_
