// Listing drop-in directories. A directory is read once per listing, and the
// listing is kept by the caller: reads never list.

#include "disk/DropIns.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <string_view>
#include <system_error>

#include "disk/Posix.h"

namespace vty::config::ini::detail {

namespace {

namespace fs = std::filesystem;

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

enum class Kind { kSkipped, kRead, kMask };

// What the entry `path` is to a listing, links followed: an empty regular
// file or the null device masks its name.
Kind KindOf(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return Kind::kSkipped;  // dangling
  if (S_ISREG(status.st_mode)) {
    return status.st_size == 0 ? Kind::kMask : Kind::kRead;
  }
  struct stat null {};
  if (S_ISCHR(status.st_mode) && ::stat("/dev/null", &null) == 0 &&
      status.st_rdev == null.st_rdev) {
    return Kind::kMask;
  }
  return Kind::kSkipped;
}

}  // namespace

bool IsDropInDirectory(const std::string& path) {
  if (EndsWith(path, "/") || EndsWith(path, ".d")) return true;
  std::error_code error;
  return fs::is_directory(path, error);
}

std::string DropInPath(const std::string& directory, const std::string& name) {
  return EndsWith(directory, "/") ? directory + name : directory + "/" + name;
}

std::vector<std::vector<std::string>> ListDropIns(
    const std::vector<std::string>& directories) {
  // Each name: the last directory that has it, and whether it masks there.
  std::map<std::string, std::pair<std::size_t, Kind>> winners;
  for (std::size_t i = 0; i < directories.size(); ++i) {
    std::error_code error;
    fs::directory_iterator entries(directories[i], error);
    if (error) {
      if (error == std::errc::no_such_file_or_directory ||
          error == std::errc::not_a_directory) {
        continue;
      }
      Fail("cannot list the drop-in directory", directories[i], error.value());
    }
    for (const fs::directory_entry& entry : entries) {
      std::string name = entry.path().filename().string();
      if (!EndsWith(name, ".ini") && !EndsWith(name, ".conf")) continue;
      const Kind kind = KindOf(DropInPath(directories[i], name));
      if (kind == Kind::kSkipped) continue;
      winners[std::move(name)] = {i, kind};
    }
  }
  std::vector<std::vector<std::string>> files(directories.size());
  for (const auto& [name, winner] : winners) {  // in byte order of names
    if (winner.second == Kind::kRead) {
      files[winner.first].push_back(
          DropInPath(directories[winner.first], name));
    }
  }
  return files;
}

}  // namespace vty::config::ini::detail
