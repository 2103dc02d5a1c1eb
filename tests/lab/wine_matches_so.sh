#!/usr/bin/env bash
# Every built-in scenario played twice: with the shared library on the
# substitute host (--so) and with the product DLL inside the substitute game
# under Wine (--wine). The plug-in's log and every snapshot must be the same,
# byte for byte. Fails when the linux32 or win32 build, or Wine, is missing.
# usage: wine_matches_so.sh BWLAB SOURCE_DIR WORK_DIR
set -euo pipefail
bwlab=$1 source=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
status=0
while IFS= read -r scenario; do
  name=${scenario#"$source/tools/lab/scenarios/"}
  name=${name%.scn}
  out=$work/${name//\//.}
  "$bwlab" "$scenario" --so --out "$out-so" >/dev/null
  "$bwlab" "$scenario" --wine --out "$out-wine" >/dev/null
  if [ "$(ls "$out-so/snapshots")" != "$(ls "$out-wine/snapshots")" ]; then
    echo "$name: other snapshots under Wine" >&2
    status=1
  fi
  for f in bucklewright.log "$out-so"/snapshots/*.bwsnap; do
    f=${f#"$out-so/"}
    if ! cmp -s "$out-so/$f" "$out-wine/$f"; then
      echo "$name: $f differs between --so and --wine" >&2
      status=1
    fi
  done
  echo "$name: the same under Wine ($(ls "$out-so/snapshots" | wc -l) snapshots)"
done < <(find "$source/tools/lab/scenarios" -name '*.scn' | sort)
exit $status
