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

# A prefix of its own, so the run has the default settings whatever the tests or a
# user stored elsewhere; ZIP and gzip files are switched from "ignore" to
# "optimize" so that every sample gets work.
vell_use_prefix "$work/wineprefix"
key='HKEY_CURRENT_USER\Software\Zarn’s Vell\Optimizer'
printf 'Windows Registry Editor Version 5.00\r\n\r\n[-%s]\r\n\r\n[%s]\r\n"zip_strategy"=dword:00000001\r\n"gzip_strategy"=dword:00000001\r\n' \
  "$key" "$key" | iconv -f UTF-8 -t UTF-16 > "$work/settings.reg"
wine regedit /S "$(winepath -w "$work/settings.reg")" >/dev/null 2>&1
wineserver -w

echo "== VellBatch"
status=0
wine "$build/dist/VellBatch.exe" "$(winepath -w "$work/run")" > "$work/batch.txt" 2>&1 || status=$?
cat "$work/batch.txt"
wineserver -w
echo
echo "== Content checks"
/usr/bin/python3 "$top/scripts/verify_demo.py" "$work/originals" "$work/run" || status=1
exit $status
