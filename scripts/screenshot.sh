#!/usr/bin/env bash
# Takes the picture of the window shown at the top of README.md: the real program on a private
# Xvfb, in a temporary folder with a fixed data file, 「次へ→」 pressed twice so that the first
# card shows its question and its answer. The same program and fonts give the same PNG.
#
# Usage: scripts/screenshot.sh [PNG] [PROGRAM]
#        (default doc/screenshot.png and the release build, built first)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
png="$(realpath -m -- "${1:-$here/doc/screenshot.png}")"
# shellcheck source=../tests/tap.sh
source "$here/tests/tap.sh"

"$here/scripts/setup.sh" xvfb xdotool x11-apps netpbm

if [ $# -ge 2 ]; then
    bin="$(realpath -e -- "$2")"
else
    cmake -S "$here" --preset release >/dev/null
    cmake --build "$here/build/release" --target pelmor >&2
    bin="$here/build/release/src/pelmor"
fi

tmp="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-shot.XXXXXX")"
xvfb_pid='' app_pid=''
cleanup() {
    set +e
    stop_children $app_pid $xvfb_pid
    rm -rf -- "$tmp"
}
trap cleanup EXIT

mkdir -p "$tmp/work" "$tmp/home/runtime"
chmod 700 "$tmp/home/runtime"
printf '%s\r\n' 'apple,りんご' 'dog,犬' 'cat,ねこ' 'book,本' 'water,水' 'mountain,山' 'river,川' |
    iconv -f UTF-8 -t CP932 >"$tmp/work/表示するデータ.txt"

start_xvfb || { echo "$xvfb_error" >&2; exit 1; }
(
    cd "$tmp/work" && exec env -i PATH="$PATH" HOME="$tmp/home" LANG=C.UTF-8 LC_ALL=C.UTF-8 \
        DISPLAY=":$display_no" XDG_RUNTIME_DIR="$tmp/home/runtime" QT_QPA_PLATFORM=xcb \
        QT_SCALE_FACTOR=1 "$bin"
) >"$tmp/app.log" 2>&1 &
app_pid=$!

export DISPLAY=":$display_no"
wid=''
for ((i = 0; i < 200; i++)); do
    wid="$(xdotool search --all --onlyvisible --pid "$app_pid" --name '^Pelmor$' 2>/dev/null | head -n 1)" || true
    [ -n "$wid" ] && break
    alive "$app_pid" || { cat "$tmp/app.log" >&2; echo "the program ended" >&2; exit 1; }
    sleep 0.1
done
[ -n "$wid" ] || { echo "no window" >&2; exit 1; }

# The client area (749 x 486) lies below the menu bar; 「次へ→」 is at (200, 8), 89 x 33.
height="$(xdotool getwindowgeometry --shell "$wid" | sed -n 's/^HEIGHT=//p')"
menu_h=$((height - 486))
for _ in 1 2; do
    xdotool mousemove --window "$wid" $((200 + 44)) $((menu_h + 8 + 16)) click 1
    sleep 0.5
done
# The pointer off the window, so that no button shows its hover look.
xdotool mousemove 1000 760
sleep 1

# Taken until two pictures in a row agree: the window has drawn its last frame.
mkdir -p -- "$(dirname "$png")"
previous=''
for ((i = 0; i < 20; i++)); do
    xwd -silent -id "$wid" | xwdtopnm 2>/dev/null | pnmtopng -compression 9 >"$tmp/shot.png"
    current="$(sha256sum <"$tmp/shot.png")"
    [ "$current" = "$previous" ] && break
    previous="$current"
    sleep 0.5
done
mv -- "$tmp/shot.png" "$png"
echo "$png"
