#!/usr/bin/env bash
# Start-up of the Windows program under Wine against a bare Qt window built the same way
# (bench/bare_window.cpp, the same Qt for Windows, the same folder of DLLs): both take turns
# on one fresh Xvfb in a Wine prefix of their own, with a 301-line data file, and the time to
# the first full frame and the peak memory of each are compared by bench_startup, which
# watches the X server (Wine draws into X windows of its own).
# Usage: bench/wine-startup.sh [RUNS]   (default 9; builds what it needs)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/.." && pwd)"
runs="${1:-9}"

deploy="$("$repo/scripts/windows/build.sh" | tail -n 1)"
"$repo/scripts/setup.sh" xvfb x11-utils libx11-dev libxdamage-dev >&2
cmake -S "$repo" --preset release -DPELMOR_BENCHMARKS=ON >/dev/null
cmake --build "$repo/build/release" --target bench_startup >&2

tmp="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-wine-bench.XXXXXX")"
export WINEPREFIX="$tmp/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
trap 'wineserver -k 2>/dev/null; rm -rf "$tmp"' EXIT
{ wineboot -i && winecfg -v win10 && wineserver -w; } </dev/null >"$tmp/prefix.log" 2>&1
# A server that stays between the runs: each start then costs the program's own work only.
wineserver -p

# Both programs from one folder, with the same DLLs and plugins.
cp -r "$deploy" "$tmp/Pelmor"
cp "$(dirname "$deploy")/bare_window.exe" "$tmp/Pelmor/"
x86_64-w64-mingw32-strip --strip-unneeded "$tmp/Pelmor/bare_window.exe"
for program in pelmor bare_window; do
    printf '#!/bin/sh\nexec wine "%s" "$@"\n' "$tmp/Pelmor/$program.exe" >"$tmp/$program"
    chmod +x "$tmp/$program"
done
"$here/on-xvfb.sh" "$repo/build/release/bench/bench_startup" --runs "$runs" "$tmp/pelmor" "$tmp/bare_window"
