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

# Where the second core goes: the machine's busy CPU time (all processes, from
# /proc/stat) and the prefix's wineserver's own, over each run. A wineserver that
# stays up between runs is found by its working folder, named after the prefix's
# device and inode.
wineserver -p
prefix=$work-wineprefix
server_dir=$(printf 'server-%x-%x' "$(stat -c %d "$prefix")" "$(stat -c %i "$prefix")")
server_pid=
for p in $(pgrep -x 'wineserver(64)?'); do
  cwd=$(readlink "/proc/$p/cwd" 2>/dev/null) || continue
  [ "${cwd##*/}" = "$server_dir" ] && server_pid=$p
done
ticks=$(getconf CLK_TCK)
machine_busy() { awk '/^cpu /{print $2 + $3 + $4 + $7 + $8 + $9}' /proc/stat; }
server_busy() { if [ -n "$server_pid" ]; then awk '{print $14 + $15}' "/proc/$server_pid/stat"; else echo 0; fi; }

declare -A total=([1]=0 [2]=0) cpu=([1]=0 [2]=0) server=([1]=0 [2]=0)
run() {
  local workers=$1
  rm -rf "$work/run"
  cp -r "$work/set" "$work/run"
  local start end code=0 busy0 server0
  busy0=$(machine_busy) server0=$(server_busy)
  start=$(date +%s.%N)
  wine "$build/dist/VellBatch.exe" -j "$workers" "$(winepath -w "$work/run")" > "$work/batch-$workers.txt" 2>&1 || code=$?
  end=$(date +%s.%N)
  [ "$code" -eq 0 ] || echo "  (VellBatch -j $workers exited with $code; see $work/batch-$workers.txt)"
  total[$workers]=$(echo "${total[$workers]} + $end - $start" | bc -l)
  cpu[$workers]=$(echo "${cpu[$workers]} + ($(machine_busy) - $busy0) / $ticks" | bc -l)
  server[$workers]=$(echo "${server[$workers]} + ($(server_busy) - $server0) / $ticks" | bc -l)
}
for ((p = 0; p < pairs; p++)); do
  if ((p % 2 == 0)); then run 1; run 2; else run 2; run 1; fi
done
wineserver -k
printf 'P3 scaling: the bundled samples x %d (%d files), %d run(s) at each count, mean wall time\n' \
  "$copies" "$files" "$pairs"
one=$(echo "${total[1]} / $pairs" | bc -l)
two=$(echo "${total[2]} / $pairs" | bc -l)
printf '  VellBatch -j 1: %7.1f s\n  VellBatch -j 2: %7.1f s\n  speed-up at 2 workers: %.2fx (target 1.8x)\n' \
  "$one" "$two" "$(echo "$one / $two" | bc -l)"
for w in 1 2; do
  printf '  -j %d: busy CPU of the whole machine %.1f s (%.2f cores of %d on average), of it wineserver %.1f s\n' "$w" \
    "$(echo "${cpu[$w]} / $pairs" | bc -l)" "$(echo "${cpu[$w]} / ${total[$w]}" | bc -l)" "$(nproc)" \
    "$(echo "${server[$w]} / $pairs" | bc -l)"
done
[ -n "$server_pid" ] || echo "  (the prefix's wineserver was not found: its share reads 0)"
# With every core busy from start to end, two workers could not take less than
# their busy CPU time spread over all cores: the best speed-up this machine allows.
printf '  the same work costs %.2fx the CPU at two workers; with every core busy throughout, the best speed-up this machine allows: %.2fx\n' \
  "$(echo "${cpu[2]} / ${cpu[1]}" | bc -l)" \
  "$(echo "$(nproc) * ${total[1]} / ${cpu[2]}" | bc -l)"
