#!/usr/bin/env bash
# Installs, from Debian's archive, everything the builds need. Idempotent.
#   install-deps.sh product   the product build only
#   install-deps.sh all       every build and its tests
set -euo pipefail
what=${1:-all}
packages=(cmake ninja-build g++ g++-mingw-w64-i686 binutils-mingw-w64-i686)
if [ "$what" = all ]; then
  packages+=(g++-multilib googletest libgtest-dev libbenchmark-dev qemu-user-static binutils
             clang libclang-rt-14-dev libassimp-dev)
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
# The real-car test set (torcs-data's two car meshes), cached outside the
# repository; the native build converts it for the 32-bit real-car test.
if [ "$what" = all ]; then
  bash "$(dirname "$0")/fetch-real-cars.sh"
fi
