# Shared by the scripts that build the project and run it under Wine; source it.

# vell_build BUILD_DIR [TARGET...]: configures (quietly, showing the log on failure)
# and builds the given targets, or everything.
vell_build() {
  local build=$1
  shift
  mkdir -p "$build"
  if ! cmake -S "$VELL_TOP" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$VELL_TOP/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" > "$build/configure.log" 2>&1; then
    cat "$build/configure.log"
    return 1
  fi
  local targets=()
  for target in "$@"; do targets+=(--target "$target"); done
  if ! cmake --build "$build" -j "$(nproc)" "${targets[@]}" > "$build/build.log" 2>&1; then
    grep -v -E '^\[ *[0-9]+%\]' "$build/build.log" | tail -n 60
    echo "Build failed; the whole log is $build/build.log"
    return 1
  fi
}

# vell_use_prefix DIR: runs Wine in a prefix of its own at DIR, made on first use,
# so nothing touches the user's own prefix or registry.
vell_use_prefix() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEARCH=win64
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating a Wine prefix in $WINEPREFIX (first use only) ..." >&2
    mkdir -p "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
}

# vell_use_demo_prefix DIR: a prefix of its own at DIR with the default settings,
# except that ZIP and gzip files are switched from "ignore" to "optimize" so that
# every sample gets work.
vell_use_demo_prefix() {
  vell_use_prefix "$1"
  local key='HKEY_CURRENT_USER\Software\Zarn’s Vell\Optimizer'
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[-%s]\r\n\r\n[%s]\r\n"zip_strategy"=dword:00000001\r\n"gzip_strategy"=dword:00000001\r\n' \
    "$key" "$key" | iconv -f UTF-8 -t UTF-16 > "$1/settings.reg"
  wine regedit /S "$(winepath -w "$1/settings.reg")" >/dev/null 2>&1
  wineserver -w
}

VELL_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# vell_version: the program's version, as its version block states it.
vell_version() {
  sed -n 's/.*VALUE "ProductVersion", "\([0-9.]*\)".*/\1/p' "$VELL_TOP/ui/vell_optimizer.rc"
}
