// Uses the installed library as a third-party program would: writes a value
// into a new file, reads it back through a fresh lookup, and checks the bytes
// on disk. Exits non-zero on any mismatch.
//
//   consumer FILE

#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "config/INI.h"
#include "config/Settings.h"

namespace ini = vty::config::ini;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: consumer FILE\n";
    return 2;
  }
  const std::string file = argv[1];
  ini::WriteString("Net", "Port", "8080", file);
  ini::WriteString(std::nullopt, "name", "consumer", file);

  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  const std::string expected = "name=consumer\n[Net]\nPort=8080\n";
  if (bytes.str() != expected) {
    std::cerr << "unexpected file content:\n" << bytes.str();
    return 1;
  }
  if (ini::ReadString("NET", "port", "none", file) != "8080" ||
      ini::ReadSectionNames(file).count("Net") != 1 ||
      ini::Settings(file).Get<int>("net", "PORT", 0) != 8080) {
    std::cerr << "reading back failed\n";
    return 1;
  }
  std::cout << "consumer: ok\n";
  return 0;
}
