#!/usr/bin/env bash
# Optimizes a fresh copy of the bundled samples with VellBatch and the tools kit
# under Wine, then checks that every result holds the same content.
#   optimize-samples.sh BUILD_DIR WORK_DIR
# Leaves WORK_DIR/originals, WORK_DIR/run and WORK_DIR/batch.txt; exits non-zero
# when VellBatch reports a failure or a content check fails.
set -euo pipefail
source "$(dirname "$0")/common.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
build=$1
work=$2
rm -rf "$work/run" "$work/originals"
mkdir -p "$work"
cp -r "$top/samples/files" "$work/originals"
cp -r "$top/samples/files" "$work/run"

# A prefix of its own, so the run has the demo's settings whatever the tests or a
# user stored elsewhere.
vell_use_demo_prefix "$work/wineprefix"

echo "== VellBatch"
status=0
wine "$build/dist/VellBatch.exe" "$(winepath -w "$work/run")" > "$work/batch.txt" 2>&1 || status=$?
cat "$work/batch.txt"
wineserver -w
echo
echo "== Content checks"
/usr/bin/python3 "$top/scripts/verify_demo.py" "$work/originals" "$work/run" || status=1
exit $status
