#!/usr/bin/env bash
# The main job: the checker QRN.EXE and its adapter test. Installs its
# prerequisites, builds the win32 build and lays out a Windows directory in a
# Wine prefix: the sample RP1210 INI files and the team's test vendor library
# TVSTREAM, which plays a recorded J1939 engine bus.
#   With a display (DISPLAY set, QRN_HEADLESS unset): opens the checker for a
#   person to use.
#   Headless: under Xvfb, the GUI driver chooses TVSTREAM and J1939, presses
#   "Run Test" and prints the lists, the status and data windows, their
#   colours and the results discussion; pictures of every window it visited
#   are left in build/main-job/pictures.
# On a machine that cannot run Wine, the same run is made by the portable
# code without windows (testkit adapter-test-run).
# Usage: scripts/main-job.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/bootstrap.sh"
job="$root/build/main-job"
capture="$root/testkit/data/engine-startup.log"

if ! reason=$(bash "$root/scripts/wine-usable.sh"); then
  echo "main job: $reason; running the adapter test without windows instead."
  bash "$root/scripts/build.sh" native >/dev/null
  windows="$job/windows"
  rm -rf "$windows" && mkdir -p "$windows"
  cp "$root"/samples/windows/*.ini "$root"/samples/windows/*.INI "$windows"/
  cp "$root/build/native/tests/TVSTREAM.DLL" "$windows"/
  exec "$root/build/native/testkit/adapter-test-run" "$windows" TVSTREAM J1939 "capture=$capture"
fi

bash "$root/scripts/build.sh" win32 >/dev/null
export WINEPREFIX="$job/wineprefix" WINEARCH=win32 WINEDEBUG=-all
[ -f "$WINEPREFIX/system.reg" ] || bash "$root/scripts/wine-prefix.sh" "$WINEPREFIX"
windows="$WINEPREFIX/drive_c/windows"
rm -f "$windows"/RP121032.INI*
cp "$root"/samples/windows/*.ini "$root"/samples/windows/*.INI "$windows"/
cp "$root/build/win32/tests/TVSTREAM.DLL" "$windows"/
winepath() { printf 'Z:%s' "${1//\//\\}"; }
printf 'capture=%s\r\n' "$(winepath "$capture")" > "$windows/TVSTREAM.SCRIPT"
checker="$root/build/win32/tool/app/QRN.EXE"

if [ -n "${DISPLAY:-}" ] && [ -z "${QRN_HEADLESS:-}" ]; then
  echo "main job: opening the checker on $DISPLAY (choose TVSTREAM, press Run Test)."
  wineserver -p </dev/null >/dev/null 2>&1 || true
  exec wine "$checker"
fi

pictures="$job/pictures"
rm -rf "$pictures" && mkdir -p "$pictures"
rc=0
bash "$root/scripts/gui-run.sh" "$WINEPREFIX" --pictures "$pictures" \
  "$root/build/win32/testkit/qrn-drive.exe" "$(winepath "$checker")" "$(winepath "$pictures")" TVSTREAM J1939 || rc=$?
echo
echo "Pictures of the windows: $pictures"
ls "$pictures"
exit $rc
