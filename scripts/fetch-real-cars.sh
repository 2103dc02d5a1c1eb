#!/usr/bin/env bash
# Fetches the real-car test set from Debian's archive: the two car meshes of
# torcs-data and the package's copyright file, extracted into a cache outside
# the repository (default ~/.cache/bucklewright/torcs; BW_CACHE moves it).
# Nothing else is downloaded. Idempotent: a filled cache is left as it is.
#   fetch-real-cars.sh [CACHE]
set -euo pipefail
cache=${1:-${BW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/bucklewright}}/torcs
files=(usr/share/games/torcs/cars/p406/p406.acc
       usr/share/games/torcs/cars/car1-trb1/car1-trb1.acc
       usr/share/games/torcs/cars/car1-trb1/readme.txt
       usr/share/doc/torcs-data/copyright)
# The part maps fit these meshes; another version of them is refused.
sums="c6e39cf0cd2e404406cbe3027d236e67ea951dd96e8ed5b5f785d880fa45f99b  usr/share/games/torcs/cars/p406/p406.acc
c88df382eaf78a95f23b31ee5fc6f5a144c59a16591eeaafba0b39f25212b262  usr/share/games/torcs/cars/car1-trb1/car1-trb1.acc"
missing=0
for f in "${files[@]}"; do [ -f "$cache/$f" ] || missing=1; done
if [ $missing = 0 ]; then
  echo "real cars: cached in $cache"
  exit 0
fi
mkdir -p "$cache"
work=$(mktemp -d "$cache/fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
# apt drops its privileges to _apt for downloads; let it write here.
chmod 755 "$work"
if id _apt >/dev/null 2>&1; then chown _apt "$work"; fi
# A machine whose package lists were never read needs them first.
(cd "$work" && { apt-get download -q torcs-data >/dev/null 2>&1 ||
                 { apt-get update -qq && apt-get download -q torcs-data >/dev/null; }; })
deb=$(ls "$work"/torcs-data_*.deb)
mkdir "$work/x"
dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$work/x" "${files[@]/#/./}"
(cd "$work/x" && echo "$sums" | sha256sum -c --quiet -)
for f in "${files[@]}"; do
  mkdir -p "$(dirname "$cache/$f")"
  mv "$work/x/$f" "$cache/$f"
done
echo "real cars: fetched $(basename "$deb") into $cache"
