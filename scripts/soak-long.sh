#!/usr/bin/env bash
# Long reliability runs on the substitute host: the soak for FRAMES frames
# (default 4000, split over its four configurations) from SEED, the long fault
# sweep (each of the first 32 uses of every host call and 8 more spread over
# the rest, each of the first 128 plug-in allocations and 32 more) and the
# panel rebuild driver for 20000 random meshes. Each program's summary line
# (BW-SOAK, BW-SWEEP, BW-FUZZ) is kept in build/soak-long/summary.txt.
# In the plain linux32 build under the emulator the soak takes about 2
# minutes; the sweep and the driver took 31 and 3 before the soak programs
# remembered region answers. The sanitizer build is several times slower.
#   scripts/soak-long.sh [FRAMES] [SEED]
#   BW_SOAK_PRESET=linux32-asan scripts/soak-long.sh 1000   (ASan+UBSan)
#
# The game-hour soak: 108,000 frames (an hour at 30 frames a second) with up
# to 200 cars and pile-ups, a progress line every 1,000 frames of each
# configuration, its summary in build/soak-hour/summary.txt. About 20 ms of
# processor time a frame under the emulator (linux32), 36 minutes in all: it
# took 47 minutes on the shared 2-core machine, and may take up to 75.
#   scripts/soak-long.sh --hour [SEED]
set -euo pipefail
cd "$(dirname "$0")/.."
hour=0
if [ "${1:-}" = "--hour" ]; then
  hour=1
  shift
  frames=108000
else
  frames=${1:-4000}
  shift || true
fi
seed=${1:-20240611}
preset=${BW_SOAK_PRESET:-linux32}
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
build=build/soak-long/$preset
out=build/soak-long
[ "$hour" = 1 ] && out=build/soak-hour
mkdir -p "$out"

cmake --preset "$preset" -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" --target soak_test fault_sweep panel_rebuild_fuzz

run() {
  if [ "$(uname -m)" = "x86_64" ] && command -v qemu-i386-static >/dev/null; then
    qemu-i386-static -R 0xC0000000 "$@"
  else
    "$@"
  fi
}
export ASAN_OPTIONS=detect_leaks=0
status=0
: >"$out/summary.txt"
echo "=== soak: $frames frames from seed $seed ($(date -u '+%H:%M:%S UTC'))"
progress=0
[ "$hour" = 1 ] && progress=1000
start=$(date +%s)
BW_SOAK_FRAMES=$frames BW_SOAK_SEED=$seed BW_SOAK_PROGRESS=$progress run "$build/tests/soak/soak_test" \
  | tee "$out/soak.txt" || status=1
echo "=== soak took $(( ($(date +%s) - start) / 60 )) minutes"
if [ "$hour" = 0 ]; then
  echo "=== fault sweep, long"
  BW_SWEEP_FULL=1 run "$build/tests/soak/fault_sweep" | tee "$out/sweep.txt" | grep -v '^VIOLATION' || true
  grep -q '^BW-SWEEP .*violations=0 leaks=0 exceptions=0' "$out/sweep.txt" || status=1
  echo "=== panel rebuild driver"
  BW_PANEL_FUZZ_ITERATIONS=20000 BW_PANEL_FUZZ_SEED=$seed run "$build/tests/soak/panel_rebuild_fuzz" \
    | tee "$out/panel.txt" | grep -E 'BW-FUZZ|PASSED|FAILED' || status=1
fi
grep -h '^BW-' "$out"/soak.txt "$out"/sweep.txt "$out"/panel.txt 2>/dev/null >"$out/summary.txt" || true
cat "$out/summary.txt"
exit $status
