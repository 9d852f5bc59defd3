#!/usr/bin/env bash
# End-to-end run of the real program as a native Wayland client: its own Weston compositor,
# the Wayland clipboard (wl-copy) and real pointer clicks. Weston's headless backend takes no
# input at all, so Weston runs on its X11 backend inside a private Xvfb, whose XTest clicks
# (xdotool) Weston hands on to its Wayland clients as Wayland pointer events. The program
# itself gets no DISPLAY: it can only reach Weston. Prints one TAP line per case and closes
# with "N passed, N failed"; exits 77 (skipped) when no compositor can start.
#
# Usage: e2e_wayland.sh PATH/TO/pelmor [PATH/TO/wayland_clipboard_source]
#
# With the clipboard source of our own, it also measures how long Qt's Wayland read of the
# clipboard holds the window (the program's main thread reads the pipe until the source
# closes it or stays silent for 1 s): against a source that stalls, and one that trickles.
set -uo pipefail

readonly DATA_FILE='表示するデータ.txt'
readonly OUTPUT_W=1000 OUTPUT_H=700
# Generous limits: each wait ends as soon as what it waits for is there.
readonly START_WAIT=60 WINDOW_WAIT=60 WRITE_WAIT=30 EXIT_WAIT=30
readonly SKIP=77

# shellcheck source=../tap.sh
source "$(dirname "$0")/../tap.sh"
skip() {
    echo "1..0 # SKIP $*"
    exit "$SKIP"
}

[ $# -eq 1 ] || [ $# -eq 2 ] || bail "usage: $0 PATH/TO/pelmor [PATH/TO/wayland_clipboard_source]"
bin="$(realpath -e -- "$1" 2>/dev/null)"
[[ -n $bin && -f $bin && -x $bin ]] || bail "not an executable program: $1"
source_bin="${2:+$(realpath -e -- "$2" 2>/dev/null)}"
[ $# -eq 1 ] || [[ -n $source_bin && -x $source_bin ]] || bail "not an executable program: $2"

missing="$(missing_tools weston:weston wl-copy:wl-clipboard Xvfb:xvfb xdotool:xdotool iconv:libc-bin)"
[ -z "$missing" ] || skip "no compositor: $missing"
plugins="$(dirname "$(find /usr/lib -path '*/qt6/plugins/platforms/libqwayland-generic.so' -print -quit 2>/dev/null)")"
[ -f "$plugins/libqwayland-generic.so" ] || skip "Qt's Wayland platform plugin is missing (Debian package qt6-wayland)"

tmp="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-wl.XXXXXX")" || bail "mktemp failed"
work="$tmp/work" home="$tmp/home" runtime="$tmp/runtime"
mkdir -p "$work" "$home/config" "$home/data" "$home/cache" "$runtime"
chmod 700 "$runtime"

xvfb_pid='' weston_pid='' app_pid='' copy_pid='' source_pid='' exit_status=''

cleanup() {
    # shellcheck disable=SC2046
    stop_children $app_pid $copy_pid $source_pid $weston_pid $xvfb_pid $(jobs -p)
    rm -rf -- "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM


hex() {
    od -An -tx1 -v "$1" | tr -s ' \n' ' '
}

# --- compositor ------------------------------------------------------------------------

start_xvfb || skip "$xvfb_error"
x_display=":$display_no"

# kiosk-shell shows every top-level window full-screen at the output's top-left corner, so
# the program's controls are at known places; no Xwayland, so X clients cannot reach it.
socket="pelmor-$$"
env -i PATH="$PATH" HOME="$home" DISPLAY="$x_display" XDG_RUNTIME_DIR="$runtime" \
    weston --backend=x11-backend.so --use-pixman --shell=kiosk-shell.so --no-config \
    --socket="$socket" --width=$OUTPUT_W --height=$OUTPUT_H --idle-time=0 \
    >"$tmp/weston.log" 2>&1 &
weston_pid=$!
deadline=$((SECONDS + START_WAIT))
output_window=''
until [ -S "$runtime/$socket" ] && [ -n "$output_window" ]; do
    if ! alive "$weston_pid" || ((SECONDS >= deadline)); then
        skip "Weston did not start: $(tail -n 3 "$tmp/weston.log" | tr '\n' ' ')"
    fi
    sleep 0.05
    # The X window that shows Weston's output and takes its input.
    output_window="$(DISPLAY="$x_display" xdotool search --class '^Weston Compositor$' 2>/dev/null | head -n 1)"
done

# What a Wayland client of this compositor sees; nothing of the X server.
wayland_env=(env -i PATH="$PATH" HOME="$home" LANG=C.UTF-8 XDG_RUNTIME_DIR="$runtime"
    WAYLAND_DISPLAY="$socket")

# --- the program -------------------------------------------------------------------------

start_program() {
    (
        cd "$work" && exec "${wayland_env[@]}" \
            XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" XDG_CACHE_HOME="$home/cache" \
            QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=client \
            ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
            "$bin"
    ) >"$tmp/app.log" 2>&1 &
    app_pid=$!
}

# The protocol log (WAYLAND_DEBUG) shows what the program asked of the compositor and
# what the compositor answered.
logged() {
    grep -qE -- "$1" "$tmp/app.log"
}

# Whether a frame of a surface that entered the output has been shown there: the compositor
# answered a frame callback asked for with a commit of it. Callback ids are used again, so
# only an answer after the request counts.
frame_shown() {
    awk '
        function id(text, name) { match(text, name "@[0-9]+"); return substr(text, RSTART + length(name) + 1, RLENGTH - length(name) - 1) }
        /^\[[0-9. ]+\] wl_surface@[0-9]+\.enter\(wl_output@/ { entered[id($0, "wl_surface")] = 1 }
        / -> wl_surface@[0-9]+\.frame\(new id wl_callback@[0-9]+\)/ { asked[id($0, "wl_callback")] = id($0, "wl_surface") }
        /^\[[0-9. ]+\] wl_callback@[0-9]+\.done\(/ {
            callback = id($0, "wl_callback")
            if (callback in asked) { shown[asked[callback]] = 1; delete asked[callback] }
        }
        END { for (surface in shown) if (surface in entered) exit 0; exit 1 }
    ' "$tmp/app.log"
}

# Controls sit at fixed places below the menu bar. The menu bar is 10 to 40 pixels high, so
# y = 48 hits the row of 33-pixel buttons that starts 8 pixels below it whatever its height.
click_output() {
    DISPLAY="$x_display" xdotool mousemove --window "$output_window" "$1" "$2" click 1
}
click_cmdDataIn() { click_output $((8 + 65 / 2)) 48; }
click_cmdEnd() { click_output $((672 + 65 / 2)) 48; }

# --- checks --------------------------------------------------------------------------------


case_window() {
    start_program
    local deadline=$((SECONDS + WINDOW_WAIT))
    # Full-screen size from the compositor, acknowledged, then a frame drawn at that size.
    until logged "xdg_toplevel@[0-9]+\.configure\($OUTPUT_W, $OUTPUT_H, " &&
        logged '-> xdg_surface@[0-9]+\.ack_configure' && logged '-> wl_surface@[0-9]+\.commit\(\)'; do
        alive "$app_pid" || { note "the program ended before showing its window"; return 1; }
        ((SECONDS < deadline)) || { note "no full-screen window within ${WINDOW_WAIT} s"; return 1; }
        sleep 0.1
    done
    logged '-> xdg_toplevel@[0-9]+\.set_title\("Pelmor"\)' || { note "no window titled Pelmor"; return 1; }
    # The desktop entry pelmor.desktop is found by this id.
    logged '-> xdg_toplevel@[0-9]+\.set_app_id\("pelmor"\)' || { note "app id is not pelmor"; return 1; }
    # Clicks go to what the output shows: wait for the program's frame to be there.
    until frame_shown; do
        alive "$app_pid" || { note "the program ended before its window was shown"; return 1; }
        ((SECONDS < deadline)) || { note "no frame of the window shown within ${WINDOW_WAIT} s"; return 1; }
        sleep 0.1
    done
}

case_paste() {
    local data="$work/$DATA_FILE" deadline
    alive "$app_pid" || { note "the program is not running"; return 1; }
    printf 'apple,りんご\r\ndog,犬\r\n' | iconv -f UTF-8 -t CP932 >"$tmp/want" || return 1
    printf 'apple,りんご\ndog,犬' | "${wayland_env[@]}" wl-copy --foreground --type 'text/plain;charset=utf-8' \
        >"$tmp/wl-copy.log" 2>&1 &
    copy_pid=$!
    # wl-copy owns the selection once the compositor has offered it to a client.
    deadline=$((SECONDS + WRITE_WAIT))
    until [ "$("${wayland_env[@]}" timeout 2 wl-paste --no-newline 2>/dev/null)" = $'apple,りんご\ndog,犬' ]; do
        ((SECONDS < deadline)) || { note "wl-copy never served the text: $(cat "$tmp/wl-copy.log")"; return 1; }
        sleep 0.1
    done
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    deadline=$((SECONDS + WRITE_WAIT))
    until [ -f "$data" ] && cmp -s "$tmp/want" "$data"; do
        if ((SECONDS >= deadline)) || ! alive "$app_pid"; then
            alive "$app_pid" || note "the program ended"
            [ -f "$data" ] && note "want: $(hex "$tmp/want")" && note "got:  $(hex "$data")"
            note "$DATA_FILE not written as expected within ${WRITE_WAIT} s"
            return 1
        fi
        sleep 0.05
    done
}

# Our own source (mode $1, its arguments after) owns the clipboard and 「データの貼り付け」
# is clicked. Weston's clipboard manager asks the source first (request 1), as soon as the
# text is offered; the program's is request 2. Returns once the source says the program
# closed its pipe, or after $2 + 20 s. How long the read held the window is noted: Qt reads
# the pipe in the main thread, so that is the figure.
paste_from_source() {
    local deadline
    alive "$app_pid" || { note "the program is not running"; return 1; }
    stop_children $copy_pid
    "${wayland_env[@]}" "$source_bin" "$@" >"$tmp/source.log" 2>&1 &
    source_pid=$!
    wait_for "$WRITE_WAIT" "Weston's clipboard manager to ask our source" grep -qx 'asked 1' "$tmp/source.log" || return 1
    # Its window took the focus and is gone again; the click gives the program the focus, and
    # with it the clipboard's offer, before the button's press.
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    wait_for "$WRITE_WAIT" "the program to ask our source" grep -qx 'asked 2' "$tmp/source.log" || return 1
    deadline=$((SECONDS + ${2:-0} + 20))
    until grep -q '^closed 2 ' "$tmp/source.log"; do
        if ((SECONDS >= deadline)); then
            note "$1 ${2:-}: the program still reads the pipe $((${2:-0} + 20)) s on: $(tr '\n' ' ' <"$tmp/source.log")"
            return 1
        fi
        sleep 0.05
    done
    note "$1 ${2:-}: Qt's read held the window $(sed -n 's/^closed 2 //p' "$tmp/source.log") ms ($(tr '\n' ' ' <"$tmp/source.log"))"
}

# Whether the program has made more than $1 top-level windows (a message box is one), and
# how many it has open: made and not destroyed again.
toplevels() { grep -c -- '-> xdg_surface@[0-9]*\.get_toplevel(' "$tmp/app.log"; }
more_toplevels_than() { (($(toplevels) > $1)); }
open_toplevels() { echo $(($(toplevels) - $(grep -c -- '-> xdg_toplevel@[0-9]*\.destroy(' "$tmp/app.log"))); }

# Return until the message box has closed ($1: the top-level windows open before it): a key
# that comes before the box has the keyboard goes to the window behind it, which it blocks.
dismiss_box() {
    local deadline=$((SECONDS + WRITE_WAIT)) next=0
    until (($(open_toplevels) <= $1)); do
        ((SECONDS < deadline)) || { note "the message box still open after ${WRITE_WAIT} s of Return"; return 1; }
        if ((SECONDS >= next)); then
            DISPLAY="$x_display" xdotool key --window "$output_window" Return 2>/dev/null
            next=$((SECONDS + 2))
        fi
        sleep 0.05
    done
}

# A source that trickles a line every 250 ms for 4 s and keeps its pipe open, or one that
# never writes ($1, $2): Qt's read holds the window until the source has been silent for 1 s
# and then gives up on the whole text, so the paste ends in a message box (dismissed here
# with Return) and the data file keeps its bytes.
case_hostile_source() {
    local boxes open
    cp -- "$work/$DATA_FILE" "$tmp/kept" 2>/dev/null || : >"$tmp/kept"
    boxes="$(toplevels)" open="$(open_toplevels)"
    paste_from_source "$@" || return 1
    wait_for "$WRITE_WAIT" "a message box" more_toplevels_than "$boxes" || return 1
    dismiss_box "$open" || return 1
    stop_children $source_pid
    cmp -s "$tmp/kept" "$work/$DATA_FILE" || { note "the data file changed"; return 1; }
    alive "$app_pid" || { note "the program ended"; return 1; }
}

case_end() {
    alive "$app_pid" || { note "the program is not running"; return 1; }
    cp -- "$work/$DATA_FILE" "$tmp/kept" 2>/dev/null || : >"$tmp/kept"
    click_cmdEnd || { note "xdotool click failed"; return 1; }
    local deadline=$((SECONDS + EXIT_WAIT))
    while alive "$app_pid" && ((SECONDS < deadline)); do sleep 0.05; done
    if alive "$app_pid"; then
        note "still running ${EXIT_WAIT} s after the click"
        return 1
    fi
    wait "$app_pid"
    exit_status=$?
    app_pid=''
    [ "$exit_status" -eq 0 ] || { note "exit status $exit_status"; return 1; }
    cmp -s "$tmp/kept" "$work/$DATA_FILE" 2>/dev/null || { note "the data file changed on quitting"; return 1; }
}

check "a native Wayland client: window titled Pelmor, app id pelmor, shown full-screen" case_window
check "paste from the Wayland clipboard writes code page 932 with CR LF" case_paste
if [ -n "$source_bin" ]; then
    check "a clipboard source that never writes: the read gives up after 1 s of silence, the file kept" \
        case_hostile_source stall
    check "a clipboard source that trickles for 4 s and never closes: the window is held meanwhile, the file kept" \
        case_hostile_source trickle 4
fi
check "cmdEnd ends the program with status 0 and leaves the data file as it was" case_end

if [ "$failed" -gt 0 ]; then
    note "weston output:"
    note "$(tail -n 20 "$tmp/weston.log")"
    note "program output (Wayland protocol log, last lines):"
    note "$(grep -v '^\[' "$tmp/app.log" | tail -n 20)"
    note "$(tail -n 20 "$tmp/app.log")"
fi
echo "1..$count"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
