// A fork() of the caller's process, at any moment, whatever its other threads
// are doing in the library: the child may use the library and exit. Before
// the fork, the handlers below take every lock another thread could hold
// half-way through a change, so the child gets consistent documents; the
// child then resets the locks whose holders it does not have.

#include "live/Fork.h"

#include <pthread.h>

#include "disk/ProcessLock.h"
#include "document/DocumentLock.h"

namespace vty::config::ini::detail {

namespace {

void Prepare() {
  PrepareWriterForFork();
  PrepareRegistryForFork();
  PrepareWatcherForFork();
  PrepareProcessLocksForFork();
}

void After(bool child) {
  if (child) DocumentLock::SlotsAfterFork();
  ProcessLocksAfterFork(child);
  WatcherAfterFork(child);
  RegistryAfterFork(child);
  WriterAfterFork(child);
}

// Registered as the library is loaded, before any of its locks can be held:
// each part then needs no call up to here when it first takes one.
[[maybe_unused]] const int kRegistered = ::pthread_atfork(
    Prepare, [] { After(false); }, [] { After(true); });

}  // namespace

}  // namespace vty::config::ini::detail
