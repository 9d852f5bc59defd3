#!/usr/bin/env bash
# Sets up the machine, builds everything and runs every test headless through CTest.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/setup.sh"
cd "$here"
cmake --preset dev >/dev/null
cmake --build --preset dev
ctest --preset dev
