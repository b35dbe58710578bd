// The path of a save, resolved by the library rather than by the kernel, so
// that every link on it can be judged before it is followed.
//
// Why. A save by root in a directory a user controls must not end in a
// directory only root may write: the user could swap a directory on the way
// (or the file itself) for a link at the right moment, and root would create
// or replace a file of its own there. The kernel follows such a link without
// asking who made it (fs.protected_symlinks guards only sticky,
// world-writable directories). So each name is opened with O_NOFOLLOW
// relative to the directory before it; a link is read through its own
// descriptor, resolved the same way, and followed only when its owner is
// root, this process's user, or the owner of the directory it leads into.
// The link judged is the very link followed: nothing is looked up twice.
//
// No directory is created through a link: until the link is followed there
// is no directory to judge it by.
//
// Most paths hold no link and no missing directory: where the kernel has
// openat2(2), such a directory is opened in one call that refuses every link
// (RESOLVE_NO_SYMLINKS), and only a path it refuses is walked name by name.
// What the one call opens is what the walk would reach, as the walk follows
// no link on such a path; each failure of the call, the kernel's lack of it
// (ENOSYS) or a filter's refusal included, leaves the walk to decide, with
// its own errors. The file itself is looked at with fstatat(2): only a link
// is opened, to be read through its own descriptor.

#include "disk/SavePath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string_view>

namespace vty::config::ini::detail {

namespace fs = std::filesystem;

namespace {

constexpr int kMostLinks = 40;  // as many as the kernel follows

// One resolution: its path, for messages, and the links it followed.
struct Walk {
  const fs::path& path;
  int links = 0;
};

Descriptor OpenName(int dir, const std::string& name) {
  return Descriptor(
      ::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
}

struct stat StatusOf(int fd, const Walk& walk) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    Fail("cannot inspect the path to save", walk.path, errno);
  }
  return status;
}

// The text of the link open (O_PATH) at `link`.
std::string LinkText(int link, const Walk& walk) {
  std::string text(256, '\0');
  for (;;) {
    const ssize_t size = ::readlinkat(link, "", text.data(), text.size());
    if (size < 0)
      Fail("cannot read a link on the path to save", walk.path, errno);
    if (static_cast<std::size_t>(size) < text.size()) {
      text.resize(static_cast<std::size_t>(size));
      return text;
    }
    text.resize(text.size() * 2);
  }
}

bool KernelProtectsLinks() {
  static const bool on = [] {
    std::FILE* setting = std::fopen("/proc/sys/fs/protected_symlinks", "re");
    if (setting == nullptr) return false;
    const int value = std::fgetc(setting);
    std::fclose(setting);
    return value != EOF && value != '0';
  }();
  return on;
}

// Throws unless the link `name`, of status `link`, in the directory of
// status `in`, may be followed into the directory of status `into`.
void JudgeLink(const struct stat& link, const struct stat& in,
               const struct stat& into, const std::string& name,
               const Walk& walk) {
  const uid_t self = ::geteuid();
  // What the kernel would refuse, were it following the link.
  if (KernelProtectsLinks() && (in.st_mode & S_ISVTX) != 0 &&
      (in.st_mode & S_IWOTH) != 0 && link.st_uid != self &&
      link.st_uid != in.st_uid) {
    Fail("refused to follow the link '" + name +
             "' in a sticky, world-writable directory (fs.protected_symlinks)",
         walk.path, EACCES);
  }
  if (link.st_uid == 0 || link.st_uid == self || link.st_uid == into.st_uid) {
    return;
  }
  Fail("refused to follow the link '" + name + "', owned by user " +
           std::to_string(link.st_uid) + ", into a directory owned by user " +
           std::to_string(into.st_uid) +
           " (a link is followed only when its owner is root, this "
           "process's user or the owner of the directory it leads into)",
       walk.path, EACCES);
}

Descriptor FollowToDirectory(int in, int link, const struct stat& status,
                             const std::string& name, Walk& walk);

// Resolves `text`, relative to the directory open at `start` (or to "/"),
// to a directory; with `make`, creating what is missing.
Descriptor ResolveDirectory(int start, std::string_view text, bool make,
                            Walk& walk) {
  Descriptor dir(!text.empty() && text.front() == '/'
                     ? ::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC)
                     : ::fcntl(start, F_DUPFD_CLOEXEC, 0));
  if (dir.Get() < 0)
    Fail("cannot open the directory to save", walk.path, errno);
  while (!text.empty()) {
    const std::size_t slash = std::min(text.find('/'), text.size());
    const std::string name(text.substr(0, slash));
    text.remove_prefix(std::min(slash + 1, text.size()));
    if (name.empty() || name == ".") continue;
    Descriptor next = OpenName(dir.Get(), name);
    if (next.Get() < 0 && errno == ENOENT && make) {
      if (::mkdirat(dir.Get(), name.c_str(), 0777) != 0 && errno != EEXIST) {
        Fail("cannot create the directories to save", walk.path, errno);
      }
      next = OpenName(dir.Get(), name);
    }
    if (next.Get() < 0) {
      Fail("cannot open the directory to save", walk.path, errno);
    }
    const struct stat status = StatusOf(next.Get(), walk);
    if (S_ISLNK(status.st_mode)) {
      next = FollowToDirectory(dir.Get(), next.Get(), status, name, walk);
    } else if (!S_ISDIR(status.st_mode)) {
      Fail("not a directory on the path to save", walk.path, ENOTDIR);
    }
    dir = std::move(next);
  }
  return dir;
}

// Follows the link `name`, open at `link` with `status`, in the directory
// open at `in`, to the directory it names, where nothing is created.
Descriptor FollowToDirectory(int in, int link, const struct stat& status,
                             const std::string& name, Walk& walk) {
  if (++walk.links > kMostLinks) {
    Fail("too many links on the path to save", walk.path, ELOOP);
  }
  Descriptor into =
      ResolveDirectory(in, LinkText(link, walk), /*make=*/false, walk);
  JudgeLink(status, StatusOf(in, walk), StatusOf(into.Get(), walk), name, walk);
  return into;
}

// The directory `text` names (relative to the working directory), opened in
// one call when no link is on the way and it exists: -1 otherwise, and where
// the kernel has no openat2 or a filter refuses it, which is then not tried
// again.
Descriptor OpenWithoutLinks(std::string_view text) {
  static std::atomic<bool> unavailable{false};
  if (unavailable.load(std::memory_order_relaxed)) return Descriptor();
  open_how how{};
  how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  how.resolve = RESOLVE_NO_SYMLINKS;
  const std::string name(text.empty() ? "." : text);
  Descriptor dir(static_cast<int>(
      ::syscall(SYS_openat2, AT_FDCWD, name.c_str(), &how, sizeof how)));
  if (dir.Get() < 0 && (errno == ENOSYS || errno == EPERM)) {
    unavailable.store(true, std::memory_order_relaxed);
  }
  return dir;
}

// Whether `name` is that of a directory rather than of a file.
bool NamesADirectory(std::string_view name) {
  return name.empty() || name == "." || name == "..";
}

}  // namespace

SavePath ResolveToSave(const fs::path& path, bool makeDirectories) {
  // Checked before anything is created: "dir/" names no file to save.
  if (NamesADirectory(path.filename().native())) {
    Fail("cannot save to a directory's name", path, EISDIR);
  }
  Walk walk{path};
  SavePath where;
  where.dir = OpenWithoutLinks(path.parent_path().native());
  if (where.dir.Get() < 0) {
    const Descriptor start(::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (start.Get() < 0) {
      Fail("cannot open the directory to save", path, errno);
    }
    where.dir = ResolveDirectory(start.Get(), path.parent_path().native(),
                                 makeDirectories, walk);
  }
  const struct stat parent = StatusOf(where.dir.Get(), walk);
  where.parent = {parent.st_dev, parent.st_ino};
  where.leaf = path.filename().string();
  for (;;) {
    // A file, or none: nothing to follow. Anything else, a failure included,
    // is opened to be told apart.
    struct stat named {};
    if (::fstatat(where.dir.Get(), where.leaf.c_str(), &named,
                  AT_SYMLINK_NOFOLLOW) == 0
            ? !S_ISLNK(named.st_mode)
            : errno == ENOENT) {
      return where;
    }
    const Descriptor leaf = OpenName(where.dir.Get(), where.leaf);
    if (leaf.Get() < 0) {
      if (errno == ENOENT) return where;  // a new file
      Fail("cannot follow the path to save", path, errno);
    }
    const struct stat status = StatusOf(leaf.Get(), walk);
    if (!S_ISLNK(status.st_mode)) return where;
    if (++walk.links > kMostLinks) {
      Fail("too many links on the path to save", path, ELOOP);
    }
    const std::string text = LinkText(leaf.Get(), walk);
    const std::size_t slash = text.rfind('/');
    const std::string name =
        slash == std::string::npos ? text : text.substr(slash + 1);
    if (NamesADirectory(name)) {
      Fail("the link to save leads to a directory's name", path, EISDIR);
    }
    // "/name" has its directory in "/", which "" would not give.
    const std::string_view directory =
        slash == std::string::npos ? std::string_view()
        : slash == 0               ? std::string_view("/")
                                   : std::string_view(text).substr(0, slash);
    Descriptor into =
        ResolveDirectory(where.dir.Get(), directory, /*make=*/false, walk);
    JudgeLink(status, StatusOf(where.dir.Get(), walk),
              StatusOf(into.Get(), walk), where.leaf, walk);
    where.dir = std::move(into);
    where.leaf = name;
  }
}

}  // namespace vty::config::ini::detail
