#!/usr/bin/env bash
# Races editors that take no lock (a rewrite in place by `cp` and a shell's
# `>`, vim's save, a new file renamed over, and the paused forms of the
# rewrite and of vim's save) against one and two saving services, on the
# work disk and on tmpfs (/dev/shm), ROUNDS rounds each (1000 unless given;
# ctest runs 8), and reports the rounds where a line that was in the file
# before they all began went missing. PAUSE_MS (20 unless set) is how long
# the paused editors stop half-way.
#   scripts/race.sh [ROUNDS]
set -euo pipefail
source "$(dirname "$0")/common.sh"
cmake -S "$ROOT" -B "$BUILD" -DVTY_CONFIG_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD" -j2 --target OutsideWritersTest >/dev/null
mkdir -p "$BUILD/race"
for dir in "$BUILD/race" /dev/shm; do
  for services in 1 2; do
    echo "== $dir, $services service(s), pauses of ${PAUSE_MS:-20} ms"
    VTY_RACE_ROUNDS="${1:-1000}" VTY_RACE_SERVICES="$services" \
      VTY_RACE_DIR="$dir" VTY_RACE_PAUSE_MS="${PAUSE_MS:-20}" \
      "$BUILD/tests/OutsideWritersTest" \
      --gtest_filter='*UnlockedEditsDuringSavesLoseNoOldLine*' |
      grep -E 'rounds lost|FAILED|OK \]' || true
  done
done
