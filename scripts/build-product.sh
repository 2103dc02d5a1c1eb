#!/usr/bin/env bash
# Builds the product into dist/: the player's download bucklewright-<version>.zip
# (bucklewright.asi, bucklewright.ini, readme.txt), the same DLL and settings
# file loose, and bucklewright.asi.debug, the DLL's symbols for
# scripts/symbolize.sh (kept by the developer, never shipped).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh product
cmake --preset win32
cmake --build --preset win32
rm -rf dist && mkdir -p dist
cp build/win32/bucklewright-*.zip build/win32/src/bucklewright.asi build/win32/src/bucklewright.asi.debug \
   build/win32/bucklewright.ini dist/
ls -l dist
