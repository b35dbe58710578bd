// The lock of a registered document: a readers-writer lock in three modes,
// whose readers scale across cores and whose saves let readers in. Which
// code takes it in which mode is told at Hold (Hold.h).
//
// A std::shared_mutex keeps one count of readers, so every shared lock and
// unlock writes the same cache line, and two threads reading one document
// spend their time handing that line back and forth between cores. Here each
// reading thread counts itself in a slot of its own, on a cache line of its
// own (threads past the slot count share slots, which stays correct, only
// slower); a writer raises `blocked_`, which readers only read, and waits for
// every slot to empty. The fast path of a read is one uncontended atomic add
// and one load, with no line another core writes.
//
// Three ways to hold it:
//
//   mode       readers    changes and saves   used by
//   ---------  ---------  ------------------  ------------------------------
//   shared     admitted   excluded            lookups
//   change     excluded   excluded            edits; a merge, for its length
//   save       admitted   excluded            a save, Flush, Reload
//
// so that a read never waits for a save's fsync. A save that must merge what
// another process wrote turns into a change for the merge and back. Writers
// (change and save holders) are admitted one at a time, and not while
// readers wait to get in, so that a loop of writes cannot starve readers.
// Every wait parks on a condition variable. Not recursive: taking it again
// in a thread that holds it in another mode deadlocks.

#ifndef VTY_CONFIG_SRC_DOCUMENT_DOCUMENTLOCK_H_
#define VTY_CONFIG_SRC_DOCUMENT_DOCUMENTLOCK_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace vty::config::ini::detail {

class DocumentLock {
 public:
  static constexpr std::size_t kSlots = 16;

  // The calling thread's slot, the same in every document's lock. Slots are
  // handed out in turn, so threads share them only beyond kSlots. Found at a
  // fixed offset from the thread pointer (initial-exec), without a call.
  static std::size_t ThreadSlot() {
    [[gnu::tls_model("initial-exec")]] static thread_local std::size_t slot =
        kSlots;
    if (slot == kSlots) slot = NewThreadSlot();
    return slot;
  }

  // Shared mode, counted in `slot`, the calling thread's.
  void LockShared(std::size_t slot) {
    std::atomic<std::uint32_t>& readers = slots_[slot].readers;
    readers.fetch_add(1);
    if ((state_.load() & kBlocked) != 0) WaitToRead(readers);
  }
  void UnlockShared(std::size_t slot) {
    slots_[slot].readers.fetch_sub(1);
    if ((state_.load() & kBlocked) != 0) WakeAll();  // a writer may drain
  }

  // Change mode and save mode. Uncontended, each is one compare-and-swap of
  // state_ (and, for a change, a look at every slot).
  void LockChange() {
    std::uint32_t idle = 0;
    if (!state_.compare_exchange_strong(idle, kWriter | kBlocked)) {
      AdmitWriter(kWriter | kBlocked);
    }
    if (!ReadersOut()) WaitForReaders();
  }
  void LockSave() {
    std::uint32_t idle = 0;
    if (!state_.compare_exchange_strong(idle, kWriter)) AdmitWriter(kWriter);
  }
  // Releases change or save mode.
  void UnlockWriter() {
    std::uint32_t held = state_.load();
    if ((held & kWaiters) != 0 || !state_.compare_exchange_strong(held, 0)) {
      ReleaseToWaiters();
    }
  }
  // From save mode to change mode and back, without letting a change in.
  void SaveToChange() {
    state_.fetch_or(kBlocked);
    if (!ReadersOut()) WaitForReaders();
  }
  void ChangeToSave() {
    if ((state_.fetch_and(~kBlocked) & kWaiters) != 0) WakeAll();
  }

  // How many threads wait to take the lock: a seam for tests.
  std::size_t WaitingForTesting();

  // In the child of a fork, which has none of the threads that held or
  // waited for the lock: free, with no reader and no waiter.
  void ResetAfterFork();

 private:
  // The bits of state_.
  static constexpr std::uint32_t kWriter = 1;   // change or save mode held
  static constexpr std::uint32_t kBlocked = 2;  // readers must wait
  static constexpr std::uint32_t kWaiters = 4;  // someone waits in park_

  struct alignas(64) Slot {
    std::atomic<std::uint32_t> readers{0};
  };

  static std::size_t NewThreadSlot();

  bool ReadersOut() const {
    for (const Slot& slot : slots_) {
      if (slot.readers.load() != 0) return false;
    }
    return true;
  }

  void WaitToRead(std::atomic<std::uint32_t>& readers);
  void AdmitWriter(std::uint32_t mode);
  void WaitForReaders();
  void ReleaseToWaiters();
  void WakeAll();
  // After a waiter got what it waited for: clears kWaiters when nobody
  // waits any more, and wakes the rest. The caller holds park_.
  void DoneWaiting();

  std::array<Slot, kSlots> slots_;
  // Written by writers and waiters, read by all; a cache line of its own.
  alignas(64) std::atomic<std::uint32_t> state_{0};
  std::mutex park_;
  std::condition_variable changed_;  // of state_ or of a slot
  std::size_t waitingReaders_ = 0;   // Guarded by park_.
  std::size_t waitingWriters_ = 0;   // Guarded by park_.
};

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_DOCUMENTLOCK_H_
