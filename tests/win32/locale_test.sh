#!/usr/bin/env bash
# Velmoran.exe under Wine in a Japanese locale (ANSI code page 932), started from
# another folder: in "表.bin" the second byte of 表 (0x95 0x5C) equals '\', yet the name
# is one name. The file is transformed in place and nothing else is created.
# In a Russian locale (code page 1251) a Cyrillic key string has an exact form: it is
# used (where code page 1252 refuses it), and the same key brings the file back.
# Usage: locale_test.sh <wine-run.sh> <wine prefix> <Velmoran.exe>
set -u
. "$(dirname "$0")/wine_case.sh"
locales=$dir/locales
mkdir "$locales" "$dir/sub" "$dir/elsewhere"
for locale in ja_JP ru_RU; do
  if ! localedef -i $locale -f UTF-8 "$locales/$locale.UTF-8" >/dev/null 2>&1; then
    echo "no $locale locale source here (Debian package locales)"
    exit 1
  fi
done
japanese=(env LOCPATH="$locales" LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8)
russian=(env LOCPATH="$locales" LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8)

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


# The key is the bytes code page 1251 gives "пароль": a key file holding them does the same.
rm -f "$dir/sub/"*
cp "$dir/original" "$dir/sub/by-string.bin"
cp "$dir/original" "$dir/sub/by-file.bin"
printf '\357\340\360\356\353\374' > "$dir/key-1251"
in_russian() { (cd "$dir/elsewhere" && "${russian[@]}" "$run" "$prefix" "$exe" -s "$@" >/dev/null 2>&1); }
in_russian -k "..\\sub\\by-string.bin" 'пароль'; status=$?
[ $status = 0 ] || fail "Cyrillic key string in code page 1251: exit $status"
cmp -s "$dir/sub/by-string.bin" "$dir/original" && fail "Cyrillic key string: the file kept its bytes"
in_russian -f "..\\sub\\by-file.bin" "Z:$dir/key-1251"
cmp -s "$dir/sub/by-string.bin" "$dir/sub/by-file.bin" || fail "Cyrillic key string: not its 1251 bytes"
in_russian -k "..\\sub\\by-string.bin" 'пароль'; status=$?
[ $status = 0 ] || fail "Cyrillic key string, back: exit $status"
cmp -s "$dir/sub/by-string.bin" "$dir/original" || fail "Cyrillic key string: the same key did not restore"
[ "$(ls -A "$dir/sub" | tr '\n' ' ')" = "by-file.bin by-string.bin " ] ||
  fail "Cyrillic key string: left $(ls -A "$dir/sub" | tr '\n' ' ')"
[ -z "$(ls -A "$dir/elsewhere")" ] || fail "Cyrillic key string: wrote where it was started"

[ $failures = 0 ] && echo "a double-byte name is one name, a Cyrillic key string is a key: ok"
[ $failures = 0 ]
