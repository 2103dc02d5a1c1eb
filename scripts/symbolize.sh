#!/usr/bin/env bash
# Turns every EXCEPTION line of a player's bucklewright.log into the function,
# source file and line of its offset, using the symbols file that the win32
# build keeps beside the DLL.
#
#   symbolize.sh [--symbols FILE] LOG [DLL]
#
# FILE is the symbols file (default: DLL.debug when it lies beside the DLL,
# else build/win32/src/bucklewright.asi.debug). DLL is the bucklewright.asi
# that wrote the log; without it the module path that the log names is used
# when that file exists on this machine. The symbols are used only when their
# build id is the DLL's.
#
# Exit status: 0 every line of the DLL symbolized with its own symbols;
# 1 the symbols belong to another build (nothing symbolized); 2 bad usage, a
# missing, unreadable or damaged file, or nothing that could be symbolized;
# 3 symbolized, but with no DLL to prove that the symbols are its own. Every
# refusal says why in one line on stderr.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
symbols=
tools=i686-w64-mingw32

usage() {
  echo "usage: symbolize.sh [--symbols FILE] LOG [DLL]" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
  --symbols) [ $# -ge 2 ] || usage; symbols=$2; shift 2 ;;
  -h | --help) usage ;;
  --) shift; break ;;
  -*) usage ;;
  *) break ;;
  esac
done
[ $# -ge 1 ] && [ $# -le 2 ] || usage
log=$1
dll=${2:-}

fail() {
  echo "symbolize.sh: $1" >&2
  exit 2
}
for tool in objdump addr2line c++filt; do
  command -v "$tools-$tool" >/dev/null || fail "$tools-$tool is not installed (Debian: binutils-mingw-w64-i686)"
done
# A plain readable file (a folder or a FIFO is refused before it is read).
need_file() { # what path [hint]
  [ -e "$2" ] || fail "cannot find the $1: $2${3:+ ($3)}"
  [ ! -d "$2" ] || fail "the $1 is a folder, not a file: $2"
  [ -f "$2" ] || fail "the $1 is not a plain file: $2"
  [ -r "$2" ] || fail "cannot read the $1: $2"
}
need_file log "$log"
if [ -z "$symbols" ]; then
  symbols=$repo/build/win32/src/bucklewright.asi.debug
  [ -n "$dll" ] && [ -f "$dll.debug" ] && symbols=$dll.debug
fi
need_file "symbols file" "$symbols" "build the win32 preset of the DLL's commit"
[ -z "$dll" ] || need_file DLL "$dll"

# The PE headers of a file, or nothing when it is not a whole PE file.
headers() { "$tools-objdump" -p "$1" 2>/dev/null || true; }
# The build id: the CodeView record the linker writes from a hash of the
# image; stripping the DLL and splitting off its symbols both keep it.
build_id() { awk '/\(format RSDS signature [0-9a-f]+ / && id == "" { id = $4 } END { print id }'; }

symbols_headers=$(headers "$symbols")
[ -n "$symbols_headers" ] || fail "the symbols file is not a PE file (damaged, truncated or another kind): $symbols"
symbols_id=$(build_id <<<"$symbols_headers")
[ -n "$symbols_id" ] || fail "no build id in the symbols file: $symbols"
image_base=$(awk '$1 == "ImageBase" { print $2 }' <<<"$symbols_headers")
[ -n "$image_base" ] || fail "no image base in the symbols file: $symbols"

# (size vma) in hex of the code sections, one pair a line.
code_sections=$("$tools-objdump" -h "$symbols" 2>/dev/null | awk '/^ *[0-9]+ / { size = $3; vma = $4; next }
                                                                /CODE/ { print size, vma }' || true)
[ -n "$code_sections" ] || fail "no code section in the symbols file: $symbols"

# The EXCEPTION lines: "module=<path> offset=<8 hex digits> phase=<text> access=".
exception_re='^EXCEPTION code=([0-9A-Fa-f]+) address=[^ ]* module=(.*) offset=([0-9A-Fa-f]{8}) phase=(.*) access=[0-9]+ target='
mapfile -t reports < <(grep -a '^EXCEPTION' "$log" | tr -d '\r' || true)
[ ${#reports[@]} -gt 0 ] || fail "no EXCEPTION lines in $log: nothing to symbolize"

# The module named by the log, when no DLL is given and the file is here.
if [ -z "$dll" ]; then
  for line in "${reports[@]}"; do
    if [[ "$line" =~ $exception_re ]] && [ -f "${BASH_REMATCH[2]}" ]; then
      dll=${BASH_REMATCH[2]}
      break
    fi
  done
fi

echo "symbols: $symbols (build id $symbols_id)"
checked=0
if [ -n "$dll" ]; then
  dll_headers=$(headers "$dll")
  [ -n "$dll_headers" ] ||
    fail "the DLL is not a PE file (damaged, truncated or another kind): $dll; pass the player's bucklewright.asi as DLL"
  dll_id=$(build_id <<<"$dll_headers")
  if [ "$dll_id" != "$symbols_id" ]; then
    echo "MISMATCH: these symbols do not belong to $dll (its build id is ${dll_id:-missing});"
    echo "build the commit that DLL came from and pass its symbols with --symbols."
    echo "symbolize.sh: the symbols belong to another build than $dll" >&2
    exit 1
  fi
  echo "DLL: $dll (build id $dll_id): the symbols belong to it"
  checked=1
  ours=$(basename "${dll//\\//}")
else
  echo "NOT CHECKED: no DLL to compare; these lines are right only if the player's"
  echo "bucklewright.asi has build id $symbols_id. Pass the player's DLL to check."
  ours=bucklewright.asi
fi

in_code() {
  local address=$1 size vma
  while read -r size vma; do
    [ $address -ge $((16#$vma)) ] && [ $address -lt $((16#$vma + 16#$size)) ] && return 0
  done <<<"$code_sections"
  return 1
}

number=0
symbolized=0
for line in "${reports[@]}"; do
  number=$((number + 1))
  echo
  if ! [[ "$line" =~ $exception_re ]]; then
    echo "EXCEPTION $number: unreadable line: $line"
    continue
  fi
  code=${BASH_REMATCH[1]} module=${BASH_REMATCH[2]} offset=${BASH_REMATCH[3]} phase=${BASH_REMATCH[4]}
  echo "EXCEPTION $number: code $code at offset $offset of ${module:-no module}, phase \"$phase\""
  # The module path is the player's, usually with Windows separators.
  name=$(basename "${module//\\//}")
  if [ -z "$module" ] || [ "${name,,}" != "${ours,,}" ]; then
    echo "  not in Bucklewright: no symbols for ${module:-an address outside every module}"
    continue
  fi
  address=$((16#$image_base + 16#$offset))
  if ! in_code $address; then
    echo "  offset $offset is not in the DLL's code"
    continue
  fi
  # One "function / file:line" pair per frame, the innermost inlined one first.
  frames=$("$tools-addr2line" -e "$symbols" -f -i "$(printf '0x%x' $address)" 2>/dev/null || true)
  known=0
  first=1
  while IFS= read -r function && IFS= read -r place; do
    [ "$function" != "??" ] || [ "${place%%:*}" != "??" ] && known=1
    [ "$function" = "??" ] && function="(unknown function)"
    function=$("$tools-c++filt" -n "$function")
    place=${place#./}
    if [ $first -eq 1 ]; then echo "  $function at $place"; else echo "  (inlined into) $function at $place"; fi
    first=0
  done <<<"$frames"
  [ $known -eq 1 ] && symbolized=$((symbolized + 1))
done

if [ $symbolized -eq 0 ]; then
  fail "nothing symbolized: none of the ${#reports[@]} EXCEPTION lines of $log is a readable report at a known place in Bucklewright's code"
fi
[ $checked -eq 1 ] || exit 3
exit 0
