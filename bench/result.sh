#!/usr/bin/env bash
# P4 result: bytes saved on the bundled samples per kind, by VellBatch (demo
# settings, tools kit) beside the best single Linux tool for that kind run
# directly on a copy. A single tool's output counts only when it is smaller;
# otherwise the file stays as it was, as VellBatch would keep it. Figures only.
#   result.sh BUILD_DIR WORK_DIR
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
build=$1 work=$2
rm -rf "$work"
mkdir -p "$work/single"
cp -r "$top/samples/files" "$work/batch"
# The prefix lives beside the work folder, so it is made only once.
vell_use_demo_prefix "$work-wineprefix"
wine "$build/dist/VellBatch.exe" -j 2 "$(winepath -w "$work/batch")" > "$work/batch.txt" 2>&1 ||
  echo "  (VellBatch exited with $?; see $work/batch.txt)"
wineserver -w

size() { stat -c %s "$1"; }
# single FILE OUTPUT COMMAND...: runs the tool, keeps the smaller of input and output.
single() {
  local file=$1 out=$2
  shift 2
  if "$@" > /dev/null 2>&1 && [ -s "$out" ] && [ "$(size "$out")" -lt "$(size "$file")" ]; then
    size "$out"
  else
    size "$file"
  fi
}

declare -A kindOf=([png]=PNG [jpg]=JPEG [gif]=GIF [zip]=ZIP [epub]=ZIP [docx]=ZIP [odt]=ZIP [gz]=gzip
                   [flac]=FLAC [cfb]=CFBF [svg]=SVG)
declare -A toolOf=([PNG]="zopflipng -y" [JPEG]="jpegtran -optimize" [JPEG-all]="jpegtran -opt. -copy all"
                   [GIF]="gifsicle -O3" [ZIP]="advzip -z -4"
                   [gzip]="advdef -z -4" [FLAC]="flac --best" [CFBF]="-" [SVG]="-")
declare -A count original singleSize batchSize
for path in "$top"/samples/files/*; do
  name=$(basename "$path")
  kind=${kindOf[${name##*.}]:-other}
  copy="$work/single/$name"
  cp "$path" "$copy"
  case $kind in
    PNG) s=$(single "$copy" "$copy.out" zopflipng -y "$copy" "$copy.out") ;;
    JPEG) s=$(single "$copy" "$copy.out" jpegtran -optimize -outfile "$copy.out" "$copy")
      # The same with every marker kept, as VellBatch keeps them by default.
      k=$(single "$copy" "$copy.all" jpegtran -optimize -copy all -outfile "$copy.all" "$copy")
      count[JPEG-all]=$(( ${count[JPEG-all]:-0} + 1 ))
      original[JPEG-all]=$(( ${original[JPEG-all]:-0} + $(size "$path") ))
      singleSize[JPEG-all]=$(( ${singleSize[JPEG-all]:-0} + k ))
      batchSize[JPEG-all]=$(( ${batchSize[JPEG-all]:-0} + $(size "$work/batch/$name") )) ;;
    GIF) s=$(single "$copy" "$copy.out" gifsicle -O3 "$copy" -o "$copy.out") ;;
    ZIP) cp "$copy" "$copy.out"; s=$(single "$copy" "$copy.out" advzip -z -4 "$copy.out") ;;
    gzip) cp "$copy" "$copy.out"; s=$(single "$copy" "$copy.out" advdef -z -4 "$copy.out") ;;
    FLAC) s=$(single "$copy" "$copy.out" flac --best -f -s -o "$copy.out" "$copy") ;;
    *) s=$(size "$copy") ;;
  esac
  count[$kind]=$(( ${count[$kind]:-0} + 1 ))
  original[$kind]=$(( ${original[$kind]:-0} + $(size "$path") ))
  singleSize[$kind]=$(( ${singleSize[$kind]:-0} + s ))
  after=$(size "$work/batch/$name" 2>/dev/null || echo 0)
  batchSize[$kind]=$(( ${batchSize[$kind]:-0} + after ))
done

saved() { # BEFORE AFTER
  printf '%8d B %5.1f%%' $(( $1 - $2 )) "$(echo "($1 - $2) * 100 / $1" | bc -l)"
}
echo "P4 result: bytes saved on the bundled samples, per kind"
printf '  %-8s %5s %10s  %-24s %17s  %17s\n' kind files bytes "single tool" "single tool saves" "VellBatch saves"
to=0 ts=0 tb=0
for kind in PNG JPEG JPEG-all GIF ZIP gzip FLAC CFBF SVG; do
  [ -n "${count[$kind]:-}" ] || continue
  printf '  %-8s %5d %10d  %-24s %s  %s\n' "$kind" "${count[$kind]}" "${original[$kind]}" "${toolOf[$kind]}" \
    "$(saved "${original[$kind]}" "${singleSize[$kind]}")" "$(saved "${original[$kind]}" "${batchSize[$kind]}")"
  [ "$kind" = JPEG-all ] || { to=$((to + original[$kind])) ts=$((ts + singleSize[$kind])) tb=$((tb + batchSize[$kind])); }
done
printf '  %-8s %5s %10d  %-24s %s  %s\n' all "" "$to" "" "$(saved "$to" "$ts")" "$(saved "$to" "$tb")"
