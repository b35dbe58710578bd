#!/usr/bin/env bash
# Races in-place rewriters (`cp`, a shell's `>`) against a saving service on
# the work disk, ROUNDS rounds each (1000 unless given; ctest runs 40), and
# reports the rounds where a line that was in the file before both began went
# missing.
#   scripts/race.sh [ROUNDS]
set -euo pipefail
source "$(dirname "$0")/common.sh"
cmake -S "$ROOT" -B "$BUILD" -DVTY_CONFIG_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD" -j2 --target OutsideWritersTest >/dev/null
VTY_RACE_ROUNDS="${1:-1000}" "$BUILD/tests/OutsideWritersTest" \
  --gtest_filter='*InPlaceRewriteDuringASaveLosesNoOldLine*'
