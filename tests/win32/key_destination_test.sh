#!/usr/bin/env bash
# Velmoran.exe under Wine: a destination that is the key file's own file, by any name
# (in place, another spelling, a hard link, from another folder), is refused with 3
# before anything is written; the key file and the source keep their bytes.
# Usage: key_destination_test.sh <wine-run.sh> <wine prefix> <Velmoran.exe>
set -u
. "$(dirname "$0")/wine_case.sh"
mkdir "$dir/sub" "$dir/elsewhere"
cd "$dir/elsewhere" || exit 1
win="Z:$dir"
printf 'K3y!K3y!' > "$dir/key.ref"

tool() { "$run" "$prefix" "$exe" -s "$@" >/dev/null 2>&1; }
for arguments in "-f $win/sub/k $win/sub/k" "-f -c $win/sub/src $win/sub/k $win/sub/k" \
                 "-f -c $win/sub/src $win/sub/K $win/sub/k" \
                 "-f -c $win/sub/src ..\\sub\\k $win/sub/k" \
                 "-f -c $win/sub/src $win/sub/hard $win/sub/k"; do
  rm -f "$dir/sub/"*
  cp "$dir/key.ref" "$dir/sub/k"
  cp "$dir/original" "$dir/sub/src"
  ln "$dir/sub/k" "$dir/sub/hard"
  # shellcheck disable=SC2086  # the arguments are split on purpose
  tool $arguments; status=$?
  [ $status = 3 ] || fail "$arguments: exit $status"
  cmp -s "$dir/sub/k" "$dir/key.ref" || fail "$arguments: the key file changed"
  cmp -s "$dir/sub/src" "$dir/original" || fail "$arguments: the source changed"
  [ "$(ls -A "$dir/sub" | tr '\n' ' ')" = "hard k src " ] || fail "$arguments: left $(ls -A "$dir/sub")"
done

[ $failures = 0 ] && echo "the key file is never a destination: ok"
[ $failures = 0 ]
