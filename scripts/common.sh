# Sourced by the scripts: the packages every build needs, and the build dir.
BUILD_PACKAGES=(g++ make cmake pkg-config libboost-dev libboost-system-dev
                libboost-date-time-dev)
TEST_PACKAGES=(libgtest-dev)
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
