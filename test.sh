#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test headless through CTest:
# once in the normal build, once under the address and undefined-behaviour sanitizers, and
# once cross-built for Windows and run under Wine (Qt for Windows is built once from Debian's
# source and cached outside the tree: about half an hour the first time), with the Windows
# installer and portable zip installed and started under Wine and built twice to compare.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/setup.sh"
cd "$here"
for preset in dev asan; do
    echo "== $preset build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
echo "== windows build, tests under Wine"
scripts/windows/build.sh --test
echo "== windows installer and portable zip: installed under Wine, built twice"
scripts/windows/package.sh --test
