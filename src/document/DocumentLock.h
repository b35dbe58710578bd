// The lock of a registered document: a readers-writer lock in three modes,
// whose readers scale across cores and whose saves let readers in. Which
// code takes it in which mode is told at Hold (Hold.h).
//
// A std::shared_mutex keeps one count of readers, so every shared lock and
// unlock writes the same cache line, and two threads reading one document
// spend their time handing that line back and forth between cores. Here each
// reading thread counts itself in a slot it owns, on a cache line of its own:
// a thread claims a slot number at its first read, the same in every
// document's lock, and gives it back as it exits. Only the owner writes its
// slot, so it counts with a plain load and store, not an atomic add. Threads
// past the slot count share one more slot, counted with atomic adds, which
// stays correct, only slower.
//
// A reader stores its count and then loads state_; a writer raises kBlocked
// in state_ and then loads every slot. For the two to see each other, both
// sides need a full fence between their store and their load. The reader's
// is only a compiler barrier: the writer, after raising kBlocked, makes every
// running thread of the process execute a full fence for it with
// membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED). Each reader then either was
// past its store at that moment, and the writer sees its slot, or was not,
// and its load sees kBlocked. Only raising kBlocked (a change) pays the
// system call, and only while another thread owns a slot; a save lets
// readers in and pays nothing. Where the kernel has no membarrier, and under
// ThreadSanitizer (which cannot see one), the reader's fence is a real one
// instead, chosen once, as the library loads. So the fast path of a read is
// a load and a store of its own slot and a load of state_, which only
// writers write: no atomic read-modify-write, no line another reader writes.
// A thread may hold two documents at once, each counted in its own lock's
// slot. In the child of a fork, the slots of the threads it lacks are free.
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

#if defined(__SANITIZE_THREAD__)
#define VTY_CONFIG_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VTY_CONFIG_THREAD_SANITIZER 1
#endif
#endif

class DocumentLock {
 public:
  static constexpr std::size_t kSlots = 16;
  // The slot of the threads that own none, counted with atomic adds.
  static constexpr std::size_t kShared = kSlots;

  // The calling thread's slot, the same in every document's lock: its own
  // while it runs, or kShared once every slot is owned. Found at a fixed
  // offset from the thread pointer (initial-exec), without a call.
  static std::size_t ThreadSlot() {
    [[gnu::tls_model("initial-exec")]] static thread_local std::size_t slot =
        kUnclaimed;
    if (slot == kUnclaimed) ClaimSlot(slot);
    return slot;
  }

  // Shared mode, counted in `slot`, the calling thread's.
  void LockShared(std::size_t slot) {
    Enter(slot);
    if ((state_.load() & kBlocked) != 0) WaitToRead(slot);
  }
  void UnlockShared(std::size_t slot) {
    Leave(slot);
    if ((state_.load() & kBlocked) != 0) WakeAll();  // a writer may drain
  }

  // Change mode and save mode. Uncontended, each is one compare-and-swap of
  // state_ (and, for a change, a membarrier and a look at every slot).
  void LockChange() {
    std::uint32_t idle = 0;
    if (!state_.compare_exchange_strong(idle, kWriter | kBlocked)) {
      AdmitWriter(kWriter | kBlocked);
    }
    DrainReaders();
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
    DrainReaders();
  }
  void ChangeToSave() {
    if ((state_.fetch_and(~kBlocked) & kWaiters) != 0) WakeAll();
  }

  // How many threads wait to take the lock: a seam for tests.
  std::size_t WaitingForTesting();
  // Whether readers' slots are counted with no fence of their own, the
  // writers fencing them off with membarrier: a seam for tests.
  static bool AsymmetricForTesting() { return asymmetric_; }

  // In the child of a fork, which has none of the threads that held or
  // waited for the lock: free, with no reader and no waiter.
  void ResetAfterFork();
  // In the child of a fork: the slots the parent's other threads owned are
  // free again, the forking thread keeps its own.
  static void SlotsAfterFork();

 private:
  static constexpr std::size_t kUnclaimed = ~std::size_t{0};

  // The bits of state_.
  static constexpr std::uint32_t kWriter = 1;   // change or save mode held
  static constexpr std::uint32_t kBlocked = 2;  // readers must wait
  static constexpr std::uint32_t kWaiters = 4;  // someone waits in park_

  struct alignas(64) Slot {
    std::atomic<std::uint32_t> readers{0};
  };

  // Sets the calling thread's `slot`, and gives it back at the thread's exit.
  static void ClaimSlot(std::size_t& slot);
  // Whether the calling thread owns a slot.
  static bool OwnsSlot();

  // Counts the calling thread in and out of its slot. An owned slot has one
  // writer, its thread, so a load and a store count it; the store is then
  // fenced from the caller's next load of state_ (see the top).
  void Enter(std::size_t slot) {
    std::atomic<std::uint32_t>& readers = slots_[slot].readers;
    if (slot == kShared) {
      readers.fetch_add(1);
      return;
    }
    readers.store(readers.load(std::memory_order_relaxed) + 1, kSlotOrder);
    FenceFromWriters();
  }
  void Leave(std::size_t slot) {
    std::atomic<std::uint32_t>& readers = slots_[slot].readers;
    if (slot == kShared) {
      readers.fetch_sub(1);
      return;
    }
    readers.store(readers.load(std::memory_order_relaxed) - 1, kSlotOrder);
    FenceFromWriters();
  }
#ifdef VTY_CONFIG_THREAD_SANITIZER
  // The slots' stores and loads are sequentially consistent, which the
  // sanitizer understands: no fence.
  static constexpr std::memory_order kSlotOrder = std::memory_order_seq_cst;
  static void FenceFromWriters() {}
#else
  static constexpr std::memory_order kSlotOrder = std::memory_order_release;
  static void FenceFromWriters() {
    if (asymmetric_) {
      std::atomic_signal_fence(std::memory_order_seq_cst);
    } else {
      std::atomic_thread_fence(std::memory_order_seq_cst);
    }
  }
#endif

  bool ReadersOut() const {
    for (const Slot& slot : slots_) {
      if (slot.readers.load() != 0) return false;
    }
    return true;
  }

  void WaitToRead(std::size_t slot);
  void AdmitWriter(std::uint32_t mode);
  // After kBlocked is raised: fences off the readers and waits for them to
  // leave.
  void DrainReaders();
  void ReleaseToWaiters();
  void WakeAll();
  // After a waiter got what it waited for: clears kWaiters when nobody
  // waits any more, and wakes the rest. The caller holds park_.
  void DoneWaiting();

  // Whether membarrier fences off the readers; set once, as the library
  // loads, before any thread reads a document.
  static const bool asymmetric_;

  std::array<Slot, kSlots + 1> slots_;  // and kShared
  // Written by writers and waiters, read by all; a cache line of its own.
  alignas(64) std::atomic<std::uint32_t> state_{0};
  std::mutex park_;
  std::condition_variable changed_;  // of state_ or of a slot
  std::size_t waitingReaders_ = 0;   // Guarded by park_.
  std::size_t waitingWriters_ = 0;   // Guarded by park_.
};

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_DOCUMENT_DOCUMENTLOCK_H_
