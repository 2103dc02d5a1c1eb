#!/usr/bin/env bash
# The report folder's rules: bwlab replaces only an absent or empty folder or
# a report of its own that holds nothing else, and removes of an earlier
# report only what its marker lists; whatever else it finds it keeps, with
# one line and a failing exit, before anything is touched. It never touches
# DIR.partial or any other neighbour.
# usage: report_folder.sh BWLAB FAKE_RUNNER WORK_DIR
set -u
bwlab=$1 runner=$2 work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
export BWLAB_RUNNER=$runner BWLAB_PLUGIN_SO=/dev/null
echo ok >good.scn
status=0
everything() { find . -path ./good.scn -prune -o -print0 | sort -z | xargs -0 md5sum 2>/dev/null; ls -lR; }
report() { "$bwlab" "${1:-good.scn}" --so --out out --settings none.ini >/dev/null 2>&1; }
ours() { [ -f out/.bwlab-report ] && [ -f out/index.html ]; }

# name | what stands there before | expected exit | stderr (a pattern) | what holds after (0: all as it was)
while IFS='|' read -r name before code message after; do
  rm -rf ./* && echo ok >good.scn && eval "$before"
  kept=$(everything)
  err=$("$bwlab" good.scn --so --out out --settings none.ini 2>&1 >/dev/null); got=$?
  problem=
  [ "$got" = "$code" ] || problem="exit $got (expected $code)"
  [[ "$err" == $message ]] || problem="$problem stderr '$err' (expected '$message')"
  if [ "$after" = 0 ]; then
    [ "$(everything)" = "$kept" ] || problem="$problem: what was there changed"
  else
    eval "$after" || problem="$problem: not as expected after: $after"
  fi
  ! ls -d out.new-* out.old-* >/dev/null 2>&1 || problem="$problem: a run's folder was left"
  [ -z "$problem" ] || { echo "FAIL $name: $problem"; status=1; }
done <<'TABLE'
absent|:|0||ours
an empty folder|mkdir out|0||ours
an earlier report|report && echo snapshots/gone.bwsnap >>out/.bwlab-report && touch out/snapshots/gone.bwsnap|0||ours && [ ! -e out/snapshots/gone.bwsnap ]
a report with the user's notes|report && echo mine >out/notes.txt|1|bwlab: out holds notes.txt, which the crash lab did not make; not replacing it (move that out first)|0
a user's site folder|mkdir out && echo a >out/index.html && echo b >out/summary.json && echo c >out/style.css|1|bwlab: out exists and is not a crash lab report (it has no .bwlab-report); not replacing it|0
a plain file|echo mine >out|1|bwlab: out exists and is not a crash lab report; not replacing it|0
a link to a report|report && mv out real && ln -s real out|1|bwlab: out is a link; not replacing it|0
the user's out.partial beside|mkdir out.partial && echo mine >out.partial/notes.txt && echo mine >out.new|0||ours && [ "$(cat out.partial/notes.txt out.new)" = "$(printf 'mine\nmine')" ]
TABLE

# A scenario the user keeps inside the report it would replace is refused
# before anything is touched.
rm -rf ./* && echo ok >good.scn && report && cp good.scn out/own.scn && echo mine >out/notes.txt
kept=$(everything)
err=$("$bwlab" out/own.scn --so --out out --settings none.ini 2>&1 >/dev/null); got=$?
[ $got = 2 ] && [ "$err" = "bwlab: out/own.scn lies inside out, which this run replaces; move it out first" ] &&
  [ "$(everything)" = "$kept" ] || { echo "FAIL an input inside: exit $got, '$err'"; status=1; }
exit $status
