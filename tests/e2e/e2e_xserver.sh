#!/usr/bin/env bash
# End-to-end run of the real program on a real X server: its own Xvfb, the real X
# clipboard (xclip) and real mouse clicks (xdotool). Prints one TAP line per case and
# closes with "N passed, N failed".
#
# Usage: e2e_xserver.sh PATH/TO/pelmor
set -uo pipefail

readonly CLIENT_W=749 CLIENT_H=486
readonly DATA_FILE='表示するデータ.txt'
# Generous limits: each wait ends as soon as what it waits for is there, and only a program
# that never gets there, or a machine far too busy, meets one.
readonly WINDOW_WAIT=60 WRITE_WAIT=30 EXIT_WAIT=30 DIALOG_WAIT=30 MESSAGE_WAIT=60
# As long as the program waits for a clipboard owner that does not answer (Qt's own wait).
readonly OWNER_WAIT_MS=5000

# shellcheck source=../tap.sh
source "$(dirname "$0")/../tap.sh"

[ $# -eq 1 ] || [ $# -eq 2 ] || bail "usage: $0 PATH/TO/pelmor [PATH/TO/mute_clipboard_owner]"
bin="$(realpath -e -- "$1" 2>/dev/null)"
[[ -n $bin && -f $bin && -x $bin ]] || bail "not an executable program: $1"
here="$(cd "$(dirname "$0")" && pwd)"
mute_owner=''
if [ $# -eq 2 ]; then
    mute_owner="$(realpath -e -- "$2" 2>/dev/null)"
    [[ -n $mute_owner && -f $mute_owner && -x $mute_owner ]] || bail "not an executable program: $2"
fi

# tool:package. Installing is scripts/setup.sh's job; here a missing tool only stops the run.
missing="$(missing_tools Xvfb:xvfb xdotool:xdotool xclip:xclip iconv:libc-bin cmp:diffutils od:coreutils)"
/usr/bin/python3 -c 'import Xlib' 2>/dev/null || missing+=" missing: python3-xlib; run scripts/setup.sh"
[ -z "$missing" ] || bail "$missing"

tmp="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-e2e.XXXXXX")" || bail "mktemp failed"
work="$tmp/work"         # the program's working folder: only its own files may appear here
home="$tmp/home"         # HOME and XDG folders, so no real user's settings are read or written
mkdir -p "$work" "$home/config" "$home/data" "$home/cache" "$home/runtime"
chmod 700 "$home/runtime"

xvfb_pid='' app_pid='' clip_pids=() exit_status='' kept_stamp='' drag_pid=''

# Only this script's own children, and only those still running. jobs -p also names a
# child whose pid was not yet recorded when a signal cut in.
cleanup() {
    # shellcheck disable=SC2046
    stop_children $app_pid ${clip_pids[*]} $xvfb_pid $(jobs -p)
    rm -rf -- "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM


# Inode and modification time of the data file.
stamp() {
    stat -c '%i %y' -- "$work/$DATA_FILE" 2>/dev/null
}


# --- X server ------------------------------------------------------------------------

# -displayfd lets Xvfb pick a free display and tells it once it accepts connections.
start_xvfb || bail "$xvfb_error"
export DISPLAY=":$display_no"
export LC_ALL=C.UTF-8

# --- the program ---------------------------------------------------------------------

wid='' menu_h=''

start_program() {
    if [ -n "$app_pid" ]; then
        kill -9 "$app_pid" 2>/dev/null
        wait "$app_pid" 2>/dev/null
    fi
    wid='' menu_h=''
    echo "--- start" >>"$tmp/app.log"
    # A clean environment: only what the program needs to reach this X server.
    (
        cd "$work" && exec env -i \
            PATH="$PATH" HOME="$home" LANG=C.UTF-8 DISPLAY="$DISPLAY" \
            XDG_CONFIG_HOME="$home/config" XDG_DATA_HOME="$home/data" \
            XDG_CACHE_HOME="$home/cache" XDG_RUNTIME_DIR="$home/runtime" \
            QT_QPA_PLATFORM=xcb ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} \
            ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
            "$bin"
    ) >>"$tmp/app.log" 2>&1 &
    app_pid=$!
}

# Finds the visible top-level window titled "Pelmor" that belongs to the program.
wait_for_window() {
    local deadline=$((SECONDS + WINDOW_WAIT))
    while ((SECONDS < deadline)); do
        alive "$app_pid" || { note "the program ended before showing its window"; return 1; }
        wid="$(xdotool search --all --onlyvisible --pid "$app_pid" --name '^Pelmor$' 2>/dev/null | head -n 1)"
        [ -n "$wid" ] && return 0
        sleep 0.1
    done
    note "no visible window titled Pelmor within ${WINDOW_WAIT} s"
    return 1
}

# The client area sits below the menu bar inside the same X window.
measure_window() {
    local key value X='' Y='' WIDTH='' HEIGHT=''
    while IFS='=' read -r key value; do
        case "$key" in X) X=$value ;; Y) Y=$value ;; WIDTH) WIDTH=$value ;; HEIGHT) HEIGHT=$value ;; esac
    done < <(xdotool getwindowgeometry --shell "$wid" 2>/dev/null)
    [[ $WIDTH =~ ^[0-9]+$ && $HEIGHT =~ ^[0-9]+$ ]] || { note "no geometry for window $wid"; return 1; }
    menu_h=$((HEIGHT - CLIENT_H))
    if [ "$WIDTH" -ne "$CLIENT_W" ] || ((menu_h < 10 || menu_h > 40)); then
        note "window is ${WIDTH}x${HEIGHT} at $X,$Y; want ${CLIENT_W} wide and ${CLIENT_H} plus a menu bar high"
        return 1
    fi
}

# Clicks at client coordinates (the centre of a control). No --sync: it stalls for
# seconds when the pointer is already there, and the server handles the XTest motion
# before the button press anyway.
click_client() {
    xdotool mousemove --window "$wid" "$1" $((menu_h + $2)) click 1
}

click_cmdDataIn() { click_client $((8 + 65 / 2)) $((8 + 33 / 2)); }
click_cmdEnd() { click_client $((672 + 65 / 2)) $((8 + 33 / 2)); }

# Waits for the program to end; sets exit_status. One that does not end is killed, so
# that a later start does not run beside it.
wait_for_exit() {
    local deadline=$((SECONDS + EXIT_WAIT))
    while alive "$app_pid" && ((SECONDS < deadline)); do sleep 0.05; done
    if alive "$app_pid"; then
        note "still running ${EXIT_WAIT} s after the click"
        kill -9 "$app_pid" 2>/dev/null
        wait "$app_pid" 2>/dev/null
        app_pid=''
        return 1
    fi
    wait "$app_pid"
    exit_status=$?
    app_pid=''
}

# --- clipboard -----------------------------------------------------------------------


# Root coordinates of the window's top left corner: sets win_x and win_y.
window_origin() {
    local key value
    win_x='' win_y=''
    while IFS='=' read -r key value; do
        case "$key" in X) win_x=$value ;; Y) win_y=$value ;; esac
    done < <(xdotool getwindowgeometry --shell "$wid" 2>/dev/null)
    [[ $win_x =~ ^[0-9]+$ && $win_y =~ ^[0-9]+$ ]] || { note "no position for window $wid"; return 1; }
}

window_width() {
    local key value
    while IFS='=' read -r key value; do
        [ "$key" = WIDTH ] && [[ $value =~ ^[0-9]+$ ]] && { echo "$value"; return 0; }
    done < <(xdotool getwindowgeometry --shell "$1" 2>/dev/null)
    return 1
}

ms_now() {
    echo $(($(date +%s%N) / 1000000))
}

# --- checks ----------------------------------------------------------------------------

# Pastes $1 with cmdDataIn and checks that the data file becomes exactly file $2.
paste_and_expect() {
    [ -n "$wid" ] || { note "no window to click"; return 1; }
    note_data_file "$2" || return 1
    set_clipboard "$1" || return 1
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    await_data_file "$2" "$WRITE_WAIT"
}

# Keeps the data file's bytes before a paste that should give file $1.
note_data_file() {
    if [ -e "$work/$DATA_FILE" ]; then cp -- "$work/$DATA_FILE" "$tmp/before"; else : >"$tmp/before"; fi
    # The wait below needs the paste to change the file.
    cmp -s "$tmp/before" "$1" && { note "test fault: file already holds the expected bytes"; return 1; }
    return 0
}

# Waits up to $2 s for the data file to change, then checks that it is exactly file $1.
await_data_file() {
    local expected="$1" data="$work/$DATA_FILE"
    wait_for "$2" "a new $DATA_FILE" changed "$tmp/before" "$data" || return 1
    if ! cmp -s "$expected" "$data"; then
        note "$DATA_FILE bytes differ"
        note "want: $(hex "$expected" | cut -c1-300)"
        note "got:  $(hex "$data" | cut -c1-300)"
        return 1
    fi
    alive "$app_pid" || { note "the program ended after the paste"; return 1; }
}

# Whether file $2 is there and differs from file $1.
changed() { [ -f "$2" ] && ! cmp -s "$1" "$2"; }

# Where the decks that intakes replaced are kept.
kept_decks="$home/data/pelmor/置き換え前のデータ"

# Lists anything in the working folder but the data file, and anything in the config
# and data homes but the kept decks; prints nothing when there is nothing.
strays() {
    find "$work" -mindepth 1 ! -path "$work/$DATA_FILE" -printf 'stray in the working folder: %P\n'
    find "$home/config" "$home/data" -mindepth 1 ! -path "$home/data/pelmor" ! -path "$kept_decks" \
        ! -path "$kept_decks/????-??-?? ??.??.?? *.txt" -printf 'stray in the home folder: %p\n'
}


# Whether the X input focus is on window $1, where keys then go.
has_focus() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; }

# Starts the owner helper with arguments "$@" (own: never answers; serve MODE ...);
# returns once it holds the clipboard.
start_owner() {
    local i
    # A new file: the owner of the case before may still write to the old one.
    rm -f -- "$tmp/owner.log"
    "$mute_owner" "$@" >"$tmp/owner.log" 2>&1 &
    clip_pids+=($!)
    for ((i = 0; i < 100; i++)); do
        grep -qx owner "$tmp/owner.log" && return 0
        sleep 0.05
    done
    note "the owner did not take the clipboard: $(cat "$tmp/owner.log")"
    return 1
}

start_mute_owner() { start_owner own; }

# The program's windows other than the main window.
other_windows() {
    xdotool search --all --onlyvisible --pid "$app_pid" --name '^Pelmor$' 2>/dev/null | grep -vx "$wid"
}

# Waits for a message box and reads its text into $message, then closes it. The text is
# selectable: a click in it, Ctrl+A and Ctrl+C copy it, and the clipboard leaves the mute
# owner. A progress dialog takes the same click and keys without harm.
read_message() {
    local deadline=$((SECONDS + MESSAGE_WAIT)) w box_w
    message=''
    until grep -qx lost "$tmp/owner.log"; do
        if ((SECONDS >= deadline)) || ! alive "$app_pid"; then
            alive "$app_pid" || note "the program ended"
            note "no message box read within ${MESSAGE_WAIT} s"
            return 1
        fi
        for w in $(other_windows); do
            box_w="$(window_width "$w")" &&
                xdotool mousemove --window "$w" $((box_w / 2)) 20 click 1 key ctrl+a ctrl+c 2>/dev/null
        done
        sleep 0.1
    done
    message="$(timeout 5 xclip -o -selection clipboard 2>/dev/null)"
    xdotool key Escape 2>/dev/null
    until [ -z "$(other_windows)" ]; do
        ((SECONDS < deadline)) || { note "the message box did not close"; return 1; }
        sleep 0.1
    done
}

# The data file, and the requests the mute owner had, after a paste it did not answer.
kept_and_asked_once() {
    local bad=0 requests
    requests="$(grep -c '^request' "$tmp/owner.log")"
    note "$requests request(s) to the owner: $(grep '^request' "$tmp/owner.log" | tr '\n' ' ')"
    [ "$requests" -eq 1 ] || { note "want one request to the owner"; bad=1; }
    cmp -s "$tmp/kept" "$work/$DATA_FILE" || { note "the data file changed"; bad=1; }
    [ "$(stamp)" = "$kept_stamp" ] || { note "the data file was rewritten"; bad=1; }
    alive "$app_pid" || { note "the program ended"; bad=1; }
    return $bad
}

# A file dragged over the idle window at $1,$2 of its client area, to be dropped by
# drop_refused while a handler runs: refused to its source then (status 1), never taken later.
hold_drag() {
    printf 'dropped,落とした\n' >"$tmp/dropped.txt"
    rm -f -- "$tmp/release" "$tmp/drop.out"
    /usr/bin/python3 "$here/xdnd_drop.py" --hold-until "$tmp/release" --window "$wid" --x "$1" \
        --y $((menu_h + $2)) "$tmp/dropped.txt" >"$tmp/drop.out" 2>"$tmp/drop.log" &
    drag_pid=$!
    wait_for "$WRITE_WAIT" "the drag accepted over the idle window" grep -qx accepted "$tmp/drop.out"
}

drop_refused() {
    local status
    touch -- "$tmp/release"
    wait "$drag_pid"
    status=$?
    ((status == 1)) || { note "a drop while the paste ran: status $status, want 1 (refused): $(cat "$tmp/drop.log")"; return 1; }
}

# The program that holds the clipboard never answers. The program waits for it once (as
# long as Qt would, 5 s), keeps painting meanwhile, and then says in an error message that
# the owner did not answer; the data file keeps its bytes.
case_mute_owner() {
    local start elapsed repaint repainted bad=0
    [ -n "$wid" ] || { note "no window to click"; return 1; }
    window_origin || return 1
    cp -- "$work/$DATA_FILE" "$tmp/kept" 2>/dev/null || : >"$tmp/kept"
    kept_stamp="$(stamp)"
    start_mute_owner || return 1
    hold_drag 374 100 || return 1 # on the upper card
    start="$(ms_now)"
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    # Once the program waits (it has asked the owner): lay a window over the empty lower card
    # and take it away. A window that still handles its events paints the background colour
    # there again. The wait ends no sooner than 5 s after the click, so a repaint seen before
    # then came while the program waited.
    # Once asked, the owner writes "request".
    wait_for "$WRITE_WAIT" "a request to the clipboard's owner" grep -q '^request' "$tmp/owner.log" || return 1
    drop_refused || bad=1
    # A drag that comes while the paste runs is refused as it moves, not only when it drops.
    /usr/bin/python3 "$here/xdnd_drop.py" --window "$wid" --x 374 --y $((menu_h + 300)) "$tmp/dropped.txt" 2>"$tmp/drag.log"
    [[ $? -eq 1 && $(cat "$tmp/drag.log") == *XdndStatus* ]] || { note "a drag during the paste: $(cat "$tmp/drag.log")"; bad=1; }
    repaint="$("$mute_owner" cover $((win_x + 10)) $((win_y + menu_h + 330)) 100 100 2>&1)"
    repainted=$(($(ms_now) - start))
    read_message || return 1
    elapsed=$(($(ms_now) - start))
    note "message after ${elapsed} ms; lower card covered and uncovered while waiting: $repaint, ${repainted} ms after the click"
    # One wait, not one per request as Qt makes them: the owner was asked once (below).
    ((elapsed >= OWNER_WAIT_MS - 500)) || { note "want the message after one wait of about 5 s"; bad=1; }
    [[ $repaint == "repainted 000080 "* ]] || { note "want the dark blue background painted again"; bad=1; }
    ((repainted < OWNER_WAIT_MS)) || { note "the repaint came no sooner than the wait could have ended"; bad=1; }
    [[ $message == "クリップボードを持っているアプリケーションが応答しませんでした。"*"データファイルは元のままです。" ]] ||
        { note "message: $message"; bad=1; }
    kept_and_asked_once || bad=1
    return $bad
}

# The same owner; the progress dialog shows and its cancel ends the wait at once: the message
# then says the user stopped it, where the end of the wait says the owner did not answer.
case_mute_owner_cancel() {
    local dialog='' deadline bad=0
    [ -n "$wid" ] || { note "no window to click"; return 1; }
    cp -- "$work/$DATA_FILE" "$tmp/kept" 2>/dev/null || : >"$tmp/kept"
    kept_stamp="$(stamp)"
    start_mute_owner || return 1
    # Above the buttons, on the window itself.
    hold_drag 374 3 || return 1
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    wait_for "$WRITE_WAIT" "a request to the clipboard's owner" grep -q '^request' "$tmp/owner.log" || return 1
    drop_refused || bad=1
    await_dialog || return 1
    wait_for "$DIALOG_WAIT" "the keyboard focus on the progress dialog" has_focus "$dialog" || return 1
    xdotool key Escape 2>/dev/null
    # Nothing else happens on the screen meanwhile: the key alone must close the dialog.
    deadline=$((SECONDS + DIALOG_WAIT))
    while other_windows | grep -qx "$dialog"; do
        ((SECONDS < deadline)) || { note "the progress dialog still shows ${DIALOG_WAIT} s after Escape"; return 1; }
        sleep 0.05
    done
    read_message || return 1
    [ "$message" = $'中止しました。データファイルは元のままです。' ] || { note "message: $message"; bad=1; }
    kept_and_asked_once || bad=1
    return $bad
}

# Waits for the progress dialog (the first window other than the main one) into $dialog.
await_dialog() {
    local deadline=$((SECONDS + DIALOG_WAIT))
    dialog=''
    until [ -n "$dialog" ]; do
        ((SECONDS < deadline)) || { note "no progress dialog within ${DIALOG_WAIT} s"; return 1; }
        sleep 0.05
        dialog="$(other_windows | head -n 1)"
    done
}

# The owner in serve mode $1 (the text of file $2, if given), pinging the window.
start_serving_owner() { start_owner serve "$1" "$wid" ${2:+"$2"}; }

# The owner pinged the window at each of the steps where it stalled, and each ping was
# answered while it stalled (the owner goes on only after the answer). Decided by order, not
# by time: a read that holds the window answers the ping only once it has given up waiting,
# so a late owner's answer then comes too late and the paste fails, and a silent owner's
# read ends with another message. The milliseconds are only noted. At least $1 pings.
pings_answered() {
    local line count=0 bad=0
    while read -r line; do
        count=$((count + 1))
        [[ $line =~ ^pong\ ([0-9]+)$ ]] || { note "ping $count: $line"; bad=1; }
    done < <(grep -E '^(no )?pong' "$tmp/owner.log")
    ((count >= $1)) || { note "$count ping(s) answered, want $1"; bad=1; }
    note "owner: $(tr '\n' ' ' <"$tmp/owner.log")"
    return $bad
}

# An owner that stalls (mode $1) at some step of the read: the window answers meanwhile,
# and 5 s after the owner's last answer the program names it, as an error, and keeps the
# data file. $2: the requests the owner must have had, in order.
case_stalling_owner() {
    local bad=0
    [ -n "$wid" ] || { note "no window to click"; return 1; }
    cp -- "$work/$DATA_FILE" "$tmp/kept" 2>/dev/null || : >"$tmp/kept"
    kept_stamp="$(stamp)"
    start_serving_owner "$1" || return 1
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    read_message || return 1
    [[ $message == "クリップボードを持っているアプリケーションが応答しませんでした。"*"データファイルは元のままです。" ]] ||
        { note "message: $message"; bad=1; }
    pings_answered 1 || bad=1
    [ "$(grep '^request' "$tmp/owner.log" | cut -d' ' -f2 | tr '\n' ' ')" = "$2" ] ||
        { note "want the requests $2"; bad=1; }
    cmp -s "$tmp/kept" "$work/$DATA_FILE" || { note "the data file changed"; bad=1; }
    [ "$(stamp)" = "$kept_stamp" ] || { note "the data file was rewritten"; bad=1; }
    return $bad
}

# An owner that answers every request 3.5 s late: more than the 5 s in all, but never
# silent that long, so the paste succeeds; the window answers while the owner delays.
case_late_owner() {
    [ -n "$wid" ] || { note "no window to click"; return 1; }
    printf 'late,遅い\nslow,のろい\n' >"$tmp/late.txt"
    printf 'late,\x92\x78\x82\xa2\r\nslow,\x82\xcc\x82\xeb\x82\xa2\r\n\r\n' >"$tmp/want"
    note_data_file "$tmp/want" || return 1
    start_serving_owner late "$tmp/late.txt" || return 1
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    await_data_file "$tmp/want" 30 || return 1
    pings_answered 2
}

# Owners with an unusual list of formats: mode $1, its text $2 (file), the data file's bytes
# $3 (file); or, where $3 is no file, the beginning of the message the paste ends with.
case_unusual_owner() {
    [ -n "$wid" ] || { note "no window to click"; return 1; }
    cp -- "$work/$DATA_FILE" "$tmp/kept" 2>/dev/null || : >"$tmp/kept"
    if [ -f "$3" ]; then note_data_file "$3" || return 1; fi
    start_serving_owner "$1" "$2" || return 1
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    if [ -f "$3" ]; then await_data_file "$3" "$WRITE_WAIT"; return; fi
    read_message || return 1
    [[ $message == "$3"*"データファイルは元のままです。" ]] || { note "message: $message"; return 1; }
    cmp -s "$tmp/kept" "$work/$DATA_FILE" || { note "the data file changed"; return 1; }
}

# An owner that keeps sending past what it announced: the paste stops at its ceiling with a
# message, the data file keeps its bytes, and the program never holds much more than that.
case_endless_owner() {
    local bad=0 sent peak
    [ -n "$wid" ] || { note "no window to click"; return 1; }
    cp -- "$work/$DATA_FILE" "$tmp/kept" 2>/dev/null || : >"$tmp/kept"
    kept_stamp="$(stamp)"
    start_serving_owner endless || return 1
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    read_message || return 1
    [[ $message == "クリップボードの文字列が大きすぎます"*"データファイルは元のままです。" ]] ||
        { note "message: $message"; bad=1; }
    wait_for 40 "the owner stopped sending" grep -q '^sent' "$tmp/owner.log" || bad=1
    sent="$(sed -n 's/^sent //p' "$tmp/owner.log")"
    peak="$(sed -n 's/^VmHWM:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$app_pid/status")"
    note "the owner sent ${sent:-?} bytes; the program's peak memory: ${peak:-?} kB"
    ((${sent:-0} > 64 << 20 && ${sent:-0} < 80 << 20)) || { note "want a stop just past 64 MiB"; bad=1; }
    ((${peak:-0} > 0 && ${peak:-0} < 1024 * 1024)) || { note "want less than 1 GiB at the peak"; bad=1; }
    cmp -s "$tmp/kept" "$work/$DATA_FILE" || { note "the data file changed"; bad=1; }
    [ "$(stamp)" = "$kept_stamp" ] || { note "the data file was rewritten"; bad=1; }
    return $bad
}

# An incremental transfer of 600 KB in 32 KiB chunks, Japanese characters cut across the
# chunks' edges: the data file gets the whole text; the window answers between chunks.
case_incremental() {
    local i
    [ -n "$wid" ] || { note "no window to click"; return 1; }
    for ((i = 1; i <= 300; i++)); do
        printf 'q%d,%s\n' "$i" "$(printf 'あいうえお%.0s' {1..130})"
    done >"$tmp/incr.txt"
    sed 's/$/\r/' "$tmp/incr.txt" | iconv -f UTF-8 -t CP932 >"$tmp/want" && printf '\r\n' >>"$tmp/want"
    note_data_file "$tmp/want" || return 1
    start_serving_owner incr "$tmp/incr.txt" || return 1
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    await_data_file "$tmp/want" 30 || return 1
    grep -q '^done' "$tmp/owner.log" || { note "the owner did not finish the transfer"; return 1; }
    pings_answered 1
}

# --- cases -----------------------------------------------------------------------------

case_window() {
    start_program
    wait_for_window && measure_window
}

case_cp932() {
    printf 'apple,りんご\r\ndog,犬\r\ncat,ねこ\r\n' | iconv -f UTF-8 -t CP932 >"$tmp/want" || return 1
    paste_and_expect $'apple,りんご\ndog,犬\ncat,ねこ' "$tmp/want"
}

case_line_ends() {
    # Only lone LFs grow a CR; a trailing LF still gets the closing CR LF after it.
    printf 'one,1\r\ntwo,2\r\nthree,3\r\n\r\n' >"$tmp/want"
    paste_and_expect $'one,1\r\ntwo,2\nthree,3\n' "$tmp/want"
}

case_utf8() {
    # One character outside code page 932 makes the whole file UTF-8, Japanese included.
    printf '\xef\xbb\xbfcafé,x\r\n犬,dog\r\n' >"$tmp/want"
    paste_and_expect $'café,x\n犬,dog' "$tmp/want"
}

# A file dropped on the lower card by XDND, as a file manager drops it, becomes the deck.
case_drop() {
    [ -n "$wid" ] || { note "no window to drop on"; return 1; }
    printf 'book,\x96\x7b\r\nwater,\x90\x85\r\n' >"$tmp/dropped.txt"
    note_data_file "$tmp/dropped.txt" || return 1
    /usr/bin/python3 "$here/xdnd_drop.py" --window "$wid" --x 374 --y $((menu_h + 300)) "$tmp/dropped.txt" ||
        { note "the drop was refused"; return 1; }
    await_data_file "$tmp/dropped.txt" "$WRITE_WAIT"
}

# Ctrl+Z puts back the deck the last paste replaced, Ctrl+Y the undone one again; every
# replaced deck is kept in the user's data folder, the user's alone.
case_undo() {
    [ -n "$wid" ] || { note "no window for the keys"; return 1; }
    cp -- "$work/$DATA_FILE" "$tmp/pasted" || return 1
    printf 'one,1\r\ntwo,2\r\nthree,3\r\n\r\n' >"$tmp/want"
    note_data_file "$tmp/want" || return 1
    xdotool windowfocus --sync "$wid" key ctrl+z || { note "xdotool key failed"; return 1; }
    await_data_file "$tmp/want" "$WRITE_WAIT" || return 1
    note_data_file "$tmp/pasted" || return 1
    xdotool key ctrl+y || { note "xdotool key failed"; return 1; }
    await_data_file "$tmp/pasted" "$WRITE_WAIT" || return 1
    local mode copies
    mode="$(stat -c %a -- "$kept_decks" 2>/dev/null)"
    [ "$mode" = 700 ] || { note "kept decks folder mode '$mode', want 700"; return 1; }
    copies="$(find "$kept_decks" -maxdepth 1 -type f -perm 600 -name '????-??-?? ??.??.?? *.txt' | wc -l)"
    [ "$copies" -eq 2 ] || { note "$copies kept decks of mode 600, want 2: $(ls -l "$kept_decks")"; return 1; }
    grep -rlq 'two,2' "$kept_decks" || { note "the replaced deck is not among the kept ones"; return 1; }
}

case_end() {
    [ -n "$wid" ] || { note "no window to click"; return 1; }
    cp -- "$work/$DATA_FILE" "$tmp/kept" 2>/dev/null || : >"$tmp/kept"
    kept_stamp="$(stamp)"
    click_cmdEnd || { note "xdotool click failed"; return 1; }
    wait_for_exit || return 1
    [ "$exit_status" -eq 0 ] || { note "exit status $exit_status"; return 1; }
}

case_file_kept() {
    [ -f "$work/$DATA_FILE" ] || { note "$DATA_FILE is gone"; return 1; }
    cmp -s "$tmp/kept" "$work/$DATA_FILE" || {
        note "before: $(hex "$tmp/kept")"
        note "after:  $(hex "$work/$DATA_FILE")"
        return 1
    }
    # Same bytes written again (in place or by a rename) still counts as a write.
    [ "$(stamp)" = "$kept_stamp" ] || { note "rewritten: $kept_stamp -> $(stamp)"; return 1; }
}

case_no_strays() {
    local found
    found="$(strays)"
    [ -z "$found" ] || { note "$found"; return 1; }
}

case_restart() {
    # Starting on an existing data file reads it; ending must still leave it untouched.
    cp -- "$work/$DATA_FILE" "$tmp/kept" 2>/dev/null || { note "no data file to start on"; return 1; }
    kept_stamp="$(stamp)"
    start_program
    wait_for_window && measure_window || return 1
    click_cmdEnd || { note "xdotool click failed"; return 1; }
    wait_for_exit || return 1
    [ "$exit_status" -eq 0 ] || { note "exit status $exit_status"; return 1; }
    cmp -s "$tmp/kept" "$work/$DATA_FILE" || { note "the data file changed"; return 1; }
    [ "$(stamp)" = "$kept_stamp" ] || { note "the data file was rewritten"; return 1; }
    local found
    found="$(strays)"
    [ -z "$found" ] || { note "$found"; return 1; }
}

# The window manager's close of the main window's frame (WM_DELETE_WINDOW), as its title
# bar's close button sends it.
close_frame() {
    /usr/bin/python3 - "$wid" <<'PY'
import sys
from Xlib import X, display
from Xlib.protocol import event
d = display.Display()
w = d.create_resource_object("window", int(sys.argv[1]))
w.send_event(event.ClientMessage(window=w, client_type=d.intern_atom("WM_PROTOCOLS"),
                                 data=(32, [d.intern_atom("WM_DELETE_WINDOW"), X.CurrentTime, 0, 0, 0])))
d.flush()
PY
}

# Restarted; a paste from an owner that never answers, its progress dialog up: a close of the
# main window's frame stops the paste and ends the program, with nothing written or told.
case_close_during_paste() {
    local dialog
    cp -- "$work/$DATA_FILE" "$tmp/kept" || return 1
    kept_stamp="$(stamp)"
    start_program
    wait_for_window && measure_window || return 1
    start_mute_owner || return 1
    click_cmdDataIn || { note "xdotool click failed"; return 1; }
    await_dialog || return 1
    close_frame || { note "the close could not be sent"; return 1; }
    wait_for_exit || return 1
    [ "$exit_status" -eq 0 ] || { note "exit status $exit_status"; return 1; }
    cmp -s "$tmp/kept" "$work/$DATA_FILE" || { note "the data file changed"; return 1; }
    [ "$(stamp)" = "$kept_stamp" ] || { note "the data file was rewritten"; return 1; }
}

check "window titled Pelmor shows a ${CLIENT_W}x${CLIENT_H} client area below a menu bar" case_window
check "paste of ASCII and Japanese lines writes code page 932 with CR LF" case_cp932
check "paste keeps CR LF, makes each lone LF a CR LF and appends CR LF" case_line_ends
check "paste of text outside code page 932 writes UTF-8 with a BOM" case_utf8
check "Ctrl+Z puts the replaced deck back, Ctrl+Y the pasted one; both kept 0600 in a 0700 data folder" case_undo
check "a file dropped on a card by XDND becomes the data file" case_drop
if [ -n "$mute_owner" ]; then
    check "a clipboard owner that never answers: asked once, the window repaints, an error after one wait, the file kept" case_mute_owner
    check "a clipboard owner that never answers: the progress dialog's cancel ends the wait, the file kept" case_mute_owner_cancel
    check "an owner that lists its formats and never hands over the text: the window answers, the owner named after 5 s, the file kept" \
        case_stalling_owner formats-only "TARGETS UTF8_STRING "
    check "an owner that stalls an incremental transfer: the window answers, the owner named after 5 s, the file kept" \
        case_stalling_owner stalled-incr "TARGETS UTF8_STRING "
    check "an owner that sends only forged answers: they are ignored, the window answers, the owner named after 5 s" \
        case_stalling_owner forged "TARGETS "
    printf 'caf\xe9,cr\xe8me\n' >"$tmp/latin1.txt" && printf '\xef\xbb\xbfcafé,crème\r\n\r\n' >"$tmp/latin1.want"
    printf 'plain,素朴\n' >"$tmp/plain.txt" && printf 'plain,\x91\x66\x96\x70\r\n\r\n' >"$tmp/plain.want"
    check "an owner that offers only STRING: its Latin-1 bytes become the deck" \
        case_unusual_owner latin1 "$tmp/latin1.txt" "$tmp/latin1.want"
    check "an owner that will not list its formats: the text is asked for as UTF8_STRING" \
        case_unusual_owner no-list "$tmp/plain.txt" "$tmp/plain.want"
    check "an owner whose formats are only TARGETS, TIMESTAMP and None: the clipboard is told empty" \
        case_unusual_owner meta-only /dev/null "クリップボードは空です。"
    check "an owner that answers each request 3.5 s late: the window answers meanwhile, the paste succeeds" case_late_owner
    check "an owner that never stops sending: the paste ends at its ceiling, the deck kept" case_endless_owner
    check "an incremental transfer of 600 KB: the window answers between chunks, the data file holds the text" case_incremental
fi
check "cmdEnd ends the program with status 0" case_end
check "cmdEnd leaves the data file byte-identical and unwritten" case_file_kept
check "nothing but the data file is left behind" case_no_strays
check "restarted on its data file, cmdEnd ends it with status 0 and changes nothing" case_restart
if [ -n "$mute_owner" ]; then
    check "the frame's close while a paste waits behind its progress dialog ends the program, the file kept" \
        case_close_during_paste
fi

if [ "$failed" -gt 0 ] && [ -s "$tmp/app.log" ]; then
    note "program output:"
    note "$(cat "$tmp/app.log")"
fi
echo "1..$count"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
