#!/usr/bin/env bash
# Builds the Windows tools from Debian's source packages with MinGW-w64 and
# puts them into OUT_DIR:
#   OUT_DIR/tools/*.exe            the programs, under the names the optimizer uses
#   OUT_DIR/tools/licenses/*.txt   their licence texts (CR LF)
#   OUT_DIR/sources/               the Debian source files they were built from,
#                                  and these build scripts
#   OUT_DIR/versions.tsv           package, version, note, programs; one line each
# Every package is built once per source version and build recipe into a cache
# outside the build tree, so only a fresh machine pays for the build.
#   wintools/build.sh OUT_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/recipes.sh"
out=$1
cache=${VELL_WINTOOLS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vell-optimizer/wintools}
HOST=x86_64-w64-mingw32
CC=$HOST-gcc-posix CXX=$HOST-g++-posix AR=$HOST-ar RANLIB=$HOST-ranlib WINDRES=$HOST-windres
JOBS=$(nproc)
WINTOOLS=$here
export CC CXX AR RANLIB WINDRES HOST JOBS WINTOOLS

say() { echo "wintools: $*" >&2; }
die() { say "$*"; exit 1; }

mkdir -p "$cache"
# Two builds sharing the cache would only build the same packages twice.
exec 9> "$cache/.lock"
flock 9

# Versions of a source package that apt knows, newest first.
versions_of() {
  local version sorted=() merged placed existing
  for version in $(apt-cache showsrc "$1" 2>/dev/null | sed -n 's/^Version: //p' | sort -u); do
    merged=()
    placed=0
    for existing in "${sorted[@]}"; do
      if [ $placed = 0 ] && dpkg --compare-versions "$version" gt "$existing"; then
        merged+=("$version")
        placed=1
      fi
      merged+=("$existing")
    done
    [ $placed = 1 ] || merged+=("$version")
    sorted=("${merged[@]}")
  done
  printf '%s\n' "${sorted[@]}"
}

# Everything that decides what a build produces; a change rebuilds the entry.
stamp_of() {
  local package=$1 version=$2 recipe=$3 dependency_stamps=$4
  {
    echo "$package $version"
    declare -f "$recipe" licence program utf8_manifest cmake_windows
    cat "$here/utf8.manifest"
    echo "$dependency_stamps"
    "$CC" -dumpfullversion
    "$CXX" -dumpfullversion
  } | sha256sum | cut -c1-16
}

apt_source() {
  local options=()
  # As root apt would hand the download to its sandbox user, who cannot write here.
  [ "$(id -u)" -ne 0 ] || options=(-o APT::Sandbox::User=root)
  apt-get "${options[@]}" source --download-only -qq "$@"
}

# upstream_only PACKAGE VERSION FETCHED SRC: unpacks the upstream tarball named in
# the .dsc after checking it against the checksum there.
upstream_only() {
  local package=$1 version=$2 fetched=$3 src=$4 allowed dsc sum size name found=0
  for allowed in "${WINTOOLS_UPSTREAM_ONLY[@]}"; do
    [ "$allowed" = "$package=$version" ] && found=1
  done
  [ $found = 1 ] || return 1
  dsc=$(ls "$fetched"/*.dsc 2>/dev/null | head -n 1)
  [ -n "$dsc" ] || return 1
  found=0
  while read -r sum size name; do
    case $name in
      *.orig.tar.*)
        [ -f "$fetched/$name" ] || return 1
        [ "$(sha256sum < "$fetched/$name" | cut -d' ' -f1)" = "$sum" ] || return 1
        mkdir -p "$src"
        tar -xf "$fetched/$name" -C "$src" --strip-components=1
        found=1
        ;;
    esac
  done < <(sed -n '/^Checksums-Sha256:/,/^[^ ]/p' "$dsc" | grep '^ ')
  [ $found = 1 ]
}

declare -A ENTRY STAMP
# The folder a package is being built in; a failed build leaves nothing behind.
building=""
trap '[ -z "$building" ] || rm -rf "$building"' EXIT

# build_package PACKAGE RECIPE DEPENDENCIES: finds or makes the cache entry.
build_package() {
  local package=$1 recipe=$2 dependencies=$3 dependency dependency_stamps="" versions version
  local stamp entry tmp note started newest tried=()
  for dependency in $dependencies; do
    dependency_stamps+="$dependency=${STAMP[$dependency]} "
  done
  mapfile -t versions < <(versions_of "$package")
  [ -n "${versions[0]:-}" ] ||
    die "apt knows no source package '$package'. A deb-src entry for Debian is needed: 'make setup' adds one (then apt-get update)."
  newest=${versions[0]}
  for version in "${versions[@]}"; do
    stamp=$(stamp_of "$package" "$version" "$recipe" "$dependency_stamps")
    entry=$cache/$package-${version#*:}
    if [ "$(cat "$entry/stamp" 2>/dev/null)" = "$stamp" ]; then
      break
    fi
    # A version the mirror refused lately is not asked for again for a day.
    if [ -n "$(find "$cache/.unfetchable" -name "${package}_${version#*:}" -mmin -1440 2>/dev/null)" ]; then
      tried+=("$version")
      entry=""
      continue
    fi
    tmp=$(mktemp -d "$cache/.build-$package-XXXXXX")
    building=$tmp
    note=""
    say "fetching the Debian source package $package $version"
    if (cd "$tmp" && mkdir fetched && cd fetched && apt_source "$package=$version") > "$tmp/fetch.log" 2>&1; then
      (cd "$tmp" && dpkg-source -x fetched/*.dsc src) > "$tmp/unpack.log" 2>&1 ||
        { cat "$tmp/unpack.log" >&2; die "cannot unpack $package $version"; }
    elif upstream_only "$package" "$version" "$tmp/fetched" "$tmp/src"; then
      note="upstream part only: Debian's packaging part could not be fetched"
      say "WARNING: $package $version: $note; building its upstream tarball, checked against the .dsc"
    else
      tried+=("$version")
      sed 's/^/  apt: /' "$tmp/fetch.log" >&2
      mkdir -p "$cache/.unfetchable"
      touch "$cache/.unfetchable/${package}_${version#*:}"
      rm -rf "$tmp"
      building=""
      entry=""
      continue
    fi
    say "building $package $version (log: $cache/$package.log)"
    started=$SECONDS
    mkdir -p "$tmp/deps/include" "$tmp/deps/lib" "$tmp/entry"
    for dependency in $dependencies; do
      cp -r "${ENTRY[$dependency]}/include/." "$tmp/deps/include/"
      cp -r "${ENTRY[$dependency]}/lib/." "$tmp/deps/lib/"
    done
    local upstream=${version#*:}
    upstream=${upstream%-*}
    # A shell of its own, so that the first failing command ends the recipe.
    if ! (cd "$tmp/src" && DEPS="$tmp/deps" OUT="$tmp/entry" UPSTREAM="$upstream" \
          bash -c 'set -euo pipefail; source "$1"; set -x; "$2"' recipe "$here/recipes.sh" "$recipe") \
        > "$cache/$package.log" 2>&1; then
      tail -n 40 "$cache/$package.log" >&2
      die "building $package $version failed; the whole log is $cache/$package.log"
    fi
    mkdir -p "$tmp/entry/source"
    find "$tmp/fetched" -maxdepth 1 -type f -exec cp {} "$tmp/entry/source/" \;
    printf '%s\n' "$version" > "$tmp/entry/version"
    printf '%s\n' "$note" > "$tmp/entry/note"
    printf '%s\n' "$stamp" > "$tmp/entry/stamp"
    # The entry appears complete or not at all.
    rm -rf "$entry"
    mv -T "$tmp/entry" "$entry"
    rm -rf "$tmp"
    building=""
    say "built $package $version in $((SECONDS - started)) s"
    break
  done
  [ -n "${entry:-}" ] && [ -f "$entry/stamp" ] ||
    die "cannot fetch the Debian source package '$package' (tried ${tried[*]}); see the apt lines above. Is the Debian mirror reachable?"
  if [ "$version" != "$newest" ]; then
    say "WARNING: $package $newest cannot be fetched; using $version"
  fi
  ENTRY[$package]=$entry
  STAMP[$package]=$(cat "$entry/stamp")
}

for line in "${WINTOOLS_PACKAGES[@]}"; do
  IFS='|' read -r package recipe dependencies <<< "$line"
  build_package "$package" "$recipe" "$dependencies"
done

rm -rf "$out"
mkdir -p "$out/tools/licenses" "$out/sources/wintools"
: > "$out/versions.tsv"
for line in "${WINTOOLS_PACKAGES[@]}"; do
  IFS='|' read -r package recipe dependencies <<< "$line"
  entry=${ENTRY[$package]}
  programs=""
  if [ -d "$entry/bin" ]; then
    cp "$entry"/bin/* "$out/tools/"
    programs=$(cd "$entry/bin" && ls | tr '\n' ' ')
  fi
  cp "$entry"/licenses/* "$out/tools/licenses/"
  mkdir -p "$out/sources/$package"
  cp "$entry"/source/* "$out/sources/$package/"
  printf '%s\t%s\t%s\t%s\n' "$package" "$(cat "$entry/version")" "$(cat "$entry/note")" "${programs% }" \
    >> "$out/versions.tsv"
done
# Every program links the MinGW-w64 runtime and GCC's support code statically.
sed 's/\r$//; s/$/\r/' /usr/share/doc/mingw-w64-x86-64-dev/copyright > "$out/tools/licenses/MinGW-w64 runtime.txt"
sed 's/\r$//; s/$/\r/' /usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright > "$out/tools/licenses/GCC runtime.txt"
cp "$here"/*.sh "$here"/utf8.manifest "$here"/README.md "$out/sources/wintools/"
