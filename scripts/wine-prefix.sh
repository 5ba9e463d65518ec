#!/usr/bin/env bash
# Creates a 32-bit Wine prefix for the tests: fonts where Wine finds them, and
# a virtual desktop so that windows under Xvfb get their title bars.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
mkdir -p "$prefix"
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
mkdir -p "$prefix/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f </dev/null >/dev/null 2>&1
wineserver -w
