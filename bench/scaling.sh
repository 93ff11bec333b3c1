#!/usr/bin/env bash
# P3 scaling: wall time of the bundled samples through VellBatch and the tools
# kit at one and at two workers, and the ratio. The set is small, so it is
# replicated COPIES times (each copy a folder of its own) to give the workers
# enough files to share; runs go 1, 2, 2, 1, ... so that a drifting machine load
# weighs on both counts alike. Figures only.
#   scaling.sh BUILD_DIR WORK_DIR COPIES PAIRS
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
build=$1 work=$2 copies=$3 pairs=$4
rm -rf "$work"
mkdir -p "$work/set"
for ((c = 1; c <= copies; c++)); do cp -r "$top/samples/files" "$work/set/copy$c"; done
files=$(find "$work/set" -type f | wc -l)
# The prefix lives beside the work folder, so it is made only once.
vell_use_demo_prefix "$work-wineprefix"

declare -A total=([1]=0 [2]=0)
run() {
  local workers=$1
  rm -rf "$work/run"
  cp -r "$work/set" "$work/run"
  local start end code=0
  start=$(date +%s.%N)
  wine "$build/dist/VellBatch.exe" -j "$workers" "$(winepath -w "$work/run")" > "$work/batch-$workers.txt" 2>&1 || code=$?
  end=$(date +%s.%N)
  [ "$code" -eq 0 ] || echo "  (VellBatch -j $workers exited with $code; see $work/batch-$workers.txt)"
  total[$workers]=$(echo "${total[$workers]} + $end - $start" | bc -l)
}
for ((p = 0; p < pairs; p++)); do
  if ((p % 2 == 0)); then run 1; run 2; else run 2; run 1; fi
done
wineserver -w
printf 'P3 scaling: the bundled samples x %d (%d files), %d run(s) at each count, mean wall time\n' \
  "$copies" "$files" "$pairs"
one=$(echo "${total[1]} / $pairs" | bc -l)
two=$(echo "${total[2]} / $pairs" | bc -l)
printf '  VellBatch -j 1: %7.1f s\n  VellBatch -j 2: %7.1f s\n  speed-up at 2 workers: %.2fx (target 1.8x)\n' \
  "$one" "$two" "$(echo "$one / $two" | bc -l)"
