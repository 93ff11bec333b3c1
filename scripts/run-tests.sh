#!/usr/bin/env bash
# Configures, builds and runs the whole test suite under Wine.
# One wineserver stays up for the whole run; the prefix lives in the build tree.
set -euo pipefail
source "$(dirname "$0")/common.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
jobs=$(nproc)
vell_build "$build"
grep -E 'warning:' "$build/build.log" | sort -u || true
# The release tests unpack the zip that make dist builds; when it cannot be made,
# they fail and say so, and every other test still runs.
# On a fresh machine the Windows tools are built first (some minutes, then cached).
set +e
"$top/release/dist.sh" 2>&1 | tee "$build/dist.log" | grep -E '^wintools: (building|built|WARNING)'
dist_status=${PIPESTATUS[0]}
set -e
if [ "$dist_status" -ne 0 ]; then
  tail -n 40 "$build/dist.log"
  echo "make dist failed (whole log: $build/dist.log); the release tests will fail"
fi

vell_use_prefix "$build/wineprefix"
wineserver -p 2>/dev/null || true   # already running is fine
trap 'wineserver -k 2>/dev/null || true' EXIT
cd "$build"
# GUI tests need a display; xvfb-run gives one when there is none.
run=()
[ -n "${DISPLAY:-}" ] || run=(xvfb-run -a)
status=0
"${run[@]}" ctest --output-on-failure -j "$jobs" ${CTEST_ARGS:-} || status=$?
# CTest shows the output of failed entries only; the skipped cases of passing
# entries are gathered from the full log, so a pass never hides a skip.
awk '/^[0-9]+\/[0-9]+ Testing: / { entry = $3 }
     /^\[ skipped  \] [^0-9]/ { sub(/^\[ skipped  \] /, ""); lines[++n] = entry ": " $0 }
     END { if (n) { printf "%d skipped cases:\n", n; for (i = 1; i <= n; ++i) print "  " lines[i] }
           else print "No case was skipped." }' Testing/Temporary/LastTest.log
exit $status
