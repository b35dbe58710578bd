# shellcheck shell=bash disable=SC2034  # sourced: the scripts use these
# Sourced by the scripts: the packages every build needs, and the build dir.
BUILD_PACKAGES=(g++ make cmake pkg-config libboost-dev libboost-system-dev)
# acl and attr: the tests set ACLs and extended attributes with their tools;
# crudini: the tool's script-facing output is compared with it; dpkg-dev:
# the Debian package's dependencies are read by dpkg-shlibdeps; python3-pytest:
# the Python package's suite.
TEST_PACKAGES=(libgtest-dev acl attr crudini dpkg-dev python3-pytest)
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
