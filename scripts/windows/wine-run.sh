#!/usr/bin/env bash
# Runs a Windows program under Wine, with the MinGW-w64 runtime DLLs and the cross-built Qt on its
# DLL search path. Meant as CMAKE_CROSSCOMPILING_EMULATOR, so that ctest (and custom commands) can
# run the .exe files of a Windows build:
#
#   cmake ... -DCMAKE_CROSSCOMPILING_EMULATOR="<repo>/scripts/windows/wine-run.sh;--qt=<Qt prefix>"
#
# Usage: wine-run.sh [--qt=<Qt prefix>] program.exe [arguments...]
#   program.exe may be a Linux path. The exit status is the program's.
#
# Qt prefix: the --qt= argument, which the script that configures the build bakes into the emulator
# command (it is what scripts/windows/qt.sh prints); without it, $PELMOR_QT_PREFIX; without both,
# only the MinGW runtime is on the path.
#
# Wine prefix: $PELMOR_WINEPREFIX, default <cache>/wineprefix (cache as in qt.sh:
# ${PELMOR_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pelmor}). It is made on first use (wineboot -i,
# Windows 10) under a lock, so tests started in parallel wait for one another there. Its user
# folders (Desktop, Documents...), which Wine links to $HOME, are turned into plain folders so a
# program under test cannot write into the real home through them; winemenubuilder is disabled so
# Wine adds nothing to the desktop menus.
#
# Wine's own background processes (wineserver, services) are started with their output on
# /dev/null before the program runs, so a caller reading the program's output through a pipe
# (ctest) is not kept waiting after the program ends. Set PELMOR_WINEDEBUG to see Wine's messages.
#
# Qt: QT_* variables reach the program (Wine passes them only as WINEQT_*; done here). Without
# $DISPLAY, QT_QPA_PLATFORM defaults to offscreen. Offscreen Qt on Windows finds fonts only in
# $QT_QPA_FONTDIR: unless set, it points at <cache>/wine-fonts, links to the Linux default sans-serif
# (Latin, Japanese) and monospace fonts.
set -euo pipefail

qt=${PELMOR_QT_PREFIX:-}
if [[ ${1:-} == --qt=* ]]; then
    qt=${1#--qt=}
    shift
fi
if [ $# -eq 0 ]; then
    echo "usage: $0 [--qt=<Qt prefix>] program.exe [arguments...]" >&2
    exit 2
fi

cache=${PELMOR_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pelmor}
export WINEPREFIX=${PELMOR_WINEPREFIX:-$cache/wineprefix}
export WINEARCH=win64
export WINEDEBUG=${PELMOR_WINEDEBUG:--all}
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

windows_path() { local path=$1; printf 'Z:%s' "${path//\//\\}"; }

if [ ! -e "$WINEPREFIX/.pelmor-ready" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 8
        if [ ! -e "$WINEPREFIX/.pelmor-ready" ]; then
            echo "wine-run.sh: creating the Wine prefix $WINEPREFIX" >&2
            rm -rf "$WINEPREFIX"
            log=$(dirname "$WINEPREFIX")/wineprefix-setup.log
            {
                wineboot -i && winecfg -v win10 && wineserver -w
            } </dev/null >"$log" 2>&1 || {
                echo "wine-run.sh: could not create the Wine prefix; see $log" >&2
                exit 1
            }
            touch "$WINEPREFIX/.pelmor-ready"
        fi
    ) 8>"$WINEPREFIX.lock"
fi

# Wine links the user folders to $HOME (again when it updates the prefix): make them plain folders.
for link in "$WINEPREFIX"/drive_c/users/*/*; do
    # Tests started together may meet here: whoever comes second finds the folder made.
    if [ -L "$link" ]; then
        rm -f "$link" 2>/dev/null || true
        mkdir -p "$link"
    fi
done

# Start Wine's server and services, if not running yet, away from the caller's pipes.
wineboot </dev/null >/dev/null 2>&1 || true

runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-file-name=libstdc++-6.dll)")
winepath="$(windows_path "$runtime");$(windows_path /usr/x86_64-w64-mingw32/lib)"
if [ -n "$qt" ]; then
    winepath="$(windows_path "$qt/bin");$winepath"
    export QT_PLUGIN_PATH
    QT_PLUGIN_PATH=$(windows_path "$qt/plugins")
fi
export WINEPATH="$winepath${WINEPATH:+;$WINEPATH}"

# Without an X display Wine cannot make windows: Qt's windows platform plugin then spins for
# minutes and crashes. Use the offscreen plugin there unless told otherwise.
if [ -z "${DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    export QT_QPA_PLATFORM=offscreen
fi

# Offscreen Qt on Windows draws only with the fonts in one folder ($QT_QPA_FONTDIR, default
# <Qt>/lib/fonts, which does not exist): give it the Linux default sans-serif (Latin and Japanese)
# and monospace fonts. The windows platform plugin ignores it (Wine lists the Linux fonts anyway).
if [ -z "${QT_QPA_FONTDIR:-}" ] && command -v fc-match >/dev/null; then
    fonts=$cache/wine-fonts
    if [ ! -d "$fonts" ]; then
        mkdir -p "$fonts.$$"
        for pattern in sans-serif sans-serif:bold sans-serif:lang=ja monospace; do
            file=$(readlink -f "$(fc-match -f '%{file}' "$pattern")")
            if [ -f "$file" ]; then
                ln -sf "$file" "$fonts.$$/"
            fi
        done
        mv -T "$fonts.$$" "$fonts" 2>/dev/null || rm -rf "$fonts.$$"
    fi
    export QT_QPA_FONTDIR
    QT_QPA_FONTDIR=$(windows_path "$fonts")
fi

# Wine keeps the host's QT_* variables from Windows programs and hands them WINEQT_* as QT_*
# instead: pass the caller's on (QT_QPA_PLATFORM=offscreen for the tests, say). Qt Test then
# writes to standard output rather than to the debugger, which Wine drops.
export QT_FORCE_STDERR_LOGGING=1
while IFS='=' read -r name _; do
    [[ $name == QT_* ]] && export "WINE$name=${!name}"
done < <(env)

exec wine "$@"
