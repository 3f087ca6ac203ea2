#!/usr/bin/env bash
# Installs the build into a scratch root and checks that everything a desktop needs is
# in place and valid: the program, its desktop entry, icons, metainfo and manual page.
set -euo pipefail
source_dir=$1
build_dir=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

DESTDIR="$root" cmake --install "$build_dir" --prefix /usr > /dev/null
share="$root/usr/share"
expected=(
    usr/bin/pelmora
    usr/share/applications/pelmora.desktop
    usr/share/metainfo/org.pelmora.Pelmora.metainfo.xml
    usr/share/man/man1/pelmora.1.gz
    usr/share/doc/pelmora/copyright
    usr/share/icons/hicolor/scalable/apps/pelmora.svg
)
for size in 16 24 32 48 64 128 256; do
    expected+=("usr/share/icons/hicolor/${size}x${size}/apps/pelmora.png")
done
status=0
for f in "${expected[@]}"; do
    if [ ! -s "$root/$f" ]; then
        echo "missing after install: /$f"
        status=1
    fi
done
# Each PNG is as large as the folder it lies in says.
for size in 16 24 32 48 64 128 256; do
    png="$share/icons/hicolor/${size}x${size}/apps/pelmora.png"
    [ -s "$png" ] || continue
    read -r w h < <(python3 -c 'import struct,sys; d=open(sys.argv[1],"rb").read(24); print(*struct.unpack(">II", d[16:24]))' "$png")
    if [ "$w" != "$size" ] || [ "$h" != "$size" ]; then
        echo "icon ${size}x${size} is ${w}x${h}"
        status=1
    fi
done

desktop-file-validate "$share/applications/pelmora.desktop" || status=1
appstreamcli validate --no-net "$share/metainfo/org.pelmora.Pelmora.metainfo.xml" || status=1
# The entry names an icon and a program that the install put there.
grep -qx 'Icon=pelmora' "$share/applications/pelmora.desktop" || { echo "desktop entry: icon"; status=1; }
grep -qx 'Exec=pelmora' "$share/applications/pelmora.desktop" || { echo "desktop entry: exec"; status=1; }

# The manual page formats without warnings and names what --help names.
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$share/man/man1/pelmora.1.gz" 2>&1 >/dev/null || true)
if [ -n "$warnings" ]; then
    echo "man page warnings: $warnings"
    status=1
fi
page=$(LC_ALL=C.UTF-8 MANWIDTH=200 man -l "$share/man/man1/pelmora.1.gz" 2>/dev/null | col -b)
for word in --headless --configure --settings --dry-run --quiet --verbose --log-file \
            --exclude --max-delete --show --list-sites PELMORA_PASSWORD PELMORA.INI .pelmoraignore \
            FTP.server FTP.dataMode Options.delete Options.timeout; do
    grep -qF -- "$word" <<<"$page" || { echo "man page lacks $word"; status=1; }
done
# The man page and the README name every key of the settings table, which --help prints
# itself; the count guards against a table this pattern no longer reads.
settings="$source_dir/app/settings.cpp"
mapfile -t keys < <(grep -oE '^ *\{"[A-Za-z]+", "[A-Za-z]+", (Text|Integer|Boolean),' "$settings" |
                    sed -E 's/^ *\{"([A-Za-z]+)", "([A-Za-z]+)".*/\1.\2/')
declared=$(grep -oE 'std::array<TSetting, [0-9]+> SettingKeys' "$settings" | grep -oE '[0-9]+')
if [ "${#keys[@]}" != "$declared" ]; then
    echo "read ${#keys[@]} settings keys from $settings, it declares $declared"
    status=1
fi
readme=$(cat "$source_dir/README.md")
for key in "${keys[@]}"; do
    pattern="(^|[^A-Za-z.])${key//./\\.}([^A-Za-z]|\$)"
    grep -qE -- "$pattern" <<<"$page" || { echo "man page lacks the key $key"; status=1; }
    grep -qE -- "$pattern" <<<"$readme" || { echo "README lacks the key $key"; status=1; }
done
for code in 0 1 2 3 4 5 6 130 143; do
    grep -qE "^ +$code +[A-Z]" <<<"$page" || { echo "man page lacks exit status $code"; status=1; }
done
# One version everywhere: the program, the manual page and the metainfo's newest release
# say the one CMake's project() gives, which is also the package's.
version=$(sed -nE 's/^project\(Pelmora VERSION ([0-9.]+).*/\1/p' "$source_dir/CMakeLists.txt")
said=$("$root/usr/bin/pelmora" --version) || status=1
[ "$said" = "Pelmora $version" ] || { echo "--version says \"$said\", CMake $version"; status=1; }
grep -qE "^\.TH PELMORA 1 \"[^\"]*\" \"Pelmora $version\"" "$source_dir/packaging/pelmora.1" ||
    { echo "the man page's title does not say $version"; status=1; }
newest=$(grep -oE '<release version="[^"]+"' "$share/metainfo/org.pelmora.Pelmora.metainfo.xml" |
         head -1 | cut -d'"' -f2)
[ "$newest" = "$version" ] || { echo "the metainfo's newest release is $newest, CMake $version"; status=1; }
exit $status
