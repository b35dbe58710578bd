// Reads a service's settings from an INI file through a handle, with a
// default for every key that the file does not set, and prints what it
// found: the value as a person means it (blanks and an inline comment left
// out), and the line it came from.
//
//   read_settings [FILE]      (FILE defaults to app.ini in the current
//   directory)

#include <iostream>
#include <string>

#include "config/Settings.h"

namespace ini = vty::config::ini;

int main(int argc, char** argv) {
  const ini::Settings settings(argc > 1 ? argv[1] : "app.ini");

  struct Setting {
    ini::SectionName section;
    const char* key;
    const char* fallback;
  };
  const Setting wanted[] = {
      {std::nullopt, "name", "unnamed"},
      {"Net", "Host", "0.0.0.0"},
      {"net", "PORT", "80"},  // sections and keys match in any letter case
      {"Net", "Timeout", "30"},
      {"Log", "Level", "warning"},
      {"Log", "File", "/var/log/demo.log"},
  };

  std::cout << "Settings:\n";
  for (const Setting& setting : wanted) {
    const ini::Lookup found = settings.Inspect(setting.section, setting.key);
    std::cout << "  [" << setting.section.value_or("") << "] " << setting.key
              << " = \""
              << (found.state == ini::Lookup::State::Present ? found.text
                                                             : setting.fallback)
              << '"';
    if (found.line != 0) {
      std::cout << "   (line " << found.line << ")\n";
    } else {
      std::cout << "   (default)\n";
    }
  }
  // A value that does not parse is told apart from a missing one.
  if (settings.Inspect<int>("Net", "Port").state ==
      ini::Lookup::State::Invalid) {
    std::cout << "  bad value for Net.Port\n";
  }
  return 0;
}
