#!/usr/bin/env bash
# Builds the product, bucklewright.asi and its sample settings file, into dist/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh product
cmake --preset win32
cmake --build --preset win32
rm -rf dist && mkdir -p dist
cp build/win32/src/bucklewright.asi dist/
if [ -f build/win32/bucklewright.ini ]; then cp build/win32/bucklewright.ini dist/; fi
ls -l dist
