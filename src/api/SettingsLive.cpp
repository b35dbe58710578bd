// A handle's live settings: OnChange with the values as its syntax reads
// them, and Check of its document.

#include <stdexcept>

#include "api/Handle.h"
#include "config/Settings.h"
#include "document/Check.h"
#include "live/Watcher.h"
#include "save/Hold.h"
#include "text/ValueSyntax.h"

namespace vty::config::ini {

Subscription Settings::OnChange(
    std::function<void(const std::vector<Change>&)> callback) const {
  if (handle_->owner) {
    throw std::logic_error(
        "vty::config::ini: Settings::OnChange of a document made from a "
        "text, which no other writer can change");
  }
  detail::ValueReader read = [syntax = handle_->syntax](std::string_view raw) {
    std::string scratch;
    return std::string(detail::MeantValue(raw, *syntax, scratch));
  };
  return detail::Subscribe(handle_->document, std::move(read),
                           std::move(callback));
}

std::vector<Finding> Settings::Check() const {
  const detail::Hold hold(handle_->document, detail::Hold::Mode::kRead);
  return detail::CheckLines(handle_->document, handle_->name);
}

}  // namespace vty::config::ini
