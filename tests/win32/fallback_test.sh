#!/usr/bin/env bash
# Where Velmoran.exe under Wine cannot rename a new file over the destination, it
# writes the destination itself: a file bind-mounted over it (the rename is refused
# as busy), a folder that keeps its entries (chattr +a: nothing in it may be renamed or
# removed), in place and as a copy's destination, and a hard-linked file in a folder
# that takes no new entry (chattr +i), where no recovery record can be made beside it.
# No staged file or record with data is ever left; in an append-only folder an empty
# one is the only trace allowed. Last, an overwrite whose put-back fails on a full
# btrfs leaves its record, for the same command to finish (skipped without btrfs).
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
trap 'umount "$dir/sub/mounted.bin" "$dir/cow" 2>/dev/null; chattr -a -i "$dir/sub" 2>/dev/null; cd /; rm -rf "$dir"' EXIT
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
rm -f "$dir/sub/"* "$dir/sub/".*velmoran-* "$dir/back"

# A hard-linked file in a folder that takes no new entry: no record can be made beside
# it, and it is overwritten as it would be without one.
cp "$dir/original" "$dir/sub/linked.bin"
ln "$dir/sub/linked.bin" "$dir/sub/second.bin"
chattr +i "$dir/sub" || { echo "skipped: no chattr +i here"; exit 77; }
round_trip "folder without new entries, hard-linked, in place" "$dir/sub/linked.bin"
round_trip "folder without new entries, hard-linked, copy onto itself" "$dir/sub/linked.bin" \
  -c "$win/sub/second.bin"
[ -z "$(ls -A "$dir/sub" | grep velmoran-)" ] || fail "no new entry: left $(ls -A "$dir/sub")"
chattr -i "$dir/sub"

# A hard-linked file on a nearly full btrfs that shares its blocks with a clone: every
# block rewritten takes new space, and flushing frees none, so the overwrite fails
# partway and so does its put-back (15). The record stays beside the file; once there
# is room, the same command finishes the job.
cow=$dir/cow
mkdir "$cow"
if truncate -s 128M "$dir/btrfs.img" && mkfs.btrfs -q "$dir/btrfs.img" >/dev/null 2>&1 &&
   mount -o loop "$dir/btrfs.img" "$cow" 2>/dev/null; then
  for _ in $(seq 2048); do cat "$dir/original"; done > "$dir/eight.bin"  # 8 MiB
  cp "$dir/eight.bin" "$cow/linked.bin"
  ln "$cow/linked.bin" "$cow/second.bin"
  cp --reflink=always "$cow/linked.bin" "$cow/clone.bin"
  cp "$dir/eight.bin" "$dir/expected.bin"
  tool "$win/expected.bin" || fail "btrfs: a lone run failed"
  sync
  dd if=/dev/zero of="$cow/filler" bs=1M 2>/dev/null
  truncate -s $(($(stat -c %s "$cow/filler") - (2 << 20))) "$cow/filler"
  sync
  tool "$win/cow/linked.bin"; status=$?
  [ $status = 15 ] || fail "btrfs, no room for the put-back: exit $status"
  cmp -s "$cow/linked.bin" "$cow/clone.bin" && fail "btrfs: put back after all"
  [ -s "$cow/.linked.bin.velmoran-recovery" ] || fail "btrfs: torn, with no record"
  rm "$cow/filler"
  sync
  tool "$win/cow/linked.bin"; status=$?
  [ $status = 0 ] || fail "btrfs, the same command with room again: exit $status"
  cmp -s "$cow/linked.bin" "$dir/expected.bin" || fail "btrfs: not what the first run meant"
  cmp -s "$cow/clone.bin" "$dir/eight.bin" || fail "btrfs: the clone lost its bytes"
  [ -z "$(ls -A "$cow" | grep velmoran-)" ] || fail "btrfs: left $(ls -A "$cow" | grep velmoran-)"
  umount "$cow"
else
  echo "no btrfs on a loop device here: the failed put-back is not tried"
fi

[ $failures = 0 ] && echo "the overwrite path where no rename can be made: ok"
[ $failures = 0 ]
