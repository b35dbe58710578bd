// Must not compile: std::uint16_t is not a type of the typed values.
#include <cstdint>

#include "config/INI.h"

std::uint16_t Port() {
  return vty::config::ini::ReadValue<std::uint16_t>("Net", "Port", 80, "a.ini");
}
