#!/usr/bin/env bash
# Packages the Windows build: a per-user installer (NSIS, installer/pelmor.nsi) and a portable
# zip (top folder Pelmor/) of the folder scripts/windows/build.sh deploys, both with licenses/
# (Pelmor's, Qt's and what Qt compiles in, the MinGW runtime's, and a README on Qt's source).
# The two outputs are byte for byte the same from the same commit: every time in them is
# SOURCE_DATE_EPOCH (default: source-date-epoch.sh's, the last commit's time or, in a tree
# without git history, debian/changelog's) and every mode is set, not inherited.
#
# Usage: scripts/windows/package.sh [--test]
#   --test  then runs the tests labelled windows-package: the installer and the zip under Wine
#           (tests/windows/check_installer.sh) and two more builds compared (check_reproducible.sh).
# Environment: PELMOR_WINDOWS_BUILD (as in build.sh); outputs go under <build>/package/.
# The last two lines of output: the installer's path, then the zip's path.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${PELMOR_WINDOWS_BUILD:-$repo/build/windows}
test=0
[ "${1:-}" = --test ] && test=1
export PELMOR_WINDOWS_BUILD=$build

"$repo/scripts/setup.sh" nsis zip >&2
# Set apart from export, so that a failure to find the time stops the script.
[ -n "${SOURCE_DATE_EPOCH:-}" ] || SOURCE_DATE_EPOCH=$("$repo/scripts/windows/source-date-epoch.sh")
export SOURCE_DATE_EPOCH
deploy=$("$repo/scripts/windows/build.sh" | tail -n 1)
qt=$("$repo/scripts/windows/qt.sh" | tail -n 1)

version=$(sed -n 's/^project(Pelmor VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
[ -n "$version" ] || { echo "package.sh: no version in CMakeLists.txt" >&2; exit 1; }

out=$build/package
stage=$out/Pelmor
rm -rf "$out"
mkdir -p "$out"
cp -r "$deploy" "$stage"

# --- Licences ------------------------------------------------------------------------------
lic=$stage/licenses
mkdir -p "$lic/Pelmor" "$lic/Qt" "$lic/runtime"
cp "$repo/LICENSE" "$lic/Pelmor/LICENSE.txt"
cp -r "$qt/licenses/." "$lic/Qt/"
cp "$qt/SOURCE.txt" "$lic/Qt/SOURCE.txt"
# The Debian package behind each DLL and file that did not come from the Qt build: its terms.
for file in "$stage"/*.dll "$stage/translations/qtbase_ja.qm"; do
    name=$(basename "$file")
    [ -e "$qt/bin/$name" ] && continue
    [[ $name == *.qm ]] && source=/usr/share/qt6/translations/$name ||
        source=$(find "$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")" \
            /usr/x86_64-w64-mingw32/lib -maxdepth 1 -name "$name" | head -n 1)
    package=$(dpkg -S "$(realpath "$source")" | head -n 1 | cut -d: -f1)
    copyright=$(realpath "/usr/share/doc/$package/copyright")
    cp "$copyright" "$lic/runtime/$package.copyright.txt"
    echo "$name: $package $(dpkg-query -W -f='${Version}' "$package")" >>"$lic/runtime/PACKAGES.txt"
done
cat >"$lic/README.txt" <<EOF
Pelmor $version のライセンス文書 / Licences of Pelmor $version

Pelmor/LICENSE.txt
  Pelmor 本体のライセンス (MIT) / Pelmor's own licence (MIT).

Qt/
  Qt 6 (qtbase) は LGPLv3 (Qt/LICENSES/LGPL-3.0-only.txt) の下で、GPLv3 の本文
  (Qt/LICENSES/GPL-3.0-only.txt) とともに配布しています。Qt に組み込まれた第三者の
  コードの帰属表示とライセンスは Qt/ATTRIBUTIONS.txt、Qt/src/**/qt_attribution.json と
  その横のファイル、Qt/debian-copyright にあります。
  Qt 6 (qtbase) is used under the LGPLv3 (Qt/LICENSES/LGPL-3.0-only.txt), with the GPLv3
  text beside it (Qt/LICENSES/GPL-3.0-only.txt). The attributions and licences of the
  third-party code compiled into the Qt libraries are in Qt/ATTRIBUTIONS.txt,
  Qt/src/**/qt_attribution.json with the files next to them, and Qt/debian-copyright.

  Qt のソース / Qt's source: Debian のソース パッケージ (Debian source package)
  $(sed -n 's/^Source package: //p' "$qt/SOURCE.txt") $(sed -n 's/^Version: //p' "$qt/SOURCE.txt") を無変更で、Pelmor の scripts/windows/qt.sh が
  次の設定でビルドしました / built unmodified by Pelmor's scripts/windows/qt.sh with:
  $(sed -n 's/^Configure: //p' "$qt/SOURCE.txt")
  詳細は Qt/SOURCE.txt / details in Qt/SOURCE.txt. Qt のライブラリは独立した DLL なので、
  同じバージョンの別ビルドに置き換えられます / the Qt libraries are separate DLLs and can
  be replaced by another build of the same version.

runtime/
  MinGW-w64 の実行時 DLL (libstdc++, libgcc: GCC Runtime Library Exception 付きの GPLv3;
  libwinpthread) と Qt の日本語訳の Debian 著作権ファイル。PACKAGES.txt にどの DLL が
  どのパッケージから来たかを記しています。
  The Debian copyright files of the MinGW-w64 runtime DLLs (libstdc++, libgcc: GPLv3 with
  the GCC Runtime Library Exception; libwinpthread) and of Qt's Japanese translation;
  PACKAGES.txt names the package each came from.
EOF
sed -i 's/$/\r/' "$lic/README.txt"

# --- Same bytes every time ------------------------------------------------------------------
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +
find "$stage" -type f \( -name '*.exe' -o -name '*.dll' \) -exec chmod 755 {} +
find "$stage" -exec env TZ=UTC touch -h -d "@$SOURCE_DATE_EPOCH" {} +

# --- Installer -----------------------------------------------------------------------------
# Every file by name, so the uninstaller removes what was installed and no more.
files=$out/files.nsh unfiles=$out/unfiles.nsh
: >"$files"
: >"$unfiles"
(cd "$stage" && find . -mindepth 1 -type d | LC_ALL=C sort) >"$out/dirs"
(cd "$stage" && find . -type f | LC_ALL=C sort) >"$out/list"
windows() { local p=${1#./}; printf '%s' "${p//\//\\}"; }
dir=.
while IFS= read -r f; do
    d=$(dirname "$f")
    if [ "$d" != "$dir" ]; then
        if [ "$d" = . ]; then echo 'SetOutPath "$INSTDIR"'; else echo "SetOutPath \"\$INSTDIR\\$(windows "$d")\""; fi
        dir=$d
    fi
    echo "File \"$stage/${f#./}\""
    echo "Delete \"\$INSTDIR\\$(windows "$f")\"" >>"$unfiles"
done <"$out/list" >"$files"
echo 'SetOutPath "$INSTDIR"' >>"$files"
LC_ALL=C sort -r "$out/dirs" | while IFS= read -r d; do echo "RMDir \"\$INSTDIR\\$(windows "$d")\""; done >>"$unfiles"

installer=$out/pelmor-$version-windows-x64-installer.exe
makensis -V2 -INPUTCHARSET UTF8 -WX -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$installer" \
    -DFILES="$files" -DUNFILES="$unfiles" -DLICENSE="$repo/LICENSE" \
    -DICON="$repo/src/resources/windows/pelmor.ico" "$repo/installer/pelmor.nsi" >&2

# --- Portable zip --------------------------------------------------------------------------
zip=$out/pelmor-$version-windows-x64-portable.zip
# DOS times in a zip are local times: UTC makes them the same everywhere.
(cd "$out" && find Pelmor -type f | LC_ALL=C sort | TZ=UTC zip -q -X -D "$zip" -@)

# No code-signing certificate exists here: Windows names the publisher unknown, and a learner
# compares this checksum with the one published beside the installer.
(cd "$out" && sha256sum "$(basename "$installer")" "$(basename "$zip")" >SHA256SUMS)
sed 's/^/sha256: /' "$out/SHA256SUMS" >&2
if [ $test = 1 ]; then
    ctest --test-dir "$build" --output-on-failure -L windows-package >&2
fi
echo "$installer"
echo "$zip"
