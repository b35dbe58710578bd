// What each part of the library does around a fork() of the caller's
// process (Fork.cpp calls them, in this order before the fork and in the
// reverse order after it; the lock between processes, on a lower floor,
// declares its pair in ProcessLock.h). Before: take what another thread may be
// in the middle of changing. After, in the parent: let it go. After, in the
// child, where the other threads are gone: reset what they held.

#ifndef VTY_CONFIG_SRC_LIVE_FORK_H_
#define VTY_CONFIG_SRC_LIVE_FORK_H_

namespace vty::config::ini::detail {

// BackgroundWriter.cpp: no start or stop of the writer is under way; in the
// child the writer has no thread, so changes there are saved at once.
void PrepareWriterForFork();
void WriterAfterFork(bool child);

// Registry.cpp: no document is being registered or changed; in the child
// every document lock is free again.
void PrepareRegistryForFork();
void RegistryAfterFork(bool child);

// Watcher.cpp: nothing is being subscribed or handed over; the child has no
// watcher thread and none of the parent's subscriptions.
void PrepareWatcherForFork();
void WatcherAfterFork(bool child);

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_FORK_H_
