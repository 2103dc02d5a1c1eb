#!/usr/bin/env bash
# The reliability figures: frames, collisions, pile-ups and cars soaked,
# faults injected, fuzz executions, invariant violations and leaks (both must be 0).
#   scripts/reliability-report.sh           runs scripts/soak-long.sh first
#   scripts/reliability-report.sh --short   the CI-length runs (linux32 build)
#   scripts/reliability-report.sh --hour    runs the game-hour soak (scripts/soak-long.sh --hour)
#   scripts/reliability-report.sh --read [DIR]   only reads the last summaries
#                                           (DIR: build/soak-long, or build/soak-hour)
# Fuzz executions are read from build/fuzz-long.out when present, written by
#   scripts/fuzz-long.sh | tee build/fuzz-long.out
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-long}
out=build/soak-long
case "$mode" in
  --short)
    out=build/soak-short
    mkdir -p "$out"
    build=$out/linux32
    cmake --preset linux32 -B "$build" >/dev/null
    cmake --build "$build" -j 2 --target soak_test fault_sweep panel_rebuild_fuzz
    # The emulator only where the build found that this machine needs one.
    emulator=()
    if grep -q '^BW_EMULATED:INTERNAL=ON$' "$build/CMakeCache.txt"; then
      IFS=';' read -ra emulator < <(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:STRING=//p' "$build/CMakeCache.txt")
    fi
    run() { "${emulator[@]}" "$@"; }
    { run "$build/tests/soak/soak_test" || true
      run "$build/tests/soak/fault_sweep" || true
      run "$build/tests/soak/panel_rebuild_fuzz" || true; } | grep '^BW-' >"$out/summary.txt"
    ;;
  --hour)
    out=build/soak-hour
    bash scripts/soak-long.sh --hour || true
    ;;
  --read) out=${2:-$out} ;;
  *) bash scripts/soak-long.sh || true ;;
esac

summary=$out/summary.txt
[ -f "$summary" ] || { echo "no summary in $summary: run without --read first"; exit 1; }
field() { # field LINE-TAG NAME: the sum of NAME=<n> over lines starting with LINE-TAG
  awk -v tag="$1" -v key="$2" '$1 == tag { for (i = 2; i <= NF; ++i) { split($i, kv, "="); if (kv[1] == key) s += kv[2] } }
    END { printf "%d", s }' "$summary"
}
frames=$(field BW-SOAK frames)
collisions=$(field BW-SOAK collisions)
pileUps=$(field BW-SOAK pileUps)
cars=$(field BW-SOAK cars)
carsAdded=$(field BW-SOAK carsAdded)
sweepRuns=$(field BW-SWEEP runs)
faults=$(field BW-SWEEP faults)
panel=$(field BW-FUZZ executions)
violations=$(( $(field BW-SOAK violations) + $(field BW-SWEEP violations) ))
leaks=$(( $(field BW-SOAK leaks) + $(field BW-SWEEP leaks) ))
exceptions=$(( $(field BW-SOAK exceptions) + $(field BW-SWEEP exceptions) ))
fuzz=0
seeded=0
if [ -f build/fuzz-long.out ]; then
  fuzz=$(awk -F': *' '/^[^:]*executions: *[0-9]+$/ { s += $NF } END { printf "%d", s }' build/fuzz-long.out)
  seeded=$(awk -F': *' '/^seeded driver rounds in all: *[0-9]+$/ { s += $NF } END { printf "%d", s }' build/fuzz-long.out)
fi
echo "Reliability report ($mode)"
echo "  frames soaked:          $frames"
echo "  collisions soaked:      $collisions ($pileUps pile-ups among them)"
echo "  cars:                   up to $cars at once, $carsAdded added in all"
echo "  faults injected:        $faults (in $sweepRuns sweep sessions)"
echo "  fuzz executions:        $((fuzz + seeded + panel)) (libFuzzer $fuzz; seeded settings and guard rounds $seeded; panel rebuild $panel$([ -f build/fuzz-long.out ] || echo '; no build/fuzz-long.out'))"
echo "  invariant violations:   $violations (must be 0)"
echo "  exceptions to the host: $exceptions (must be 0)"
echo "  leaks:                  $leaks (must be 0)"
[ "$violations" -eq 0 ] && [ "$leaks" -eq 0 ] && [ "$exceptions" -eq 0 ]
