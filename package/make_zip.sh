#!/usr/bin/env bash
# Packs the player's download: make_zip.sh OUT.zip FILE...
# The same files give the same bytes: entries in the order given, without
# folders, one fixed date and mode, and no extra fields (owner, exact times).
set -euo pipefail
out=$(realpath -m "$1")
shift
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
names=()
for file in "$@"; do
  cp "$file" "$stage/"
  names+=("$(basename "$file")")
done
chmod 644 "$stage"/*
export TZ=UTC
touch -d '2000-01-01 00:00:00' "$stage"/*
rm -f "$out.tmp"
(cd "$stage" && zip -q -X -D -9 "$out.tmp" "${names[@]}")
mv "$out.tmp" "$out"
