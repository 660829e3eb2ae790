#!/usr/bin/env bash
# Builds the Windows executable with MinGW-w64 and runs its tests under Wine, with
# message boxes on a virtual X display. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake ninja-build googletest g++-mingw-w64-x86-64-posix wine64 xvfb locales

build=build/windows
prefix=$PWD/$build/wine
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake/wine-run.sh "$prefix" cmd /c exit 0  # makes the Wine prefix if the build did not
# The build ran Wine without a display; a session that began so keeps showing no
# windows, so it has to end before the tests start a new one on the display.
WINEPREFIX=$prefix /usr/lib/wine/wineserver -w

# A display of its own, on the first free number; Xvfb reports which one it took.
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb=$!
stop() {
  WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true  # ends its programs too
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -f "$display_file"
}
trap stop EXIT
for _ in $(seq 100); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
[ -s "$display_file" ] || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -1 "$display_file")

# One Wine server for the whole run. Left to itself, the server exits a moment after
# its last program, and a program started in that moment can fail before it prints
# anything: every test is a program of its own, so over hundreds of them that happens.
WINEPREFIX=$prefix /usr/lib/wine/wineserver -p

# and cmake/wine-run.sh starts it again, reporting it, should it ever go away.
VELMORAN_WINE_KEEP_SERVER=1 ctest --preset windows

# The portable end-to-end cases, the same source and tables as the native run, against
# Velmoran.exe: their runner starts it through the box reader under this Wine server and
# reads its message boxes where a native run reads standard error. Two shards side by
# side, as ctest runs two tests.
cmake --preset native >/dev/null
cmake --build --preset native --target velmoran_e2e
shared_logs=$(mktemp -d)
shared_start=$SECONDS
shards=2
shard_pids=()
for shard in $(seq 0 $((shards - 1))); do
  VELMORAN_E2E_TOOL=$PWD/$build/Velmoran.exe \
    VELMORAN_E2E_BOX_READER=$PWD/$build/tests/win32/velmoran_box_reader.exe \
    VELMORAN_E2E_WINE_PREFIX=$prefix GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$shard \
    build/native/tests/e2e/velmoran_e2e --gtest_filter='CommandLine/*:Job/*:Cipher/*' \
    >"$shared_logs/$shard.log" 2>&1 &
  shard_pids+=($!)
done
shared_failed=0
for pid in "${shard_pids[@]}"; do
  wait "$pid" || shared_failed=1
done
for log in "$shared_logs"/*.log; do
  if [ "$shared_failed" -ne 0 ]; then cat "$log"; else grep -E '^\[  (PASSED|SKIPPED) ' "$log"; fi
done
rm -rf "$shared_logs"
echo "shared end-to-end cases under Wine: $((SECONDS - shared_start)) s"
[ "$shared_failed" -eq 0 ] || { echo "shared end-to-end cases failed under Wine"; exit 1; }

# The kernel ratios, built for Windows: a short smoke run under Wine (timings are not checked).
cmake --preset windows-bench >/dev/null
cmake --build --preset windows-bench
cmake/wine-run.sh "$PWD/build/windows-bench/wine" build/windows-bench/bench/velmoran_kernel_ratios.exe 4 1
(cd "$build" && cpack >/dev/null && echo "packed: $(ls package/*.zip)")
