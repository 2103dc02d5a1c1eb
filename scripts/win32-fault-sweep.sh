#!/usr/bin/env bash
# The Windows fault sweep: the product DLL, loaded into the substitute host
# through the Windows model, plays the fault sweep's scripted session once per
# Win32 and C runtime import and use, with that one use failing as Windows
# fails it: every use of an import used at most 48 times in the session; of
# the long tails (the region queries, the allocations) the first 24 uses, the
# last and 23 more spread over the rest. Calls Windows never fails (memcpy,
# GetCurrentThreadId, critical sections, ...) are named, not swept. A game
# thread waits inside a hooked prologue. Each session is judged against a
# clean one: crashes (died, let an exception out, broke an invariant), hangs
# (no end in 120 s, or the game thread left held or inside overwritten
# bytes), leaks (a geometry or a kernel
# handle outlived the session) and silent losses (the log lost or changed a
# line, and no new line says what failed). The last line of the output, also
# kept in build/win32-fault-sweep/summary.txt, reads
#   N sessions, C crashes, H hangs, L leaks, S silent losses
# and the script fails on any crash, hang or leak.
#   scripts/win32-fault-sweep.sh              the sweep (under a minute natively,
#                                             about 5 under the emulator)
#   scripts/win32-fault-sweep.sh IMPORT       every use of one import
#   scripts/win32-fault-sweep.sh IMPORT:USE   one session, with its log
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
out=build/win32-fault-sweep
mkdir -p "$out"

cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
cmake --preset linux32 >/dev/null
cmake --build --preset linux32 -j "$jobs" --target win32_fault_sweep

# The emulator, only when the build found that this machine needs one (about
# ten times slower).
emulator=()
if grep -q '^BW_EMULATED:INTERNAL=ON$' build/linux32/CMakeCache.txt; then
  IFS=';' read -ra emulator < <(sed -n 's/^CMAKE_CROSSCOMPILING_EMULATOR:STRING=//p' build/linux32/CMakeCache.txt)
fi

case "${1:-}" in
  "") ;;
  *:*) export BW_WIN32_SWEEP_ONLY=$1 ;;
  *) export BW_WIN32_SWEEP_IMPORT=$1 ;;
esac
status=0
"${emulator[@]}" build/linux32/tests/soak/win32_fault_sweep | tee "$out/sweep.txt" || status=1
tail -n 1 "$out/sweep.txt" >"$out/summary.txt"
exit $status
