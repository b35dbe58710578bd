// The caller's error handler: where failures that no caller sees go.

#include "live/Failures.h"

#include <memory>
#include <mutex>
#include <utility>

#include "base/Immortal.h"
#include "config/Live.h"
#include "save/Conflicts.h"

namespace vty::config::ini {

namespace {

using Handler = std::function<void(const std::string&, std::exception_ptr)>;

struct HandlerState {
  std::mutex mutex;
  // Shared, so that a report runs it outside the mutex while another thread
  // sets a new one. Guarded by mutex.
  std::shared_ptr<const Handler> handler;
};

// Never destroyed: the background writer's flush at exit may still report.
HandlerState& GetHandlerState() { return detail::Immortal<HandlerState>(); }

}  // namespace

void SetErrorHandler(Handler handler) {
  std::shared_ptr<const Handler> made;
  if (handler) made = std::make_shared<const Handler>(std::move(handler));
  // Conflicts are heard from the first handler on: before it, no one listens.
  detail::SetConflictReport(&detail::ReportFailure);
  HandlerState& state = GetHandlerState();
  std::lock_guard lock(state.mutex);
  state.handler.swap(made);
}

namespace detail {

void ReportFailure(const std::string& file,
                   std::exception_ptr failure) noexcept {
  HandlerState& state = GetHandlerState();
  std::shared_ptr<const Handler> handler;
  {
    std::lock_guard lock(state.mutex);
    handler = state.handler;
  }
  if (!handler) return;
  try {
    (*handler)(file, std::move(failure));
  } catch (...) {
    // The handler's own failure has nowhere to go.
  }
}

}  // namespace detail

}  // namespace vty::config::ini
