#!/usr/bin/env bash
# Installs, from Debian's archive, whatever the build and the tests need and this
# machine lacks. Usage: scripts/install-deps.sh [package...] (default: the native set).
set -euo pipefail

native=(cmake ninja-build g++ clang clang-tidy clang-format libgtest-dev libgmock-dev openssl
        googletest libbenchmark-dev valgrind e2fsprogs time python3 man-db groff-base dpkg-dev
        acl attr btrfs-progs util-linux)
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=("${native[@]}")

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
