// The public face of hearing another writer's edits: OnChange of a path and
// the Subscription it returns. The watcher (Watcher.cpp) does the work.

#include <utility>

#include "config/Live.h"
#include "live/Registry.h"
#include "live/Watcher.h"

namespace vty::config::ini {

Subscription::Subscription(Subscription&& other) noexcept : id_(other.id_) {
  other.id_ = 0;
}

Subscription& Subscription::operator=(Subscription&& other) noexcept {
  if (this != &other) {
    Cancel();
    id_ = other.id_;
    other.id_ = 0;
  }
  return *this;
}

Subscription::~Subscription() { Cancel(); }

void Subscription::Cancel() noexcept {
  if (id_ == 0) return;
  detail::CancelSubscription(id_);
  id_ = 0;
}

Subscription OnChange(
    const std::string& file,
    std::function<void(const std::vector<Change>&)> callback) {
  return detail::Subscribe(detail::RegisteredDocument(file), {},
                           std::move(callback));
}

}  // namespace vty::config::ini
