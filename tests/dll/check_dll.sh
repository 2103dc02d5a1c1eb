#!/usr/bin/env bash
# Checks the product DLL: PE32 for i386, imports only system DLLs, and exports
# every expected scoped name. Usage: check_dll.sh DLL OBJDUMP CXXFILT EXPECTED
set -euo pipefail
dll=$1 objdump=$2 cxxfilt=$3 expected=$4
dump=$("$objdump" -p "$dll")
fail=0

grep -q 'file format pei-i386' <<<"$dump" || { echo "not a pei-i386 image"; fail=1; }
grep -Eq '^Magic[[:space:]]+010b' <<<"$dump" || { echo "not PE32 (optional header magic)"; fail=1; }

allowed='^(KERNEL32|USER32|msvcrt)\.dll$'
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump")
echo "imports: $(tr '\n' ' ' <<<"$imports")"
while read -r name; do
  [ -z "$name" ] && continue
  if ! grep -Eiq "$allowed" <<<"$name"; then echo "unexpected import: $name"; fail=1; fi
done <<<"$imports"

# Export names sit in the name-pointer table as "[ n] name".
exports=$(awk '/\[Ordinal\/Name Pointer\] Table/{t=1; next} t && /^[[:space:]]*\[/{print $NF} t && /^$/{t=0}' <<<"$dump" |
          "$cxxfilt" | sed 's/(.*//')
while read -r want; do
  case "$want" in ''|'#'*) continue ;; esac
  if ! grep -Fxq -- "$want" <<<"$exports"; then echo "missing export: $want"; fail=1; fi
done <"$expected"

if [ "$fail" -ne 0 ]; then echo "DLL check failed"; exit 1; fi
echo "DLL check passed: $(wc -l <<<"$exports") exports"
