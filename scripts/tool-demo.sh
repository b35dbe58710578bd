#!/usr/bin/env bash
# A short scripted use of vty-ini on a copy of examples/app.ini: reads a few
# settings, changes some, and prints a diff of the file before and after, to
# show that comments, blank lines and the order of lines survive the edits.
# Then a service with an unsaved change and vty-ini edit one file together,
# and both changes survive.
#
#   scripts/tool-demo.sh BUILD_DIR

set -euo pipefail

build_dir=${1:?usage: tool-demo.sh BUILD_DIR}
tool=$(cd "$build_dir" && pwd)/tools/vty-ini
[ -x "$tool" ] || { echo "tool-demo.sh: $tool is not built" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/vty-ini-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
examples=$(cd "$(dirname "$0")/../examples" && pwd)
cp "$examples/app.ini" "$work/before.ini"
cp "$examples/app.ini" "$work/app.ini"

run() {
  echo "\$ vty-ini $*"
  "$tool" "$@"
}

cd "$work"
run sections app.ini
run get app.ini Net Port
run get app.ini Net Timeout --default 30
run set app.ini Net Port 9090
run set app.ini Net Timeout 45
run set app.ini Log File /var/log/demo.log
run del app.ini Log Level
run dump app.ini
run get app.ini Net --format=sh

echo
echo "\$ diff -u app.ini.orig app.ini"
diff -u --label app.ini.orig --label app.ini before.ini app.ini || true  # diff exits 1 when the files differ

echo
echo "== A service and vty-ini change one file at once: neither change is lost"
echo "\$ shared_file app.ini vty-ini set app.ini Net Port 7070"
"$(dirname "$tool")/../examples/shared_file" app.ini "$tool" set app.ini Net Port 7070
run get app.ini Net Port
run get app.ini Service LastPort
