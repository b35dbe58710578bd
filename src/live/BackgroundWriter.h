// What the rest of the library asks of the background writer, and its seams
// for tests (BackgroundWriter.cpp).

#ifndef VTY_CONFIG_SRC_LIVE_BACKGROUNDWRITER_H_
#define VTY_CONFIG_SRC_LIVE_BACKGROUNDWRITER_H_

#include <functional>

#include "live/Interval.h"

namespace vty::config::ini::detail {

// Unreachable through the shared library: a function the writer thread
// calls at the end of every cycle.
void SetCycleObserverForTesting(std::function<void()> observer);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_BACKGROUNDWRITER_H_
