#!/usr/bin/env bash
# make dist: the Windows release, build/Vell-Optimizer-<version>-win64.zip, with
# the optimizer's programs, the tools built from Debian's sources and their
# licences, and a README.txt; beside it the zip of those tools' sources.
set -euo pipefail
source "$(dirname "$0")/../scripts/common.sh"
build=${BUILD_DIR:-$VELL_TOP/build}
version=$(vell_version)
[ -n "$version" ] || { echo "dist: no ProductVersion in ui/vell_optimizer.rc"; exit 1; }
vell_build "$build" vell_optimizer vell_batch vell_cfbf
"$VELL_TOP/wintools/build.sh" "$build/wintools"
/usr/bin/python3 "$VELL_TOP/release/make_zip.py" "$version" "$build/dist" "$build/wintools" \
  "$VELL_TOP/release/README.txt" "$build"
