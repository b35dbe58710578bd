#!/usr/bin/env bash
# Builds the Debian packages with debhelper (debian/) from a copy of the
# tree, so that the tree itself stays clean, then checks them:
#   scripts/package.sh [OUT_DIR]                  (default build-deb)
# OUT_DIR then holds libvantry.config1, libvantry-config-dev, vty-ini and,
# when the build installs the Python module, python3-vantry-config. Install
# them with: dpkg -i OUT_DIR/*.deb
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" "${BUILD_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}"

out=$(realpath -m "${1:-$ROOT/build-deb}")
source=$out/source
rm -rf "$source" "$out"/*.deb "$out"/*.ddeb "$out"/*.changes "$out"/*.buildinfo
mkdir -p "$source"
echo "== Copying the tree to $source"
if git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1; then
  # What git knows of and does not ignore: no build trees come along.
  # A file deleted but not yet committed is left out.
  (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null) |
    tar -xf - -C "$source"
else
  tar -C "$ROOT" --exclude='./build*' -cf - . | tar -xf - -C "$source"
fi

# The Python module is packaged when the build installs it; otherwise the
# build profile nopython leaves its package out.
profiles=()
cmake -S "$source" -B "$out/probe" -DCMAKE_INSTALL_PREFIX=/usr \
  -DVTY_CONFIG_BUILD_TESTS=OFF >"$out/probe.log" 2>&1 ||
  { cat "$out/probe.log"; exit 1; }
if grep -rl --include=cmake_install.cmake dist-packages "$out/probe" |
    xargs -r grep -l vantry_config | grep -q .; then
  "$ROOT/scripts/deps.sh" "${PYTHON_PACKAGE_PACKAGES[@]}"
else
  echo "== The build installs no Python module: python3-vantry-config is not built"
  profiles=(-Pnopython)
fi
rm -rf "$out/probe" "$out/probe.log"

echo "== Building the packages in $out"
jobs=$(nproc)
export DEB_BUILD_OPTIONS="parallel=$jobs ${DEB_BUILD_OPTIONS:-}"
(cd "$source" && dpkg-buildpackage -us -uc -b "${profiles[@]}")
"$ROOT/tests/package/check.sh" "$out"
