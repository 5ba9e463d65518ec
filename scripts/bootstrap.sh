#!/usr/bin/env bash
# Installs every Debian 12 package that the two builds and their tests need.
# Does nothing (apart from a quick dpkg query) when everything is present.
set -euo pipefail

PACKAGES=(
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  wine wine32:i386 xvfb xauth imagemagick xdotool x11-apps
  fonts-liberation fonts-wine
  cmake ninja-build g++ clang libclang-rt-14-dev llvm
  googletest libgtest-dev
  libbenchmark-dev python3-can nsis
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "bootstrap: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}" >/dev/null
