#!/usr/bin/env bash
# Builds and runs the benchmarks: the product build (PE32 under Wine, when
# this machine runs Wine) and the optimised native build. Prints figures only;
# nothing here passes or fails on speed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/bootstrap.sh >/dev/null

bash scripts/build.sh bench >/dev/null
# python-can's virtual bus (Debian's python3-can), measured in this run.
pythoncan=$(/usr/bin/python3 bench/python_can_virtual.py 200000 2>/dev/null || echo 0)
echo "== native (optimised, $(uname -m))"
build/bench/tests/zmx-bench
echo "-- RP1210 library (HVLNK32 core, virtual adapter); python-can virtual bus: $pythoncan messages/s"
build/bench/tests/rp1210-bench "$pythoncan"
if [ -x build/bench/tests/rp1210-gbench ]; then
  echo "-- Google Benchmark"
  build/bench/tests/rp1210-gbench --benchmark_min_time=0.5 2>/dev/null | grep -E '^(Receive|NonBlocking|Check|Benchmark|-)'
fi

echo "-- adapter faults: loss and return per link kind, the transmit queue under a flood"
build/bench/tests/recovery-bench

echo "-- the shared bus: frames/s through the hub, python-can into an RP1210 reader, the CAN bus's limits"
mkdir -p build/bench/shared-bus-windows
/usr/bin/python3 bench/hub_bench.py build/bench/testkit/hub/can-hub 50000 build/bench/tests/rp1210-peer \
  "$root/build/bench/shared-bus-windows"

bash scripts/build.sh win32 >/dev/null
if reason=$(bash scripts/wine-usable.sh); then
  export WINEPREFIX="$root/build/win32/wineprefix" WINEARCH=win32 WINEDEBUG=-all
  [ -f "$WINEPREFIX/system.reg" ] || bash scripts/wine-prefix.sh "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1
  wine wineboot </dev/null >/dev/null 2>&1
  echo "== win32 (PE32 under Wine)"
  (cd build/win32/tests && wine zmx-bench.exe)
  echo "-- RP1210 library"
  (cd build/win32/tests && wine rp1210-bench.exe "$pythoncan")
  echo "-- adapter faults"
  (cd build/win32/tests && wine recovery-bench.exe 3)
  echo "-- the shared bus, the RP1210 reader under Wine"
  /usr/bin/python3 bench/hub_bench.py build/win32/host/can-hub 50000 "wine build/win32/tests/rp1210-peer.exe" \
    "$WINEPREFIX/drive_c/windows"
  wineserver -k </dev/null >/dev/null 2>&1 || true
  echo "-- the checker's data window (an edit control under Wine and Xvfb)"
  bash scripts/gui-run.sh "$root/build/win32/guiprefix" build/win32/tests/qrn-window-bench.exe
  wineserver -k </dev/null >/dev/null 2>&1 || true
else
  echo "== win32 benchmarks NOT RUN: $reason."
fi
