#!/usr/bin/env bash
# Velmoran.exe under Wine in a Japanese locale (ANSI code page 932), started from
# another folder: in "表.bin" the second byte of 表 (0x95 0x5C) equals '\', yet the name
# is one name. The file is transformed in place and nothing else is created.
# Usage: locale_test.sh <wine-run.sh> <wine prefix> <Velmoran.exe>
set -u
. "$(dirname "$0")/wine_case.sh"
locales=$dir/locales
mkdir "$locales" "$dir/sub" "$dir/elsewhere"
if ! localedef -i ja_JP -f UTF-8 "$locales/ja_JP.UTF-8" >/dev/null 2>&1; then
  echo "no ja_JP locale source here (Debian package locales)"
  exit 1
fi
japanese=(env LOCPATH="$locales" LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8)

name='表.bin'
cp "$dir/original" "$dir/sub/$name"
for spelling in "Z:$dir/sub/$name" "..\\sub\\$name"; do
  (cd "$dir/elsewhere" && "${japanese[@]}" "$run" "$prefix" "$exe" -s "$spelling" >/dev/null 2>&1); status=$?
  [ $status = 0 ] || fail "$spelling: exit $status"
  cmp -s "$dir/sub/$name" "$dir/original" && fail "$spelling: the file kept its bytes"
  # The cipher runs back: a second run restores the file.
  (cd "$dir/elsewhere" && "${japanese[@]}" "$run" "$prefix" "$exe" -s "$spelling" >/dev/null 2>&1)
  cmp -s "$dir/sub/$name" "$dir/original" || fail "$spelling: the second run did not restore"
  [ "$(ls -A "$dir/sub")" = "$name" ] || fail "$spelling: left $(ls -A "$dir/sub" | tr '\n' ' ')"
  [ -z "$(ls -A "$dir/elsewhere")" ] || fail "$spelling: wrote where it was started"
  [ "$(ls -A "$dir" | tr '\n' ' ')" = "elsewhere locales original sub " ] ||
    fail "$spelling: created $(ls -A "$dir" | tr '\n' ' ')"
done

[ $failures = 0 ] && echo "a double-byte name is one name: ok"
[ $failures = 0 ]
