#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs each five times, printing medians,
# then ratios of medians from that one run: the library against GLib's
# GKeyFile, against its baselines, and threaded reads against one thread.
# Extra arguments go to the benchmark binary, e.g. --benchmark_filter=Read.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" "${BUILD_PACKAGES[@]}" libbenchmark-dev \
  libglib2.0-dev jq

dir="$ROOT/build-bench"
cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
  -DVTY_CONFIG_BUILD_BENCHMARKS=ON -DVTY_CONFIG_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target vty_config_bench >/dev/null
cd "$dir"  # the benchmark's files go to a folder below the working directory
./bench/vty_config_bench --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true \
  --benchmark_out=bench.json --benchmark_out_format=json "$@" 2>&1 |
  grep -E '^Run on|median'

# Each line: what is compared, the field of the two rows' medians, the rows.
# A row that did not run (filtered out, or no GLib) shows as n/a.
echo
echo "== Ratios of medians, same run"
jq -r '
  def median($row; $field):
    first(.benchmarks[] | select(.run_name == $row
      and .aggregate_name == "median") | .[$field]) // null;
  def shown($field):
    if $field == "bytes_per_second" then "\(. / 104857.6 | round / 10) MiB/s"
    elif $field == "items_per_second" then "\(. / 1e5 | round / 10) M/s"
    else "\(. * 10 | round / 10)" end;
  def ratio($what; $field; $a; $b):
    [median($a; $field), median($b; $field)] as [$x, $y]
    | "\($what): " + if $x and $y and $y != 0
      then "\($x | shown($field)) / \($y | shown($field))"
        + " = \($x / $y * 100 | round / 100)"
      else "n/a" end;
  def difference($what; $field; $a; $b):
    [median($a; $field), median($b; $field)] as [$x, $y]
    | "\($what): " + if $x and $y
      then "\($x | shown($field)) - \($y | shown($field))"
        + " = \(($x - $y) * 10 | round / 10)"
      else "n/a" end;
  "BM_ThreadedRead/ownFile:0/real_time/threads:" as $ours
  | "BM_ThreadedRead/ownFile:1/real_time/threads:" as $own
  | "BM_GKeyFileThreadedRead/real_time/threads:" as $theirs
  | ratio("hot read ns, ours / GKeyFile"; "cpu_time";
      "BM_HotRead"; "BM_GKeyFileHotRead"),
    ratio("handle hot read ns, Get<std::string> / GKeyFile"; "cpu_time";
      "BM_HandleHotRead"; "BM_GKeyFileHotRead"),
    difference("handle Get<int> ns over Get<std::string>"; "cpu_time";
      "BM_HandleGetInt"; "BM_HandleGetIntAsString"),
    difference("C vty_ini_get ns over the handle Get<std::string>";
      "cpu_time"; "BM_CHotRead"; "BM_HandleHotRead"),
    difference("C vty_ini_get_buffer ns over the handle Get<std::string>";
      "cpu_time"; "BM_CHotReadBuffer"; "BM_HandleHotRead"),
    difference("C vty_ini_get_int64 ns over the handle Get<int>";
      "cpu_time"; "BM_CGetInt64"; "BM_HandleGetInt"),
    ratio("hot read ns, a subscription active / none"; "cpu_time";
      "BM_HotReadWatched"; "BM_HotRead"),
    ratio("miss read ns, ours / GKeyFile"; "cpu_time";
      "BM_MissRead"; "BM_GKeyFileMissRead"),
    ratio("deferred set ns, ours / GKeyFile"; "cpu_time";
      "BM_DeferredWrite"; "BM_GKeyFileDeferredWrite"),
    ratio("handle deferred Set ns, ours / GKeyFile"; "cpu_time";
      "BM_HandleDeferredSet"; "BM_GKeyFileDeferredWrite"),
    ratio("load 1 MB, ours / GKeyFile"; "bytes_per_second";
      "BM_Load/1048576/iterations:8"; "BM_GKeyFileLoad/1048576/iterations:8"),
    ratio("load 16 MB, ours / GKeyFile"; "bytes_per_second";
      "BM_Load/16777216/iterations:2"; "BM_GKeyFileLoad/16777216/iterations:2"),
    ((["ours", $ours], ["ours, a file each", $own], ["GKeyFile", $theirs])
      as [$who, $row] | ("2", "4") as $n
      | ratio("threaded read, \($who), \($n) / 1 thread"; "items_per_second";
          $row + $n; $row + "1")),
    ratio("immediate save us, ours / baseline, disk"; "real_time";
      "BM_ImmediateWrite/shm:0"; "BM_ImmediateWriteBaseline/shm:0"),
    ratio("immediate save us, ours / baseline, /dev/shm"; "real_time";
      "BM_ImmediateWrite/shm:1"; "BM_ImmediateWriteBaseline/shm:1"),
    ratio("heap bytes per line, ours / GKeyFile"; "heap_bytes_per_line";
      "BM_MemoryPerLine/1048576/iterations:1";
      "BM_GKeyFileMemoryPerLine/1048576/iterations:1"),
    ((["blank lines", 0], ["short key lines", 1]) as [$what, $keys]
      | ratio("heap bytes per line, 2 M \($what), ours / GKeyFile";
          "heap_bytes_per_line";
          "BM_MemoryPerShortLine/keys:\($keys)/iterations:1";
          "BM_GKeyFileMemoryPerShortLine/keys:\($keys)/iterations:1")),
    (("Load", "Lookup", "Erase", "Save") as $op | range(0; 6) as $shape
      | ratio("\($op) ns per line, shape \($shape), 4n / n lines";
          "ns_per_line";
          "BM_Shape\($op)/shape:\($shape)/lines:65536/iterations:2";
          "BM_Shape\($op)/shape:\($shape)/lines:16384/iterations:2"))
' bench.json

# Python: a hot get of vantry_config against configparser's, same file.
# The extension module is built where CMake found Python's headers.
if command -v python3 >/dev/null &&
  cmake --build "$dir" -j"$(nproc)" --target vty_config_python >/dev/null; then
  echo
  echo "== Python, same run"
  PYTHONPATH="$dir/python" \
    python3 "$ROOT/bench/python_get.py"
fi
