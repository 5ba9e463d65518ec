#!/usr/bin/env bash
# Configures and builds one of the project's builds in build/<name>:
#   win32       the product: PE32 files with mingw-w64 (tests run under Wine)
#   native      host compiler, AddressSanitizer + UndefinedBehaviorSanitizer
#   native-tsan host compiler, ThreadSanitizer
#   fuzz        clang, libFuzzer targets with AddressSanitizer + UBSan
#   bench       host compiler, optimised, no sanitizers: the benchmarks
# Usage: scripts/build.sh NAME [extra cmake arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
name=${1:?usage: build.sh win32|native|native-tsan|fuzz|bench}
shift
case "$name" in
  win32)       args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/i686-w64-mingw32.cmake" -DCMAKE_BUILD_TYPE=Release) ;;
  native)      args=(-DCMAKE_BUILD_TYPE=Debug -DQRN_SANITIZE=address,undefined) ;;
  native-tsan) args=(-DCMAKE_BUILD_TYPE=Debug -DQRN_SANITIZE=thread) ;;
  fuzz)        args=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
                     -DQRN_SANITIZE=address,undefined -DQRN_FUZZ=ON -DQRN_TESTS=OFF) ;;
  bench)       args=(-DCMAKE_BUILD_TYPE=Release -DQRN_SANITIZE=none -DQRN_TESTS=OFF) ;;
  *) echo "build.sh: unknown build '$name'" >&2; exit 2 ;;
esac
cmake -S "$root" -B "$root/build/$name" -G Ninja "${args[@]}" "$@" >/dev/null
cmake --build "$root/build/$name"
