#!/usr/bin/env bash
# Builds Pelmor for 64-bit Windows on Debian: Qt from Debian's own source (qt.sh, cached),
# MinGW-w64, then a folder that runs as it stands on Windows: pelmor.exe, the Qt DLLs and
# plugins it loads, the MinGW runtime DLLs (all found from the programs' imports), Qt's
# Japanese translation and a qt.conf. The folder's path is the last line of output.
#
# Usage: scripts/windows/build.sh [--test]
#   --test  also runs every test program of the Windows build under Wine (offscreen, in a
#           Wine prefix of the build's own) and the deployed program end to end on an Xvfb;
#           the installer's tests are package.sh --test's.
# Environment: PELMOR_CACHE (see qt.sh), PELMOR_WINDOWS_BUILD (default build/windows).
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
test=0
[ "${1:-}" = --test ] && test=1

"$repo/scripts/setup.sh" g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine xvfb xdotool \
    xclip x11-utils imagemagick python3-xlib fonts-ipafont-gothic fonts-noto-cjk qt6-translations-l10n >&2
qt=$("$repo/scripts/windows/qt.sh" | tail -n 1)
# Qt's Japanese translation is the same file on every system: the tests find it beside Qt.
mkdir -p "$qt/translations"
cp -u /usr/share/qt6/translations/qtbase_ja.qm "$qt/translations/"
build=${PELMOR_WINDOWS_BUILD:-$repo/build/windows}
target=x86_64-w64-mingw32

cmake -S "$repo" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt" -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake" \
    -DCMAKE_BUILD_TYPE=Release -DPELMOR_WERROR=ON -DPELMOR_PACKAGE_TEST=OFF \
    -DCMAKE_CROSSCOMPILING_EMULATOR="$repo/scripts/windows/wine-run.sh;--qt=$qt" >&2
cmake --build "$build" >&2

# --- The folder ----------------------------------------------------------------------------
deploy=$build/Pelmor
rm -rf "$deploy"
cmake --install "$build" --prefix "$deploy" >&2
mkdir -p "$deploy/platforms" "$deploy/styles" "$deploy/translations"
runtime=$(dirname "$($target-g++-posix -print-file-name=libstdc++-6.dll)")
search=("$qt/bin" "$runtime" "/usr/$target/lib")

# Copies a program or plugin, then every DLL it imports that is found in `search` (the rest
# are Windows' own), and theirs in turn.
copy_with_imports() {
    local file=$1 to=$2 dll dir
    [ "$(dirname "$file")" = "$to" ] || cp "$file" "$to/"
    for dll in $($target-objdump -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
        [ -e "$deploy/$dll" ] && continue
        for dir in "${search[@]}"; do
            if [ -e "$dir/$dll" ]; then
                copy_with_imports "$dir/$dll" "$deploy"
                break
            fi
        done
    done
}
copy_with_imports "$deploy/pelmor.exe" "$deploy"
copy_with_imports "$qt/plugins/platforms/qwindows.dll" "$deploy/platforms"
copy_with_imports "$qt/plugins/styles/qwindowsvistastyle.dll" "$deploy/styles"
cp "/usr/share/qt6/translations/qtbase_ja.qm" "$deploy/translations/"
printf '[Paths]\r\nPrefix = .\r\nPlugins = .\r\nTranslations = translations\r\n' >"$deploy/qt.conf"
# Debug information stays in the build; the folder gets stripped copies. strip stamps the PE
# header with SOURCE_DATE_EPOCH, else with the time of day: the last commit's time (or
# debian/changelog's, without git history) keeps two builds the same.
[ -n "${SOURCE_DATE_EPOCH:-}" ] || SOURCE_DATE_EPOCH=$("$repo/scripts/windows/source-date-epoch.sh")
export SOURCE_DATE_EPOCH
find "$deploy" -name '*.exe' -o -name '*.dll' | xargs $target-strip --strip-unneeded

if [ $test = 1 ]; then
    # Tests run in a Wine prefix of this build's own, never in the user's.
    PELMOR_WINEPREFIX="$build/wineprefix" PELMOR_DEPLOYED="$deploy" \
        ctest --test-dir "$build" --output-on-failure --timeout 600 -LE windows-package >&2
fi
echo "$deploy"
