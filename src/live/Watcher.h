// Hearing about another writer's edit: the subscriptions of OnChange, the
// thread that watches their files' directories; a merge tells it what
// changed through the listener it installs (Merge.h).

#ifndef VTY_CONFIG_SRC_LIVE_WATCHER_H_
#define VTY_CONFIG_SRC_LIVE_WATCHER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "config/INI.h"
#include "config/Live.h"
#include "live/ValueDiff.h"

namespace vty::config::ini::detail {

using ChangeCallback = std::function<void(const std::vector<Change>&)>;

// Calls `callback` with what another writer changed in the registered
// document `document`, its values read by `read` (see OnChange).
Subscription Subscribe(File& document, ValueReader read,
                       ChangeCallback callback);
// A subscription of no file of its own, which others make up: cancelling it
// runs `release` (which must not throw), with no lock of the watcher held.
Subscription BundleSubscription(std::function<void()> release);
// Calls `heard` on the watcher's thread soon after an entry of the directory
// `directory` is made, written, renamed or removed, or the directory itself
// comes or goes; the calls of each directory never overlap, and it is
// watched until the subscription ends (as CancelSubscription ends it).
Subscription WatchDirectory(const std::string& directory,
                            std::function<void()> heard);
// Ends the subscription `id`; once it returns its callback is not running
// and never runs again, unless this is that callback (see Watcher::Cancel).
void CancelSubscription(std::uint64_t id) noexcept;

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_WATCHER_H_
