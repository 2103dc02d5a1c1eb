#!/usr/bin/env bash
# Every built-in scenario played twice: with the shared library on the
# substitute host and with the product DLL inside the substitute game under
# Wine. The plug-in's log and every snapshot must be the same, byte for byte.
# The demo goes through bwlab (--so, --wine) end to end; the others through
# the runners bwlab starts, without drawing the reports. Fails when the
# linux32 or win32 build, or Wine, is missing.
# usage: wine_matches_so.sh BWLAB SOURCE_DIR WORK_DIR
set -euo pipefail
bwlab=$1 source=$2 work=$3
build=$source/build
runner=${BWLAB_RUNNER:-$build/linux32/tools/lab/runner/bwlab-run}
plugin=${BWLAB_PLUGIN_SO:-$build/linux32/src/bucklewright.so}
settings=$build/linux32/bucklewright.ini
wine_runner=${BWLAB_WINE_RUNNER:-$build/win32/tools/lab/runner/bwlab-run.exe}
dll=${BWLAB_PLUGIN_DLL:-$build/win32/src/bucklewright.asi}
prefix=${BWLAB_WINE_PREFIX:-$build/win32/wine-prefix}
rm -rf "$work" && mkdir -p "$work"
status=0
while IFS= read -r scenario; do
  name=${scenario#"$source/tools/lab/scenarios/"}
  name=${name%.scn}
  out=$work/${name//\//.}
  if [ "$name" = demo ]; then
    "$bwlab" "$scenario" --so --out "$out-so" >/dev/null
    "$bwlab" "$scenario" --wine --out "$out-wine" >/dev/null
  else
    mkdir -p "$out-so" "$out-wine"
    "$runner" --scenario "$scenario" --settings "$settings" --out "$out-so" --so "$plugin"
    bash "$source/cmake/wine-run.sh" "$prefix" "$wine_runner" --scenario "$scenario" \
      --settings "$settings" --out "$out-wine" --dll "$dll"
  fi
  if [ "$(ls "$out-so/snapshots")" != "$(ls "$out-wine/snapshots")" ]; then
    echo "$name: other snapshots under Wine" >&2
    status=1
  fi
  for f in bucklewright.log "$out-so"/snapshots/*.bwsnap; do
    f=${f#"$out-so/"}
    if ! cmp -s "$out-so/$f" "$out-wine/$f"; then
      echo "$name: $f differs between the shared library and Wine" >&2
      status=1
    fi
  done
  echo "$name: the same under Wine ($(ls "$out-so/snapshots" | wc -l) snapshots)"
done < <(find "$source/tools/lab/scenarios" -name '*.scn' | sort)
exit $status
