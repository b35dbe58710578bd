// How far another writer has got with an edit of a watched file, from the
// inotify events of its name, and so when the watcher may read it.

#ifndef VTY_CONFIG_SRC_LIVE_EDITPROGRESS_H_
#define VTY_CONFIG_SRC_LIVE_EDITPROGRESS_H_

#include <chrono>
#include <cstdint>

namespace vty::config::ini::detail {

// An editor's save renames the old file away (or removes it) and writes a
// new one; a writer truncates a file and then writes it. Read in between,
// the file would show every key erased and then added again. So a file
// renamed away, removed or just made is waited for briefly, and a file
// being written until its writer closes it, each at most a bound: a file
// may also be removed for good, and a writer may never close it. A file
// edited again and again without pause is read once its writer pauses, or
// a step lasts its bound: what is read then is whole.
class EditProgress {
 public:
  using Clock = std::chrono::steady_clock;

  // Hears an inotify event about the file (its directory gone counts as the
  // file renamed away) at `now`; the file is to be read.
  void Hear(std::uint32_t mask, Clock::time_point now);
  // The file is to be read (a poll): at once, unless an edit is in progress.
  void Check();
  // Whether the file is to be read, and from when on.
  bool Due() const { return due_; }
  Clock::time_point ReadableAt() const;
  // Its reading has begun: events from here on call for another.
  void Taken() { due_ = false; }

 private:
  enum class Step { kSettled, kGone, kMade, kWritten };
  Step step_ = Step::kSettled;
  Clock::time_point since_{};  // when the step began
  bool due_ = false;
};

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_EDITPROGRESS_H_
