#!/usr/bin/env bash
# Builds all presets and runs every test: the product DLL, download and
# symbols checks, the whole plug-in on 32-bit Linux (plain and ASan+UBSan),
# the core on x86-64 (plain and ASan+UBSan), the crash lab's report (plain
# x86-64), and a second product build that must give the same bytes. The
# 32-bit builds come before the native one, whose crash lab test plays a
# scenario with their runner and plug-in.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh all
jobs=$(nproc)
status=0
for preset in win32 linux32 linux32-asan native native-asan; do
  echo "=== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" || status=1
done
# The product once more in another folder: the same DLL, symbols and zip.
echo "=== reproducible product"
bash scripts/check-reproducible.sh "$jobs" || status=1
# The core again under clang, then each libFuzzer target for 10 s (a test
# each, labelled fuzz); the seeded drivers ran with the linux32 tests.
echo "=== native-fuzz"
cmake --preset native-fuzz >/dev/null
cmake --build --preset native-fuzz -j "$jobs"
ctest --preset native-fuzz -j 2 || status=1
exit $status
