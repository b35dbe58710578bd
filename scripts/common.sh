# shellcheck shell=bash disable=SC2034  # sourced: the scripts use these
# Sourced by the scripts: the packages every build needs, and the build dir.
# python3-dev: Python.h, for the Python package's extension module.
BUILD_PACKAGES=(g++ make cmake pkg-config libboost-dev libboost-system-dev
  python3-dev)
# The Debian packages are built with debhelper and checked with lintian.
PACKAGE_PACKAGES=(debhelper dpkg-dev lintian)
# and, when the build installs the Python module, packaged with dh-python.
PYTHON_PACKAGE_PACKAGES=(dh-python python3-dev)
# acl and attr: the tests set ACLs and extended attributes with their tools;
# crudini: the tool's script-facing output is compared with it; python3-pytest:
# the Python package's suite.
TEST_PACKAGES=(libgtest-dev acl attr crudini python3-pytest)
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
