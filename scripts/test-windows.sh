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

# The kernel ratios, built for Windows: a short smoke run under Wine (timings are not checked).
cmake --preset windows-bench >/dev/null
cmake --build --preset windows-bench
cmake/wine-run.sh "$PWD/build/windows-bench/wine" build/windows-bench/bench/velmoran_kernel_ratios.exe 4 1
(cd "$build" && cpack >/dev/null && echo "packed: $(ls package/*.zip)")
