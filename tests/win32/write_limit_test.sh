#!/usr/bin/env bash
# Failed and short writes of Velmoran.exe under Wine: a file-size limit on the Wine
# process makes its writes fail (SIGXFSZ ignored, as Windows has no such signal).
# Each case: exit code, and the files exactly as before, with no staged file left.
# Usage: write_limit_test.sh <wine-run.sh> <wine prefix> <Velmoran.exe>
set -u
run=$1
prefix=$2
exe=$3
dir=$(mktemp -d)
cd "$dir" || exit 1

# The Wine server must run without the limit (it writes the registry), so a client
# without it stays connected throughout: a "pause" fed from a pipe that stays open.
sleep 600 | "$run" "$prefix" cmd /c pause >/dev/null 2>&1 &
keeper=$!
sleeper=$(pgrep -P $$ -x sleep | head -1)
trap 'kill $sleeper 2>/dev/null; wait $keeper 2>/dev/null; cd /; rm -rf "$dir"' EXIT
"$run" "$prefix" cmd /c exit 0 >/dev/null 2>&1

failures=0
# 200 KiB of every byte value.
make_source() { for _ in $(seq 800); do printf "$(printf '\\%03o' $(seq 0 255))"; done > "$1"; }
make_source original
check() {  # name, expected status, actual status, then "file=reference" pairs
  local name=$1 expected=$2 actual=$3
  shift 3
  local ok=1
  [ "$actual" = "$expected" ] || { echo "$name: exit $actual, expected $expected"; ok=0; }
  for pair in "$@"; do
    cmp -s "${pair%%=*}" "${pair#*=}" || { echo "$name: ${pair%%=*} changed"; ok=0; }
  done
  [ $ok = 1 ] && echo "$name: ok" || failures=$((failures + 1))
}
limited() {  # blocks of 1 KiB, then the tool's arguments
  local blocks=$1
  shift
  (trap '' XFSZ; ulimit -f "$blocks"; exec "$run" "$prefix" "$exe" "$@") >/dev/null 2>&1
}
listing() { ls -A | tr '\n' ' '; }

rm -f src out; cp original src
limited 0 -s -c src out; status=$?
check "nothing can be written: 6, no destination" 6 $status src=original
[ "$(listing)" = "original src " ] || { echo "left behind: $(listing)"; failures=$((failures + 1)); }

limited 100 -s -c src out; status=$?
check "written partway: 15, no destination" 15 $status src=original
[ "$(listing)" = "original src " ] || { echo "left behind: $(listing)"; failures=$((failures + 1)); }

limited 100 -s src; status=$?
check "in place, partway: 15, source as before" 15 $status src=original
[ "$(listing)" = "original src " ] || { echo "left behind: $(listing)"; failures=$((failures + 1)); }

# A hard-linked source is overwritten in place; the bytes already overwritten are
# put back after the failure.
ln src link
limited 100 -s src; status=$?
check "hard-linked, overwritten partway: 15, both names as before" 15 $status src=original \
  link=original
[ "$(listing)" = "link original src " ] || { echo "left behind: $(listing)"; failures=$((failures + 1)); }

# A copy onto the source's own file, by another spelling (from the parent folder too)
# or through its other name, is that file by identity: put back exactly as in place.
base=$(basename "$dir")
for spelling in "Z:$dir/SRC" "..\\$base\\.\\Src" link; do
  limited 100 -s -c src "$spelling"; status=$?
  check "copy onto its own file as $spelling, partway: 15, both names as before" 15 $status \
    src=original link=original
  [ "$(listing)" = "link original src " ] || { echo "left behind: $(listing)"; failures=$((failures + 1)); }
done
(cd .. && limited 100 -s -c "$base\\src" "Z:$dir/LINK"); status=$?
check "from the parent folder, onto its own file's other name: 15, as before" 15 $status \
  src=original link=original

# And by the short (8.3) name Windows makes up for a long one, as "dir /x" shows it.
short_name() {
  "$run" "$prefix" cmd /c dir /x "$1" 2>/dev/null | tr -d '\r' |
    awk -v name="$1" '$NF == name { print $(NF-1) }'
}
cp original longsourcename.bin
ln longsourcename.bin longlink.bin
short=$(short_name longsourcename.bin)
case $short in
  *~*)
    # Unlimited, the copy changes the file itself (both names), not a new one by that
    # name; a second run brings the bytes back.
    "$run" "$prefix" "$exe" -s -c longsourcename.bin "$short" >/dev/null 2>&1; status=$?
    [ $status = 0 ] && ! cmp -s longlink.bin original ||
      { echo "by its short name, unlimited: exit $status, or not its own file"; failures=$((failures + 1)); }
    "$run" "$prefix" "$exe" -s -c longsourcename.bin "$short" >/dev/null 2>&1; status=$?
    check "by its short name, unlimited, twice: 0, both names as before" 0 $status \
      longsourcename.bin=original longlink.bin=original
    limited 100 -s -c longsourcename.bin "$short"; status=$?
    check "copy onto its own file by its short name $short, partway: 15, both names as before" \
      15 $status longsourcename.bin=original longlink.bin=original
    [ "$(listing)" = "link longlink.bin longsourcename.bin original src " ] ||
      { echo "left behind: $(listing)"; failures=$((failures + 1)); } ;;
  *) echo "no short name for longsourcename.bin: '$short'"; failures=$((failures + 1)) ;;
esac

[ $failures = 0 ]
