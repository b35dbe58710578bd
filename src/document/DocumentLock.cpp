// The slow paths of the document lock: whatever waits. See DocumentLock.h.

#include "document/DocumentLock.h"

#include <new>

namespace vty::config::ini::detail {

std::size_t DocumentLock::NewThreadSlot() {
  static std::atomic<std::size_t> next{0};
  return next.fetch_add(1, std::memory_order_relaxed) % kSlots;
}

// Every atomic is sequentially consistent: a reader adds itself to its slot
// and then reads state_, a writer raises kBlocked and then reads the slots,
// so at least one of them sees the other. A waiter sets kWaiters and checks
// what it waits for under park_, and whoever changes that either sees
// kWaiters (and notifies under park_) or changed it before the check.
// While kWaiters is set, no writer takes the fast path past the waiters.

void DocumentLock::WaitToRead(std::atomic<std::uint32_t>& readers) {
  readers.fetch_sub(1);
  std::unique_lock lock(park_);
  changed_.notify_all();  // a writer may be waiting for this slot
  ++waitingReaders_;
  state_.fetch_or(kWaiters);
  changed_.wait(lock, [this] { return (state_.load() & kBlocked) == 0; });
  // Still under park_ and kWaiters: a writer raises kBlocked only after,
  // and then sees this slot.
  readers.fetch_add(1);
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

void DocumentLock::WaitForReaders() {
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
