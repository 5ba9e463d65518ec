#!/usr/bin/env bash
# The main job: loads the RP1210 catalogue of the sample Windows directory as
# the checker does at start, and prints every vendor, device and protocol, the
# message boxes the load shows, and the Vendor, Device and Protocol lists with
# their cascades. Installs its prerequisites first.
# Usage: scripts/main-job.sh [WINDOWS_DIRECTORY]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/bootstrap.sh"
bash "$root/scripts/build.sh" native >/dev/null
"$root/build/native/testkit/catalogue-dump" "${1:-$root/samples/windows}"
