// Waiting out a program that rewrites a file in place without a lock
// (HalfWritten.cpp).

#ifndef VTY_CONFIG_SRC_DISK_HALFWRITTEN_H_
#define VTY_CONFIG_SRC_DISK_HALFWRITTEN_H_

#include <chrono>
#include <filesystem>
#include <optional>

#include "disk/Disk.h"

namespace vty::config::ini::detail {

// Whether the file open at `fd`, last known as `saved`, is being rewritten
// in place by a program that does not lock: the same file, emptied or
// shrunk, changed within the quiet period. Then waits until it has been still
// for that long (at most until `deadline`) and returns its content; otherwise
// returns nothing. A save must not take a file that another program has
// truncated and not yet written for the other side's version.
std::optional<DiskContent> WaitUntilStill(
    const DiskSnapshot& saved, int fd, const std::filesystem::path& path,
    std::chrono::steady_clock::time_point deadline);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DISK_HALFWRITTEN_H_
