# Sourced by the shell cases for Velmoran.exe under Wine. Arguments: <wine-run.sh> <wine
# prefix> <Velmoran.exe>. Sets run, prefix, exe, a scratch folder $dir (removed on exit)
# holding $dir/original (4 KiB of every byte value), and fail(), which counts in $failures.
run=$1
prefix=$2
exe=$3
dir=$(mktemp -d)
trap 'cd /; rm -rf "$dir"' EXIT
failures=0
fail() { echo "$1"; failures=$((failures + 1)); }
for _ in $(seq 16); do printf "$(printf '\\%03o' $(seq 0 255))"; done > "$dir/original"
