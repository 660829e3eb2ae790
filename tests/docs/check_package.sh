#!/usr/bin/env bash
# Checks the release packages in a folder as a user gets them: the Debian package's
# files where Debian keeps them, unpacked into a scratch root, the tool run once from
# there, and its manual page rendered without a warning; the archive holds the same.
# Usage: tests/docs/check_package.sh PACKAGE_FOLDER
set -euo pipefail
folder=$1
deb=$(ls -t "$folder"/velmoran_*.deb | head -1)  # the newest, should older ones lie beside it
archive=$(ls -t "$folder"/Velmoran-*-linux-*.tar.gz | head -1)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

[ "$(dpkg-deb --field "$deb" Package)" = velmoran ] || fail "the package is not named velmoran"
[[ "$(dpkg-deb --field "$deb" Depends)" == *libc6* ]] || fail "the package names no libraries it needs"
listed=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
archived=$(tar tzf "$archive")
for path in usr/bin/velmoran usr/share/man/man1/velmoran.1.gz usr/share/doc/velmoran/README.md \
            usr/share/doc/velmoran/copyright; do
  grep -qx "./$path" <<<"$listed" || fail "the package lacks /$path"
  grep -q "/${path#usr/}$" <<<"$archived" || fail "the archive lacks ${path#usr/}"
done
outside=$(grep -v '^\./usr/' <<<"$listed" | grep -vx './' || true)
[ -z "$outside" ] || fail "the package puts files outside /usr: $outside"

dpkg-deb -x "$deb" "$work/root"
tool=$work/root/usr/bin/velmoran
printf 'A first file, and its way back.\n' >"$work/plain.txt"
"$tool" -c -k "$work/plain.txt" "$work/plain.enc" "a key" 2>"$work/report"
grep -qx 'Velmoran: Encryption/decryption successful.' "$work/report" ||
  fail "no success report: $(cat "$work/report")"
! cmp -s "$work/plain.txt" "$work/plain.enc" || fail "the tool left the bytes as they were"
"$tool" -s -c -k "$work/plain.enc" "$work/back.txt" "a key"
cmp "$work/plain.txt" "$work/back.txt" || fail "the round trip did not give the file back"

page=$work/root/usr/share/man/man1/velmoran.1.gz
warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
[ -z "$warnings" ] || fail "groff warns about the manual page: $warnings"
rendered=$(MANWIDTH=80 man --warnings -l "$page" 2>"$work/man-warnings")
[ ! -s "$work/man-warnings" ] || fail "man warns: $(cat "$work/man-warnings")"
grep -q '^NAME' <<<"$rendered" && grep -q 'encrypt or decrypt a file with a repeating' <<<"$rendered" ||
  fail "the manual page does not render: $rendered"
echo "package checked: $(basename "$deb") and $(basename "$archive")"
