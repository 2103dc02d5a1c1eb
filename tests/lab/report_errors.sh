#!/usr/bin/env bash
# The runner's bad-input line passes through bwlab unchanged with exit 2, a
# runner failure gives exit 1, a snapshot that is not finite is refused with
# its file and place; none of them leaves a folder behind, and an earlier
# report stays as it was. A plug-in's refusal shows on the page.
# usage: report_errors.sh BWLAB FAKE_RUNNER WORK_DIR
set -u
bwlab=$1 runner=$2 work=$3
rm -rf "$work" && mkdir -p "$work" && cd "$work" || exit 1
export BWLAB_RUNNER=$runner BWLAB_PLUGIN_SO=/dev/null
status=0
contents() { find report -type f -print0 | sort -z | xargs -0 md5sum; }
check() { # name, expected exit, expected stderr (a pattern), actual exit, actual stderr
  if [ "$4" != "$2" ] || [[ "$5" != $3 ]]; then
    echo "FAIL $1: exit $4 (expected $2), stderr '$5' (expected '$3')"; status=1
  fi
  [ "$(contents)" = "$earlier" ] || { echo "FAIL $1: the earlier report changed"; status=1; }
  if ls -d report?* 2>/dev/null; then echo "FAIL $1: a run's folder was left"; status=1; fi
}

# A trailing slash names the same folder.
echo ok > good.scn && "$bwlab" good.scn --so --out report/ --settings none.ini >/dev/null || status=1
[ -f report/summary.json ] && [ -f report/.bwlab-report ] || { echo "FAIL: no report from a good run"; status=1; }
# The plug-in's refusal stands on the page as its log says it.
grep -q "The plug-in refused" report/index.html && grep -q "Settings: PanelStrength refused" report/index.html ||
  { echo "FAIL: the refusal is not on the page"; status=1; }
earlier=$(contents)

echo bad-input > bad.scn
err=$("$bwlab" bad.scn --so --out report --settings none.ini 2>&1 >/dev/null); code=$?
check bad-input 2 "bad.scn:2: expected 'strike', 'wait' or 'snapshot'" $code "$err"

echo failure > fail.scn
err=$("$bwlab" fail.scn --so --out report --settings none.ini 2>&1 >/dev/null); code=$?
check failure 1 "fake-runner: the plug-in could not be loaded" $code "$err"

echo nan > nan.scn
err=$("$bwlab" nan.scn --so --out report --settings none.ini 2>&1 >/dev/null); code=$?
check not-finite 1 "bwlab: report.new-*/snapshots/after.bwsnap: not a valid snapshot (car 'player', mesh 'chassis_hi', vertex 1: a position that is not finite)" $code "$err"

# Without --so the DLL is needed; a tree without it says so.
err=$(BWLAB_PLUGIN_DLL=/nonexistent.asi "$bwlab" good.scn --out report 2>&1 >/dev/null); code=$?
check no-dll 1 "bwlab: /nonexistent.asi: the plug-in DLL is not built here; build the win32 preset, or use --so" $code "$err"
exit $status
