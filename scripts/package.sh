#!/usr/bin/env bash
# Builds the Debian package (Release, installing under /usr) with CPack and
# checks what it holds:   scripts/package.sh [OUT_DIR]   (default build-deb)
# Install it with: dpkg -i OUT_DIR/vantry-config_*.deb
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" "${BUILD_PACKAGES[@]}" dpkg-dev

out=$(realpath -m "${1:-$ROOT/build-deb}")
echo "== Building the package in $out"
cmake -S "$ROOT" -B "$out" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX=/usr -DVTY_CONFIG_BUILD_TESTS=OFF \
  -DVTY_CONFIG_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$out" -j"$(nproc)"
"$ROOT/tests/package/check.sh" "$out" "$out"
