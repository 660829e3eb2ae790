#!/usr/bin/env bash
# A symbolic link as destination of Velmoran.exe under Wine, started from another
# folder: the link's target gets the new bytes, the link stays a link, and nothing is
# left beside either. Wine sees a Unix symbolic link as the file it leads to, so the
# links are made on the Unix side.
# Usage: link_test.sh <wine-run.sh> <wine prefix> <Velmoran.exe>
set -u
. "$(dirname "$0")/wine_case.sh"
mkdir "$dir/sub" "$dir/t" "$dir/elsewhere"
cd "$dir/elsewhere" || exit 1
win="Z:$dir"  # the same folder as Windows programs spell it

tool() { "$run" "$prefix" "$exe" -s "$@" >/dev/null 2>&1; }
listing() { ls -A "$1" | tr '\n' ' '; }

# In place, through a relative link: the cipher runs back, so a second run restores it.
cp "$dir/original" "$dir/sub/target.bin"
ln -s target.bin "$dir/sub/link.bin"
tool "$win/sub/link.bin"; status=$?
[ $status = 0 ] || fail "in place: exit $status"
[ -L "$dir/sub/link.bin" ] || fail "in place: the link became a file"
cmp -s "$dir/sub/target.bin" "$dir/original" && fail "in place: the target kept its bytes"
tool "$win/sub/link.bin"
cmp -s "$dir/sub/target.bin" "$dir/original" || fail "in place: the second run did not restore"
[ "$(listing "$dir/sub")" = "link.bin target.bin " ] || fail "in place: left $(listing "$dir/sub")"

# A copy onto a link to a file in another folder, by its absolute Unix path.
printf 'old' > "$dir/t/target.bin"
ln -s "$dir/t/target.bin" "$dir/sub/out.bin"
tool -c "$win/original" "$win/sub/out.bin"; status=$?
[ $status = 0 ] || fail "copy: exit $status"
[ -L "$dir/sub/out.bin" ] || fail "copy: the link became a file"
tool -c "$win/t/target.bin" "$win/back"
cmp -s "$dir/back" "$dir/original" || fail "copy: the target does not hold the new bytes"
[ "$(listing "$dir/sub")" = "link.bin out.bin target.bin " ] || fail "copy: left $(listing "$dir/sub")"
[ "$(listing "$dir/t")" = "target.bin " ] || fail "copy: left $(listing "$dir/t")"
[ "$(listing "$dir/elsewhere")" = "" ] || fail "wrote where it was started: $(listing "$dir/elsewhere")"

[ $failures = 0 ] && echo "links stay links: ok"
[ $failures = 0 ]
