// The slow paths of the document lock: whatever waits. See ReaderLock.h.

#include "ReaderLock.h"

namespace vty::config::ini::detail {

std::size_t ReaderLock::NewThreadSlot() {
  static std::atomic<std::size_t> next{0};
  return next.fetch_add(1, std::memory_order_relaxed) % kSlots;
}

// Every atomic here is sequentially consistent: a reader adds itself to its
// slot and then reads blocked_, a writer raises blocked_ and then reads the
// slots, so at least one of them sees the other.

void ReaderLock::WaitToRead(std::atomic<std::uint32_t>& readers) {
  readers.fetch_sub(1);
  std::unique_lock lock(park_);
  changed_.notify_all();  // the writer may be waiting for this slot
  ++waitingReaders_;
  changed_.wait(lock, [this] { return !blocked_.load(); });
  // blocked_ is raised only under park_, and the writer who raises it then
  // waits for the slots under park_: it will see this reader.
  readers.fetch_add(1);
  if (--waitingReaders_ == 0) changed_.notify_all();
}

void ReaderLock::AdmitWriter(std::unique_lock<std::mutex>& lock) {
  changed_.wait(lock, [this] { return !writer_ && waitingReaders_ == 0; });
  writer_ = true;
}

void ReaderLock::BlockReaders(std::unique_lock<std::mutex>& lock) {
  blocked_.store(true);
  changed_.wait(lock, [this] { return ReadersOut(); });
}

bool ReaderLock::ReadersOut() const {
  for (const Slot& slot : slots_) {
    if (slot.readers.load() != 0) return false;
  }
  return true;
}

void ReaderLock::LockChange() {
  std::unique_lock lock(park_);
  AdmitWriter(lock);
  BlockReaders(lock);
}

void ReaderLock::LockSave() {
  std::unique_lock lock(park_);
  AdmitWriter(lock);
}

void ReaderLock::SaveToChange() {
  std::unique_lock lock(park_);
  BlockReaders(lock);
}

void ReaderLock::ChangeToSave() {
  std::lock_guard lock(park_);
  blocked_.store(false);
  changed_.notify_all();
}

void ReaderLock::UnlockWriter() {
  std::lock_guard lock(park_);
  writer_ = false;
  blocked_.store(false);
  changed_.notify_all();
}

void ReaderLock::WakeAll() {
  std::lock_guard lock(park_);
  changed_.notify_all();
}

}  // namespace vty::config::ini::detail
