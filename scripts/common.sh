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

VELL_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
