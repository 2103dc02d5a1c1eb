#!/usr/bin/env bash
# Builds all presets and runs every test: the product DLL, download and
# symbols checks, the whole plug-in on 32-bit Linux (plain and ASan+UBSan),
# the core on x86-64 (plain and ASan+UBSan), the crash lab's report (plain
# x86-64), and a second product build that must give the same bytes.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh all
jobs=$(nproc)
status=0
# Every preset is built before any is tested: the 32-bit lab tests read the
# cars the native build converts, and the native lab tests play scenarios with
# the 32-bit runner and plug-in.
presets=(win32 linux32 linux32-asan native native-asan)
for preset in "${presets[@]}"; do
  echo "=== build $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
for preset in "${presets[@]}"; do
  echo "=== test $preset"
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
