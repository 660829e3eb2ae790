#!/usr/bin/env bash
# Photographs the Windows build's real message boxes (the success report and the
# usage text) under Wine on a virtual display, for the README: docs/images/*.png.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake ninja-build googletest g++-mingw-w64-x86-64-posix wine64 xvfb \
  imagemagick x11-utils

build=build/windows
prefix=$PWD/$build/wine
[ -x "$build/Velmoran.exe" ] || { cmake --preset windows >/dev/null && cmake --build --preset windows; }
cmake/wine-run.sh "$prefix" cmd /c exit 0
export WINEPREFIX=$prefix WINEDEBUG=-all
/usr/lib/wine/wineserver -w

work=$(mktemp -d)
display_file=$work/display
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb=$!
stop() {
  /usr/lib/wine/wineserver -w || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap stop EXIT
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
export DISPLAY=:$(head -1 "$display_file")

# shot <image> <arguments...>: runs the tool in the scratch folder, waits for its
# box, photographs the box alone, then ends the run.
shot() {
  local image=$1
  shift
  (cd "$work" && exec /usr/lib/wine/wine64 "$exe" "$@") &
  local tool=$!
  local window=""
  for _ in $(seq 200); do
    window=$(xwininfo -root -tree 2>/dev/null | awk '/"Velmoran"/ { print $1; exit }')
    [ -n "$window" ] && break
    sleep 0.05
  done
  [ -n "$window" ] || { echo "no box appeared for $image"; kill "$tool"; return 1; }
  sleep 0.5  # let the box finish painting
  import -window "$window" "$image"
  kill "$tool" 2>/dev/null || true
  wait "$tool" 2>/dev/null || true
  echo "wrote $image"
}

exe=$PWD/$build/Velmoran.exe
printf 'Dear diary, today I encrypted a file.\n' >"$work/notes.txt"
shot "$PWD/docs/images/usage-box.png"
shot "$PWD/docs/images/success-box.png" -k notes.txt secret
