#!/usr/bin/env bash
# The demo scenario, played by the real runner with the built plug-in: a
# complete report whose summary shows the dents, the folded bonnet and the
# broken rear light, whose models validate, whose log shows the 1.0
# executable's geometry layout found and whose viewer shows every mesh; the
# product DLL draws the same pictures.
# Fails when the 32-bit runner and plug-in are not built: test-all builds them first.
# usage: demo_end_to_end.sh BWLAB SOURCE_DIR WORK_DIR
set -euo pipefail
bwlab=$1 source=$2 work=$3
runner=${BWLAB_RUNNER:-$source/build/linux32/tools/lab/runner/bwlab-run}
plugin=${BWLAB_PLUGIN_SO:-$source/build/linux32/src/bucklewright.so}
if [ ! -x "$runner" ] || [ ! -f "$plugin" ]; then
  echo "missing: build the linux32 preset first ($runner, $plugin)" >&2
  exit 1
fi
rm -rf "$work" && mkdir -p "$work"
"$bwlab" "$source/tools/lab/scenarios/demo.scn" --so --out "$work/demo"
export NODE_PATH=$source/tools/lab/viewer/node_modules
meshes=$(node -e '
  const s = require(process.argv[1]);
  const fail = (why) => { console.error(`demo summary: ${why}`); process.exit(1); };
  if (!(s.dentedMeshes > 0 && s.displacedVertices > 0 && s.largestDisplacement.metres > 0.01)) fail("no dents");
  if (!s.foldedPanels.some((p) => p.car === "player" && /bonnet/.test(p.frame) && p.lift > 0)) fail("no folded bonnet");
  if (!s.brokenLights.some((l) => l.car === "player")) fail("no broken light");
  if (s.pictures.length < 10) fail(`${s.pictures.length} pictures`);
  console.log(s.meshes.length);
' "$work/demo/summary.json")
node "$source/tests/lab/validate_glb.cjs" "$work/demo"
# The substitute game lays out its geometries as the 1.0 executable does.
probe='Geometry ABI: validated morphTarget offset=0x68; CPU buffer guard active.'
tr -d '\r' < "$work/demo/bucklewright.log" | grep -qxF "$probe" || { echo "demo log: no '$probe'" >&2; exit 1; }
node "$source/tests/lab/viewer_test.cjs" "$work/demo" "$meshes"

# The product DLL, where the win32 build has made it, through the runner's
# Windows loader: the same pictures as the shared library's.
dll=${BWLAB_PLUGIN_DLL:-$source/build/win32/src/bucklewright.asi}
if [ -f "$dll" ]; then
  BWLAB_PLUGIN_DLL=$dll "$bwlab" "$source/tools/lab/scenarios/demo.scn" --out "$work/demo-dll"
  grep -q '"plugin": "bucklewright.asi"' "$work/demo-dll/summary.json"
  for picture in "$work"/demo/pictures/*.png; do
    cmp "$picture" "$work/demo-dll/pictures/$(basename "$picture")"
  done
fi
