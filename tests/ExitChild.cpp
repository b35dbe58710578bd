// A program that leaves while the background writer still runs: it defers one
// change to the file named by its argument and returns from main without
// shutting the writer down. With a second argument "destructor", a static
// object writes one more change from its destructor, after the library's own
// statics have gone. Linked against the shared library, as a caller's
// program is. Exits 0 when all went well, 2 when the change was not deferred.

#include <filesystem>
#include <string>

#include "config/INI.h"

using namespace vty::config::ini;

// Constructed before main, so destroyed after everything main created.
struct LastWords {
  std::string path;
  ~LastWords() {
    if (!path.empty()) WriteString("Net", "Bye", "1", path);
  }
} lastWords;

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  if (argc == 3 && std::string(argv[2]) == "destructor") {
    lastWords.path = argv[1];
  }
  InitialiseAsyncWriting();
  WriteString("Net", "Port", "8080", argv[1]);
  // Deferred: nothing may be on disk yet, or the exit would prove nothing.
  if (std::filesystem::exists(argv[1])) return 2;
  return 0;
}
