// The slow paths of the document lock: whatever waits, the readers' slots and
// the writers' barrier. See DocumentLock.h.

#include "document/DocumentLock.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <exception>
#include <new>

namespace vty::config::ini::detail {

namespace {

#ifdef VTY_CONFIG_THREAD_SANITIZER
// ThreadSanitizer cannot see the fences membarrier makes in other threads.
bool RegisterMembarrier() { return false; }
#else
long Membarrier(int command) {
  return ::syscall(__NR_membarrier, command, 0, 0);
}

// Registered once for the process; the registration lasts across fork()
// and until exec.
bool RegisterMembarrier() {
  const long commands = Membarrier(MEMBARRIER_CMD_QUERY);
  return commands > 0 && (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0 &&
         Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
}
#endif

// Which slot numbers a thread owns, in every lock, and how many.
std::array<std::atomic<bool>, DocumentLock::kSlots> g_owned{};
std::atomic<std::size_t> g_owners{0};

// Gives the thread's slot back as it exits; from then on, should a
// destructor still read, the thread counts in the shared slot.
struct SlotOwner {
  std::size_t* slot = nullptr;
  SlotOwner() = default;
  SlotOwner(const SlotOwner&) = delete;
  SlotOwner& operator=(const SlotOwner&) = delete;
  ~SlotOwner() {
    if (slot == nullptr) return;
    // Every lock's count in the slot is back to zero: a thread holds no
    // document as it exits. The next owner's exchange sees this thread's
    // last stores.
    g_owned[*slot].store(false, std::memory_order_release);
    g_owners.fetch_sub(1);
    *slot = DocumentLock::kShared;
  }
};
[[gnu::tls_model("initial-exec")]] thread_local SlotOwner t_owner;

}  // namespace

const bool DocumentLock::asymmetric_ = RegisterMembarrier();

void DocumentLock::ClaimSlot(std::size_t& slot) {
  slot = kShared;
  for (std::size_t i = 0; i < kSlots; ++i) {
    if (!g_owned[i].load(std::memory_order_relaxed) &&
        !g_owned[i].exchange(true, std::memory_order_acquire)) {
      g_owners.fetch_add(1);
      slot = i;
      t_owner.slot = &slot;
      return;
    }
  }
}

bool DocumentLock::OwnsSlot() {
  return t_owner.slot != nullptr && *t_owner.slot < kSlots;
}

void DocumentLock::SlotsAfterFork() {
  for (std::size_t i = 0; i < kSlots; ++i) {
    g_owned[i].store(OwnsSlot() && *t_owner.slot == i,
                     std::memory_order_relaxed);
  }
  g_owners.store(OwnsSlot() ? 1 : 0);
}

// A reader stores to its slot and then reads state_, a writer raises
// kBlocked and then reads the slots, with a full fence between on both sides
// (the reader's own, or the writer's membarrier on its behalf), so at least
// one of them sees the other. A reader that sees no kBlocked reads what the
// last writer released; a writer that sees a slot empty, what its reader did
// before it left. A waiter sets kWaiters and checks what it waits for under
// park_, and whoever changes that either sees kWaiters (and notifies under
// park_) or changed it before the check. While kWaiters is set, no writer
// takes the fast path past the waiters.

void DocumentLock::WaitToRead(std::size_t slot) {
  Leave(slot);
  std::unique_lock lock(park_);
  ++waitingReaders_;
  state_.fetch_or(kWaiters);
  for (;;) {
    changed_.notify_all();  // a writer may be waiting for this slot
    changed_.wait(lock, [this] { return (state_.load() & kBlocked) == 0; });
    // A save holder raises kBlocked without park_, so the reader counts
    // itself in and looks again, as on the fast path.
    Enter(slot);
    if ((state_.load() & kBlocked) == 0) break;
    Leave(slot);
  }
  --waitingReaders_;
  DoneWaiting();
}

void DocumentLock::AdmitWriter(std::uint32_t mode) {
  std::unique_lock lock(park_);
  ++waitingWriters_;
  state_.fetch_or(kWaiters);
  // Readers already waiting go first, so that a loop of writes cannot
  // starve them.
  changed_.wait(lock, [this] {
    return (state_.load() & kWriter) == 0 && waitingReaders_ == 0;
  });
  --waitingWriters_;
  state_.fetch_or(mode);
  DoneWaiting();
}

void DocumentLock::DrainReaders() {
  // kBlocked was raised with a sequentially consistent read-modify-write,
  // and the slots are read sequentially consistent: against a reader's
  // fence, or its own sequentially consistent store, that is enough.
#ifndef VTY_CONFIG_THREAD_SANITIZER
  // The barrier costs a system call, and more with every other thread of
  // the process running, so a writer that is the only thread owning a slot
  // makes none. A thread that takes a slot after the count was read does so
  // with an atomic add, a full fence, and then sees kBlocked; the threads
  // sharing the last slot fence with their own atomic adds.
  const std::size_t owners = g_owners.load();
  if (asymmetric_ && owners != 0 && (owners > 1 || !OwnsSlot()) &&
      Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0) {
    std::terminate();  // cannot fail once registered: readers would go unseen
  }
#endif
  if (ReadersOut()) return;
  std::unique_lock lock(park_);
  changed_.wait(lock, [this] { return ReadersOut(); });
}

void DocumentLock::ReleaseToWaiters() {
  std::lock_guard lock(park_);
  state_.fetch_and(~(kWriter | kBlocked));
  changed_.notify_all();
}

void DocumentLock::WakeAll() {
  std::lock_guard lock(park_);
  changed_.notify_all();
}

void DocumentLock::ResetAfterFork() {
  for (Slot& slot : slots_) slot.readers.store(0);
  state_.store(0);
  waitingReaders_ = waitingWriters_ = 0;
  // A thread of the parent may have held the mutex at the fork: make both
  // anew in place, without destroying what no thread here may touch.
  ::new (static_cast<void*>(&park_)) std::mutex();
  ::new (static_cast<void*>(&changed_)) std::condition_variable();
}

std::size_t DocumentLock::WaitingForTesting() {
  std::lock_guard lock(park_);
  return waitingReaders_ + waitingWriters_;
}

void DocumentLock::DoneWaiting() {
  if (waitingReaders_ == 0 && waitingWriters_ == 0) state_.fetch_and(~kWaiters);
  changed_.notify_all();  // writers wait for the readers' count too
}

}  // namespace vty::config::ini::detail
