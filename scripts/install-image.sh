#!/usr/bin/env bash
# Lays out the install image: a Windows directory with QRN.EXE, HVLNK32.DLL,
# ZMXMRP32.DLL, the RP1210 INI files (HVLNK32 first), the adapter INI and the
# virtual adapter under the transport file names (see image/README.txt).
# Installs its prerequisites and builds the win32 build first.
# Usage: scripts/install-image.sh [DEST]   (default: build/win32/image/windows;
#        with DEST, the image is also copied there, e.g. a Wine prefix's
#        drive_c/windows)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/bootstrap.sh"
bash "$root/scripts/build.sh" win32 >/dev/null
cmake --build "$root/build/win32" --target install_image >/dev/null
image="$root/build/win32/image/windows"
if [ $# -ge 1 ]; then
  mkdir -p "$1"
  cp -r "$image"/. "$1"/
  image=$1
fi
echo "Install image: $image"
ls "$image"
