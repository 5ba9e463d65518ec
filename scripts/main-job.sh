#!/usr/bin/env bash
# The main job: the checker's adapter test, headless. A Windows directory is
# laid out from the sample RP1210 INI files and the team's test vendor library
# TVSTREAM, which plays a recorded J1939 engine bus; the run chooses TVSTREAM,
# its device and J1939 as a user would in the main window, runs the test for
# its five seconds and prints the status window, the data window, the boxes,
# the window colours and the results discussion. Installs its prerequisites.
# Usage: scripts/main-job.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/bootstrap.sh"
bash "$root/scripts/build.sh" native >/dev/null
windows="$root/build/main-job/windows"
rm -rf "$windows"
mkdir -p "$windows"
cp "$root"/samples/windows/*.ini "$root"/samples/windows/*.INI "$windows"/
cp "$root/build/native/tests/TVSTREAM.DLL" "$windows"/
"$root/build/native/testkit/adapter-test-run" "$windows" TVSTREAM J1939 \
  "capture=$root/testkit/data/engine-startup.log"
