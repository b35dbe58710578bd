#!/usr/bin/env bash
# Builds the Debian package of a configured build tree with CPack and checks
# what it holds and declares: the library with its links, the header, the
# tool, its manual page and completion, the CMake and pkg-config files, the
# copyright, and dependencies read from the binaries.
#
#   check.sh BUILD_DIR [OUT_DIR]     (BUILD_DIR must be built; OUT_DIR keeps
#                                     the package, a temporary one otherwise)

set -euo pipefail

build_dir=$(cd "$1" && pwd)
out=${2:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/vty-config-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
[ -n "$out" ] || out=$work/out
mkdir -p "$out"

fail() {
  echo "check.sh: $*" >&2
  exit 1
}

command -v dpkg-shlibdeps >/dev/null ||
  { echo "check.sh: dpkg-shlibdeps missing (Debian package dpkg-dev): skipped"; exit 0; }
(cd "$build_dir" && cpack -G DEB -B "$out" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log"; fail "cpack -G DEB failed"; }
deb=$(find "$out" -maxdepth 1 -name 'vantry-config_*.deb' | head -n 1)
[ -n "$deb" ] || fail "no package in $out"
echo "-- $deb"

dpkg-deb --contents "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$work/contents"
for pattern in \
    '/lib/(.*/)?libVantry\.Config\.so\.1\.2$' \
    '/lib/(.*/)?libVantry\.Config\.so\.1$' \
    '/lib/(.*/)?libVantry\.Config\.so$' \
    '/include/config/INI\.h$' \
    '/include/config/Settings\.h$' \
    '/bin/vty-ini$' \
    '/share/man/man1/vty-ini\.1\.gz$' \
    '/share/bash-completion/completions/vty-ini$' \
    '/lib/(.*/)?cmake/VantryConfig/VantryConfigConfig\.cmake$' \
    '/lib/(.*/)?pkgconfig/vantry-config\.pc$' \
    '/share/doc/vantry-config/copyright$'; do
  grep -Eq "$pattern" "$work/contents" || fail "the package lacks $pattern"
done
! grep -q vty_config "$work/contents" || fail "internal targets are packaged"

dpkg-deb --field "$deb" Package Version Depends >"$work/fields"
grep -q '^Package: vantry-config$' "$work/fields" || fail "wrong package name"
grep -q '^Version: 1\.2\.0$' "$work/fields" || fail "wrong version"
for needed in libc6 libstdc\\+\\+6; do
  grep -Eq "^Depends:.*$needed" "$work/fields" ||
    fail "Depends does not name $needed: $(grep Depends "$work/fields")"
done
dpkg-deb --info "$deb" postinst | grep -q ldconfig ||
  fail "the package does not run ldconfig"
echo "check.sh: the package holds and declares what it must"
