#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, only when missing.
# Quiet when everything is there. Needs root (or sudo) the first time.
set -euo pipefail
packages=(
  cmake make g++-mingw-w64-x86-64-posix googletest
  wine wine64 xvfb xauth python3-olefile
  optipng gifsicle 7zip libimage-exiftool-perl perl libjpeg-turbo-progs advancecomp flac zopfli python3-pil
  dpkg-dev autoconf automake
  ${VELL_EXTRA_PACKAGES:-}
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

# The Windows tools are built from Debian's source packages (wintools/), which
# needs deb-src entries; they are made from the Debian entries apt already uses.
src_list=/etc/apt/sources.list.d/vell-optimizer-src.sources
deb_src_stanzas() {
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] && [ "$file" != "$src_list" ] || continue
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Types:[^\n]*(^|[ \t])deb([ \t]|\n|$)/ && /(^|\n)URIs:[^\n]*debian/ {
           gsub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src"); gsub(/\n#[^\n]*/, ""); sub(/^\n/, ""); print }' "$file"
  done
  if [ -f /etc/apt/sources.list ]; then
    sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*debian[^ ]*\) \(.*\)$/deb-src \1\2 \3/p' /etc/apt/sources.list
  fi
}
need_update=0
if ! grep -Rqs -E '^[[:space:]]*(deb-src[[:space:]]|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  stanzas=$(deb_src_stanzas)
  if [ -z "$stanzas" ]; then
    stanzas=$(printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\n\nTypes: deb-src\nURIs: http://deb.debian.org/debian-security\nSuites: bookworm-security\nComponents: main\n')
  fi
  case $stanzas in
    deb-src*) target=/etc/apt/sources.list.d/vell-optimizer-src.list ;;
    *) target=$src_list ;;
  esac
  echo "Adding Debian source package entries: $target"
  printf '%s\n' "$stanzas" | { [ "$(id -u)" -eq 0 ] && cat > "$target" || sudo tee "$target" >/dev/null; }
  need_update=1
fi
compgen -G '/var/lib/apt/lists/*_Sources*' >/dev/null || need_update=1

[ ${#missing[@]} -eq 0 ] && [ $need_update -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
