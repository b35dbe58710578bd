// Must not compile: std::uint16_t is not a type of the typed values.
#include <cstdint>

#include "config/Settings.h"

std::uint16_t Port(const vty::config::ini::Settings& settings) {
  return settings.Get<std::uint16_t>("Net", "Port", 80);
}
