#!/usr/bin/env bash
# The shared bus demo: one simulated J1939 bus that several programs join.
#   1. the bus hub (testkit/hub, a socketcand server) on 127.0.0.1, port
#      HUB_PORT (default 29536, the port of the install image's TCP/IP device
#      3; another free port is chosen when that one is taken),
#   2. python-can (testkit/j1939/j1939_peer.py) playing the engine capture
#      testkit/data/engine-startup.log onto the hub's can0 at its pace,
#   3. the checker QRN.EXE testing HVLNK32, device 3 (TCP/IP), J1939: the
#      library reaches the hub through ZMXMRP32.DLL and the virtual adapter's
#      TCP/IP link. Headless under Xvfb (pictures in build/shared-bus-demo/
#      pictures) unless a display is there and QRN_HEADLESS is unset,
#   4. rp1210-peer, a console RP1210 application, counting ten seconds of the
#      same bus through HVLNK32.DLL,
#   5. the adapter losing its bus and getting it back: rp1210-peer claims an
#      address, reads and sends a frame every 250 ms while the hub stops for
#      three seconds and starts again; it prints when its sends began to
#      answer 142 ("lost MS"), when they went again ("back MS") and how many
#      messages it read after that, without the application doing anything.
# Without Wine, steps 3 to 5 are made by the native build's rp1210-peer.
# Installs its prerequisites and builds what it runs.
# Usage: scripts/shared-bus-demo.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/bootstrap.sh"
job="$root/build/shared-bus-demo"
mkdir -p "$job"
capture="$root/testkit/data/engine-startup.log"
python=/usr/bin/python3

if wine_reason=$(bash "$root/scripts/wine-usable.sh"); then
  build=win32
else
  echo "shared bus demo: $wine_reason; the RP1210 application runs natively."
  build=native
fi
bash "$root/scripts/build.sh" "$build" >/dev/null
if [ "$build" = win32 ]; then hub_program="$root/build/win32/host/can-hub"; else hub_program="$root/build/native/testkit/hub/can-hub"; fi

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# 1. The hub: the image's port, or any free one. $1 the port, $2 its log
# (a fresh file: an earlier hub's "listening on" must not count).
start_hub() {
  : > "$2"
  "$hub_program" --port "$1" > "$2" 2>&1 &
  hub_pid=$!
  for _ in $(seq 50); do
    grep -q "listening on" "$2" 2>/dev/null && return 0
    kill -0 "$hub_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
start_hub "${HUB_PORT:-29536}" "$job/hub.log" || start_hub 0 "$job/hub.log" || { cat "$job/hub.log"; exit 1; }
pids+=("$hub_pid")
port=$(sed -n 's/.*listening on .*:\([0-9]*\).*/\1/p' "$job/hub.log" | head -n 1)
echo "== bus hub: 127.0.0.1:$port, buses can0 and can1 (log: $job/hub.log)"

# 2. python-can plays the capture, at its pace, over and over (and joins the
# hub again when it comes back after step 5 stopped it).
(while true; do "$python" "$root/testkit/j1939/j1939_peer.py" replay --port "$port" --log "$capture" --speed 1 \
   || sleep 1; done) > "$job/replay.log" 2>&1 &
pids+=("$!")
echo "== python-can plays $(basename "$capture") onto can0"
sleep 1

# The install image as the Windows directory, its TCP/IP device on the hub.
point_at_hub() { sed -i "s/PORT=[0-9]*/PORT=$port/" "$1/HVLNK32.INI"; }

# 5. The hub stops for three seconds and starts again on the same port while
# an RP1210 application claims, reads and sends ($@: how to run rp1210-peer).
hub_goes_and_comes_back() {
  echo "== the bus goes away and comes back: the hub stops for 3 s while rp1210-peer reads and sends"
  "$@" --device 3 --claim 0xF9:0000000000001234 --read 14 --send-every 250:0xFF22 > "$job/peer-recovery.log" 2>&1 &
  local peer=$!
  sleep 4
  kill "$hub_pid" 2>/dev/null || true
  wait "$hub_pid" 2>/dev/null || true
  echo "   hub stopped"
  sleep 3
  start_hub "$port" "$job/hub-again.log" || { cat "$job/hub-again.log"; return 1; }
  pids+=("$hub_pid")
  echo "   hub started again on port $port"
  local rc=0
  wait "$peer" || rc=$?
  sed 's/^/   rp1210-peer: /' "$job/peer-recovery.log"
  return $rc
}

if [ "$build" = native ]; then
  windows="$job/windows"
  rm -rf "$windows" && cp -r "$root/build/native/image/windows" "$windows"
  point_at_hub "$windows"
  echo "== rp1210-peer (native) reads ten seconds through HVLNK32, device 3, J1939"
  rc=0
  WINDIR="$windows" "$root/build/native/tests/rp1210-peer" --device 3 --read 10 || rc=$?
  export WINDIR="$windows"
  hub_goes_and_comes_back "$root/build/native/tests/rp1210-peer" || rc=$?
  exit $rc
fi

export WINEPREFIX="$job/wineprefix" WINEARCH=win32 WINEDEBUG=-all
[ -f "$WINEPREFIX/system.reg" ] || bash "$root/scripts/wine-prefix.sh" "$WINEPREFIX"
windows="$WINEPREFIX/drive_c/windows"
rm -f "$windows"/RP121032.INI* "$windows"/VADAPTER.SCRIPT
cp -r "$root/build/win32/image/windows"/. "$windows"/
point_at_hub "$windows"
winepath() { printf 'Z:%s' "${1//\//\\}"; }

# 3. The checker on device 3.
rc=0
if [ -n "${DISPLAY:-}" ] && [ -z "${QRN_HEADLESS:-}" ]; then
  echo "== the checker on $DISPLAY: choose device 3 (TCP/IP) and press Run Test"
  wine "$windows/QRN.EXE" || rc=$?
else
  pictures="$job/pictures"
  rm -rf "$pictures" && mkdir -p "$pictures"
  echo "== the checker QRN.EXE: HVLNK32, device 3 (TCP/IP), J1939"
  bash "$root/scripts/gui-run.sh" "$WINEPREFIX" --pictures "$pictures" \
    "$root/build/win32/testkit/qrn-drive.exe" "$(winepath "$windows/QRN.EXE")" "$(winepath "$pictures")" \
    HVLNK32 J1939 "3 -" || rc=$?
  echo "Pictures of the windows: $pictures"
fi

# 4. A console RP1210 application on the same bus.
echo "== rp1210-peer.exe reads ten seconds through HVLNK32.DLL, device 3, J1939"
wineserver -p </dev/null >/dev/null 2>&1 || true
wine "$root/build/win32/tests/rp1210-peer.exe" --device 3 --read 10 || rc=$?
hub_goes_and_comes_back wine "$root/build/win32/tests/rp1210-peer.exe" || rc=$?
exit $rc
