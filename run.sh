#!/usr/bin/env bash
# Builds Pelmor and starts it in the current directory, where it keeps its data file.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
# Said before the set-up and the build, which take a while on a fresh machine.
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "Pelmor needs a graphical display and none is set (DISPLAY, WAYLAND_DISPLAY): start it in a desktop session, over 'ssh -X', or headless with 'xvfb-run -a ./run.sh'." >&2
    exit 1
fi
"$here/scripts/setup.sh"
cmake -S "$here" --preset release >/dev/null
cmake --build "$here/build/release" --target pelmor
exec "$here/build/release/src/pelmor"
