#!/usr/bin/env bash
# Builds everything and runs all tests.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

cmake -S "$ROOT" -B "$BUILD" -DVTY_CONFIG_BUILD_TESTS=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)"
ctest --test-dir "$BUILD" --output-on-failure -j"$(nproc)"
