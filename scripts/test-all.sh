#!/usr/bin/env bash
# Runs every test of both builds on a fresh Debian 12 machine, installing what
# they need first:
#   native build (ASan + UBSan) and native ThreadSanitizer build: GoogleTest
#   fuzz targets: each runs for a bounded time from its seed corpus
#   win32 build: the PE32 test programs under Wine
# Prints each runner's summary and ends with one "N passed, N failed" line;
# exits non-zero when anything fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

bash scripts/bootstrap.sh || { echo "test-all: installing prerequisites failed"; exit 1; }

total_passed=0
total_failed=0
problems=()

# ctest_run LABEL BUILD_DIR: runs one build's tests and adds up the counts.
ctest_run() {
  local label=$1 dir=$2 log
  log=$(mktemp)
  echo "== $label tests"
  ctest --test-dir "$dir" --output-on-failure -j2 --timeout 600 2>&1 | tee "$log" | grep -E -v '^ *Start |^ *[0-9]+/[0-9]+ Test .*Passed' || true
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    problems+=("$label: ctest printed no summary")
    total_failed=$((total_failed + 1))
  else
    local failed all
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    all=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    total_passed=$((total_passed + all - failed))
    total_failed=$((total_failed + failed))
    [ "$failed" -eq 0 ] || problems+=("$label: $failed of $all tests failed")
  fi
  rm -f "$log"
}

build() {
  local name=$1
  echo "== building $name"
  if ! bash scripts/build.sh "$name" > "build-$name.log" 2>&1; then
    tail -n 40 "build-$name.log"
    problems+=("$name: build failed (build-$name.log)")
    total_failed=$((total_failed + 1))
    return 1
  fi
  rm -f "build-$name.log"
}

if build native; then ctest_run "native (ASan+UBSan)" build/native; fi
if build native-tsan; then ctest_run "native (TSan)" build/native-tsan; fi

if build fuzz; then
  for target in build/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus_seed="fuzz/corpus/${name#fuzz_}"
    work=$(mktemp -d)
    mkdir "$work/corpus"
    cp -r "$corpus_seed"/. "$work/corpus"/
    dict=()
    [ -f "fuzz/${name#fuzz_}.dict" ] && dict=(-dict="$root/fuzz/${name#fuzz_}.dict")
    echo "== fuzzing $name for ${FUZZ_SECONDS}s"
    if (cd "$work" && "$root/$target" "${dict[@]}" -max_total_time="$FUZZ_SECONDS" -max_len=16384 \
          -print_final_stats=1 corpus > fuzz.log 2>&1); then
      grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added)' "$work/fuzz.log"
      total_passed=$((total_passed + 1))
    else
      tail -n 60 "$work/fuzz.log"
      problems+=("$name: the fuzzer found a fault (inputs kept in $work)")
      total_failed=$((total_failed + 1))
      continue
    fi
    rm -rf "$work"
  done
fi

if build win32; then
  if reason=$(bash scripts/wine-usable.sh); then
    export WINEPREFIX="$root/build/win32/wineprefix" WINEARCH=win32 WINEDEBUG=-all
    [ -f "$WINEPREFIX/system.reg" ] || bash scripts/wine-prefix.sh "$WINEPREFIX"
    # Keep one wineserver alive so that test programs start quickly and ctest
    # does not wait for Wine's helper processes.
    wineserver -p </dev/null >/dev/null 2>&1
    wine wineboot </dev/null >/dev/null 2>&1
    ctest_run "win32 (Wine)" build/win32
    wineserver -k </dev/null >/dev/null 2>&1 || true
  else
    echo "== win32 tests NOT RUN: $reason."
    echo "   The PE32 test programs are built in build/win32; run this script on a machine that runs Wine to test them."
  fi
fi

echo
if [ ${#problems[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${problems[@]}"
fi
echo "tests: $total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ] && [ ${#problems[@]} -eq 0 ]
