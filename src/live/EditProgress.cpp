// When an edited file may be read: the steps of another writer's edit.

#include "live/EditProgress.h"

#include <sys/inotify.h>

#include "disk/HalfWritten.h"

namespace vty::config::ini::detail {

namespace {

using std::chrono::milliseconds;

// How long each step is waited for to end. An editor makes the new file
// right after it renamed the old away, and writes it right after making it:
// the quiet period a save gives such an editor (HalfWritten.h). A writer may
// take a while to write, sync and close; the read that follows (Reload)
// still waits out a writer that has the file open.
constexpr milliseconds kGoneAtMost = kQuietPeriod;
constexpr milliseconds kMadeAtMost = kQuietPeriod;
constexpr milliseconds kWrittenAtMost{2000};

}  // namespace

void EditProgress::Hear(std::uint32_t mask, Clock::time_point now) {
  Step step = Step::kGone;  // renamed away, removed, its directory gone
  if ((mask & (IN_CLOSE_WRITE | IN_MOVED_TO | IN_Q_OVERFLOW)) != 0) {
    step = Step::kSettled;  // a whole file: closed, or renamed into place
  } else if ((mask & IN_MODIFY) != 0) {
    step = Step::kWritten;
  } else if ((mask & IN_CREATE) != 0) {
    step = Step::kMade;
  }
  // Each step is bounded from its first event, so that a file written
  // without pause is still read now and then.
  if (step != step_) since_ = now;
  step_ = step;
  due_ = true;
}

void EditProgress::Check() { due_ = true; }

EditProgress::Clock::time_point EditProgress::ReadableAt() const {
  switch (step_) {
    case Step::kGone:
      return since_ + kGoneAtMost;
    case Step::kMade:
      return since_ + kMadeAtMost;
    case Step::kWritten:
      return since_ + kWrittenAtMost;
    case Step::kSettled:
      break;
  }
  return Clock::time_point::min();
}

}  // namespace vty::config::ini::detail
