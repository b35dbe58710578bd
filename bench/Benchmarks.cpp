// Speed of the library's operations, each beside an in-run baseline so that
// ratios survive a noisy machine, and, where GLib is installed, beside the
// same work on its GKeyFile. Data are generated with a fixed seed.
//
//   cmake -S . -B build -DVTY_CONFIG_BUILD_BENCHMARKS=ON
//   cmake --build build --target vty_config_bench
//   build/bench/vty_config_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "config/INI.h"
#include "config/Layers.h"
#include "config/Live.h"
#include "config/Settings.h"
#include "config/vty_ini.h"

#ifdef VTY_BENCH_GKEYFILE
#include <glib.h>
#endif

namespace ini = vty::config::ini;
namespace fs = std::filesystem;

namespace {

// Bytes of heap in use now, small and large blocks alike.
std::size_t HeapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

// ---- Data ----

struct Generated {
  std::string text;
  std::vector<std::pair<std::string, std::string>> keys;  // section, key
  std::vector<std::string> sections;
  std::size_t lines = 0;
};

// A realistic settings file of about `size` bytes: comments of both kinds,
// blank lines, sections of 5 to 50 keys, values of 5 to 60 characters (or,
// with `numbers`, integers from 0 to 65535).
Generated Generate(std::size_t size, unsigned seed = 42, bool numbers = false) {
  std::mt19937 random(seed);
  auto between = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  Generated out;
  int key = 0;
  for (int section = 0; out.text.size() < size; ++section) {
    const std::string name = "section_" + std::to_string(section);
    out.text += (section % 3 ? "; settings of " : "# settings of ") + name +
                "\n[" + name + "]\n";
    out.lines += 2;
    out.sections.push_back(name);
    for (int i = between(5, 50); i > 0; --i, ++key) {
      const std::string k = "option_" + std::to_string(key);
      std::string value(static_cast<std::size_t>(between(5, 60)), 'x');
      for (char& c : value) c = static_cast<char>('a' + between(0, 25));
      if (numbers) value = std::to_string(between(0, 65535));
      out.text += k + (key % 2 ? " = " : "=") + value + "\n";
      ++out.lines;
      out.keys.emplace_back(name, k);
      if (between(0, 9) == 0) {
        out.text += "# note on " + k + "\n";
        ++out.lines;
      }
    }
    out.text += "\n";
    ++out.lines;
  }
  return out;
}

// Takes (or drops) the lock between processes on the open file `fd`, as a
// cooperating program does.
bool LockFile(int fd, bool lock) {
  return ::flock(fd, lock ? LOCK_EX : LOCK_UN) == 0;
}

fs::path WorkDir() {
  static const fs::path dir = [] {
    fs::path d = fs::current_path() / ("vty-bench-" + std::to_string(getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

std::string WriteFile(const fs::path& dir, const std::string& name,
                      const std::string& text) {
  fs::create_directories(dir);
  const fs::path path = dir / name;
  std::ofstream(path, std::ios::binary) << text;
  return path.string();
}

const Generated& Small() {
  static const Generated data = Generate(10 * 1024);
  return data;
}

const std::string& SmallFile() {
  static const std::string path =
      WriteFile(WorkDir(), "small.ini", Small().text);
  return path;
}

// 2 M lines of the smallest kind, blank (`keys` false) or short key lines of
// one section, for the heap per line of the lines a hostile or a generated
// file is mostly made of.
constexpr std::size_t kShortLines = 2 << 20;
std::string ShortLines(bool keys) {
  if (!keys) return std::string(kShortLines, '\n');
  std::string text = "[s]\n";
  for (std::size_t i = 1; i < kShortLines; ++i) {
    text += "k" + std::to_string(i) + "=v\n";
  }
  return text;
}

// ---- Peer: GLib's GKeyFile ----
//
// A BM_GKeyFile row follows each row it pairs with, so that the two run
// moments apart on a noisy machine. GKeyFile takes only '#' for comments and
// stops at a line that begins with ';', so it reads copies of the same
// generated files whose ';' comment lines begin with '#' instead: the same
// bytes, lines, sections and keys otherwise.

#ifdef VTY_BENCH_GKEYFILE

// `text` with each ';' that begins a line made a '#'.
std::string HashComments(std::string text) {
  for (std::size_t at = 0; at < text.size();) {
    if (text[at] == ';') text[at] = '#';
    const std::size_t newline = text.find('\n', at);
    if (newline == std::string::npos) break;
    at = newline + 1;
  }
  return text;
}

struct KeyFileFree {
  void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFile = std::unique_ptr<GKeyFile, KeyFileFree>;

// `path` loaded as the library loads a file, comments kept; null, with the
// reason on stderr, if GKeyFile cannot read it.
KeyFile LoadKeyFile(const std::string& path) {
  KeyFile file(g_key_file_new());
  GError* error = nullptr;
  if (!g_key_file_load_from_file(file.get(), path.c_str(),
                                 G_KEY_FILE_KEEP_COMMENTS, &error)) {
    std::fprintf(stderr, "GKeyFile cannot load %s: %s\n", path.c_str(),
                 error->message);
    g_error_free(error);
    file.reset();
  }
  return file;
}

const std::string& SmallKeyFilePath() {
  static const std::string path =
      WriteFile(WorkDir(), "gkeyfile-small.ini", HashComments(Small().text));
  return path;
}

// Reads the keys of Small() from `file` in turn, from the `first`th on; with
// `missing`, reads that key of each one's section instead. Each read makes an
// owned copy, as ReadString does, and a read that finds what it should not
// (or misses what it should find) stops the row with an error.
void GetValues(benchmark::State& state, GKeyFile* file, std::size_t first,
               const char* missing = nullptr) {
  const auto& keys = Small().keys;
  std::size_t i = first;
  for (auto _ : state) {
    const auto& [section, key] = keys[i++ % keys.size()];
    gchar* value = g_key_file_get_value(
        file, section.c_str(), missing ? missing : key.c_str(), nullptr);
    if ((value == nullptr) != (missing != nullptr)) {
      state.SkipWithError("GKeyFile read the wrong thing");
      g_free(value);
      break;
    }
    benchmark::DoNotOptimize(value);
    g_free(value);
  }
}

// The pair of BM_MemoryPerLine, yet the first row of all: GLib's slice
// allocator keeps what GKeyFile frees for reuse, which a later load would take
// without the heap growing, so this row runs before any other frees a
// GKeyFile, and keeps every one it loads.
void BM_GKeyFileMemoryPerLine(benchmark::State& state) {
  const Generated data = Generate(static_cast<std::size_t>(state.range(0)), 7);
  const std::string path =
      WriteFile(WorkDir(), "gkeyfile-memory.ini", HashComments(data.text));
  static std::vector<KeyFile> kept;
  std::size_t bytes = 0;
  for (auto _ : state) {
    kept.reserve(kept.size() + 1);
    const std::size_t before = HeapInUse();
    kept.push_back(LoadKeyFile(path));
    bytes = HeapInUse() - before;
    if (!kept.back()) state.SkipWithError("GKeyFile cannot load the file");
  }
  state.counters["heap_bytes_per_line"] =
      static_cast<double>(bytes) / static_cast<double>(data.lines);
  state.counters["heap_bytes_per_file_byte"] =
      static_cast<double>(bytes) / static_cast<double>(data.text.size());
}
BENCHMARK(BM_GKeyFileMemoryPerLine)->Arg(1 << 20)->Iterations(1);

void BM_GKeyFileMemoryPerShortLine(benchmark::State& state) {
  const bool keys = state.range(0) != 0;
  const std::string path =
      WriteFile(WorkDir(), "gkeyfile-short-" + std::to_string(keys) + ".ini",
                ShortLines(keys));
  static std::vector<KeyFile> kept;  // as BM_GKeyFileMemoryPerLine keeps
  std::size_t bytes = 0;
  for (auto _ : state) {
    kept.reserve(kept.size() + 1);
    const std::size_t before = HeapInUse();
    kept.push_back(LoadKeyFile(path));
    bytes = HeapInUse() - before;
    if (!kept.back()) state.SkipWithError("GKeyFile cannot load the file");
  }
  state.counters["heap_bytes_per_line"] =
      static_cast<double>(bytes) / static_cast<double>(kShortLines);
}
BENCHMARK(BM_GKeyFileMemoryPerShortLine)
    ->ArgName("keys")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1);

#endif  // VTY_BENCH_GKEYFILE

// ---- Load ----

// A path not loaded yet, linked to `original`, made with the timer paused:
// the registry keeps every document, so each load needs a new path.
std::string FreshLink(benchmark::State& state, const std::string& original) {
  static int next = 0;
  state.PauseTiming();
  const fs::path path =
      WorkDir() / ("fresh-" + std::to_string(next++) + ".ini");
  fs::create_hard_link(original, path);
  state.ResumeTiming();
  return path.string();
}

void BM_Load(benchmark::State& state) {
  const Generated data = Generate(static_cast<std::size_t>(state.range(0)));
  const std::string original = WriteFile(WorkDir(), "load.ini", data.text);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ini::ReadString("section_0", "option_0", "",
                                             FreshLink(state, original)));
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(data.text.size()));
}
// Every loaded document stays in memory until exit: few iterations.
BENCHMARK(BM_Load)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->Iterations(8);
BENCHMARK(BM_Load)->Arg(16 << 20)->Unit(benchmark::kMillisecond)->Iterations(2);

#ifdef VTY_BENCH_GKEYFILE
// A fresh GKeyFile each iteration, kept until exit as the library keeps what
// it loads: both then load into fresh heap, the same number of times.
void BM_GKeyFileLoad(benchmark::State& state) {
  const Generated data = Generate(static_cast<std::size_t>(state.range(0)));
  const std::string path =
      WriteFile(WorkDir(), "gkeyfile-load.ini", HashComments(data.text));
  static std::vector<KeyFile> kept;
  for (auto _ : state) {
    kept.push_back(LoadKeyFile(path));
    if (kept.back() == nullptr) {
      state.SkipWithError("GKeyFile cannot load the file");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(data.text.size()));
}
BENCHMARK(BM_GKeyFileLoad)
    ->Arg(1 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(8);
BENCHMARK(BM_GKeyFileLoad)
    ->Arg(16 << 20)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2);
#endif

// Baseline: read the file and split it into lines with memchr, keeping none.
void BM_LoadBaseline(benchmark::State& state) {
  const Generated data = Generate(static_cast<std::size_t>(state.range(0)));
  const std::string path = WriteFile(WorkDir(), "load-base.ini", data.text);
  for (auto _ : state) {
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::size_t lines = 0;
    const char* p = text.data();
    const char* end = p + text.size();
    while (p < end) {
      const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
      p = nl ? static_cast<const char*>(nl) + 1 : end;
      ++lines;
    }
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(data.text.size()));
}
BENCHMARK(BM_LoadBaseline)
    ->Arg(1 << 20)
    ->Arg(16 << 20)
    ->Unit(benchmark::kMillisecond);

// ---- Hostile keys ----

// The `n`th of the keys crafted against the unseeded hash BM_HostileKeys
// describes, `bits` words and one more
// long: the words whose bit of `n` is set have bits 31 and 63 flipped.
std::string CraftedKey(unsigned n, unsigned bits) {
  std::string key(8 * (bits + 1), 'k');
  for (unsigned word = 0; word < bits; ++word) {
    if ((n >> word & 1) == 0) continue;
    for (std::size_t at :
         {8 * word + 3, 8 * word + 7, 8 * word + 11, 8 * word + 15}) {
      key[at] = static_cast<char>(key[at] ^ 0x80);
    }
  }
  return key;
}

// 8192 keys of one section, loaded and looked up once. Crafted keys defeat an
// unseeded hash that mixes 8-byte words with x ^= x >> 32, x *= odd,
// x ^= x >> 32 (the library's until it was seeded): flipping bits 31 and 63
// of a word passes through that mix unchanged, so every key that flips them
// in an even number of its words has the same hash, and building the index
// of the section takes time quadratic in its keys. Random keys of the same
// length are the baseline: a seeded hash makes the two cost the same.
void BM_HostileKeys(benchmark::State& state) {
  const bool crafted = state.range(0) != 0;
  constexpr unsigned kBits = 13;
  std::mt19937 random(42);
  std::string text = "[s]\n";
  for (unsigned n = 0; n < (1u << kBits); ++n) {
    std::string key = CraftedKey(n, kBits);
    for (char& c : key) {
      if (!crafted) c = static_cast<char>('a' + random() % 26);
    }
    text += key + "=v\n";
  }
  const std::string original = WriteFile(WorkDir(), "hostile.ini", text);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        ini::ReadString("s", "missing", "", FreshLink(state, original)));
  }
  state.SetLabel(crafted ? "crafted" : "random");
}
BENCHMARK(BM_HostileKeys)
    ->ArgName("crafted")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3);

// ---- Linearity in the file's shape ----
//
// Each operation on files of one shape at n and 4n lines, with its time per
// line (`ns_per_line`): a path worse than linear shows as that figure growing
// fourfold with the file. The shapes are the hostile ones: blank lines only,
// one section of distinct keys, one key repeated on every other line of a
// section (read by a handle that takes the last), one section name repeated
// on every header, very long lines, and keys crafted against an unseeded hash.

enum Shape {
  kBlank,
  kHugeSection,
  kRepeatedKey,
  kRepeatedHeader,
  kLongLines,
  kCraftedKeys,
  kShapes
};
constexpr const char* kShapeNames[kShapes] = {
    "blank lines",       "one section", "a key repeated",
    "a header repeated", "long lines",  "crafted keys"};

struct ShapedFile {
  std::string path;
  std::vector<std::string> keys;  // of the section "s", one per key line
  std::size_t lines = 0;
};

// A file of `shape` with about `n` lines (long lines: as many bytes as n
// lines of 64), written once per shape and size.
ShapedFile Shaped(int shape, std::size_t n) {
  ShapedFile made;
  std::string text;
  const auto key = [&](std::string name, const std::string& value) {
    text += name + "=" + value + "\n";
    made.keys.push_back(std::move(name));
  };
  if (shape == kBlank) {
    text.assign(n, '\n');
    for (std::size_t i = 0; i < n; ++i)
      made.keys.push_back("k" + std::to_string(i));
  } else if (shape == kLongLines) {
    text = "[s]\n";
    for (std::size_t i = 0; i < n / 64; ++i)
      key("k" + std::to_string(i), std::string(4096, 'v'));
  } else {
    if (shape != kRepeatedHeader) text = "[s]\n";
    for (std::size_t i = 0; i < n; ++i) {
      if (shape == kRepeatedHeader && i % 2 == 0) {
        text += "[s]\n";
      } else if (shape == kRepeatedKey && i % 2 == 0) {
        key("k", std::to_string(i));
      } else if (shape == kCraftedKeys) {
        key(CraftedKey(static_cast<unsigned>(i), 20), "v");
      } else {
        key("key" + std::to_string(i), "v");
      }
    }
  }
  made.lines =
      static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
  made.path =
      WriteFile(WorkDir() / "shaped",
                std::to_string(shape) + "-" + std::to_string(n) + ".ini", text);
  return made;
}

// Loading, each lookup (every key line's key looked up once, the first
// building the section's index), each erase (every key line's key erased
// in turn, the writer deferring the saves), as many new keys added to the
// section of the file's last line (for blank lines, the unnamed one: its
// new keys go before all of them) and a save after one change, each of a
// fresh load.
enum Operation { kLoad, kLookup, kErase, kAdd, kSave };

void ShapedRow(benchmark::State& state, Operation operation) {
  const int shape = static_cast<int>(state.range(0));
  const ShapedFile file =
      Shaped(shape, static_cast<std::size_t>(state.range(1)));
  ini::Syntax lastWins;
  lastWins.duplicates = ini::Syntax::Duplicates::Last;
  ini::InitialiseAsyncWriting(std::chrono::hours(1));
  for (auto _ : state) {
    const std::string path = FreshLink(state, file.path);
    if (operation == kLoad) {
      benchmark::DoNotOptimize(ini::ReadString("none", "none", "", path));
      continue;
    }
    state.PauseTiming();
    ini::Settings settings(path, lastWins);
    state.ResumeTiming();
    if (operation == kLookup) {
      for (const std::string& key : file.keys) {
        benchmark::DoNotOptimize(settings.Get("s", key, ""));
      }
    } else if (operation == kErase) {
      for (const std::string& key : file.keys) settings.Erase("s", key);
    } else if (operation == kAdd) {
      const ini::SectionName section =
          shape == kBlank ? std::nullopt : ini::SectionName("s");
      for (const std::string& key : file.keys) {
        settings.Set(section, "new" + key, "v");
      }
    } else {
      state.PauseTiming();
      settings.Set("s", "added", "v");
      state.ResumeTiming();
      settings.Flush();
    }
  }
  ini::ShutdownAsyncWriting();
  state.SetLabel(kShapeNames[shape]);
  state.counters["ns_per_line"] =
      benchmark::Counter(static_cast<double>(file.lines) * 1e-9,
                         benchmark::Counter::kIsIterationInvariantRate |
                             benchmark::Counter::kInvert);
}

void BM_ShapeLoad(benchmark::State& state) { ShapedRow(state, kLoad); }
void BM_ShapeLookup(benchmark::State& state) { ShapedRow(state, kLookup); }
void BM_ShapeErase(benchmark::State& state) { ShapedRow(state, kErase); }
void BM_ShapeAdd(benchmark::State& state) { ShapedRow(state, kAdd); }
void BM_ShapeSave(benchmark::State& state) { ShapedRow(state, kSave); }

void ShapeSizes(benchmark::internal::Benchmark* row) {
  row->ArgNames({"shape", "lines"})
      ->ArgsProduct(
          {benchmark::CreateDenseRange(0, kShapes - 1, 1), {1 << 14, 1 << 16}})
      ->Unit(benchmark::kMillisecond)
      ->Iterations(2);
}
BENCHMARK(BM_ShapeLoad)->Apply(ShapeSizes);
BENCHMARK(BM_ShapeLookup)->Apply(ShapeSizes);
BENCHMARK(BM_ShapeErase)->Apply(ShapeSizes);
BENCHMARK(BM_ShapeAdd)->Apply(ShapeSizes);
BENCHMARK(BM_ShapeSave)->Apply(ShapeSizes);

// ---- Reads ----

std::unordered_map<std::string, std::string> BaselineMap() {
  std::unordered_map<std::string, std::string> map;
  for (const auto& [section, key] : Small().keys) {
    map.emplace(section + "\n" + key, "some value of a setting");
  }
  return map;
}

void BM_HotRead(benchmark::State& state) {
  const auto& keys = Small().keys;
  const std::string& file = SmallFile();
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = keys[i++ % keys.size()];
    benchmark::DoNotOptimize(ini::ReadString(section, key, "", file));
  }
}
BENCHMARK(BM_HotRead);

// The same with a subscription to the file's edits active: a read touches
// nothing of the watcher's, so it must cost the same.
void BM_HotReadWatched(benchmark::State& state) {
  const ini::Subscription live =
      ini::OnChange(SmallFile(), [](const std::vector<ini::Change>&) {});
  BM_HotRead(state);
}
BENCHMARK(BM_HotReadWatched);

#ifdef VTY_BENCH_GKEYFILE
void BM_GKeyFileHotRead(benchmark::State& state) {
  const KeyFile file = LoadKeyFile(SmallKeyFilePath());
  if (!file) return state.SkipWithError("GKeyFile cannot load the file");
  GetValues(state, file.get(), 0);
}
BENCHMARK(BM_GKeyFileHotRead);
#endif

// The same reads through a handle: no path to look up, and the value as a
// person means it (trimmed, its inline comment cut) instead of the raw text.
// This thread's CPU time in seconds, which other processes on the machine do
// not inflate.
double ThreadSeconds() {
  timespec at{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &at);
  return static_cast<double>(at.tv_sec) +
         1e-9 * static_cast<double>(at.tv_nsec);
}

// The ns a read by `read(section, key)` costs beyond the handle's Get of the
// same keys: the median of rounds taken in turns, so that a busy machine
// slows both alike ("vs_handle_ns"; the target for the C interface: 20).
template <class Read>
double NsBeyondTheHandle(Read&& read) {
  const auto& keys = Small().keys;
  const ini::Settings settings(SmallFile());
  const std::string none;
  constexpr std::size_t kReads = 20000;
  const auto timed = [&](const auto& each) {
    const double start = ThreadSeconds();
    for (std::size_t n = 0; n < kReads; ++n) {
      const auto& [section, key] = keys[n % keys.size()];
      each(section, key);
    }
    return (ThreadSeconds() - start) * 1e9 / kReads;
  };
  std::vector<double> beyond;
  for (int round = 0; round < 15; ++round) {
    const double ofHandle = timed([&](const auto& section, const auto& key) {
      benchmark::DoNotOptimize(settings.Get<std::string>(section, key, none));
    });
    beyond.push_back(timed(read) - ofHandle);
  }
  std::nth_element(beyond.begin(), beyond.begin() + 7, beyond.end());
  return beyond[7];
}

void BM_HandleHotRead(benchmark::State& state) {
  const auto& keys = Small().keys;
  const ini::Settings settings(SmallFile());
  const std::string none;
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = keys[i++ % keys.size()];
    benchmark::DoNotOptimize(settings.Get<std::string>(section, key, none));
  }
}
BENCHMARK(BM_HandleHotRead);

// The same reads through the C interface: the handle's Get, a copy the
// caller owns, and its free.
void BM_CHotRead(benchmark::State& state) {
  const auto& keys = Small().keys;
  vty_ini_settings* settings = vty_ini_open(SmallFile().c_str());
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = keys[i++ % keys.size()];
    char* value = nullptr;
    benchmark::DoNotOptimize(
        vty_ini_get(settings, section.c_str(), key.c_str(), &value, nullptr));
    vty_ini_free(value);
  }
  state.counters["vs_handle_ns"] = NsBeyondTheHandle(
      [&](const std::string& section, const std::string& key) {
        char* value = nullptr;
        benchmark::DoNotOptimize(vty_ini_get(settings, section.c_str(),
                                             key.c_str(), &value, nullptr));
        vty_ini_free(value);
      });
  vty_ini_close(settings);
}
BENCHMARK(BM_CHotRead);

// The same into the caller's buffer: no allocation.
void BM_CHotReadBuffer(benchmark::State& state) {
  const auto& keys = Small().keys;
  vty_ini_settings* settings = vty_ini_open(SmallFile().c_str());
  char buffer[256];
  std::size_t size = 0;
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = keys[i++ % keys.size()];
    benchmark::DoNotOptimize(vty_ini_get_buffer(
        settings, section.c_str(), key.c_str(), buffer, sizeof buffer, &size));
  }
  state.counters["vs_handle_ns"] = NsBeyondTheHandle(
      [&](const std::string& section, const std::string& key) {
        benchmark::DoNotOptimize(vty_ini_get_buffer(settings, section.c_str(),
                                                    key.c_str(), buffer,
                                                    sizeof buffer, &size));
      });
  vty_ini_close(settings);
}
BENCHMARK(BM_CHotReadBuffer);

// The small file's text with its sections renamed: a layer of as many keys,
// none of them the ones read.
std::string OtherKeys() {
  std::string text = Small().text;
  for (std::size_t at; (at = text.find("section_")) != std::string::npos;) {
    text.replace(at, 8, "elsewhere_");
  }
  return text;
}

// Four file layers: a vendor's file, its drop-in, the administrator's
// drop-in and file; the keys read in the top one (`top`) or only in the
// lowest, the others holding as many other keys.
ini::Layers FourLayers(bool top) {
  const fs::path dir = WorkDir() / (top ? "layers-top" : "layers-bottom");
  const std::string other = OtherKeys();
  WriteFile(dir / "vendor.conf.d", "10-vendor.conf", other);
  WriteFile(dir / "app.conf.d", "10-admin.conf", other);
  return ini::Layers({WriteFile(dir, "vendor.conf", top ? other : Small().text),
                      (dir / "vendor.conf.d").string(),
                      (dir / "app.conf.d").string(),
                      WriteFile(dir, "app.conf", top ? Small().text : other)});
}

// Hot reads through four layers, with the ratio to a handle's hot read of
// the same keys measured in the same run ("vs_handle"; the targets: 1.5
// with the key in the top layer, 3 with it only in the lowest).
void LayersHotRead(benchmark::State& state, bool top) {
  const auto& keys = Small().keys;
  const ini::Layers layers = FourLayers(top);
  const ini::Settings handle(SmallFile());
  const std::string none;
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = keys[i++ % keys.size()];
    benchmark::DoNotOptimize(layers.Get<std::string>(section, key, none));
  }
  const auto timed = [&](const auto& read) {
    constexpr std::size_t kReads = 200000;
    const double start = ThreadSeconds();
    for (std::size_t n = 0; n < kReads; ++n) {
      const auto& [section, key] = keys[n % keys.size()];
      benchmark::DoNotOptimize(
          read.template Get<std::string>(section, key, none));
    }
    return ThreadSeconds() - start;
  };
  const double ofHandle = timed(handle);
  state.counters["vs_handle"] = timed(layers) / ofHandle;
}
void BM_LayersHotReadTop(benchmark::State& state) {
  LayersHotRead(state, true);
}
BENCHMARK(BM_LayersHotReadTop);
void BM_LayersHotReadLowest(benchmark::State& state) {
  LayersHotRead(state, false);
}
BENCHMARK(BM_LayersHotReadLowest);

void BM_HotReadBaseline(benchmark::State& state) {
  const auto map = BaselineMap();
  std::vector<std::string> names;
  for (const auto& [section, key] : Small().keys)
    names.push_back(section + "\n" + key);
  std::size_t i = 0;
  for (auto _ : state) {
    std::string value = map.find(names[i++ % names.size()])->second;
    benchmark::DoNotOptimize(value);
  }
}
BENCHMARK(BM_HotReadBaseline);

void BM_MissRead(benchmark::State& state) {
  const auto& keys = Small().keys;
  const std::string& file = SmallFile();
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = keys[i++ % keys.size()];
    benchmark::DoNotOptimize(ini::ReadString(section, "missing_key", "", file));
  }
}
BENCHMARK(BM_MissRead);

#ifdef VTY_BENCH_GKEYFILE
void BM_GKeyFileMissRead(benchmark::State& state) {
  const KeyFile file = LoadKeyFile(SmallKeyFilePath());
  if (!file) return state.SkipWithError("GKeyFile cannot load the file");
  GetValues(state, file.get(), 0, "missing_key");
}
BENCHMARK(BM_GKeyFileMissRead);
#endif

void BM_MissReadBaseline(benchmark::State& state) {
  const auto map = BaselineMap();
  std::vector<std::string> names;
  for (const auto& [section, key] : Small().keys)
    names.push_back(section + "\nmissing_key");
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(map.find(names[i++ % names.size()]) == map.end());
  }
}
BENCHMARK(BM_MissReadBaseline);

// A hot typed read of an int, and in the same run a hot ReadString of the same
// keys of the same file: the difference is the parse.
template <class Read>
void ReadNumbers(benchmark::State& state, Read read) {
  static const Generated data = Generate(10 * 1024, 42, true);
  static const std::string file =
      WriteFile(WorkDir(), "numbers.ini", data.text);
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = data.keys[i++ % data.keys.size()];
    benchmark::DoNotOptimize(read(section, key, file));
  }
}

void BM_HotReadInt(benchmark::State& state) {
  ReadNumbers(state, [](const std::string& section, const std::string& key,
                        const std::string& file) {
    return ini::ReadValue<int>(section, key, 0, file);
  });
}
BENCHMARK(BM_HotReadInt);

void BM_HotReadIntAsString(benchmark::State& state) {
  ReadNumbers(state, [](const std::string& section, const std::string& key,
                        const std::string& file) {
    return ini::ReadString(section, key, "", file);
  });
}
BENCHMARK(BM_HotReadIntAsString);

void BM_HandleGetInt(benchmark::State& state) {
  ReadNumbers(state, [](const std::string& section, const std::string& key,
                        const std::string& file) {
    static const ini::Settings settings(file);
    return settings.Get<int>(section, key, 0);
  });
}
BENCHMARK(BM_HandleGetInt);

void BM_CGetInt64(benchmark::State& state) {
  ReadNumbers(state, [](const std::string& section, const std::string& key,
                        const std::string& file) {
    static vty_ini_settings* const settings = vty_ini_open(file.c_str());
    int64_t value = 0;
    vty_ini_get_int64(settings, section.c_str(), key.c_str(), &value);
    return value;
  });
}
BENCHMARK(BM_CGetInt64);

void BM_HandleGetIntAsString(benchmark::State& state) {
  ReadNumbers(state, [](const std::string& section, const std::string& key,
                        const std::string& file) {
    static const ini::Settings settings(file);
    static const std::string none;
    return settings.Get<std::string>(section, key, none);
  });
}
BENCHMARK(BM_HandleGetIntAsString);

// Hot reads on one, two or four threads, on one shared file or a file per
// thread (thread 0's is the shared one).
constexpr int kMaxThreads = 4;

void BM_ThreadedRead(benchmark::State& state) {
  const bool ownFile = state.range(0) != 0;
  static const std::vector<std::string> files = [] {
    std::vector<std::string> out{SmallFile()};
    for (int i = 1; i < kMaxThreads; ++i) {
      out.push_back(WriteFile(WorkDir(), "small-" + std::to_string(i) + ".ini",
                              Small().text));
    }
    return out;
  }();
  const std::string& file =
      files[ownFile ? static_cast<std::size_t>(state.thread_index()) : 0];
  const auto& keys = Small().keys;
  std::size_t i = static_cast<std::size_t>(state.thread_index()) * 7;
  for (auto _ : state) {
    const auto& [section, key] = keys[i++ % keys.size()];
    benchmark::DoNotOptimize(ini::ReadString(section, key, "", file));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ThreadedRead)
    ->ArgName("ownFile")
    ->Arg(0)
    ->Arg(1)
    ->Threads(1)
    ->Threads(2)
    ->Threads(kMaxThreads)
    ->UseRealTime();

#ifdef VTY_BENCH_GKEYFILE
// GKeyFile has no lock: readers may share one only while nothing writes it,
// as here. The threads read the one document, loaded by whichever comes first.
void BM_GKeyFileThreadedRead(benchmark::State& state) {
  static const KeyFile shared = LoadKeyFile(SmallKeyFilePath());
  if (!shared) return state.SkipWithError("GKeyFile cannot load the file");
  GetValues(state, shared.get(),
            static_cast<std::size_t>(state.thread_index()) * 7);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GKeyFileThreadedRead)
    ->Threads(1)
    ->Threads(2)
    ->Threads(kMaxThreads)
    ->UseRealTime();
#endif

// ---- Writes ----

// Each pass over the keys writes another value: a value written again is a
// cheaper path, which this row is not about.
const char* PassValue(std::size_t i, std::size_t keys) {
  return (i / keys) % 2 == 0 ? "a new value" : "another value";
}

void BM_DeferredWrite(benchmark::State& state) {
  const std::string file = WriteFile(WorkDir(), "deferred.ini", Small().text);
  const auto& keys = Small().keys;
  ini::ReadString("x", "y", "", file);  // load before timing
  ini::InitialiseAsyncWriting();
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = keys[i % keys.size()];
    ini::WriteString(section, key, PassValue(i++, keys.size()), file);
  }
  ini::ShutdownAsyncWriting();
}
BENCHMARK(BM_DeferredWrite);

// The same writes through a handle: the value as a person means it, written
// into its line with the layout kept.
void BM_HandleDeferredSet(benchmark::State& state) {
  const std::string file =
      WriteFile(WorkDir(), "handle-deferred.ini", Small().text);
  const auto& keys = Small().keys;
  ini::Settings settings(file);  // loads before timing
  ini::InitialiseAsyncWriting();
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = keys[i % keys.size()];
    settings.Set(section, key, PassValue(i++, keys.size()));
  }
  ini::ShutdownAsyncWriting();
}
BENCHMARK(BM_HandleDeferredSet);

// A deferred write while a flush of the same file waits for the lock that
// another process holds (here another descriptor of this one, which the lock
// tells apart just the same): it must not wait with the flush.
void BM_DeferredWriteDuringStalledFlush(benchmark::State& state) {
  const std::string file = WriteFile(WorkDir(), "stalled.ini", Small().text);
  const auto& keys = Small().keys;
  ini::InitialiseAsyncWriting();
  ini::WriteString("stalled", "k", "v", file);  // something to flush
  const int other = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  if (other < 0 || !LockFile(other, true)) {
    ini::ShutdownAsyncWriting();
    return state.SkipWithError("cannot lock the file");
  }
  std::thread flush([&] {
    try {
      ini::Flush(file);
    } catch (...) {  // timed out: the lock was held too long
    }
  });
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = keys[i % keys.size()];
    ini::WriteString(section, key, PassValue(i++, keys.size()), file);
  }
  LockFile(other, false);
  flush.join();
  ::close(other);
  ini::ShutdownAsyncWriting();
}
BENCHMARK(BM_DeferredWriteDuringStalledFlush)->UseRealTime();

// While a flush waits for another program to finish rewriting the file in
// place (here a descriptor of this process, open for writing and written
// every 20 ms, so never still), a deferred write (0) and a fork() whose child
// exits at once (1) must not wait with it.
void BM_DuringASavesWaitForAWriter(benchmark::State& state) {
  const std::string file = WriteFile(WorkDir(), "waited.ini", Small().text);
  const auto& keys = Small().keys;
  ini::InitialiseAsyncWriting();
  ini::WriteString("waited", "k", "v", file);  // something to flush
  const int writer = ::open(file.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  std::atomic<bool> done{false};
  std::thread writing([&] {
    while (!done && ::write(writer, "\n", 1) == 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::thread flush([&] {
    try {
      ini::Flush(file);
    } catch (...) {
    }
  });
  // Until the flush holds the file's lock, and so is at its wait.
  const int probe = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  for (const auto end =
           std::chrono::steady_clock::now() + std::chrono::seconds(5);
       std::chrono::steady_clock::now() < end;) {
    struct flock whole {};
    whole.l_type = F_WRLCK;
    if (::fcntl(probe, F_OFD_GETLK, &whole) == 0 && whole.l_type != F_UNLCK)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ::close(probe);
  std::size_t i = 0;
  for (auto _ : state) {
    if (state.range(0) == 0) {
      const auto& [section, key] = keys[i % keys.size()];
      ini::WriteString(section, key, PassValue(i++, keys.size()), file);
    } else if (const pid_t child = ::fork(); child == 0) {
      ::_exit(0);
    } else {
      ::waitpid(child, nullptr, 0);
    }
  }
  done = true;
  writing.join();
  ::close(writer);
  flush.join();
  ini::ShutdownAsyncWriting();
}
// The baseline of the fork() row above: a fork() while nothing waits.
void BM_ForkBaseline(benchmark::State& state) {
  for (auto _ : state) {
    if (const pid_t child = ::fork(); child == 0) ::_exit(0);
    ::wait(nullptr);
  }
}
BENCHMARK(BM_ForkBaseline)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_DuringASavesWaitForAWriter)
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

#ifdef VTY_BENCH_GKEYFILE
// The set in memory alone: GKeyFile writes only when asked to save.
void BM_GKeyFileDeferredWrite(benchmark::State& state) {
  const KeyFile file = LoadKeyFile(SmallKeyFilePath());
  if (!file) return state.SkipWithError("GKeyFile cannot load the file");
  const auto& keys = Small().keys;
  std::size_t i = 0;
  for (auto _ : state) {
    const auto& [section, key] = keys[i % keys.size()];
    g_key_file_set_value(file.get(), section.c_str(), key.c_str(),
                         PassValue(i++, keys.size()));
  }
}
BENCHMARK(BM_GKeyFileDeferredWrite);
#endif

fs::path ImmediateDir(int where) {
  return where == 0
             ? WorkDir()
             : fs::path("/dev/shm") / ("vty-bench-" + std::to_string(getpid()));
}

void BM_ImmediateWrite(benchmark::State& state) {
  const fs::path dir = ImmediateDir(static_cast<int>(state.range(0)));
  const std::string file = WriteFile(dir, "immediate.ini", Small().text);
  const auto& [section, key] = Small().keys.front();
  int i = 0;
  for (auto _ : state) {
    ini::WriteString(section, key, "value " + std::to_string(i++), file);
  }
  state.SetLabel(dir.string());
}
BENCHMARK(BM_ImmediateWrite)
    ->ArgName("shm")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

// Baseline: the same bytes to a temporary file, fsync, rename.
void BM_ImmediateWriteBaseline(benchmark::State& state) {
  const fs::path dir = ImmediateDir(static_cast<int>(state.range(0)));
  fs::create_directories(dir);
  const std::string target = (dir / "baseline.ini").string();
  const std::string temp = (dir / ".baseline.ini.tmp").string();
  const std::string& text = Small().text;
  for (auto _ : state) {
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    benchmark::DoNotOptimize(::write(fd, text.data(), text.size()));
    ::fsync(fd);
    ::close(fd);
    ::rename(temp.c_str(), target.c_str());
  }
  state.SetLabel(dir.string());
}
BENCHMARK(BM_ImmediateWriteBaseline)
    ->ArgName("shm")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond);

// ---- Erasing ----

// Erases every key of one section of `count` keys, or every one of `count`
// sections, with the writer running: the time per erase stays flat as the
// count grows, as no erase walks the section or the changes not yet saved.
void BM_EraseAll(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  const bool sections = state.range(1) != 0;
  std::string text = sections ? "" : "[s]\n";
  for (std::size_t i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    text += sections ? "[s" + n + "]\nk=v\n" : "key" + n + "=v\n";
  }
  static int run = 0;
  ini::InitialiseAsyncWriting();
  for (auto _ : state) {
    state.PauseTiming();
    const std::string file =
        WriteFile(WorkDir(), "erase-" + std::to_string(run++) + ".ini", text);
    ini::ReadString("s", "key0", "", file);  // loaded and indexed
    state.ResumeTiming();
    for (std::size_t i = 0; i < count; ++i) {
      if (sections) {
        ini::EraseSection("s" + std::to_string(i), file);
      } else {
        ini::EraseKey("s", "key" + std::to_string(i), file);
      }
    }
  }
  ini::ShutdownAsyncWriting();
  state.SetItemsProcessed(state.iterations() *
                          static_cast<std::int64_t>(count));
}
BENCHMARK(BM_EraseAll)
    ->ArgsProduct({{10'000, 80'000}, {0, 1}})
    ->ArgNames({"count", "sections"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// ---- Enumeration ----

void BM_IterateAllSections(benchmark::State& state) {
  const std::string& file = SmallFile();
  std::size_t pairs = 0;
  for (auto _ : state) {
    ini::IterateAllSections(
        file,
        [&](const std::string&,
            const std::vector<ini::SectionKeyValuePair>& p) {
          pairs += p.size();
        },
        [](const std::exception&) {});
  }
  benchmark::DoNotOptimize(pairs);
}
BENCHMARK(BM_IterateAllSections)->Unit(benchmark::kMicrosecond);

// ---- Memory ----

void BM_MemoryPerLine(benchmark::State& state) {
  const Generated data = Generate(static_cast<std::size_t>(state.range(0)), 7);
  static int run = 0;  // each repetition needs a path not loaded yet
  const std::string file = WriteFile(
      WorkDir(), "memory-" + std::to_string(run++) + ".ini", data.text);
  std::size_t bytes = 0;
  for (auto _ : state) {  // once: a path loads only on its first use
    const std::size_t before = HeapInUse();
    ini::ReadString("section_0", "option_0", "", file);
    bytes = HeapInUse() - before;
  }
  state.counters["heap_bytes_per_line"] =
      static_cast<double>(bytes) / static_cast<double>(data.lines);
  state.counters["heap_bytes_per_file_byte"] =
      static_cast<double>(bytes) / static_cast<double>(data.text.size());
}
BENCHMARK(BM_MemoryPerLine)->Arg(1 << 20)->Iterations(1);

void BM_MemoryPerShortLine(benchmark::State& state) {
  const bool keys = state.range(0) != 0;
  static int run = 0;  // each repetition needs a path not loaded yet
  const std::string file = WriteFile(
      WorkDir(), "short-" + std::to_string(run++) + ".ini", ShortLines(keys));
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    ini::ReadString("s", "k1", "", file);
    bytes = HeapInUse() - before;
  }
  state.counters["heap_bytes_per_line"] =
      static_cast<double>(bytes) / static_cast<double>(kShortLines);
}
BENCHMARK(BM_MemoryPerShortLine)
    ->ArgName("keys")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ignored;
  fs::remove_all(WorkDir(), ignored);
  fs::remove_all(ImmediateDir(1), ignored);
  return 0;
}
