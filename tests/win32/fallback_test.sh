#!/usr/bin/env bash
# Where Velmoran.exe under Wine cannot rename a new file over the destination, it
# writes the destination itself: a file bind-mounted over it (the rename is refused
# as busy), and a folder that keeps its entries (chattr +a: nothing in it may be
# renamed or removed), in place and as a copy's destination. No staged file with data
# is ever left; in an append-only folder an empty one is the only trace allowed.
# Needs root (mount, chattr); skipped otherwise (77).
# Usage: fallback_test.sh <wine-run.sh> <wine prefix> <Velmoran.exe>
set -u
[ "$(id -u)" = 0 ] || { echo "skipped: needs root"; exit 77; }
. "$(dirname "$0")/wine_case.sh"
# A case that cannot be set up skips the rest, but a row that already failed must not
# be hidden behind that skip.
skip_rest() {
  if [ $failures = 0 ]; then
    echo "skipped: $1"
    exit 77
  fi
  echo "not run: $1 (after $failures failure(s) above)"
  exit 1
}
mkdir "$dir/sub"
trap 'umount "$dir/sub/mounted.bin" 2>/dev/null; chattr -a "$dir/sub" 2>/dev/null; cd /; rm -rf "$dir"' EXIT
cd "$dir" || exit 1
win="Z:$dir"

tool() { "$run" "$prefix" "$exe" -s "$@" >/dev/null 2>&1; }
# Staged files that hold data (an empty one may stay in an append-only folder).
staged_with_data() { find "$dir" -name '.*.velmoran-*' -size +0 | tr '\n' ' '; }
# In place twice (the cipher is its own inverse) or a copy there and back: the first
# run must change the bytes, the second bring the original back.
round_trip() {  # case name, destination (Unix path), arguments before it
  local name=$1 destination=$2 status
  shift 2
  if [ $# = 0 ]; then
    tool "Z:$destination"; status=$?
  else
    tool "$@" "Z:$destination"; status=$?
  fi
  [ $status = 0 ] || fail "$name: exit $status"
  cmp -s "$destination" "$dir/original" && fail "$name: the file kept its bytes"
  if [ $# = 0 ]; then
    tool "Z:$destination"
    cmp -s "$destination" "$dir/original" || fail "$name: a second run did not restore it"
  else
    tool -c "Z:$destination" "$win/back"
    cmp -s "$dir/back" "$dir/original" || fail "$name: the copy does not hold the new bytes"
  fi
  [ -z "$(staged_with_data)" ] || fail "$name: left $(staged_with_data)"
}

# A file mounted over the destination: a rename onto it is refused as busy.
cp "$dir/original" "$dir/sub/source.bin"
printf 'old' > "$dir/sub/mounted.bin"
mount --bind "$dir/sub/source.bin" "$dir/sub/mounted.bin" || skip_rest "no bind mount"
round_trip "bind-mounted, in place" "$dir/sub/mounted.bin"
round_trip "bind-mounted, copy destination" "$dir/sub/mounted.bin" -c "$win/original"
umount "$dir/sub/mounted.bin"
rm -f "$dir/sub/"* "$dir/back"

# A folder that keeps every entry, for an existing file: it is overwritten; for a new
# one: refused (3) with nothing created but, at most, an empty staged file.
cp "$dir/original" "$dir/sub/kept.bin"
chattr +a "$dir/sub" || skip_rest "no chattr +a here"
round_trip "append-only folder, in place" "$dir/sub/kept.bin"
round_trip "append-only folder, copy destination" "$dir/sub/kept.bin" -c "$win/original"
tool -c "$win/original" "$win/sub/new.bin"; status=$?
[ $status = 3 ] || fail "append-only folder, new file: exit $status"
[ -e "$dir/sub/new.bin" ] && fail "append-only folder, new file: created"
[ -z "$(staged_with_data)" ] || fail "append-only folder: left $(staged_with_data)"
chattr -a "$dir/sub"

[ $failures = 0 ] && echo "the overwrite path where no rename can be made: ok"
[ $failures = 0 ]
