#!/usr/bin/env bash
# Fetches the real-car test set from Debian's archive: the two car meshes of
# torcs-data, the images they are painted with, the licences that cover them
# (the package's copyright file and the sports car's readme), extracted into a
# cache outside the repository (default ~/.cache/bucklewright/torcs; BW_CACHE
# moves it). The images are SGI .rgb files, which the importer's image reader
# does not read: each is converted to the PNG of the same name beside it with
# netpbm's sgitopnm and pnmtopng (Debian's netpbm package, which
# install-deps.sh installs). Nothing else is downloaded. Idempotent: a filled
# cache is left as it is.
#   fetch-real-cars.sh [CACHE]
set -euo pipefail
cache=${1:-${BW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/bucklewright}}/torcs
cars=usr/share/games/torcs/cars
files=($cars/p406/p406.acc
       $cars/p406/p406.rgb
       $cars/car1-trb1/car1-trb1.acc
       $cars/car1-trb1/car1-trb1.rgb
       $cars/car1-trb1/readme.txt
       usr/share/doc/torcs-data/copyright)
images=($cars/p406/p406.rgb $cars/car1-trb1/car1-trb1.rgb)
# The part maps fit these meshes; another version of them is refused.
sums="c6e39cf0cd2e404406cbe3027d236e67ea951dd96e8ed5b5f785d880fa45f99b  $cars/p406/p406.acc
bb94674b47f538a32f581b93210856c764f73260c19540db380621bc89197311  $cars/p406/p406.rgb
c88df382eaf78a95f23b31ee5fc6f5a144c59a16591eeaafba0b39f25212b262  $cars/car1-trb1/car1-trb1.acc
3f3acef259ae655baf35c621a36837839eb9307dbc6cfedd8f406f0be0ca6174  $cars/car1-trb1/car1-trb1.rgb"
missing=0
for f in "${files[@]}" "${images[@]/%.rgb/.png}"; do [ -f "$cache/$f" ] || missing=1; done
if [ $missing = 0 ]; then
  echo "real cars: cached in $cache"
  exit 0
fi
for tool in sgitopnm pnmtopng; do
  if ! command -v $tool >/dev/null 2>&1; then
    echo "fetch-real-cars.sh: $tool is missing: apt-get install netpbm (or bash scripts/install-deps.sh lab)" >&2
    exit 1
  fi
done
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
# Colour only: the fourth channel just marks the image's unused area.
for f in "${images[@]}"; do
  sgitopnm "$work/x/$f" 2>/dev/null | pnmtopng -quiet >"$work/x/${f%.rgb}.png"
done
for f in "${files[@]}" "${images[@]/%.rgb/.png}"; do
  mkdir -p "$(dirname "$cache/$f")"
  mv "$work/x/$f" "$cache/$f"
done
echo "real cars: fetched $(basename "$deb") into $cache"
