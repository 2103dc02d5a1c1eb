#!/usr/bin/env bash
# Plays the crash lab's demo on the two real cars (tools/lab/scenarios/real) with the
# shared library of the 32-bit build and copies each report's before/after
# overview to docs/crash-lab-<car>.png, the pictures beside the demo's in the
# README. Fetches the real-car set and builds what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh lab
bash scripts/fetch-real-cars.sh
cmake --preset linux32 >/dev/null
cmake --build --preset linux32 -j2 --target bwlab-run bucklewright_plugin bw_sample_ini
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target bwlab real_cars
mkdir -p docs
for car in p406 car1-trb1; do
  build/native/tools/lab/cli/bwlab "tools/lab/scenarios/real/$car.scn" --so --out "lab-reports/real-$car"
  cp "lab-reports/real-$car/pictures/overview.png" "docs/crash-lab-$car.png"
  echo "Crash lab report of $car: $(pwd)/lab-reports/real-$car/index.html"
done
