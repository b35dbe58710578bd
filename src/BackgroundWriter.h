// The background writer's seams for tests (BackgroundWriter.cpp).

#ifndef VTY_CONFIG_SRC_BACKGROUNDWRITER_H_
#define VTY_CONFIG_SRC_BACKGROUNDWRITER_H_

#include <chrono>
#include <functional>

namespace vty::config::ini::detail {

// Unreachable through the shared library (where the interval stays 60
// seconds): the time from the end of one periodic cycle to the next, and a
// function the writer thread calls at the end of every cycle.
void SetFlushIntervalForTesting(std::chrono::milliseconds interval);
void SetCycleObserverForTesting(std::function<void()> observer);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_BACKGROUNDWRITER_H_
