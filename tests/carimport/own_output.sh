#!/usr/bin/env bash
# bw_carimport never writes over one of its inputs, by any path or link, and
# writes through a temporary file and a rename: a failed import leaves an
# earlier output whole, a good one leaves nothing else behind.
# usage: own_output.sh BW_CARIMPORT WORK_DIR
set -u
tool=$1 work=$2
rm -rf "$work" && mkdir -p "$work/sub" && cd "$work" || exit 1
printf 'o Body\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n' >car.obj
printf 'part b Body\n' >car.map
ln -s car.obj link.obj && ln car.obj hard.obj
inputs() { md5sum car.obj car.map; }
kept=$(inputs)
status=0
for out in car.obj sub/../car.obj link.obj hard.obj car.map; do
  err=$("$tool" car.obj car.map "$out" 2>&1 >/dev/null); code=$?
  [ $code = 2 ] && [[ "$err" == "bw_carimport: $out is the input car."*"; choose another output" ]] &&
    [ "$(inputs)" = "$kept" ] || { echo "FAIL output $out: exit $code, '$err'"; status=1; }
done

echo earlier >out.bwcar
printf 'part b Hood\n' >bad.map
"$tool" car.obj bad.map out.bwcar >/dev/null 2>&1 && { echo "FAIL: an import of no part succeeded"; status=1; }
[ "$(cat out.bwcar)" = earlier ] || { echo "FAIL: a failed import touched the earlier output"; status=1; }
"$tool" car.obj car.map out.bwcar >/dev/null || { echo "FAIL: a good import failed"; status=1; }
[ "$(head -c 5 out.bwcar)" = BWCAR ] || { echo "FAIL: no car file written"; status=1; }
[ "$(ls)" = "$(printf 'bad.map\ncar.map\ncar.obj\nhard.obj\nlink.obj\nout.bwcar\nsub')" ] ||
  { echo "FAIL: left behind: $(ls)"; status=1; }
exit $status
