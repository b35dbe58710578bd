// Must not compile with warnings as errors: a subscription dropped at once
// would never call its callback.
#include "config/Settings.h"

void Listen(const vty::config::ini::Settings& settings) {
  settings.OnChange([](const std::vector<vty::config::ini::Change>&) {});
  vty::config::ini::OnChange(
      "app.ini", [](const std::vector<vty::config::ini::Change>&) {});
}
