#!/usr/bin/env bash
# Creates a 32-bit Wine prefix for the tests: fonts where Wine finds them, and
# a virtual desktop (1280 x 1024, room for the widest dialog) so that windows
# under Xvfb get their title bars.
set -euo pipefail
prefix=${1:?usage: wine-prefix.sh PREFIX}
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
mkdir -p "$prefix"
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
mkdir -p "$prefix/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1280x1024 /f </dev/null >/dev/null 2>&1
# The dialogs' fonts: Debian has them under their Liberation names.
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Courier New' /d 'Liberation Mono' /f </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'Arial' /d 'Liberation Sans' /f </dev/null >/dev/null 2>&1
# A crashing test program ends at once instead of waiting behind a crash dialog.
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
wineserver -w
