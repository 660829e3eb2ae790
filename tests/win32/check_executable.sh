#!/bin/sh
# Checks the linked Velmoran.exe: Windows GUI subsystem (no console), and imports from
# the DLLs every Windows has (KERNEL32, USER32, ADVAPI32, msvcrt), nothing else.
# Usage: check_executable.sh <objdump> <Velmoran.exe>
set -u
objdump=$1
exe=$2
headers=$("$objdump" -p "$exe") || exit 1
status=0
echo "$headers" | grep -q '^Subsystem[[:space:]].*(Windows GUI)' || {
  echo "not a Windows GUI program:"; echo "$headers" | grep '^Subsystem'; status=1; }
dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
[ "$dlls" = "advapi32.dll kernel32.dll msvcrt.dll user32.dll " ] || {
  echo "unexpected imports: $dlls"; status=1; }
echo "$headers" | grep -q 'Resource Directory \[\.rsrc\]' || { echo "no resources"; status=1; }
exit $status
