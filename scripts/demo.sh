#!/usr/bin/env bash
# Builds the library and its example, then shows the library's main job:
# reading settings from an INI file, with defaults for what it does not set.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" "${BUILD_PACKAGES[@]}"

cmake -S "$ROOT" -B "$BUILD" -DVTY_CONFIG_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target read_settings >/dev/null

echo "== $ROOT/examples/app.ini"
cat "$ROOT/examples/app.ini"
echo
"$BUILD/examples/read_settings" "$ROOT/examples/app.ini"
