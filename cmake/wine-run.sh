#!/usr/bin/env bash
# Runs a Windows program of the win32 build under Wine, in the build's own
# prefix, with Wine's messages off and no display.
#   wine-run.sh PREFIX --init             makes the prefix afresh
#   wine-run.sh PREFIX PROGRAM [ARGS...]  runs PROGRAM; its exit code is ours
set -euo pipefail
prefix=$(realpath -m "$1") # Wine wants an absolute prefix
shift
if ! command -v wine >/dev/null 2>&1; then
  echo "wine-run.sh: Wine is not installed (bash scripts/install-deps.sh all installs it)" >&2
  exit 1
fi
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
if [ "${1:-}" = --init ]; then
  # A server left running on an old prefix would keep its files open.
  if [ -d "$prefix" ]; then wineserver -k 2>/dev/null || true; fi
  rm -rf "$prefix"
  wineboot --init
  # The prefix is done when the programs wineboot started have finished and
  # the server has written it out; the first test would wait for them.
  wineserver --wait
  exit 0
fi
exec wine "$@"
