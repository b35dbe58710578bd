// A program that leaves while the background writer still runs: it defers one
// change to the file named by its argument and returns from main without
// shutting the writer down. Linked against the shared library, as a caller's
// program is. Exits 0 when all went well, 2 when the change was not deferred.

#include <filesystem>

#include "config/INI.h"

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  using namespace vty::config::ini;
  InitialiseAsyncWriting();
  WriteString("Net", "Port", "8080", argv[1]);
  // Deferred: nothing may be on disk yet, or the exit would prove nothing.
  if (std::filesystem::exists(argv[1])) return 2;
  return 0;
}
