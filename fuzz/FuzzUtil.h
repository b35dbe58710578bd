// Helpers shared by the fuzz targets.

#ifndef VTY_CONFIG_FUZZ_FUZZUTIL_H_
#define VTY_CONFIG_FUZZ_FUZZUTIL_H_

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace fuzz {

namespace fs = std::filesystem;

inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// Stops the run, so that libFuzzer keeps the input that got here.
inline void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}

// A directory of this process's own, removed at exit.
inline const fs::path& ScratchDir() {
  static const fs::path dir = [] {
    std::string name = (fs::temp_directory_path() / "vty-fuzz-XXXXXX").string();
    Check(::mkdtemp(name.data()) != nullptr, "mkdtemp");
    return fs::path(name);
  }();
  static const struct Remover {
    ~Remover() {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
    }
  } remover;
  return dir;
}

inline std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace fuzz

#endif  // VTY_CONFIG_FUZZ_FUZZUTIL_H_
