#!/usr/bin/env bash
# Cross-checks VellCFBF with olefile: a sample compound file is written through Windows
# structured storage, rewritten with both sector sizes, and both results are read back
# by Debian's python3-olefile (hence /usr/bin/python3, not whatever python is first).
# usage: olefile_check.sh <wine-run.sh> <cfbf_sample.exe> <VellCFBF.exe> <compare.py> <work folder>
set -eu
wine_run=$1
sample=$2
program=$3
compare=$4
work=$5

rm -rf "$work"
mkdir -p "$work"
cd "$work"

"$wine_run" "$sample" sample.cfb
for switch in "" -v4; do
  out=out${switch:-512}.cfb
  printf -v expected 'OK\n'
  set +e
  "$wine_run" "$program" $switch sample.cfb "$out" >stdout.txt 2>stderr.txt
  code=$?
  set -e
  if [ "$code" -ne 0 ] || [ "$(cat stdout.txt; echo .)" != "${expected}." ] || [ -s stderr.txt ]; then
    echo "VellCFBF $switch failed with $code: $(cat stdout.txt stderr.txt)"
    exit 1
  fi
done

/usr/bin/python3 "$compare" sample.cfb out512.cfb 512
/usr/bin/python3 "$compare" sample.cfb out-v4.cfb 4096
