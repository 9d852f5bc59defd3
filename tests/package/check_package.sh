#!/usr/bin/env bash
# Checks the Debian package as Debian would: its fields, its file list, lintian on the .changes
# (pedantic tags included), the AppStream file, the desktop entry and the manual pages; then
# runs the program from the unpacked package through the end-to-end test on Xvfb (its window,
# pastes, 「終了」). Checks the package that scripts/package.sh built in PACKAGE_DIR, or, without
# one, builds it first in a temporary folder.
#
# Usage: check_package.sh SOURCE_DIR [PACKAGE_DIR]
set -uo pipefail
source_dir="$(realpath -e -- "${1:?usage: $0 SOURCE_DIR [PACKAGE_DIR]}")"

# Tags lintian may still report, each with its reason (also named in README.md, Package).
# None at present.
readonly ALLOWED_TAGS=()

# shellcheck source=../tap.sh
source "$(dirname "$0")/../tap.sh"
missing="$(missing_tools dpkg-buildpackage:dpkg-dev dh:debhelper dpkg-deb:dpkg lintian:lintian \
    appstreamcli:appstream desktop-file-validate:desktop-file-utils man:man-db readelf:binutils)"
[ -z "$missing" ] || bail "$missing"

tmp="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-deb.XXXXXX")" || bail "mktemp failed"
trap 'rm -rf -- "$tmp"' EXIT

version="$(sed -n 's/^project(Pelmor VERSION \([0-9.]*\) .*/\1/p' "$source_dir/CMakeLists.txt")"
arch="$(dpkg --print-architecture)"
if [ $# -ge 2 ]; then
    deb="$(realpath -e -- "$2")/pelmor_${version}_${arch}.deb"
else
    deb="$("$source_dir/scripts/package.sh" "$tmp/build" 2>"$tmp/build.log" | tail -n 1)"
fi
if [ ! -f "$deb" ]; then
    [ -f "$tmp/build.log" ] && note "$(tail -n 30 "$tmp/build.log")"
    bail "no package $deb"
fi
changes="${deb%.deb}.changes"
root="$tmp/root"
dpkg-deb -x "$deb" "$root" || bail "dpkg-deb -x failed"

field() { dpkg-deb --field "$deb" "$1"; }

case_name() {
    [ "$(basename "$deb")" = "pelmor_${version}_${arch}.deb" ] ||
        { note "named $(basename "$deb")"; return 1; }
    # Beside it the debug symbols, named in the .changes file with the package.
    [ -f "$(dirname "$deb")/pelmor-dbgsym_${version}_${arch}.deb" ] || { note "no -dbgsym package"; return 1; }
    grep -q " pelmor_${version}_${arch}.deb\$" "$changes" &&
        grep -q " pelmor-dbgsym_${version}_${arch}.deb\$" "$changes" || { note "$(cat "$changes")"; return 1; }
}

case_fields() {
    local bad=0 depends
    [ "$(field Package)" = pelmor ] || { note "Package: $(field Package)"; bad=1; }
    [ "$(field Version)" = "$version" ] || { note "Version: $(field Version)"; bad=1; }
    [ "$(field Section)" = education ] || { note "Section: $(field Section)"; bad=1; }
    [[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || { note "Maintainer: $(field Maintainer)"; bad=1; }
    # A short description and a long one of several lines.
    [ "$(field Description | wc -l)" -ge 4 ] || { note "Description: $(field Description)"; bad=1; }
    depends="$(field Depends)"
    # Computed from the binary, and the packages the program loads files from.
    for want in 'libqt6widgets6 (>= ' 'libc6 (>= ' 'fonts-ipafont-gothic | fonts-noto-cjk' 'qt6-translations-l10n'; do
        [[ $depends == *"$want"* ]] || { note "Depends lacks '$want': $depends"; bad=1; }
    done
    [[ $(field Recommends) == *qt6-wayland* ]] || { note "Recommends: $(field Recommends)"; bad=1; }
    return $bad
}

case_files() {
    # Every file and nothing else (folders aside).
    local want
    want="$(printf '%s\n' \
        ./usr/bin/pelmor \
        ./usr/share/applications/pelmor.desktop \
        ./usr/share/doc/pelmor/changelog.gz \
        ./usr/share/doc/pelmor/copyright \
        ./usr/share/icons/hicolor/scalable/apps/pelmor.svg \
        ./usr/share/icons/hicolor/{16x16,24x24,32x32,48x48,64x64,128x128,256x256}/apps/pelmor.png \
        ./usr/share/man/ja/man1/pelmor.1.gz \
        ./usr/share/man/man1/pelmor.1.gz \
        ./usr/share/metainfo/io.github.pelmor.pelmor.metainfo.xml | sort)"
    diff <(echo "$want") <(cd "$root" && find . ! -type d | sort) >"$tmp/files.diff" ||
        { note "$(cat "$tmp/files.diff")"; return 1; }
}

case_binary() {
    local bin="$root/usr/bin/pelmor"
    file -b "$bin" | grep -q ', stripped' || { note "$(file -b "$bin")"; return 1; }
    if readelf -d "$bin" | grep -qE '\((RUNPATH|RPATH)\)'; then
        note "$(readelf -d "$bin" | grep -E 'RUNPATH|RPATH')"
        return 1
    fi
}

case_icons() {
    local size bad=0
    for size in 16 24 32 48 64 128 256; do
        file -b "$root/usr/share/icons/hicolor/${size}x${size}/apps/pelmor.png" |
            grep -q "PNG image data, $size x $size" || { note "no ${size}x${size} PNG"; bad=1; }
    done
    grep -q '<svg' "$root/usr/share/icons/hicolor/scalable/apps/pelmor.svg" || { note "no SVG"; bad=1; }
    return $bad
}

case_copyright() {
    local copyright="$root/usr/share/doc/pelmor/copyright"
    head -n 1 "$copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
        grep -qx 'Files: \*' "$copyright" && grep -qx 'License: Expat' "$copyright" ||
        { note "not a machine-readable copyright file"; return 1; }
}

case_lintian() {
    local tags tag allowed
    # Every package of the .changes file, pedantic tags included; root is warned about.
    lintian --no-cfg --pedantic --fail-on none --display-level '>=pedantic' "$changes" 2>&1 |
        grep -v '^running with root privileges' >"$tmp/lintian.txt"
    [ "${PIPESTATUS[0]}" -eq 0 ] || { note "$(cat "$tmp/lintian.txt")"; return 1; }
    tags="$(grep -E '^[EWP]: ' "$tmp/lintian.txt")"
    for allowed in "${ALLOWED_TAGS[@]}"; do
        tags="$(grep -v "^[WP]: pelmor[^:]*: $allowed\b" <<<"$tags")"
    done
    [ -z "$tags" ] || { note "$tags"; return 1; }
}

case_appstream() {
    appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/io.github.pelmor.pelmor.metainfo.xml" \
        >"$tmp/appstream.txt" 2>&1 || { note "$(cat "$tmp/appstream.txt")"; return 1; }
    # Pedantic hints are not failures to appstreamcli; here they are.
    ! grep -qE '^[EWIP]: ' "$tmp/appstream.txt" || { note "$(cat "$tmp/appstream.txt")"; return 1; }
}

case_desktop() {
    local desktop="$root/usr/share/applications/pelmor.desktop"
    desktop-file-validate "$desktop" >"$tmp/desktop.txt" 2>&1 && [ ! -s "$tmp/desktop.txt" ] ||
        { note "$(cat "$tmp/desktop.txt")"; return 1; }
    grep -q '^Keywords\[ja\]=.*暗記' "$desktop" && grep -q '^Categories=.*Languages;' "$desktop" ||
        { note "no Japanese keywords or no Languages category"; return 1; }
}

case_manpages() {
    local page bad=0 out
    for page in "$root/usr/share/man/man1/pelmor.1.gz" "$root/usr/share/man/ja/man1/pelmor.1.gz"; do
        # As lintian reads them: every groff warning counts.
        out="$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)"
        [ -z "$out" ] || { note "$page: $out"; bad=1; }
        lexgrog "$page" | grep -q ': "pelmor - ' || { note "$page: no NAME section"; bad=1; }
    done
    zcat "$root/usr/share/man/man1/pelmor.1.gz" | grep -q '表示するデータ\.txt' || { note "data file not named"; bad=1; }
    return $bad
}

case_runs() {
    bash "$source_dir/tests/e2e/e2e_xserver.sh" "$root/usr/bin/pelmor" >"$tmp/e2e.txt" 2>&1 ||
        { note "$(cat "$tmp/e2e.txt")"; return 1; }
}

check "named pelmor_${version}_<arch>.deb, with its -dbgsym package and .changes file" case_name
check "control fields: name, version, section, maintainer, descriptions, dependencies" case_fields
check "holds exactly the program, desktop entry, icons, AppStream file, manual pages, copyright, changelog" case_files
check "the program is stripped and has no RUNPATH" case_binary
check "icons are PNGs of their size and an SVG" case_icons
check "copyright file is machine-readable (DEP-5)" case_copyright
check "lintian --pedantic on the .changes reports no error, no warning, no pedantic tag" case_lintian
check "appstreamcli validate --pedantic passes without a hint" case_appstream
check "desktop-file-validate passes; Japanese keywords, Languages category" case_desktop
check "manual pages format without a warning and have a NAME line" case_manpages
check "the unpacked program passes the X end-to-end test (window, pastes, 「終了」)" case_runs

echo "1..$count"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
