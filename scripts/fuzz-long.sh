#!/usr/bin/env bash
# Long fuzzing runs: every libFuzzer target of the host-free core for
# SECONDS each (default 600), then the seeded linux32 drivers (settings
# reader, buffer guard, material table) under ASan+UBSan for about as long
# each, as many short processes with fresh seeds (a long ASan process under
# the 32-bit emulator runs out of address space). Prints the executions.
#   scripts/fuzz-long.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2

cmake --preset native-fuzz >/dev/null
cmake --build --preset native-fuzz -j "$jobs"
fuzzdir=build/native-fuzz/fuzz
status=0
total=0
for target in $(cd fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//'); do
  mkdir -p "$fuzzdir/corpus/$target" "$fuzzdir/artifacts"
  echo "=== $target for ${seconds}s"
  log="$fuzzdir/$target-long.log"
  if ! "$fuzzdir/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$fuzzdir/artifacts/$target-" \
      "$fuzzdir/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1; then
    echo "FAILED: see $log and $fuzzdir/artifacts/"
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  echo "$target: ${runs:-0} executions"
  total=$((total + ${runs:-0}))
done
echo "libFuzzer executions: $total"

cmake --preset linux32-asan >/dev/null
cmake --build --preset linux32-asan -j "$jobs" --target settings_fuzz_test guard_fuzz_test
rounds=0
for driver in settings_fuzz_test guard_fuzz_test; do
  end=$((SECONDS + seconds))
  seed=1
  while [ "$SECONDS" -lt "$end" ]; do
    if ! BW_FUZZ_SEED=$seed BW_FUZZ_ITERATIONS=150 ASAN_OPTIONS=detect_leaks=0 \
        qemu-i386-static -R 0xC0000000 "build/linux32-asan/fuzz/seeded/$driver" >/dev/null 2>&1; then
      echo "FAILED: BW_FUZZ_SEED=$seed BW_FUZZ_ITERATIONS=150 build/linux32-asan/fuzz/seeded/$driver"
      status=1
    fi
    seed=$((seed + 1))
    rounds=$((rounds + 150))
  done
  echo "$driver: $((seed - 1)) seeds of 150 rounds"
done
echo "seeded driver rounds in all: $rounds"
exit $status
