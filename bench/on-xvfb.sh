#!/usr/bin/env bash
# Runs a command on an X server of its own: a fresh Xvfb on a free display, with nothing
# else on it, stopped when the command ends. Usage: bench/on-xvfb.sh COMMAND [ARG...]
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }
command -v Xvfb >/dev/null || { echo "Xvfb is missing (apt-get install xvfb)" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-xvfb-XXXXXX")"
xvfb_pid=
cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb writes the display number it took once it accepts connections.
mkfifo "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
if ! read -r -t 20 display <"$work/display"; then
    echo "Xvfb did not start:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi
export DISPLAY=":$display"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY
"$@"
