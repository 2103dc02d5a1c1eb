#!/usr/bin/env bash
# What the plug-in costs the game per frame, counted in instructions by
# callgrind: every built-in crash-lab scenario (and the real-car ones when
# the native build has converted the cars) played by the 32-bit runner on
# the shared library, at the settings the scenario gives (the defaults
# otherwise). Counted are the frame hook and the contact and damage detours,
# with the host calls the plug-in makes; not counted are the game's own
# processing and the POSIX region query, which reads /proc/self/maps where
# Windows has one system call (VirtualQuery). Per scenario it prints:
#   worst     the plug-in's instructions in its most expensive frame
#   first     ... in the first frame that copied a mesh (a first touch)
#   later     ... in the most expensive frame whose hits all landed on copies
#             made before ("-" when the scenario has none)
#   idle      ... in the most expensive frame without any contact or dent
#   queries   the region queries of the worst frame
#   hits      the hits the plug-in logged
#
#   scripts/frame-cost.sh [--before SO] [SCENARIO.scn ...]
#
# --before SO plays every scenario a second time with another build of the
# shared library (say, build/linux32/src/bucklewright.so of a checkout of
# main, built in a scratch folder), prints both figures side by side, and
# compares the two runs' snapshots: every mesh the game draws must be the
# same, byte for byte (meshes it does not draw are listed apart).
# Needs a machine that runs 32-bit programs natively (valgrind cannot run
# under the emulator). About a minute, plus the linux32 build.
set -euo pipefail
cd "$(dirname "$0")/.."

before=""
if [ "${1:-}" = "--before" ]; then
  [ $# -ge 2 ] || { echo "frame-cost.sh: --before needs a shared library" >&2; exit 2; }
  before=$(realpath "$2")
  shift 2
  [ -f "$before" ] || { echo "frame-cost.sh: $before: expected a shared library" >&2; exit 2; }
fi

bash scripts/install-deps.sh lab
if ! command -v valgrind >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends valgrind
fi
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
cmake --preset linux32 >/dev/null
cmake --build --preset linux32 -j "$jobs" --target bwlab-run bucklewright_plugin
runner=build/linux32/tools/lab/runner/bwlab-run
after=$(realpath build/linux32/src/bucklewright.so)

if [ $# -gt 0 ]; then
  scenarios=("$@")
else
  scenarios=(tools/lab/scenarios/*.scn)
  for s in tools/lab/scenarios/real/*.scn; do
    car=$(sed -n 's/^car [a-z0-9_-]* mesh \([^ ]*\).*/\1/p' "$s" | head -n 1)
    [ -n "$car" ] && [ -f "$(dirname "$s")/$car" ] && scenarios+=("$s")
  done
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One line per frame from callgrind's per-frame dumps: instructions without
# the region query, region queries, dented atomics, copies, contacts.
per_frame() {
  local dir=$1 n=1
  while [ -f "$dir/cg.$n" ]; do
    awk '
      /^totals:/ { total = $2 }
      /^summary:/ { if (total == "") total = $2 }
      /^cfn=/ { callee = substr($0, 5); next }
      /^calls=/ { split($1, a, "="); calls = a[2]; incall = 1; next }
      incall {
        if (callee ~ /^platform::queryRegion\(/) { queries += calls; queryCost += $2 }
        else if (callee ~ /^mesh::deformAtomic\(/) dented += calls
        else if (callee ~ /^mesh::(cloneGeometry|creaseVertexCount)\(/) copies += calls
        else if (callee ~ /^game::(pair|single)ContactDetour\(/) contacts += calls
        incall = 0
      }
      END { printf "%d %d %d %d %d\n", total - queryCost, queries, dented, copies, contacts }
    ' "$dir/cg.$n"
    n=$((n + 1))
  done
}

# Plays one scenario under callgrind with one plug-in; prints the figures.
measure() {
  local so=$1 scenario=$2 dir=$3
  mkdir -p "$dir/out"
  valgrind --tool=callgrind --collect-atstart=no --compress-strings=no --compress-pos=no \
    --toggle-collect='orchestration::frameHook()' --toggle-collect='sim::detail::processImpl()' \
    --toggle-collect='game::pairContactDetour(*' --toggle-collect='game::singleContactDetour(*' \
    --toggle-collect='game::componentDamageDetour(*' --toggle-collect='game::damageResetDetour(*' \
    --toggle-collect='sim::detail::pairContactImpl(*' --toggle-collect='sim::detail::singleContactImpl(*' \
    --toggle-collect='sim::detail::componentDamageImpl(*' --toggle-collect='sim::detail::damageResetImpl(*' \
    --dump-after='orchestration::frameHook()' --callgrind-out-file="$dir/cg" \
    "$runner" --scenario "$scenario" --out "$dir/out" --so "$so" >"$dir/valgrind.txt" 2>&1 ||
    { cat "$dir/valgrind.txt" >&2; echo "frame-cost.sh: $scenario failed" >&2; exit 1; }
  local hits
  hits=$(sed -n 's/^ *"hits": \([0-9]*\),/\1/p' "$dir/out/run.json")
  per_frame "$dir" | awk -v hits="$hits" '
    { cost[NR] = $1; q[NR] = $2; d[NR] = $3; c[NR] = $4; k[NR] = $5 }
    END {
      worst = 1; first = 0; later = -1; idle = 0
      for (i = 1; i <= NR; i++) {
        if (cost[i] > cost[worst]) worst = i
        if (c[i] > 0 && first == 0) first = i
        if (d[i] > 0 && c[i] == 0 && (later < 0 || cost[i] > cost[later])) later = i
        if (i > 1 && d[i] == 0 && c[i] == 0 && k[i] == 0 && cost[i] > idle) idle = cost[i]
      }
      f = "-"; l = "-"
      if (first) f = sprintf("%.2fM", cost[first] / 1e6)
      if (later > 0) l = sprintf("%.2fM", cost[later] / 1e6)
      printf "%.2fM %s %s %d %d %d\n", cost[worst] / 1e6, f, l, idle, q[worst], hits
    }'
}

# Every mesh the game draws in the two runs' snapshots, byte for byte.
compare() {
  node - "$1" "$2" <<'EOF'
const fs = require("fs"), path = require("path");
const [a, b] = process.argv.slice(2);
// The layout of tools/lab/snapshot.h ("BWSNAP02").
function read(file) {
  const buf = fs.readFileSync(file);
  if (buf.toString("latin1", 0, 8) !== "BWSNAP02") throw new Error(`${file}: not a BWSNAP02 snapshot`);
  let o = 8;
  const u32 = () => { const v = buf.readUInt32LE(o); o += 4; return v; };
  const str = () => { const n = u32(); const s = buf.toString("utf8", o, o + n); o += n; return s; };
  str(); u32();
  const meshes = [];
  for (let cars = u32(); cars > 0; cars--) {
    const car = str();
    o += 64;
    for (let m = u32(); m > 0; m--) {
      const frame = str();
      const start = o;
      o += 64;
      const hasNormals = buf[o + 2], hasPrelit = buf[o + 3], uvSets = buf[o + 4];
      const visible = buf[o + 1], hasSurface = buf[o + 5];
      o += 8;
      const v = u32(), t = u32(), mats = u32();
      o += 12 * v + (hasNormals ? 12 * v : 0) + (hasPrelit ? 4 * v : 0) + 8 * v * uvSets + 8 * t + 4 * mats;
      for (let m = 0; m < mats; m++) str(); // texture names
      if (hasSurface) o += 12;
      meshes.push({ name: `${car} ${frame}`, visible, bytes: buf.subarray(start, o) });
    }
  }
  return meshes;
}
// The last snapshot must draw the same; earlier ones may differ while work
// that a frame's budget carried is still to land.
const snapshots = JSON.parse(fs.readFileSync(path.join(a, "run.json"))).snapshots;
let drawn = 0, hidden = [], differ = [], earlier = [];
snapshots.forEach((snap, index) => {
  const last = index === snapshots.length - 1;
  const x = read(path.join(a, snap.file)), y = read(path.join(b, snap.file));
  if (x.length !== y.length) { (last ? differ : earlier).push(`${snap.label}: mesh counts`); return; }
  let waiting = 0;
  x.forEach((m, i) => {
    const same = m.name === y[i].name && m.bytes.equals(y[i].bytes);
    if (m.visible || y[i].visible) {
      if (last) { drawn++; if (!same) differ.push(`${snap.label}: ${m.name}`); }
      else if (!same) waiting++;
    } else if (!same && last) hidden.push(m.name);
  });
  if (waiting) earlier.push(`${snap.label}: ${waiting} drawn meshes still waiting`);
});
console.log(differ.length ? `DIFFERENT drawn meshes: ${differ.join(", ")}` :
            `last snapshot: all ${drawn} drawn meshes identical` +
            (earlier.length ? `; ${earlier.join(", ")}` : "") +
            (hidden.length ? `; not drawn and different: ${[...new Set(hidden)].join(", ")}` : ""));
process.exit(differ.length ? 1 : 0);
EOF
}

status=0
if [ -z "$before" ]; then
  printf '%-22s %9s %9s %9s %7s %8s %5s\n' scenario worst first later idle queries hits
else
  printf '%-22s %21s %21s %21s %15s %11s %9s\n' scenario "worst (before after)" \
    "first (before after)" "later (before after)" "idle" "queries" "hits"
fi
for scenario in "${scenarios[@]}"; do
  name=$(basename "$scenario" .scn)
  read -r worst first later idle queries hits < <(measure "$after" "$scenario" "$work/$name/after")
  if [ -z "$before" ]; then
    printf '%-22s %9s %9s %9s %7s %8s %5s\n' "$name" "$worst" "$first" "$later" "$idle" "$queries" "$hits"
    continue
  fi
  read -r bworst bfirst blater bidle bqueries bhits < <(measure "$before" "$scenario" "$work/$name/before")
  printf '%-22s %10s %10s %10s %10s %10s %10s %7s %7s %5s %5s %4s %4s\n' "$name" "$bworst" "$worst" \
    "$bfirst" "$first" "$blater" "$later" "$bidle" "$idle" "$bqueries" "$queries" "$bhits" "$hits"
  printf '%-22s ' "" && compare "$work/$name/before/out" "$work/$name/after/out" || status=1
done
exit $status
