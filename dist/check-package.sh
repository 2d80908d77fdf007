#!/usr/bin/env bash
# Makes the Debian package from a build folder and checks it: its contents, the
# menu entry, the file type, the AppStream metainfo, the manual pages, lintian (any error fails).
# With --install (as root) it then installs the package with apt-get, which
# proves that Depends is complete, converts the known old setup with the
# installed tarvik-convert, starts the installed window, and removes the
# package again.
#
# Needs: cpack, dpkg-dev, file, lintian, desktop-file-utils, shared-mime-info, groff-base, man-db,
# xdg-utils, libfile-mimeinfo-perl (xdg-mime asks the MIME database through its mimetype), appstream.
set -euo pipefail

usage() { echo "usage: $0 BUILD_DIR [--install]" >&2; exit 2; }
[ $# -ge 1 ] && [ $# -le 2 ] || usage
build=$(cd "$1" && pwd)
install=0
if [ $# -eq 2 ]; then
    [ "$2" = --install ] || usage
    install=1
fi
source=$(cd "$(dirname "$0")/.." && pwd)
app_id=com.example.TarvikSetupConverter
package=tarvik-setup-converter

fail() { echo "check-package: $*" >&2; exit 1; }
for tool in cpack dpkg-deb dpkg-shlibdeps dpkg-parsechangelog file lintian desktop-file-validate update-mime-database groff man xdg-mime mimetype appstreamcli; do
    command -v "$tool" >/dev/null || fail "$tool is missing (packages: cmake dpkg-dev file lintian desktop-file-utils shared-mime-info groff-base man-db xdg-utils libfile-mimeinfo-perl appstream)"
done

rm -f "$build"/${package}_*.deb
(cd "$build" && cpack -G DEB)
debs=("$build"/${package}_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one ${package}_*.deb in $build"
deb=${debs[0]}
version=$(dpkg-deb -f "$deb" Version)
echo "== $(basename "$deb")"
dpkg-deb -f "$deb" Depends

listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in usr/bin/tarvik-convert usr/bin/tarvik-setup-converter \
            usr/share/applications/$app_id.desktop \
            usr/share/mime/packages/$app_id.xml \
            usr/share/icons/hicolor/scalable/apps/$app_id.svg \
            usr/share/metainfo/$app_id.metainfo.xml \
            usr/share/man/man1/tarvik-convert.1.gz usr/share/man/man1/tarvik-setup-converter.1.gz \
            usr/share/doc/$package/copyright usr/share/doc/$package/changelog.gz; do
    grep -qx "\./$path" <<<"$listing" || fail "the package lacks /$path"
done
dpkg-deb -f "$deb" Depends | grep -Eq '(^|, )libqt[56]svg[56]($|,)' \
    || fail "Depends lacks Qt's SVG plugins, which draw the window icon"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work/root"
share=$work/root/usr/share

# The menu entry, and the icon and file type it names.
desktop=$share/applications/$app_id.desktop
desktop-file-validate "$desktop"
entry() { sed -n "s/^$1=//p" "$desktop"; }
[ "$(entry Icon)" = "$app_id" ] || fail "the menu entry's Icon is not $app_id"
[ "$(entry Exec)" = "tarvik-setup-converter %F" ] || fail "the menu entry's Exec does not take files"
# What software centres show: valid, and naming this menu entry and release.
appstreamcli validate --no-net "$share/metainfo/$app_id.metainfo.xml"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$share/metainfo/$app_id.metainfo.xml" \
    || fail "the metainfo does not name the menu entry"
grep -q "<release version=\"${version%%-*}\"" "$share/metainfo/$app_id.metainfo.xml" \
    || fail "the metainfo's release is not $version"
mime_type=$(sed -n 's/.*<mime-type type="\([^"]*\)".*/\1/p' "$share/mime/packages/$app_id.xml")
[ "$(entry MimeType)" = "$mime_type;" ] || fail "the menu entry's MimeType is not the packaged type $mime_type"
mkdir -p "$work/mime/packages"
cp "$share/mime/packages/$app_id.xml" "$work/mime/packages/"
XDG_DATA_DIRS=$work update-mime-database "$work/mime"
grep -q ":$mime_type:\*\.hex$" "$work/mime/globs2" || fail "*.hex is not registered as $mime_type"
# Other makers' *.hex files are Intel HEX too: the type must not call them Tarvik setups.
comment=$(sed -n 's/^ *<comment>\(.*\)<\/comment>$/\1/p' "$work/mime/$mime_type.xml")
[ "$comment" = "Intel HEX file" ] || fail "$mime_type is described as '$comment', not as an Intel HEX file"

# Manual pages: no warnings from groff, and man renders them.
for page in "$share"/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | groff -man -ww -z 2>&1)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    man -l "$page" >/dev/null
done

zcat "$share/doc/$package/changelog.gz" >"$work/changelog"
changelog_version=$(dpkg-parsechangelog -l "$work/changelog" -S Version)
[ "$changelog_version" = "$version" ] \
    || fail "the changelog's newest entry is for $changelog_version, the package is $version: add an entry to dist/changelog"

# Errors fail; warnings and notes are shown for the reader of the log.
lintian --fail-on error --display-info "$deb"
echo "lintian: no errors"

[ $install = 1 ] || exit 0
apt-get install -y -qq --no-install-recommends "$deb"
trap 'apt-get purge -y -qq $package; rm -rf "$work"' EXIT
[ "$(/usr/bin/tarvik-convert --version)" = "tarvik-convert $version" ] || fail "tarvik-convert --version does not say $version"
[ "$(QT_QPA_PLATFORM=offscreen /usr/bin/tarvik-setup-converter --version)" = "tarvik-setup-converter $version" ] \
    || fail "tarvik-setup-converter --version does not say $version"
/usr/bin/tarvik-convert "$source/tests/data/old-setup.hex" "$work/new-setup.hex"
cmp "$work/new-setup.hex" "$source/tests/data/new-setup.hex" || fail "the installed tarvik-convert converts differently"
[ -f "/usr/share/mime/${mime_type}.xml" ] || fail "installing did not register $mime_type"
# A setup and another maker's firmware image are both what their name says, Intel HEX
# files, and the converter is offered for them.
printf ':020000040800F2\n:0400000000200020BC\n:00000001FF\n' >"$work/firmware.hex"
for file in "$source/tests/data/old-setup.hex" "$work/firmware.hex"; do
    type=$(XDG_CURRENT_DESKTOP= xdg-mime query filetype "$file")
    [ "$type" = "$mime_type" ] || fail "xdg-mime calls $(basename "$file") $type, not $mime_type"
done
[ "$(XDG_CURRENT_DESKTOP= xdg-mime query default "$mime_type")" = "$app_id.desktop" ] \
    || fail "the converter is not offered for $mime_type"
# The window must still be running after a few seconds: its libraries and plugins loaded.
status=0
QT_QPA_PLATFORM=offscreen timeout 3 /usr/bin/tarvik-setup-converter || status=$?
[ $status = 124 ] || fail "the installed tarvik-setup-converter ended with status $status at start"
apt-get purge -y -qq $package
trap 'rm -rf "$work"' EXIT
[ ! -e /usr/bin/tarvik-convert ] || fail "removing the package left /usr/bin/tarvik-convert behind"
echo "installed package: tarvik-convert $version converts the known setup, the window starts; removed again"
