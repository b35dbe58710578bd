#!/usr/bin/env bash
# Builds the fuzz targets through CMake (clang, libFuzzer, AddressSanitizer
# and UndefinedBehaviorSanitizer, warnings as errors) and runs each for a
# bounded time on a scratch copy of its seed corpus. A failing target prints
# its reproducer.
#   scripts/fuzz.sh [BUILD_DIR [SECONDS]]     (defaults: build-fuzz, 60)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=$(realpath -m "${1:-$ROOT/build-fuzz}")
SECONDS_EACH=${2:-60}
# shellcheck source=common.sh
source "$ROOT/scripts/common.sh"
"$ROOT/scripts/deps.sh" "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev

cmake -S "$ROOT" -B "$OUT" -DCMAKE_CXX_COMPILER=clang++ \
  -DVTY_CONFIG_BUILD_FUZZERS=ON -DVTY_CONFIG_SANITIZE=address,undefined \
  -DVTY_CONFIG_WERROR=ON -DVTY_CONFIG_BUILD_TESTS=OFF \
  -DVTY_CONFIG_BUILD_EXAMPLES=OFF -DVTY_CONFIG_BUILD_TOOLS=OFF >/dev/null
cmake --build "$OUT" -j"$(nproc)" --target LoadSaveFuzzer EditFuzzer

# The targets save into a scratch directory; saving syncs every file, so a
# RAM-backed one keeps runs fast. Removed at the end, even after a crash.
ram=/dev/shm
[ -w "$ram" ] || ram=${TMPDIR:-/tmp}
TMPDIR=$(mktemp -d -p "$ram" vty-fuzz.XXXXXX)
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT

failed=0
for run in LoadSave:load Edit:edit; do
  target=${run%%:*} seeds="$ROOT/fuzz/corpus/${run##*:}"
  binary="$OUT/fuzz/${target}Fuzzer"
  corpus="$OUT/corpus/$target" artifacts="$OUT/artifacts/$target"
  rm -rf "$corpus" "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  cp "$seeds"/* "$corpus/"
  echo "== $target: ${SECONDS_EACH}s"
  if "$binary" -max_total_time="$SECONDS_EACH" -timeout=30 \
      -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" \
      >"$OUT/$target.log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units)' "$OUT/$target.log" || true
  else
    failed=1
    grep -vE '^(#[0-9]+|INFO:)' "$OUT/$target.log"  # all but progress
    for reproducer in "$artifacts"/*; do
      [ -e "$reproducer" ] || continue
      echo "reproducer: $reproducer"
      od -A d -c "$reproducer" | head -n 40  # the input itself, for the log
      echo "rerun with: $binary $reproducer"
    done
  fi
done
exit "$failed"
