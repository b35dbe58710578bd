#!/usr/bin/env bash
# Builds the library, its example and its tool, then shows the library's main
# job: reading settings from an INI file, with defaults for what it does not
# set, and editing a copy of it without disturbing the rest of the file.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" "${BUILD_PACKAGES[@]}"

cmake -S "$ROOT" -B "$BUILD" -DVTY_CONFIG_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target read_settings shared_file vty-ini >/dev/null

echo "== $ROOT/examples/app.ini"
cat "$ROOT/examples/app.ini"
echo
"$BUILD/examples/read_settings" "$ROOT/examples/app.ini"

echo
echo "== Editing a copy with the vty-ini tool: only the edited lines change"
"$ROOT/scripts/tool-demo.sh" "$BUILD"
