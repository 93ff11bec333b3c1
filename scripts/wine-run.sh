#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix private to the build tree,
# so tests never touch the user's own prefix or registry.
set -e
source "$(dirname "$0")/common.sh"
vell_use_prefix "${VELL_WINEPREFIX:-$(pwd)/wineprefix}"
# Under Wine a console helper of a killed tool can outlive the test and keep the
# test's output pipe open; giving Wine a file instead lets CTest see the end.
out=$(mktemp)
status=0
wine "$@" > "$out" 2>&1 || status=$?
cat "$out"
rm -f "$out"
exit $status
