#!/usr/bin/env bash
# Builds the product twice, in two folders of different names and depths (this
# tree's own build/win32, brought up to date, and a copy of its sources in a
# scratch folder), and compares the DLL, its symbols file and the download byte
# for byte; also checks that neither folder's path is in them.
#   check-reproducible.sh [JOBS]   (default: the number of processors)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-$(nproc)}
started=$(date +%s)

scratch=$(mktemp -d /tmp/bw-reproducible.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
first=$PWD
second=$scratch/second/build-from-here
version=$(sed -n 's/^project(bucklewright VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
outputs=(src/bucklewright.asi src/bucklewright.asi.debug "bucklewright-$version.zip")

# The working tree's files as git sees them (committed or not, never ignored).
mkdir -p "$second"
git ls-files -z --cached --others --exclude-standard >"$scratch/files"
tar --null --ignore-failed-read -T "$scratch/files" -cf - 2>/dev/null | tar -xf - -C "$second"
for tree in "$first" "$second"; do
  echo "building in $tree"
  # The product only: the preset's Windows test programs never ship.
  (cd "$tree" && cmake --preset win32 >/dev/null &&
    cmake --build --preset win32 -j "$jobs" --target bw_download >/dev/null)
done

status=0
for output in "${outputs[@]}"; do
  if cmp -s "$first/build/win32/$output" "$second/build/win32/$output"; then
    echo "same: $output ($(wc -c <"$first/build/win32/$output") bytes)"
  else
    echo "DIFFERENT: $output"
    cmp "$first/build/win32/$output" "$second/build/win32/$output" | head -n 1 || true
    status=1
  fi
  if grep -qaF -e "$scratch" -e "$first" "$first/build/win32/$output" "$second/build/win32/$output"; then
    echo "BUILD PATH in $output"
    status=1
  fi
done
echo "two builds took $(($(date +%s) - started)) s"
exit $status
