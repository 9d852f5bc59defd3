#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test headless through CTest:
# once in the normal build, once under the address and undefined-behaviour sanitizers.
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
