#!/usr/bin/env bash
# Installs the project into a temporary prefix with `cmake --install`, checks
# what was installed, then builds the consumer in this directory against that
# prefix twice, through the CMake package and through pkg-config with a plain
# compiler command, and runs both. Exits non-zero on the first failure.
#
#   run.sh SOURCE_DIR BUILD_DIR      (BUILD_DIR must be built)

set -euo pipefail

source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
consumer=$source_dir/tests/install
work=$(mktemp -d "${TMPDIR:-/tmp}/vty-config-install.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() {
  echo "run.sh: $*" >&2
  exit 1
}

step() { echo "-- $*"; }

step "installing into $prefix"
cmake --install "$build_dir" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log"; fail "cmake --install failed"; }

step "checking the installed files"
library=$(find "$prefix" -name libVantry.Config.so.1.2)
[ -n "$library" ] || fail "libVantry.Config.so.1.2 is not installed"
libdir=$(dirname "$library")
[ "$(readlink "$libdir/libVantry.Config.so.1")" = libVantry.Config.so.1.2 ] ||
  fail "the SONAME link libVantry.Config.so.1 is missing"
[ "$(readlink "$libdir/libVantry.Config.so")" = libVantry.Config.so.1 ] ||
  fail "the link libVantry.Config.so is missing"
for header in INI.h Settings.h Syntax.h Live.h Values.h LineRules.h; do
  [ -f "$prefix/include/config/$header" ] ||
    fail "include/config/$header is missing"
done
! grep -q boost "$prefix"/include/config/*.h ||
  fail "the installed header includes Boost"
! find "$prefix" -name '*vty_config*' | grep . ||
  fail "internal targets were installed"
if [ -e "$build_dir/tools/vty-ini" ]; then
  # Runs without LD_LIBRARY_PATH: the tool finds the library beside itself.
  "$prefix/bin/vty-ini" --version | grep -q '^vty-ini (Vantry.Config) 1\.2\.' ||
    fail "the installed vty-ini does not run"
fi

step "building the consumer with find_package(VantryConfig)"
cmake -S "$consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="${CXX:-g++}" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "configuring the consumer failed"; }
grep -q "^VantryConfig_DIR:PATH=$libdir/cmake/VantryConfig\$" \
  "$work/cmake-build/CMakeCache.txt" ||
  fail "the consumer found another VantryConfig package"
! grep -i warning "$work/configure.log" || fail "the package gives warnings"
cmake --build "$work/cmake-build" ||
  fail "building the consumer with CMake failed"
"$work/cmake-build/consumer" "$work/cmake.ini"

step "building the consumer with pkg-config"
export PKG_CONFIG_LIBDIR=$libdir/pkgconfig
[ "$(pkg-config --modversion vantry-config)" = 1.2.0 ] ||
  fail "pkg-config reports version $(pkg-config --modversion vantry-config)"
# shellcheck disable=SC2046  # the flags must split into words
"${CXX:-g++}" -std=c++17 -Wall -Wextra -Werror "$consumer/main.cpp" \
  -o "$work/pc-consumer" $(pkg-config --cflags --libs vantry-config) ||
  fail "building the consumer with pkg-config failed"
LD_LIBRARY_PATH=$libdir "$work/pc-consumer" "$work/pc.ini"

step "building the consumer with pkg-config and an rpath, as the README says"
# shellcheck disable=SC2046
"${CXX:-g++}" -std=c++17 "$consumer/main.cpp" -o "$work/rpath-consumer" \
  $(pkg-config --cflags --libs vantry-config) \
  -Wl,-rpath,"$(pkg-config --variable=libdir vantry-config)" ||
  fail "building the consumer with an rpath failed"
env -u LD_LIBRARY_PATH "$work/rpath-consumer" "$work/rpath.ini" ||
  fail "the consumer built with an rpath does not start"

step "checking that another major version is refused"
mkdir "$work/v2"
cat >"$work/v2/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(WantsVersion2 LANGUAGES CXX)
find_package(VantryConfig 2.0 REQUIRED)
CMAKE
if cmake -S "$work/v2" -B "$work/v2/build" -DCMAKE_PREFIX_PATH="$prefix" \
  >"$work/v2.log" 2>&1; then
  fail "find_package(VantryConfig 2.0) accepted version 1.2"
fi
grep -q "not accepted" "$work/v2.log" || { cat "$work/v2.log"; fail "v2 failed for another reason"; }

echo "run.sh: all install checks passed"
