#!/usr/bin/env bash
# Photographs the Windows build's real message boxes (the success report and the
# usage text) under Wine on a virtual display, for the README: docs/images/*.png.
# Wine's own fonts (fonts-wine: Tahoma for the text, Marlett for the close button) give
# the box the look it has on Windows; without them a substitute is measured, and a line
# can come out cut. Each box is checked for that: its text, read back, must fit its text
# control when laid out in the message font (tests/docs/box_layout.cpp), and no ink may
# touch the control's right edge in the picture.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh cmake ninja-build googletest g++-mingw-w64-x86-64-posix wine64 xvfb \
  imagemagick x11-utils fonts-wine

build=build/windows
prefix=$PWD/$build/wine-screenshots  # a prefix of its own, with Wine's fonts
cmake --preset windows >/dev/null
cmake --build --preset windows --target velmoran velmoran_box_layout
cmake/wine-run.sh "$prefix" cmd /c exit 0
# This Wine reads its own fonts only from the prefix's Fonts folder.
cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/"
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

# ink_on <image> <width>x<height>+<x>+<y>: whether that strip of the picture holds a
# pixel darker than the box's grey background, that is a piece of a letter.
ink_on() {
  local darkest
  darkest=$(convert "$1" -crop "$2" +repage -colorspace Gray -format '%[fx:minima]' info:)
  awk -v darkest="$darkest" 'BEGIN { exit !(darkest < 0.6) }'
}

# check_no_ink_on_right_edge <image> <x y width height of the text control>: a letter
# cut by the control's right edge leaves ink on its outermost column. (The bottom row is
# no such sign: a descender of the last line may reach it.)
check_no_ink_on_right_edge() {
  local image=$1 x=$2 y=$3 width=$4 height=$5
  if ink_on "$image" "1x$height+$((x + width - 1))+$y"; then
    echo "$image: a line of the text is cut at the right edge of its box"
    return 1
  fi
}

# shot <image> <arguments...>: runs the tool in the scratch folder, waits for its
# box, photographs the box alone, checks that its text is whole, then ends the run.
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
  local layout fits=0
  layout=$(/usr/lib/wine/wine64 "$layout_exe" 10 2>"$work/layout" | tr -d '\r') || fits=$?
  import -window "$window" "$image"
  # The same check on the same box, its text control made narrower than the text: it
  # has to see the cut, or it proves nothing.
  local narrowed=0
  /usr/lib/wine/wine64 "$layout_exe" 10 narrow >/dev/null 2>"$work/narrowed" || narrowed=$?
  kill "$tool" 2>/dev/null || true
  wait "$tool" 2>/dev/null || true
  [ "$fits" -eq 0 ] || { echo "$image: $(tr -d '\r' <"$work/layout")"; return 1; }
  [ "$narrowed" -eq 1 ] || { echo "$image: the check did not see a narrowed box's cut"; return 1; }
  # shellcheck disable=SC2086 # the four numbers of the layout
  check_no_ink_on_right_edge "$image" $layout
  echo "took $image: $(tr -d '\r' <"$work/layout") at $layout;" \
    "narrowed, $(tr -d '\r' <"$work/narrowed")"
}

exe=$PWD/$build/Velmoran.exe
layout_exe=$PWD/$build/tests/docs/velmoran_box_layout.exe
printf 'Dear diary, today I encrypted a file.\n' >"$work/notes.txt"
shot "$work/usage-box.png"
shot "$work/success-box.png" -k notes.txt secret
# Only whole pictures replace the README's.
cp "$work/usage-box.png" "$work/success-box.png" docs/images/
