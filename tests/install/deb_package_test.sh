#!/usr/bin/env bash
# Builds the Debian package, installs it on this machine, runs the installed program
# and removes the package again. Skipped (77) where dpkg cannot be used.
set -euo pipefail
build_dir=$1

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi
}
skip() { echo "SKIPPED: $*"; exit 77; }

command -v dpkg > /dev/null || skip "dpkg is not on this machine"
command -v dpkg-shlibdeps > /dev/null || skip "dpkg-shlibdeps (dpkg-dev) is not on this machine"
as_root true 2> /dev/null || skip "installing packages needs root or password-less sudo"
if dpkg-query -W -f='${Status}' pelmora 2> /dev/null | grep -q 'install ok installed'; then
    skip "a pelmora package is installed already; it is left alone"
fi

out=$(mktemp -d)
chmod 755 "$out"
trap 'rm -rf "$out"' EXIT
(cd "$out" && cpack --config "$build_dir/CPackConfig.cmake" -B "$out" > cpack.log 2>&1) ||
    { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/pelmora_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
status=0
for needed in libqt6widgets6 libqt6svg6 libqt6keychain1 qt6-qpa-plugins libc6; do
    grep -q "$needed" <<<"$depends" || { echo "the package does not depend on $needed"; status=1; }
done

# What Debian's own checks ask of a package: a long description under the summary, the
# manual page compressed with neither name nor time in its header (the same page gives the
# same bytes), and the copyright file.
description=$(dpkg-deb -f "$deb" Description)
lines=$(wc -l <<<"$description")
[ "$lines" -ge 4 ] || { echo "the description has $lines lines:"; echo "$description"; status=1; }
mkdir "$out/root"
dpkg-deb -x "$deb" "$out/root"
man_page="$out/root/usr/share/man/man1/pelmora.1.gz"
if gzip -t "$man_page" 2> /dev/null; then
    header=$(od -An -tx1 -N8 "$man_page" | tr -d ' \n')
    # Bytes 4 to 7 are the time, flag 0x08 a stored name: both must be empty.
    [ "${header:8:8}" = 00000000 ] || { echo "the man page's gzip header keeps a time"; status=1; }
    (( (16#${header:6:2} & 8) == 0 )) || { echo "the man page's gzip header keeps a name"; status=1; }
else
    echo "no compressed man page in the package"
    status=1
fi
[ ! -e "$out/root/usr/share/man/man1/pelmora.1" ] || { echo "an uncompressed man page too"; status=1; }
grep -q '^Copyright: .*Pelmora' "$out/root/usr/share/doc/pelmora/copyright" 2> /dev/null ||
    { echo "no copyright file in /usr/share/doc/pelmora"; status=1; }

as_root dpkg -i "$deb" > /dev/null
trap 'as_root dpkg -r pelmora > /dev/null || true; rm -rf "$out"' EXIT
version=$(/usr/bin/pelmora --version) || status=1
echo "installed: $version"
[ "$version" = "Pelmora $(dpkg-deb -f "$deb" Version)" ] ||
    { echo "the package's version is not the program's"; status=1; }
[ -s /usr/share/applications/pelmora.desktop ] || { echo "no desktop entry"; status=1; }
as_root dpkg -r pelmora > /dev/null
trap 'rm -rf "$out"' EXIT
[ ! -e /usr/bin/pelmora ] || { echo "/usr/bin/pelmora is left after removal"; status=1; }
exit $status
