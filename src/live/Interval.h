// The period of the live parts (Interval.cpp): how long the background
// writer waits between cycles, and how often the watcher checks a file it
// cannot watch.

#ifndef VTY_CONFIG_SRC_LIVE_INTERVAL_H_
#define VTY_CONFIG_SRC_LIVE_INTERVAL_H_

#include <chrono>

namespace vty::config::ini::detail {

// The caller's (60 seconds unless InitialiseAsyncWriting was given one), or
// the test seam's.
std::chrono::milliseconds WriterInterval();
void SetWriterInterval(std::chrono::milliseconds interval);

// Unreachable through the shared library: an interval that overrides the
// caller's (zero gives the caller's back).
void SetFlushIntervalForTesting(std::chrono::milliseconds interval);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_INTERVAL_H_
