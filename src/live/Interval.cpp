// The period of the live parts: see Interval.h.

#include "live/Interval.h"

#include <atomic>

namespace vty::config::ini::detail {

namespace {

using std::chrono::milliseconds;

struct Intervals {
  std::atomic<milliseconds::rep> caller{60'000};
  std::atomic<milliseconds::rep> forTest{0};
};

Intervals& Get() {
  static Intervals intervals;
  return intervals;
}

}  // namespace

milliseconds WriterInterval() {
  const milliseconds::rep forTest = Get().forTest.load();
  return milliseconds(forTest != 0 ? forTest : Get().caller.load());
}

void SetWriterInterval(milliseconds interval) {
  Get().caller.store(interval.count());
}

void SetFlushIntervalForTesting(milliseconds interval) {
  Get().forTest.store(interval.count());
}

}  // namespace vty::config::ini::detail
