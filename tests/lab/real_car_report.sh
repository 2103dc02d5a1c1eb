#!/usr/bin/env bash
# The demo on a real car, from its car file through the runner to the report:
# the saloon of the real-car set, whose summary shows dents and the folded
# bonnet. Needs the linux32 runner and plug-in, as the demo's test does.
# usage: real_car_report.sh BWLAB SOURCE_DIR WORK_DIR
set -euo pipefail
bwlab=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
"$bwlab" "$source/tools/lab/scenarios/real/p406.scn" --so --out "$work/p406"
node -e '
  const s = require(process.argv[1]);
  const fail = (why) => { console.error(`real car summary: ${why}`); process.exit(1); };
  if (!(s.dentedMeshes > 0 && s.largestDisplacement.metres > 0.01)) fail("no dents");
  if (!s.foldedPanels.some((p) => /bonnet/.test(p.frame) && p.lift > 0.1)) fail("no folded bonnet");
  if (!s.cars[0].rearLight || s.cars[0].rearLight[2] !== 0.78) fail("not the car file'\''s rear light");
' "$work/p406/summary.json"
