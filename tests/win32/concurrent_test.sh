#!/usr/bin/env bash
# Two runs of Velmoran.exe under Wine started together on one file never mix bytes or
# lose a change: each exits 0 or 19 (in place) or 0 or 3 (the same copy destination),
# and the file holds the original transformed once per run that exited 0.
# Usage: concurrent_test.sh <wine-run.sh> <wine prefix> <Velmoran.exe> [rounds]
set -u
. "$(dirname "$0")/wine_case.sh"
rounds=${4:-6}
cd "$dir" || exit 1
win="Z:$dir"
tool() { "$run" "$prefix" "$exe" -s "$@" >/dev/null 2>&1; }

# 8 MiB, so that the runs overlap; its transform, made once by a lone run.
for _ in $(seq 2048); do cat original; done > big
cp big once
tool "$win/once" || fail "a lone run failed"

for round in $(seq "$rounds"); do
  cp big f
  tool "$win/f" & first=$!
  tool "$win/f" & second=$!
  wait $first; a=$?
  wait $second; b=$?
  successes=0
  for status in $a $b; do
    case $status in
      0) successes=$((successes + 1)) ;;
      19) ;;
      *) fail "in place, round $round: exit $status" ;;
    esac
  done
  expected=big
  [ $((successes % 2)) = 1 ] && expected=once
  cmp -s f "$expected" || fail "in place, round $round: exits $a and $b, but the file is not $expected"

  rm -f out
  tool -c "$win/big" "$win/out" & first=$!
  tool -c "$win/big" "$win/out" & second=$!
  wait $first; a=$?
  wait $second; b=$?
  for status in $a $b; do
    [ "$status" = 0 ] || [ "$status" = 3 ] || fail "copy, round $round: exit $status"
  done
  if [ $a = 0 ] || [ $b = 0 ]; then
    cmp -s out once || fail "copy, round $round: the destination is not the transform"
  fi
  leftovers=$(ls -A | grep -c velmoran-)
  [ "$leftovers" = 0 ] || fail "round $round: left $(ls -A | grep velmoran-)"
done

[ $failures = 0 ] && echo "concurrent runs: ok"
[ $failures = 0 ]
