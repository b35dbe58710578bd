#!/usr/bin/env bash
# Builds the library, its example and its tool, then shows the library's main
# job: reading settings from an INI file, with defaults for what it does not
# set, and editing a copy of it without disturbing the rest of the file.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" "${BUILD_PACKAGES[@]}"

echo "== Building the library, its examples and vty-ini in $BUILD"
echo "   (half a minute the first time; each file is named as it is compiled)"
cmake -S "$ROOT" -B "$BUILD" -DVTY_CONFIG_BUILD_TESTS=OFF >/dev/null
# One line per compiled file, e.g. "  [ 40%] Document.cpp"; errors in full.
cmake --build "$BUILD" -j"$(nproc)" --target read_settings shared_file vty-ini 2>&1 |
  sed -u -n -e 's|^\(\[ *[0-9]*%\]\) Building CXX object .*/\([^/]*\)\.o$|  \1 \2|p' \
    -e '/error\|Error\|warning/p'
echo

echo "== $ROOT/examples/app.ini"
cat "$ROOT/examples/app.ini"
echo
"$BUILD/examples/read_settings" "$ROOT/examples/app.ini"

echo
echo "== Editing a copy with the vty-ini tool: only the edited lines change"
"$ROOT/scripts/tool-demo.sh" "$BUILD"
