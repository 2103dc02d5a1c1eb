#!/usr/bin/env bash
# Installs, from Debian's archive, everything the builds need. Idempotent.
#   install-deps.sh product   the product build only
#   install-deps.sh lab       the product and the crash lab (its demo run)
#   install-deps.sh all       every build and its tests
set -euo pipefail
what=${1:-all}
packages=(cmake ninja-build g++ g++-mingw-w64-i686 binutils-mingw-w64-i686 zip)
if [ "$what" = lab ] || [ "$what" = all ]; then
  # the 32-bit runner and the report: off-screen drawing, PNG, glTF
  packages+=(g++-multilib googletest libgtest-dev libbenchmark-dev qemu-user-static binutils
             libosmesa6-dev libstb-dev libtinygltf-dev nlohmann-json3-dev
             libassimp-dev netpbm)
  # The viewer's JavaScript comes from the npm registry; Debian's node and
  # npm serve unless the machine already has a node with its own npm.
  command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
fi
if [ "$what" = all ]; then
  packages+=(clang libclang-rt-14-dev chromium-headless-shell)
  # Wine runs the substitute game as a Windows program with the product DLL
  # (the win32 tests); its 32-bit half needs the i386 architecture.
  packages+=(wine wine32:i386)
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# The crash lab viewer's library (three.js), and for the tests its test
# tools, as locked.
viewer="$(dirname "$0")/../tools/lab/viewer"
if [ "$what" = all ]; then
  (cd "$viewer" && npm ci --no-audit --no-fund --loglevel=error)
elif [ "$what" = lab ] && [ ! -d "$viewer/node_modules/three" ]; then
  (cd "$viewer" && npm ci --omit=dev --no-audit --no-fund --loglevel=error)
fi
# The real-car test set (torcs-data's two car meshes), cached outside the
# repository; the native build converts it for the 32-bit real-car test.
if [ "$what" = all ]; then
  bash "$(dirname "$0")/fetch-real-cars.sh"
fi
