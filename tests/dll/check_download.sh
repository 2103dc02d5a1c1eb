#!/usr/bin/env bash
# Checks the player's download: the zip holds exactly the DLL, the sample
# settings file and the readme, as built; the readme is CR LF text with one
# line per setting at its default and only log lines the plug-in writes; the
# DLL's version resource carries the project's version and names.
# Usage: check_download.sh ZIP DLL INI README WINDRES VERSION DESCRIPTION SOURCE_DIR
set -euo pipefail
zip=$(realpath "$1") dll=$2 ini=$3 readme=$4 windres=$5 version=$6 description=$7 source_dir=$8
fail=0
problem() { echo "$1"; fail=1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
entries=$(cd "$work" && cmake -E tar tf "$zip" | tr '\n' ' ')
[ "$entries" = "bucklewright.asi bucklewright.ini readme.txt " ] || problem "zip entries: $entries"
(cd "$work" && cmake -E tar xf "$zip")
for file in "$dll" "$ini" "$readme"; do
  cmp -s "$file" "$work/$(basename "$file")" || problem "zip differs from the build: $(basename "$file")"
done

# CR LF on every line, plain printable ASCII.
lines=$(grep -c '' "$readme")
[ "$(grep -c $'\r$' "$readme")" -eq "$lines" ] || problem "readme: lines without CR LF"
! LC_ALL=C grep -q $'[^\r -~]' "$readme" || problem "readme: bytes other than printable ASCII"

# "section key default", one line per setting, from the sample settings file
# and from the readme's "  Key (default D): ..." lines under their [Section].
tr -d '\r' <"$ini" | awk -F= '/^\[/ { s = substr($0, 2, length($0) - 2) } /^[A-Za-z]+=/ { print s, $1, $2 }' \
  >"$work/ini.keys"
tr -d '\r' <"$readme" | sed -n 's/^\[\([A-Za-z]*\)\]$/\1/p; s/^  \([A-Za-z]*\) (default \([^)]*\)): .*/  \1 \2/p' |
  awk '/^  / { print s, $1, $2; next } { s = $0 }' >"$work/readme.keys"
[ -s "$work/ini.keys" ] || problem "no settings found in $ini"
diff "$work/ini.keys" "$work/readme.keys" >&2 || problem "readme settings differ from the sample settings file"

# Lines indented by four spaces quote the log; each must be one the plug-in writes.
while IFS= read -r quoted; do
  text=${quoted#    }
  text=${text#"Bucklewright $version"} # the banner's version comes from the build
  grep -rqF -- "$text\"" "$source_dir/src" || problem "readme quotes a log line the plug-in never writes: $text"
done < <(tr -d '\r' <"$readme" | grep '^    [^ ]')

resource=$("$windres" -J coff -O rc -i "$dll")
IFS=. read -r major minor patch <<<"$version"
for want in "FILEVERSION $major, $minor, $patch, 0" "PRODUCTVERSION $major, $minor, $patch, 0" \
  "VALUE \"ProductName\", \"Bucklewright\"" "VALUE \"ProductVersion\", \"$version\"" \
  "VALUE \"FileVersion\", \"$version\"" "VALUE \"FileDescription\", \"$description\"" \
  "VALUE \"OriginalFilename\", \"bucklewright.asi\""; do
  grep -qF -- "$want" <<<"$resource" || problem "version resource lacks: $want"
done

if [ "$fail" -ne 0 ]; then echo "download check failed"; exit 1; fi
echo "download check passed: $(wc -c <"$zip") bytes, $(wc -l <"$work/ini.keys") settings in the readme"
