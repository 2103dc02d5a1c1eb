#!/usr/bin/env bash
# Builds the product into dist/: the player's download bucklewright-<version>.zip
# (bucklewright.asi, bucklewright.ini, readme.txt), the same DLL and settings
# file loose, and bucklewright.asi.debug, the DLL's symbols for
# scripts/symbolize.sh (kept by the developer, never shipped). Only these
# files are replaced in dist/; anything else there is left alone.
# It then plays the crash lab's demo scenario with the built plug-in and ends
# with the path of its report.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh lab
cmake --preset win32
# The product alone: the DLL and its symbols, the settings file and the zip
# (the preset also builds the Windows test programs, which the tests build).
cmake --build --preset win32 --target bucklewright bw_sample_ini bw_download
mkdir -p dist
made=(build/win32/bucklewright-*.zip build/win32/src/bucklewright.asi build/win32/src/bucklewright.asi.debug
      build/win32/bucklewright.ini)
for file in "${made[@]}"; do
  # Copied to a fresh name beside and renamed: a link of the same name is
  # replaced, never written through; a folder of that name is refused.
  new=$(mktemp "dist/.$(basename "$file").XXXXXX")
  cp "$file" "$new" && chmod 644 "$new"
  mv -fT "$new" "dist/$(basename "$file")" || { rm -f "$new"; exit 1; }
done
(cd dist && ls -l "${made[@]##*/}")

# The crash lab: the scenario runner with its Windows loader (32-bit) and the
# report front end (native) play the demo with the DLL just built.
jobs=$(nproc)
cmake --preset linux32 >/dev/null
cmake --build --preset linux32 -j "$jobs" --target bwlab-run bw_sample_ini
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs" --target bwlab
BWLAB_PLUGIN_DLL="$(pwd)/dist/bucklewright.asi" build/native/tools/lab/cli/bwlab tools/lab/scenarios/demo.scn --out lab-reports/demo
echo "Crash lab demo report: $(pwd)/lab-reports/demo/index.html"
