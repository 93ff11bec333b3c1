#!/usr/bin/env bash
# Runs a Windows program under Wine with a prefix private to the build tree,
# so tests never touch the user's own prefix or registry.
set -e
: "${VELL_WINEPREFIX:=$(pwd)/wineprefix}"
export WINEPREFIX="$VELL_WINEPREFIX"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export WINEARCH=win64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
exec wine "$@"
