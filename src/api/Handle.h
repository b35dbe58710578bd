// What every copy of a Settings handle shares (Settings.cpp, SettingsLive.cpp).

#ifndef VTY_CONFIG_SRC_API_HANDLE_H_
#define VTY_CONFIG_SRC_API_HANDLE_H_

#include <memory>
#include <string>

#include "config/INI.h"
#include "config/Settings.h"

namespace vty::config::ini::detail {

struct Handle {
  // The only owner of a document in memory; null for a registered one, which
  // lives until the process ends.
  std::shared_ptr<File> owner;
  File& document;
  std::shared_ptr<const Syntax> syntax;  // shared with the change log
  std::string name;  // the file as the caller named it, for messages
  Syntax rules;      // *syntax, one load nearer
};

}  // namespace vty::config::ini::detail

#endif  // VTY_CONFIG_SRC_API_HANDLE_H_
