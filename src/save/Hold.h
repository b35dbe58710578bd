// Which lock guards a document, in which mode, and what nests in what.
//
// Every document has one of two locks. A registered document (every document
// the exported functions and the handles reach) has its DocumentLock, in
// three modes; a File a caller builds has its public `mutex`, which the
// library takes shared to read and exclusively for everything else (there,
// save mode and change mode are one). A Hold picks the lock from the
// document, so nothing past its constructor asks which.
//
// The modes: read for lookups and section queries; change for an edit; save
// for every save (Flush, an edit that saves at once after its change hold is
// released, the background writer) and for Reload, rising to change mode
// only while a merge replaces lines (Merge.cpp).
//
// What nests: a save takes the lock between processes on the file
// (ProcessLock) first and its hold second, so that waiting for another
// process holds nothing of the document; nor does the wait for a program
// still writing the file without a lock (HalfWritten.cpp), which a save and
// Reload make between two holds. One bounded wait does run under the hold in
// save mode, where readers go on but changes (and a fork) wait: for a save
// in place, for readers' locks to leave the file (ProcessLock.cpp). Under a
// hold only leaf locks are taken: a section's index mutex, by the lookup that
// builds the index (Document.cpp), and the watcher's mutex, briefly, by the
// merge listener that hands over what a merge changed (Watcher.cpp). No thread
// holds two documents at once, except the fork handlers (Fork.cpp), which take
// the writer's mutex, the registry's lock, every registered document in change
// mode, the watcher's mutex and the process locks' table, in that order.
// Otherwise the registry's lock is taken only to find or add a document and
// released before any hold. No lock is held while a caller's callback or error
// handler runs.

#ifndef VTY_CONFIG_SRC_SAVE_HOLD_H_
#define VTY_CONFIG_SRC_SAVE_HOLD_H_

#include "document/Document.h"

namespace vty::config::ini::detail {

// Holds a document's lock in one mode until destroyed; moves between change
// and save mode without letting another writer in. Not recursive: a thread
// that holds a document must not take a second Hold on it.
class Hold {
 public:
  enum class Mode { kRead, kChange, kSave };

  Hold(const File& file, Mode mode)
      : state_(DocumentState::Of(file)), file_(file), mode_(mode) {
    if (!state_.registered) {
      mode_ == Mode::kRead ? file_.mutex.lock_shared() : file_.mutex.lock();
    } else if (mode_ == Mode::kRead) {
      slot_ = DocumentLock::ThreadSlot();
      state_.lock.LockShared(slot_);
    } else {
      mode_ == Mode::kChange ? state_.lock.LockChange()
                             : state_.lock.LockSave();
    }
  }
  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;
  ~Hold() {
    if (!state_.registered) {
      mode_ == Mode::kRead ? file_.mutex.unlock_shared() : file_.mutex.unlock();
    } else if (mode_ == Mode::kRead) {
      state_.lock.UnlockShared(slot_);
    } else {
      state_.lock.UnlockWriter();
    }
  }

  // From change mode to save mode: readers may come in again.
  void ToSave() {
    if (mode_ == Mode::kChange && state_.registered) state_.lock.ChangeToSave();
    mode_ = Mode::kSave;
  }
  // From save mode to change mode: waits for the readers to leave.
  void ToChange() {
    if (mode_ == Mode::kSave && state_.registered) state_.lock.SaveToChange();
    mode_ = Mode::kChange;
  }

 private:
  DocumentState& state_;
  const File& file_;
  Mode mode_;
  std::size_t slot_ = 0;  // the thread's, in read mode
};

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_SAVE_HOLD_H_
