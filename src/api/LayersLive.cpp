// A Layers' OnChange: each subscription listens to every file layer's
// handle, and on any notice reads the effective values anew and reports
// those that differ from what it last reported, so that a change a higher
// layer hides is not heard. It watches the drop-in directories too, and on
// any change of their entries lists them again (Relist), so that a drop-in
// that comes or goes is heard, and read from then on.

#include <map>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "api/LayersState.h"
#include "disk/DropIns.h"
#include "live/Watcher.h"
#include "text/Names.h"

namespace vty::config::ini {

namespace detail {

namespace {

// The effective values, in the order Sections and Keys list them.
struct Effective {
  std::vector<Change> keys;  // only section, key and after set
  std::unordered_map<std::string, std::size_t> places;  // by folded name
};

std::string NameOf(const SectionName& section, std::string_view key) {
  std::string name;
  AppendSectionName(name, section);
  AppendFolded(name, key);
  return name;
}

Effective ReadEffective(const Layers& layers) {
  Effective effective;
  for (const SectionName& section : layers.Sections()) {
    for (auto& [key, value] : layers.Pairs(section)) {
      effective.places.emplace(NameOf(section, key), effective.keys.size());
      effective.keys.push_back({section, std::move(key), {}, std::move(value)});
    }
  }
  return effective;
}

// What changed from `before` to `after`: changed and new keys in order,
// then the erased ones.
std::vector<Change> Difference(const Effective& before,
                               const Effective& after) {
  std::vector<Change> changes;
  for (const Change& now : after.keys) {
    const auto was = before.places.find(NameOf(now.section, now.key));
    if (was == before.places.end()) {
      changes.push_back({now.section, now.key, std::nullopt, now.after});
    } else if (before.keys[was->second].after != now.after) {
      changes.push_back(
          {now.section, now.key, before.keys[was->second].after, now.after});
    }
  }
  for (const Change& then : before.keys) {
    if (after.places.count(NameOf(then.section, then.key)) == 0) {
      changes.push_back({then.section, then.key, then.after, std::nullopt});
    }
  }
  return changes;
}

}  // namespace

struct LayersListener {
  LayersListener(const Layers& of, ChangeCallback call)
      : layers(of), callback(std::move(call)) {}

  const Layers layers;
  const ChangeCallback callback;
  // Serialises refreshes and calls; recursive, so that a callback may
  // reload the layers or cancel its own subscription.
  std::recursive_mutex mutex;
  Effective reported;  // Guarded by mutex.
  bool active = true;  // Guarded by mutex.
  std::mutex subscribed;
  // The handles listened to, by origin: a drop-in gone from the listing
  // stays, so that its return is heard. Guarded by subscribed.
  std::map<std::string, Subscription> inner;
  std::vector<Subscription> directories;  // Guarded by subscribed.
  bool listening = false;                 // Guarded by subscribed.
  bool released = false;                  // Guarded by subscribed.

  void Refresh();
  void Listen(const std::shared_ptr<LayersListener>& self,
              const std::vector<DocumentLayer>& layers);
  void Release() noexcept;
};

void LayersListener::Refresh() {
  const std::lock_guard lock(mutex);
  if (!active) return;
  Effective now = ReadEffective(layers);
  const std::vector<Change> changes = Difference(reported, now);
  reported = std::move(now);
  if (!changes.empty()) callback(changes);
}

void LayersListener::Listen(const std::shared_ptr<LayersListener>& self,
                            const std::vector<DocumentLayer>& layers) {
  const std::weak_ptr<LayersListener> weak = self;
  std::vector<Settings> late;
  {
    const std::lock_guard lock(subscribed);
    if (released) return;
    for (const DocumentLayer& layer : layers) {
      if (layer.defaults || inner.count(layer.origin) != 0) continue;
      inner.emplace(layer.origin,
                    layer.settings.OnChange([weak](const std::vector<Change>&) {
                      if (auto listener = weak.lock()) {
                        listener->Refresh();
                      }
                    }));
      if (listening) late.push_back(layer.settings);
    }
    listening = true;
  }
  // A layer listed since the subscription was read before its handle was
  // listened to: an edit in between is read now, and heard.
  for (Settings& settings : late) settings.Reload();
}

void LayersListener::Release() noexcept {
  std::map<std::string, Subscription> ending;
  std::vector<Subscription> watching;
  {
    const std::lock_guard lock(subscribed);
    released = true;
    ending.swap(inner);
    watching.swap(directories);
  }
  // Each waits for its running call, with no lock held.
  watching.clear();
  ending.clear();
  const std::lock_guard lock(mutex);  // a call from a Reload ends
  active = false;
}

void RefreshListeners(LayersState& state) {
  std::vector<std::shared_ptr<LayersListener>> listeners;
  std::vector<DocumentLayer> layers;
  {
    const std::unique_lock lock(state.mutex);
    auto& weak = state.listeners;
    for (auto each = weak.begin(); each != weak.end();) {
      if (auto listener = each->lock()) {
        listeners.push_back(std::move(listener));
        ++each;
      } else {
        each = weak.erase(each);
      }
    }
    if (listeners.empty()) return;
    layers = state.layers;
  }
  for (const auto& listener : listeners) {
    listener->Listen(listener, layers);
    listener->Refresh();
  }
}

}  // namespace detail

Subscription Layers::OnChange(
    std::function<void(const std::vector<Change>&)> callback) const {
  if (!callback) {
    throw std::invalid_argument(
        "vty::config::ini: Layers::OnChange was given an empty callback");
  }
  auto listener =
      std::make_shared<detail::LayersListener>(*this, std::move(callback));
  std::vector<Subscription> directories;
  const std::weak_ptr<detail::LayersState> weak = state_;
  for (std::size_t i = 0; i < state_->paths.size(); ++i) {
    const std::string& path = state_->paths[i];
    if (i == state_->written || !detail::IsDropInDirectory(path)) continue;
    directories.push_back(detail::WatchDirectory(path, [weak] {
      if (auto state = weak.lock()) detail::Relist(*state);
    }));
  }
  {
    const std::lock_guard lock(listener->subscribed);
    listener->directories = std::move(directories);
  }
  // A drop-in made since the last listing, before the watches were set,
  // would otherwise wait for the next change of its directory.
  detail::Relist(*state_);
  {
    const std::lock_guard lock(listener->mutex);
    listener->reported = detail::ReadEffective(*this);
  }
  {
    const std::unique_lock lock(state_->mutex);
    state_->listeners.push_back(listener);
  }
  detail::RefreshListeners(*state_);
  return detail::BundleSubscription(
      [listener]() noexcept { listener->Release(); });
}

}  // namespace vty::config::ini
