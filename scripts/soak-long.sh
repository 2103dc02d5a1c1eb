#!/usr/bin/env bash
# Long reliability runs on the substitute host: the soak for FRAMES frames
# (default 4000, split over its four configurations) from SEED, the long fault
# sweep (each of the first 32 uses of every host call and 8 more spread over
# the rest, each of the first 128 plug-in allocations and 32 more) and the
# panel rebuild driver for 20000 random meshes. Each program's summary line
# (BW-SOAK, BW-SWEEP, BW-FUZZ) is kept in build/soak-long/summary.txt.
#   scripts/soak-long.sh [FRAMES] [SEED]
#   BW_SOAK_PRESET=linux32-asan scripts/soak-long.sh 1000   (ASan+UBSan)
#   BW_SOAK_BINARY=dll scripts/soak-long.sh                 (the product DLL)
#
# The game-hour soak: 108,000 frames (an hour at 30 frames a second) with up
# to 200 cars and pile-ups, a progress line every 1,000 frames of each
# configuration, its summary in build/soak-hour/summary.txt.
#   scripts/soak-long.sh --hour [SEED]
#   BW_SOAK_BINARY=dll scripts/soak-long.sh --hour          (on the product DLL)
#
# The 32-bit programs run natively wherever the machine can run them, as the
# tests do; qemu-i386-static stands in only where it cannot (the build's own
# probe, cmake/Emulator.cmake, decides), and is about ten times slower.
# BW_SOAK_BINARY=dll builds the win32 preset first and plays the product DLL
# through the Windows loader (the plain linux32 preset only).
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

if [ "${BW_SOAK_BINARY:-}" = dll ]; then
  [ "$preset" = linux32 ] || { echo "soak-long.sh: the DLL plays on the linux32 preset only, not $preset" >&2; exit 2; }
  cmake --preset win32 >/dev/null
  cmake --build --preset win32 -j "$jobs"
fi
cmake --preset "$preset" -B "$build" >/dev/null
cmake --build "$build" -j "$jobs" --target soak_test fault_sweep panel_rebuild_fuzz

# The emulator, only when the build found that this machine needs one.
emulator=()
if grep -q '^BW_EMULATED:INTERNAL=ON$' "$build/CMakeCache.txt"; then
  IFS=';' read -ra emulator < <(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:STRING=//p' "$build/CMakeCache.txt")
fi
run() { "${emulator[@]}" "$@"; }
echo "=== 32-bit programs run ${emulator[*]:-natively}; plug-in: ${BW_SOAK_BINARY:-so}"
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
