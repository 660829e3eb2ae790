#!/usr/bin/env bash
# Runs a Windows program under Wine in the given prefix, creating the prefix first when
# it is not there yet. Usage: wine-run.sh <prefix> <program.exe> [arguments...]
set -uo pipefail
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=${VELMORAN_WINE:-/usr/lib/wine/wine64}

if [ ! -e "$prefix/.velmoran-ready" ]; then
  mkdir -p "$prefix"
  (
    flock 9
    if [ ! -e "$prefix/.velmoran-ready" ]; then
      "$wine" wineboot --init >/dev/null 2>&1
      # Without a window manager (Xvfb), Wine waits about 2 s for every managed window
      # it hides; unmanaged windows close at once.
      "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
      "${wine%/*}/wineserver" -w
      touch "$prefix/.velmoran-ready"
    fi
  ) 9>"$prefix.lock"
fi

# A test run keeps one persistent Wine server (VELMORAN_WINE_KEEP_SERVER set): a new
# server would exit a moment after its last program, and a program started in that
# moment can fail before it prints anything. If the server went away (it crashed, or
# was ended), a persistent one is started again here and that is reported; a running
# one makes this call return at once (status 2).
keep_server() {
  [ -n "${VELMORAN_WINE_KEEP_SERVER:-}" ] || return 0
  if "${wine%/*}/wineserver" -p 2>/dev/null; then
    echo "wine-run.sh: the Wine server had gone away $1; a persistent one is started again" >&2
  fi
}
keep_server "before this program"

# Windows programs end their lines with CR LF; the readers of this output (CTest, the
# test discovery) expect plain line feeds. A program whose connection to the Wine
# server broke ("wine client error") never got to run its course: that is Wine's
# failure, not the program's, and it runs once more.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
for attempt in 1 2; do
  "$wine" "$@" 2>"$errors" | tr -d '\r'
  status=${PIPESTATUS[0]}
  cat "$errors" >&2
  keep_server "while this program ran"
  if [ "$status" -eq 0 ] || [ "$attempt" -eq 2 ] || ! grep -q "wine client error" "$errors"; then
    break
  fi
  echo "wine-run.sh: the Wine server went away; running again" >&2
done
exit "$status"
