// Reads a service's settings from an INI file, with a default for every key
// that the file does not set, and prints what it found. Values are printed in
// quotes: a value is all the text after the '=', blanks included.
//
//   read_settings [FILE]      (FILE defaults to app.ini beside the program)

#include <iostream>
#include <string>

#include "config/INI.h"

namespace ini = vty::config::ini;

int main(int argc, char** argv) {
  const std::string file = argc > 1 ? argv[1] : "app.ini";

  struct Setting {
    std::optional<std::string> section;
    const char* key;
    const char* fallback;
  };
  const Setting settings[] = {
      {std::nullopt, "name", "unnamed"},
      {"Net", "Host", "0.0.0.0"},
      {"net", "PORT", "80"},  // sections and keys match in any letter case
      {"Net", "Timeout", "30"},
      {"Log", "Level", "warning"},
      {"Log", "File", "/var/log/demo.log"},
  };

  std::cout << "Settings from " << file << ":\n";
  for (const Setting& setting : settings) {
    std::string value;
    const bool found = ini::ReadString(setting.section, setting.key,
                                       setting.fallback, value, file);
    std::cout << "  [" << setting.section.value_or("") << "] " << setting.key
              << " = \"" << value << '"' << (found ? "" : "   (default)")
              << '\n';
  }
  return 0;
}
