// What the rest of the library asks of the background writer, and its seams
// for tests (BackgroundWriter.cpp).

#ifndef VTY_CONFIG_SRC_LIVE_BACKGROUNDWRITER_H_
#define VTY_CONFIG_SRC_LIVE_BACKGROUNDWRITER_H_

#include <chrono>
#include <functional>

namespace vty::config::ini::detail {

// The time from the end of one cycle to the next: the caller's (60 seconds
// unless InitialiseAsyncWriting was given one), or the test seam's. Also the
// period at which files that cannot be watched are checked.
std::chrono::milliseconds WriterInterval();

// Unreachable through the shared library: an interval that overrides the
// caller's (zero gives the caller's back), and a function the writer thread
// calls at the end of every cycle.
void SetFlushIntervalForTesting(std::chrono::milliseconds interval);
void SetCycleObserverForTesting(std::function<void()> observer);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_BACKGROUNDWRITER_H_
