#!/usr/bin/env bash
# The two access violations under Wine (inside the frame detour and inside
# the mesh work): the game goes down with them after the DLL's report, and
# scripts/symbolize.sh turns each report into the function, file and line.
# usage: symbolized_reports.sh WINE_RUN PREFIX PROGRAM DLL SYMBOLIZE WORK_DIR
set -euo pipefail
wine_run=$1 prefix=$2 program=$3 dll=$4 symbolize=$5 work=$6
rm -rf "$work" && mkdir -p "$work"
BW_KEEP_FAULT_LOGS="Z:$work" bash "$wine_run" "$prefix" "$program" \
  --gtest_filter='WineFault.AccessViolation*'
status=0
for expected in "AccessViolationInsideTheFrameDetour:hit at src/orchestration/hit_processing.cpp:" \
                "AccessViolationInMeshWork:localDent at src/mesh/deform_atomic.cpp:"; do
  test=${expected%%:*} function=${expected#*:}
  out=$(bash "$symbolize" "$work/$test.log" "$dll" 2>&1) || { echo "$out"; status=1; continue; }
  if ! grep -q "the symbols belong to it" <<<"$out" ||
     ! grep -A20 "EXCEPTION 1:" <<<"$out" | grep -qF "$function"; then
    echo "$test: the report does not name $function:" >&2
    echo "$out" >&2
    status=1
  fi
done
exit $status
