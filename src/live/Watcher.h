// Hearing about another writer's edit: the subscriptions of OnChange, the
// thread that watches their files' directories, and the hooks by which a
// reload or a merge tells it what changed.

#ifndef VTY_CONFIG_SRC_LIVE_WATCHER_H_
#define VTY_CONFIG_SRC_LIVE_WATCHER_H_

#include <functional>
#include <optional>
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

// The hooks of a merge, which is how another writer's edit enters a
// document. Both run under the document's lock in change mode.
// The document's values when someone subscribes to it; nothing otherwise.
std::optional<KeyValues> ValuesIfWatched(const File& file);
// Hands the values before and after the merge to the watcher's thread.
void QueueChanges(const File& file, KeyValues before) noexcept;

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_LIVE_WATCHER_H_
