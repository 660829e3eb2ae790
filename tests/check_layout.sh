#!/bin/sh
# Fails when code outside src/platform tests the platform or includes a system header
# in the logic.
root=${1:-.}
status=0
hits=$(grep -rnE '^[[:space:]]*#[[:space:]]*(if|ifdef|ifndef|elif).*(_WIN32|_WIN64|__linux__|__unix__|__APPLE__|_MSC_VER|__MINGW)' \
  "$root/src" "$root/tests" "$root/bench" "$root/fuzz" 2>/dev/null | grep -v "^$root/src/platform/")
if [ -n "$hits" ]; then
  echo "platform tests outside src/platform:"; echo "$hits"; status=1
fi
system=$(grep -rnE '#include <(unistd|fcntl|windows|sys/[a-z_]+|pthread|signal|time)\.h>' \
  "$root/src/app" "$root/src/cmdline" "$root/src/cipher")
if [ -n "$system" ]; then
  echo "system headers in the logic:"; echo "$system"; status=1
fi
exit $status
