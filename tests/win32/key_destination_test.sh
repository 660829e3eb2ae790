#!/usr/bin/env bash
# Velmoran.exe under Wine: a destination that is the key file's own file, by any name
# (in place, another spelling, its short name, a hard link, from another folder), is
# refused with 3 before anything is written; the key file and the source keep their bytes.
# Usage: key_destination_test.sh <wine-run.sh> <wine prefix> <Velmoran.exe>
set -u
. "$(dirname "$0")/wine_case.sh"
mkdir "$dir/sub" "$dir/elsewhere"
cd "$dir/elsewhere" || exit 1
win="Z:$dir"
printf 'K3y!K3y!' > "$dir/key.ref"

tool() { "$run" "$prefix" "$exe" -s "$@" >/dev/null 2>&1; }
# The key's name is long, so that Windows also gives it a short (8.3) one, which "dir /x"
# shows.
k=keyfile-long.bin
cp "$dir/key.ref" "$dir/sub/$k"
short=$(cd "$dir/sub" && "$run" "$prefix" cmd /c dir /x "$k" 2>/dev/null | tr -d '\r' |
  awk -v name="$k" '$NF == name { print $(NF-1) }')
case $short in *~*) ;; *) fail "no short name for $k: '$short'" ;; esac
for arguments in "-f $win/sub/$k $win/sub/$k" "-f -c $win/sub/src $win/sub/$k $win/sub/$k" \
                 "-f -c $win/sub/src $win/sub/KEYFILE-LONG.BIN $win/sub/$k" \
                 "-f -c $win/sub/src ..\\sub\\$k $win/sub/$k" \
                 "-f -c $win/sub/src $win/sub/hard $win/sub/$k" \
                 "-f -c $win/sub/src $win/sub/$short $win/sub/$k" \
                 "-f -c $win/sub/src ..\\sub\\$short $win/sub/$k"; do
  rm -f "$dir/sub/"*
  cp "$dir/key.ref" "$dir/sub/$k"
  cp "$dir/original" "$dir/sub/src"
  ln "$dir/sub/$k" "$dir/sub/hard"
  # shellcheck disable=SC2086  # the arguments are split on purpose
  tool $arguments; status=$?
  [ $status = 3 ] || fail "$arguments: exit $status"
  cmp -s "$dir/sub/$k" "$dir/key.ref" || fail "$arguments: the key file changed"
  cmp -s "$dir/sub/src" "$dir/original" || fail "$arguments: the source changed"
  [ "$(ls -A "$dir/sub" | tr '\n' ' ')" = "hard $k src " ] || fail "$arguments: left $(ls -A "$dir/sub")"
done

[ $failures = 0 ] && echo "the key file is never a destination: ok"
[ $failures = 0 ]
