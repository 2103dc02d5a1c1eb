#!/usr/bin/env bash
# Draws the README's pictures again: plays the crash lab's demo and the demo
# on the two real cars (tools/lab/scenarios/real) with the shared library of
# the 32-bit build, and copies each report's before/after overview to
# docs/crash-lab-demo.png and docs/crash-lab-<car>.png. The only command that
# writes into docs/; fetches the real-car set and builds what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh lab
bash scripts/fetch-real-cars.sh
jobs=$(nproc)
cmake --preset linux32 >/dev/null
cmake --build --preset linux32 -j "$jobs" --target bwlab-run bucklewright_plugin bw_sample_ini
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target bwlab real_cars
mkdir -p docs
build/native/tools/lab/cli/bwlab tools/lab/scenarios/demo.scn --so --out lab-reports/demo
cp lab-reports/demo/pictures/overview.png docs/crash-lab-demo.png
for car in p406 car1-trb1; do
  build/native/tools/lab/cli/bwlab "tools/lab/scenarios/real/$car.scn" --so --out "lab-reports/real-$car"
  cp "lab-reports/real-$car/pictures/overview.png" "docs/crash-lab-$car.png"
done
echo "Pictures written to $(pwd)/docs; their reports are in $(pwd)/lab-reports"
