// What the rest of the library asks of the background writer.

#ifndef VTY_CONFIG_SRC_BACKGROUNDWRITER_H_
#define VTY_CONFIG_SRC_BACKGROUNDWRITER_H_

#include <chrono>

namespace vty::config::ini::detail {

// The time from the end of one cycle to the next: the caller's (60 seconds
// unless InitialiseAsyncWriting was given one), or the test seam's. Also the
// period at which files that cannot be watched are checked.
std::chrono::milliseconds WriterInterval();

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_BACKGROUNDWRITER_H_
