#!/usr/bin/env bash
# The real program as a screen reader meets it: on its own Xvfb, with its own session bus
# and accessibility bus, read and driven from another process over AT-SPI (pyatspi).
# Prints one TAP line per case; exits 77 (skipped, reason printed) when no bus can be
# started or the AT-SPI tools are missing.
#
# Usage: a11y_bus.sh PATH/TO/pelmor
set -uo pipefail

# shellcheck source=../tap.sh
source "$(dirname "$0")/../tap.sh"

skip() {
    echo "1..0 # SKIP $*"
    exit 77
}

[ $# -eq 1 ] || bail "usage: $0 PATH/TO/pelmor"
bin="$(realpath -e -- "$1" 2>/dev/null)"
[[ -n $bin && -f $bin && -x $bin ]] || bail "not an executable program: $1"
driver="$(dirname "$(realpath -e -- "$0")")/a11y_bus.py"

# The Debian Python: pyatspi is a Debian package, not one of another Python's modules.
python=/usr/bin/python3
missing="$(missing_tools Xvfb:xvfb dbus-run-session:dbus-daemon $python:python3 \
    /usr/libexec/at-spi-bus-launcher:at-spi2-core)"
[ -z "$missing" ] || skip "$missing"
$python -c 'import pyatspi' 2>/dev/null || skip "no pyatspi for $python (Debian package python3-pyatspi); run scripts/setup.sh"

tmp="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-a11y.XXXXXX")" || bail "mktemp failed"
work="$tmp/work"   # the program's working folder
home="$tmp/home"   # HOME and XDG folders: no real user's settings are read or written
mkdir -p "$work" "$home/config" "$home/data" "$home/cache" "$home/runtime"
chmod 700 "$home/runtime"
export HOME="$home" XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
    XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime" LC_ALL=C.UTF-8
unset DBUS_SESSION_BUS_ADDRESS AT_SPI_BUS_ADDRESS

xvfb_pid='' session_pid=''
cleanup() {
    # shellcheck disable=SC2046
    stop_children $session_pid $xvfb_pid $(jobs -p)
    rm -rf -- "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if ! out="$(dbus-run-session -- true 2>&1)"; then
    skip "dbus-run-session cannot start a session bus: $(tr '\n' ' ' <<<"$out")"
fi

start_xvfb || bail "$xvfb_error"
export DISPLAY=":$display_no"

# The driver starts the accessibility bus and the program inside this session bus, and
# ends them; the session bus ends with it.
dbus-run-session -- "$python" "$driver" "$bin" "$work" "$tmp/app.log" 2>>"$tmp/app.log" &
session_pid=$!
wait "$session_pid"
status=$?
session_pid=''
if [ "$status" -ne 0 ] && [ "$status" -ne 77 ] && [ -s "$tmp/app.log" ]; then
    note "program and bus output:"
    note "$(cat "$tmp/app.log")"
fi
exit "$status"
