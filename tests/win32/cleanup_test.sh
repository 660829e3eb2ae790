#!/usr/bin/env bash
# Clean-up of Velmoran.exe under Wine: before staging, a run removes what a killed run
# left (".NAME.velmoran-XXXXXXXX", a plain file of its own), and nothing else. Links of
# that name (made on the Unix side, where Wine follows them) to a file in another
# folder, to the key file, to the copy's source, and a second hard link of the key
# file, all stay, and so does what they lead to.
# Usage: cleanup_test.sh <wine-run.sh> <wine prefix> <Velmoran.exe>
set -u
. "$(dirname "$0")/wine_case.sh"
mkdir "$dir/sub" "$dir/other" "$dir/elsewhere"
cd "$dir/elsewhere" || exit 1
win="Z:$dir"

tool() { "$run" "$prefix" "$exe" -s "$@" >/dev/null 2>&1; }
listing() { ls -A "$1" | tr '\n' ' '; }
fresh() {  # a clean sub folder holding a.bin, key.k and src.bin, and other/victim
  rm -rf "$dir/sub" "$dir/other"
  mkdir "$dir/sub" "$dir/other"
  cp "$dir/original" "$dir/sub/a.bin"
  printf 'K3y!' > "$dir/sub/key.k"
  cp "$dir/original" "$dir/sub/src.bin"
  printf 'victim' > "$dir/other/victim"
}
survives() {  # case name, then files that must keep their bytes, each as file=reference
  local name=$1 pair
  shift
  for pair in "$@"; do
    cmp -s "${pair%%=*}" "${pair#*=}" || fail "$name: ${pair%%=*} changed or is gone"
  done
}

# Each case: the name planted, what it is, and the tool's arguments.
check_case() {  # case name, planted name, "symlink TARGET" | "hardlink TARGET", arguments...
  local name=$1 planted=$2 kind=$3 target=$4 status
  shift 4
  fresh
  cp "$dir/sub/key.k" "$dir/key.ref"
  cp "$dir/other/victim" "$dir/victim.ref"
  if [ "$kind" = symlink ]; then
    ln -s "$target" "$dir/sub/$planted"
  else
    ln "$target" "$dir/sub/$planted"
  fi
  printf 'left' > "$dir/sub/.a.bin.velmoran-0badc0de"  # a killed run's: goes
  tool "$@"; status=$?
  [ $status = 0 ] || fail "$name: exit $status"
  [ -e "$dir/sub/$planted" ] || [ -L "$dir/sub/$planted" ] || fail "$name: the planted name is gone"
  survives "$name" "$dir/sub/key.k=$dir/key.ref" "$dir/other/victim=$dir/victim.ref" \
    "$dir/sub/src.bin=$dir/original"
  [ "$(listing "$dir/other")" = "victim " ] || fail "$name: other folder holds $(listing "$dir/other")"
}

check_case "link to another folder's file" .a.bin.velmoran-0123abcd symlink "$dir/other/victim" \
  "$win/sub/a.bin"
check_case "link to the key file" .a.bin.velmoran-0123abcd symlink key.k \
  -f "$win/sub/a.bin" "$win/sub/key.k"
check_case "link to the copy's source" .out.bin.velmoran-0123abcd symlink src.bin \
  -c "$win/sub/src.bin" "$win/sub/out.bin"
check_case "hard link of the key file" .a.bin.velmoran-0123abcd hardlink "$dir/sub/key.k" \
  -f "$win/sub/a.bin" "$win/sub/key.k"
cmp -s "$dir/sub/a.bin" "$dir/original" && fail "the last run did not change a.bin"
[ -e "$dir/sub/.a.bin.velmoran-0badc0de" ] && fail "an abandoned staged file stayed"
[ "$(listing "$dir/elsewhere")" = "" ] || fail "wrote where it was started: $(listing "$dir/elsewhere")"

[ $failures = 0 ] && echo "clean-up removes only abandoned staged files: ok"
[ $failures = 0 ]
