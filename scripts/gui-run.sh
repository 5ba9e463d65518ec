#!/usr/bin/env bash
# Runs a Windows program that opens windows (the GUI tests, the GUI driver)
# under Wine on a virtual X display, in a Wine prefix of its own so that its
# Wine server and desktop belong to that display alone; afterwards turns the
# BMP pictures in PICTURE_DIRECTORY (if given) into PNG files.
# Usage: scripts/gui-run.sh PREFIX [--pictures PICTURE_DIRECTORY] PROGRAM.EXE [ARGUMENTS...]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
prefix=${1:?usage: gui-run.sh PREFIX [--pictures DIR] PROGRAM.EXE [ARGUMENTS...]}
shift
pictures=
if [ "${1:-}" = "--pictures" ]; then pictures=$2; shift 2; fi
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all
[ -f "$WINEPREFIX/system.reg" ] || bash "$root/scripts/wine-prefix.sh" "$WINEPREFIX" || exit 1
# A server left over from an earlier display would hand windows to it.
wineserver -k </dev/null >/dev/null 2>&1 || true
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
  wineserver -p </dev/null >/dev/null 2>&1
  wine wineboot </dev/null >/dev/null 2>&1
  timeout 900 wine "$@"
  rc=$?
  wineserver -k </dev/null >/dev/null 2>&1
  exit $rc' gui-run "$@"
rc=$?
if [ -n "$pictures" ] && [ -d "$pictures" ]; then
  for picture in "$pictures"/*.bmp; do
    [ -f "$picture" ] || continue
    convert "$picture" "${picture%.bmp}.png" && rm -f "$picture"
  done
fi
exit $rc
