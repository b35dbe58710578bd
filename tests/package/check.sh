#!/usr/bin/env bash
# Checks the Debian packages scripts/package.sh built, as a distribution
# would: what each holds, lintian (any error or warning fails, the pedantic
# and informational tags are printed), the hardening of every binary, then
# installs them with dpkg into an empty root and uses them from there: the
# tool runs, the Python module imports (when packaged), and a program is
# built against the installed development package with its CMake package
# and with pkg-config, and run.
#
#   check.sh OUT_DIR          (the directory holding the .deb files)

set -euo pipefail

out=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/vty-config-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() {
  echo "check.sh: $*" >&2
  exit 1
}

step() { echo "-- $*"; }

deb() {  # deb PACKAGE: the one .deb of PACKAGE in OUT_DIR
  local found
  found=$(find "$out" -maxdepth 1 -name "$1_*.deb")
  [ "$(printf '%s' "$found" | grep -c .)" = 1 ] ||
    fail "not exactly one package $1 in $out: ${found:-none}"
  echo "$found"
}

library=$(deb libvantry.config1)
dev=$(deb libvantry-config-dev)
tool=$(deb vty-ini)
debs=("$library" "$dev" "$tool")
python=$(find "$out" -maxdepth 1 -name 'python3-vantry-config_*.deb')
if [ -n "$python" ]; then
  debs+=("$python")
else
  echo "check.sh: no python3-vantry-config package (the build installs no" \
    "Python module): its checks are skipped"
fi

step "what each package holds"
holds() {  # holds DEB PATTERN...: DEB has a file matching each PATTERN
  local deb=$1
  shift
  dpkg-deb --contents "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' \
    >"$work/contents"
  for pattern in "$@"; do
    grep -Eq "$pattern" "$work/contents" ||
      fail "$(basename "$deb") lacks $pattern"
  done
}
lib='^/usr/lib/[^/]+-linux-gnu'
holds "$library" "$lib/libVantry\.Config\.so\.1\.2$" \
  "$lib/libVantry\.Config\.so\.1$" \
  '^/usr/share/doc/libvantry\.config1/copyright$'
holds "$dev" "$lib/libVantry\.Config\.so$" '^/usr/include/config/Settings\.h$' \
  '^/usr/include/config/INI\.h$' '^/usr/include/config/Values\.h$' \
  '^/usr/include/config/LineRules\.h$' \
  "$lib/cmake/VantryConfig/VantryConfigConfig\.cmake$" \
  "$lib/cmake/VantryConfig/VantryConfigTargets\.cmake$" \
  "$lib/pkgconfig/vantry-config\.pc$"
! grep -q 'libVantry\.Config\.so\.' "$work/contents" ||
  fail "the development package holds the runtime library"
holds "$tool" '^/usr/bin/vty-ini$' '^/usr/share/man/man1/vty-ini\.1\.gz$' \
  '^/usr/share/bash-completion/completions/vty-ini$'
[ -z "$python" ] ||
  holds "$python" '^/usr/lib/python3/dist-packages/vantry_config/'
for package in "${debs[@]}"; do
  ! dpkg-deb --contents "$package" | grep -q vty_config ||
    fail "$(basename "$package") holds an internal target"
done

step "what the library declares"
dpkg-deb --ctrl-tarfile "$library" | tar -xf - -C "$work" ./shlibs ./symbols \
  ./triggers || fail "the library lacks its shlibs, symbols or triggers file"
grep -Eq '^libVantry\.Config 1 libvantry\.config1 \(>= 1\.2' "$work/shlibs" ||
  fail "the shlibs file is wrong: $(cat "$work/shlibs")"
grep -q '^libVantry\.Config\.so\.1 libvantry\.config1 ' "$work/symbols" ||
  fail "the symbols file is wrong: $(head -n 1 "$work/symbols")"
grep -q '^activate-noawait ldconfig$' "$work/triggers" ||
  fail "the library does not trigger ldconfig"
dpkg-deb --field "$tool" Depends | grep -q 'libvantry\.config1 (>= 1\.2' ||
  fail "vty-ini does not depend on the library"
dpkg-deb --field "$dev" Depends | grep -q 'libvantry\.config1 (= ' ||
  fail "the development package does not depend on its library"

step "lintian"
# --fail-on: an error or a warning fails; the pedantic, informational and
# experimental tags are shown, so that what remains is seen.
lintian --fail-on error,warning --pedantic --display-info --display-experimental \
  --tag-display-limit 0 "${debs[@]}" | tee "$work/lintian" ||
  fail "lintian reports errors or warnings"
! grep -E '^[EW]: ' "$work/lintian" || fail "lintian reports errors or warnings"
# hardening-no-fortify-functions is informational and stays: the compiler
# fortifies a call only where it knows the buffer's size, and no call of
# the library has one (its buffers are strings and vectors), at level 3 too.
! grep -E 'hardening-no-(relro|bindnow|pie)' "$work/lintian" ||
  fail "a binary is not hardened"
dpkg-deb -x "$library" "$work/x"
dpkg-deb -x "$tool" "$work/x"
for file in "$work"/x/usr/lib/*/libVantry.Config.so.1.2 "$work/x/usr/bin/vty-ini"; do
  binary=${file#"$work/x"}
  # Read whole first: grep -q would end the pipe early, and pipefail with it.
  headers=$(readelf -hlW "$file")
  dynamic=$(readelf -dW "$file")
  symbols=$(readelf -W --dyn-syms "$file")
  grep -q GNU_RELRO <<<"$headers" || fail "$binary: no RELRO"
  grep -Eq 'BIND_NOW|FLAGS.*NOW' <<<"$dynamic" || fail "$binary: no BIND_NOW"
  grep -q 'Type:.*DYN' <<<"$headers" || fail "$binary: not position-independent"
  grep -q '__stack_chk_fail' <<<"$symbols" || fail "$binary: no stack protector"
  ! grep -Eq 'RPATH|RUNPATH' <<<"$dynamic" || fail "$binary: has a RUNPATH"
done

step "installing into an empty root with dpkg"
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status"
# The root has no libc or shell of its own: dependencies on the host's
# packages are not checked there, and maintainer scripts run outside it.
# The Python module's only script byte-compiles it with the host's
# py3compile, which looks in the host's /usr, not the root's: it is
# unpacked, and imported from the root below.
dpkg --root="$root" --log=/dev/null --force-depends --force-script-chrootless \
  --install "$library" "$dev" "$tool" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; fail "dpkg --install failed"; }
if [ -n "$python" ]; then
  dpkg --root="$root" --log=/dev/null --force-depends --unpack "$python" \
    >>"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg --unpack of the Python module failed"; }
fi
for package in "${debs[@]}"; do
  name=$(dpkg-deb --field "$package" Package)
  state='installed'
  [ "$package" != "$python" ] || state='unpacked'
  dpkg --root="$root" -s "$name" | grep -q "^Status: install ok $state\$" ||
    fail "$name is not $state"
done
libdir=$(dirname "$(find "$root/usr/lib" -name libVantry.Config.so.1)")
export LD_LIBRARY_PATH=$libdir

"$root/usr/bin/vty-ini" --version | grep -q '^vty-ini (Vantry.Config) 1\.2\.' ||
  fail "the installed vty-ini does not run"
if [ -n "$python" ]; then
  # Debian's Python, which reads /usr/lib/python3/dist-packages.
  PYTHONPATH=$root/usr/lib/python3/dist-packages /usr/bin/python3 -c 'import vantry_config' ||
    fail "the installed Python module does not import"
fi

step "building a program against the installed development package"
cmake -S "$here/../install" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$root/usr" \
  >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "configuring the consumer failed"; }
grep -q "^VantryConfig_DIR:PATH=$libdir/cmake/VantryConfig\$" \
  "$work/consumer/CMakeCache.txt" ||
  fail "the consumer found another VantryConfig package"
cmake --build "$work/consumer" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; fail "building the consumer failed"; }
"$work/consumer/consumer" "$work/cmake.ini"
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
# shellcheck disable=SC2046  # the flags must split into words
"${CXX:-g++}" -std=c++17 -Wall -Wextra -Werror "$here/../install/main.cpp" \
  -o "$work/pc-consumer" $(pkg-config --cflags --libs vantry-config) ||
  fail "building the consumer with pkg-config failed"
"$work/pc-consumer" "$work/pc.ini"

echo "check.sh: the packages hold, declare and install what they must"
