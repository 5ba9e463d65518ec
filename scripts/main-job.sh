#!/usr/bin/env bash
# The main job: the checker QRN.EXE against the maker's RP1210 library
# HVLNK32.DLL, through the adapter driver multiplexer ZMXMRP32.DLL, to the
# team's virtual adapter playing a recorded J1939 engine bus
# (testkit/data/engine-startup.log) at its recorded pace. Installs its
# prerequisites, builds the win32 build and lays the install image out as
# the Windows directory of a Wine prefix.
#   With a display (DISPLAY set, QRN_HEADLESS unset): opens the checker for a
#   person to use (HVLNK32 is first in the Vendor list; press Run Test).
#   Headless: under Xvfb, the GUI driver chooses HVLNK32, its first device
#   and J1939, presses "Run Test" and prints the lists, the status and data
#   windows, their colours and the results discussion; pictures of every
#   window it visited are left in build/main-job/pictures.
# On a machine that cannot run Wine, the same run is made by the portable
# code without windows (testkit adapter-test-run) on the native build's image.
# Usage: scripts/main-job.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/bootstrap.sh"
job="$root/build/main-job"
capture="$root/testkit/data/engine-startup.log"
script() {  # the virtual adapter plays the capture, from the first open, over and over
  printf 'replay=%s\r\nspeed=1\r\nloop=1\r\n' "$2" > "$1/VADAPTER.SCRIPT"
}

if ! reason=$(bash "$root/scripts/wine-usable.sh"); then
  echo "main job: $reason; running the adapter test without windows instead."
  bash "$root/scripts/build.sh" native >/dev/null
  windows="$job/windows"
  rm -rf "$windows" && mkdir -p "$job"
  cp -r "$root/build/native/image/windows" "$windows"
  script "$windows" "$capture"
  export WINDIR="$windows"
  exec "$root/build/native/testkit/adapter-test-run" "$windows" HVLNK32 J1939
fi

bash "$root/scripts/build.sh" win32 >/dev/null
export WINEPREFIX="$job/wineprefix" WINEARCH=win32 WINEDEBUG=-all
[ -f "$WINEPREFIX/system.reg" ] || bash "$root/scripts/wine-prefix.sh" "$WINEPREFIX"
windows="$WINEPREFIX/drive_c/windows"
rm -f "$windows"/RP121032.INI*
cp -r "$root/build/win32/image/windows"/. "$windows"/
winepath() { printf 'Z:%s' "${1//\//\\}"; }
script "$windows" "$(winepath "$capture")"
checker="$windows/QRN.EXE"

if [ -n "${DISPLAY:-}" ] && [ -z "${QRN_HEADLESS:-}" ]; then
  echo "main job: opening the checker on $DISPLAY (HVLNK32 is first; press Run Test)."
  wineserver -p </dev/null >/dev/null 2>&1 || true
  exec wine "$checker"
fi

pictures="$job/pictures"
rm -rf "$pictures" && mkdir -p "$pictures"
rc=0
bash "$root/scripts/gui-run.sh" "$WINEPREFIX" --pictures "$pictures" \
  "$root/build/win32/testkit/qrn-drive.exe" "$(winepath "$checker")" "$(winepath "$pictures")" HVLNK32 J1939 || rc=$?
echo
echo "Pictures of the windows: $pictures"
ls "$pictures"
exit $rc
