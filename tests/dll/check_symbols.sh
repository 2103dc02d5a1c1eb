#!/usr/bin/env bash
# Checks the shipped DLL's symbols: the DLL is stripped and names its symbols
# file; a report at a known function's offset is symbolized back to it;
# symbols of another build are refused, not used; and unusable input is
# refused with exit 2 and one line saying why.
# Usage: check_symbols.sh DLL SYMBOLS OBJDUMP NM SYMBOLIZE
set -euo pipefail
dll=$1 symbols=$2 objdump=$3 nm=$4 symbolize=$5
fail=0
problem() { echo "$1"; fail=1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sections=$("$objdump" -h "$dll")
! grep -q ' \.debug_' <<<"$sections" || problem "the DLL carries debug sections"
grep -q ' \.gnu_debuglink ' <<<"$sections" || problem "the DLL does not name its symbols file"
"$objdump" -t "$dll" | grep -q '^\[' && problem "the DLL carries a symbol table"

# A report as the plug-in writes it, at the entry of a known core function.
base=$("$objdump" -p "$symbols" | awk '$1 == "ImageBase" { print $2 }')
function=$("$nm" -C "$symbols" | awk '$2 == "T" && /dent::toBodyFrame\(/ && !found { print $1; found = 1 }')
[ -n "$function" ] || { echo "dent::toBodyFrame not in the symbols"; exit 1; }
offset=$(printf '%08X' $((16#$function - 16#$base)))
report() {
  printf 'Bucklewright 0.1.4 experimental - two-sided panels sharing vertices and lighting\r\n'
  printf 'EXCEPTION code=C0000005 address=%08X module=%s offset=%s phase=atomic: lock vertices access=0 target=00000004 ESP=0019F9C0\r\n' \
    $((16#$function)) "$1" "$offset"
  printf 'REGISTERS EAX=00000000 EBX=00000001 ECX=00000002 EDX=00000003 ESI=00000004 EDI=00000005 EBP=0019FA00\r\n'
}
report 'C:\Games\GTA III\bucklewright.asi' >"$work/player.log"

status=0
out=$(bash "$symbolize" --symbols "$symbols" "$work/player.log" "$dll") || status=$?
[ $status -eq 0 ] || problem "symbolize with the matching DLL: exit $status"
grep -qE '^  dent::toBodyFrame\(.* at src/dent/body_frame\.cpp:[0-9]+$' <<<"$out" ||
  problem "the report was not symbolized to dent::toBodyFrame in src/dent/body_frame.cpp: $out"

# Without the DLL the answer is given, but plainly marked as not checked.
status=0
out=$(bash "$symbolize" --symbols "$symbols" "$work/player.log") || status=$?
[ $status -eq 3 ] && grep -q '^NOT CHECKED' <<<"$out" && grep -q 'dent::toBodyFrame' <<<"$out" ||
  problem "symbolize without a DLL: exit $status: $out"

# Symbols of another build: the same file with another build id.
cp "$symbols" "$work/other.debug"
at=$(LC_ALL=C grep -obUaP 'RSDS' "$work/other.debug" | awk -F: 'NR == 1 { print $1 }')
printf 'XXXX' | dd of="$work/other.debug" bs=1 seek=$((at + 4)) conv=notrunc status=none
status=0
out=$(bash "$symbolize" --symbols "$work/other.debug" "$work/player.log" "$dll") || status=$?
[ $status -eq 1 ] && grep -q '^MISMATCH' <<<"$out" && ! grep -q 'toBodyFrame' <<<"$out" ||
  problem "symbolize with another build's symbols: exit $status: $out"

# Unusable input: exit 2 and one line on stderr that says why.
echo "not a PE file" >"$work/text.debug"
head -c 4000 "$dll" >"$work/truncated.asi"
cp "$work/text.debug" "$work/fake.asi"
report "$work/fake.asi" >"$work/names-fake.log"
printf 'Bucklewright 0.1.4\r\nEXCEPTION code=C0000005 (cut short)\r\n' >"$work/garbled.log"
printf 'Bucklewright 0.1.4\r\n' >"$work/quiet.log"
report 'C:\Windows\System32\d3d8.dll' >"$work/elsewhere.log"
mkdir "$work/folder.log"
while IFS='|' read -r name expected args; do
  status=0
  read -ra argv <<<"$args"
  err=$(bash "$symbolize" "${argv[@]}" 2>&1 >/dev/null) || status=$?
  [ $status -eq 2 ] && [ "$(wc -l <<<"$err")" -eq 1 ] && grep -q "^symbolize.sh: .*$expected" <<<"$err" ||
    problem "symbolize with $name: exit $status (expected 2), stderr '$err' (expected '$expected')"
done <<EOF
symbols that are no PE file|the symbols file is not a PE file|--symbols $work/text.debug $work/player.log $dll
a truncated DLL|the DLL is not a PE file|--symbols $symbols $work/player.log $work/truncated.asi
a log naming a module that is no PE file|the DLL is not a PE file|--symbols $symbols $work/names-fake.log
a folder as the log|the log is a folder|--symbols $symbols $work/folder.log $dll
a missing log|cannot find the log|--symbols $symbols $work/none.log $dll
no readable EXCEPTION line|nothing symbolized|--symbols $symbols $work/garbled.log $dll
no EXCEPTION line|no EXCEPTION lines|--symbols $symbols $work/quiet.log $dll
a fault in another module only|nothing symbolized|--symbols $symbols $work/elsewhere.log $dll
EOF

if [ "$fail" -ne 0 ]; then echo "symbols check failed"; exit 1; fi
echo "symbols check passed"
