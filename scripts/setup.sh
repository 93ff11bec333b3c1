#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, only when missing.
# Quiet when everything is there. Needs root (or sudo) the first time.
set -euo pipefail
packages=(
  cmake make g++-mingw-w64-x86-64-posix googletest
  wine wine64 xvfb xauth python3-olefile
  optipng gifsicle 7zip libimage-exiftool-perl perl libjpeg-turbo-progs advancecomp flac zopfli python3-pil
  ${VELL_EXTRA_PACKAGES:-}
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
