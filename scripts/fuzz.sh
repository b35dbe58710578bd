#!/usr/bin/env bash
# Builds the fuzz targets with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each for a bounded time on a scratch
# copy of its seed corpus. A failing target prints its reproducer.
#   scripts/fuzz.sh [BUILD_DIR [SECONDS]]     (defaults: build-fuzz, 60)
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=$(realpath -m "${1:-$ROOT/build-fuzz}")
SECONDS_EACH=${2:-60}
"$ROOT/scripts/deps.sh" clang libclang-rt-14-dev libboost-dev

flags=(-std=c++17 -g -O1 "-fsanitize=address,undefined" -fno-sanitize-recover=all
       -Wall -Wextra -Wpedantic -Werror -I"$ROOT/include" -I"$ROOT/src")
mkdir -p "$OUT/obj"
objects=()
for source in "$ROOT"/src/*.cpp; do
  object="$OUT/obj/$(basename "$source" .cpp).o"
  clang++ "${flags[@]}" -fsanitize=fuzzer-no-link -c "$source" -o "$object"
  objects+=("$object")
done

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
  binary="$OUT/${target}Fuzzer"
  clang++ "${flags[@]}" -fsanitize=fuzzer "$ROOT/fuzz/${target}Fuzzer.cpp" \
    "${objects[@]}" -lpthread -o "$binary"
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
