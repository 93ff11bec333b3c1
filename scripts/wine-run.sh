#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix private to the build tree,
# so tests never touch the user's own prefix or registry.
set -e
source "$(dirname "$0")/common.sh"
vell_use_prefix "${VELL_WINEPREFIX:-$(pwd)/wineprefix}"
# Under Wine a console helper of a killed tool can outlive the test and keep the
# test's output pipe open; giving Wine a file instead lets CTest see the end.
# The file is followed as it grows, so a run that hangs (and that CTest stops at
# its time limit) has already shown how far it got.
out=$(mktemp)
wine "$@" > "$out" 2>&1 &
wine_pid=$!
tail -n +1 -s 0.2 -f --pid="$wine_pid" "$out" &
tail_pid=$!
trap 'kill "$wine_pid" 2>/dev/null; sleep 0.5; kill "$tail_pid" 2>/dev/null; rm -f "$out"; exit 143' TERM INT
status=0
wait "$wine_pid" || status=$?
wait "$tail_pid" || true
rm -f "$out"
exit $status
