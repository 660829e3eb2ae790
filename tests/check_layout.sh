#!/bin/sh
# Fails when the tree breaks its layout: code outside src/platform tests the platform,
# the logic includes a system header, or a folder includes what it may not:
#   cipher        the standard library only
#   cmdline       itself, the job record, the status and the seam
#   app           itself, cmdline, cipher and the seam
#   platform/*    itself and the seam (its entry point also the job driver's header)
# The seam is platform/platform.h and heap_block.h, the logic's owner of its blocks.
root=${1:-.}
status=0
hits=$(grep -rnE '^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif).*(_WIN32|_WIN64|__linux__|__unix__|__APPLE__|_MSC_VER|__MINGW)' \
  "$root/src" "$root/tests" "$root/bench" "$root/fuzz" 2>/dev/null | grep -v "^$root/src/platform/")
if [ -n "$hits" ]; then
  echo "platform tests outside src/platform:"; echo "$hits"; status=1
fi
system=$(grep -rnE '#include <(unistd|fcntl|windows|dirent|sys/[a-z_]+|pthread|signal|time)\.h>' \
  "$root/src/app" "$root/src/cmdline" "$root/src/cipher")
if [ -n "$system" ]; then
  echo "system headers in the logic:"; echo "$system"; status=1
fi

seam='platform/platform\.h|platform/heap_block\.h'
# check FOLDER ALLOWED: every #include "..." under src/FOLDER must match ALLOWED.
check() {
  bad=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$root/src/$1" |
    grep -vE "#[[:space:]]*include[[:space:]]*\"($2)\"")
  if [ -n "$bad" ]; then
    echo "src/$1 includes what it may not:"; echo "$bad"; status=1
  fi
}
check cipher 'cipher/[a-z_]+\.h'
check cmdline "cmdline/[a-z_]+\.h|app/job_settings\.h|app/status\.h|$seam"
check app "app/[a-z_]+\.h|cmdline/[a-z_]+\.h|cipher/[a-z_]+\.h|$seam"
for platform in "$root"/src/platform/*/; do
  name=$(basename "$platform")
  check "platform/$name" "platform/$name/[a-z_0-9]+\.h|platform/platform\.h|app/job\.h"
done
entries=$(grep -lE '#[[:space:]]*include[[:space:]]*"app/job\.h"' "$root"/src/platform/*/*.cpp)
# the entry points may include the job driver's header, and nothing else may
for entry in $entries; do
  [ "$(basename "$entry")" = entry.cpp ] || { echo "only entry.cpp starts the job: $entry"; status=1; }
done
# the cipher's other includes are the C++ standard library's own (<cstring>, <array>)
nonstandard=$(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<' "$root/src/cipher" |
  grep -vE '<[a-z_]+>')
if [ -n "$nonstandard" ]; then
  echo "src/cipher includes more than the standard library:"; echo "$nonstandard"; status=1
fi
# heap_block.h leans on the seam alone
check_file() {
  bad=$(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$root/src/$1" | grep -vE "\"($2)\"")
  [ -z "$bad" ] || { echo "src/$1 includes what it may not:"; echo "$bad"; status=1; }
}
check_file platform/heap_block.h 'platform/platform\.h'
check_file platform/platform.h 'none'
# one executable for the tool
tools=$(grep -rhoE 'add_executable\(velmoran[[:space:])]' "$root/src" | wc -l)
if [ "$tools" -ne 1 ]; then
  echo "the tool needs exactly one add_executable, found $tools"; status=1
fi
exit $status
