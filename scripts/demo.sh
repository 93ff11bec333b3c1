#!/usr/bin/env bash
# The README's demo: builds what it needs and optimizes the samples for real.
set -euo pipefail
source "$(dirname "$0")/common.sh"
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
vell_build "$build" vell_batch toolkit_dist vell_cfbf
exec "$top/scripts/optimize-samples.sh" "$build" "$build/demo"
