#!/usr/bin/env bash
# End-to-end run of the deployed Windows program under Wine on its own Xvfb, driven from X as
# a user would: it starts on a code page 932 data file, takes a paste through the X clipboard,
# clicks on the buttons and a card, a file dropped by an X program (XDND), a delimiter choice,
# and quits; the data file's bytes are checked after each step. Wine runs in a prefix of this
# run's own. Prints one TAP line per case and closes with "N passed, N failed"; exit 77 with
# the reason when there is no deployed program or no Wine.
#
# Usage: e2e_wine.sh PATH/TO/build/pelmor.exe   (the folder scripts/windows/build.sh deploys,
#        $PELMOR_DEPLOYED or "Pelmor" beside that file, is what runs)
set -uo pipefail

readonly CLIENT_W=749 CLIENT_H=486
readonly DATA_FILE='表示するデータ.txt'
# Generous limits: each wait ends as soon as what it waits for is there, however busy the
# machine; only a program that never gets there meets one.
readonly WINDOW_WAIT=120 WRITE_WAIT=60 EXIT_WAIT=60 SETTLE_WAIT=60 MENU_WAIT=60

# shellcheck source=../tap.sh
source "$(dirname "$0")/../tap.sh"
here="$(cd "$(dirname "$0")" && pwd)"

deployed="${PELMOR_DEPLOYED:-$(dirname "${1:-.}")/Pelmor}"
exe="$(realpath -m -- "$deployed/pelmor.exe")"
if [ ! -f "$exe" ]; then
    echo "skipped: no deployed program at $exe (scripts/windows/build.sh makes it)"
    exit 77
fi
missing="$(missing_tools wine:wine Xvfb:xvfb xdotool:xdotool xclip:xclip iconv:libc-bin cmp:diffutils)"
[ -z "$missing" ] || { echo "skipped: $missing"; exit 77; }
/usr/bin/python3 -c 'import Xlib' 2>/dev/null || { echo "skipped: missing python3-xlib; run scripts/setup.sh"; exit 77; }

tmp="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-e2e-wine.XXXXXX")" || bail "mktemp failed"
work="$tmp/work" home="$tmp/home"
mkdir -p "$work" "$home"
export HOME="$home" WINEPREFIX="$tmp/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
xvfb_pid='' app_pid='' clip_pids=() exit_status=''

trap wine_run_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
stamp() { stat -c '%i %y %z' -- "$work/$DATA_FILE" 2>/dev/null; }

start_xvfb || bail "$xvfb_error"
export DISPLAY=":$display_no"
{ wineboot -i && winecfg -v win10 && wineserver -w; } </dev/null >"$tmp/prefix.log" 2>&1 ||
    bail "Wine could not make its prefix: $(tail -n 3 "$tmp/prefix.log")"

wid='' menu_h=''

# Waits until the program and the X server have handled all that was sent to them: then the
# window shows the outcome of every click and key so far.
settle() {
    wait_quiet "$SETTLE_WAIT" "$app_pid" "$xvfb_pid"
}

start_program() {
    (cd "$work" && exec wine "$exe") >>"$tmp/app.log" 2>&1 </dev/null &
    app_pid=$!
}

wait_for_window() {
    local deadline=$((SECONDS + WINDOW_WAIT))
    while ((SECONDS < deadline)); do
        alive "$app_pid" || { note "the program ended before showing its window"; return 1; }
        wid="$(xdotool search --onlyvisible --name '^Pelmor$' 2>/dev/null | head -n 1)"
        [ -n "$wid" ] && return 0
        sleep 0.2
    done
    note "no visible window titled Pelmor within ${WINDOW_WAIT} s"
    return 1
}

# Without a window manager Wine's X window is the Windows client area: menu bar and client.
measure_window() {
    local key value WIDTH='' HEIGHT=''
    while IFS='=' read -r key value; do
        case "$key" in WIDTH) WIDTH=$value ;; HEIGHT) HEIGHT=$value ;; esac
    done < <(xdotool getwindowgeometry --shell "$wid" 2>/dev/null)
    menu_h=$((HEIGHT - CLIENT_H))
    if [ "${WIDTH:-0}" -ne "$CLIENT_W" ] || ((menu_h < 10 || menu_h > 40)); then
        note "window is ${WIDTH}x${HEIGHT}; want ${CLIENT_W} wide and ${CLIENT_H} plus a menu bar high"
        return 1
    fi
}

click_client() { xdotool mousemove --window "$wid" "$1" $((menu_h + $2)) click 1; }
click_cmdDataIn() { click_client $((8 + 65 / 2)) $((8 + 33 / 2)); }
click_cmbBefor() { click_client $((88 + 97 / 2)) $((8 + 33 / 2)); }
click_cmdNext() { click_client $((200 + 89 / 2)) $((8 + 33 / 2)); }
click_cmdEnd() { click_client $((672 + 65 / 2)) $((8 + 33 / 2)); }


# Runs the action ($2...) and waits until the data file holds exactly the bytes of file $1.
act_and_expect() {
    local expected="$1" data="$work/$DATA_FILE" deadline
    shift
    "$@" || { note "$* failed"; return 1; }
    deadline=$((SECONDS + WRITE_WAIT))
    until cmp -s "$expected" "$data"; do
        if ((SECONDS >= deadline)) || ! alive "$app_pid"; then
            alive "$app_pid" || note "the program ended"
            note "want: $(hex "$expected")"
            note "got:  $(hex "$data" 2>/dev/null)"
            return 1
        fi
        sleep 0.1
    done
    alive "$app_pid" || { note "the program ended"; return 1; }
    settle
}

# Runs the action ($@), waits until the program has handled it, and checks that the data file
# was neither written nor replaced.
act_and_keep() {
    local before after
    before="$(stamp)"
    cp -- "$work/$DATA_FILE" "$tmp/kept"
    "$@" || { note "$* failed"; return 1; }
    settle || return 1
    after="$(stamp)"
    cmp -s "$tmp/kept" "$work/$DATA_FILE" || { note "bytes changed"; return 1; }
    [ "$before" = "$after" ] || { note "rewritten: $before -> $after"; return 1; }
    alive "$app_pid" || { note "the program ended"; return 1; }
}

# --- cases -----------------------------------------------------------------------------

case_start() {
    printf 'apple,りんご\r\ndog,犬\r\n' | iconv -f UTF-8 -t CP932 >"$work/$DATA_FILE" || return 1
    cp -- "$work/$DATA_FILE" "$tmp/start"
    local before
    before="$(stamp)"
    start_program
    wait_for_window && measure_window && settle || return 1
    cmp -s "$tmp/start" "$work/$DATA_FILE" && [ "$(stamp)" = "$before" ] || { note "start-up wrote the file"; return 1; }
}

case_paste() {
    printf 'one,一\r\ntwo,二\r\nthree,三\r\n' | iconv -f UTF-8 -t CP932 >"$tmp/want" || return 1
    set_clipboard $'one,一\ntwo,二\nthree,三' || return 1
    act_and_expect "$tmp/want" click_cmdDataIn
}

case_clicks() {
    click_twice_and_card() {
        click_cmdNext && settle && click_cmdNext && settle && click_cmbBefor && settle &&
            click_client 374 300
    }
    act_and_keep click_twice_and_card
}

case_drop() {
    printf 'book,本\r\nwater,水\r\n' >"$tmp/dropped.txt"
    act_and_expect "$tmp/dropped.txt" /usr/bin/python3 "$here/xdnd_drop.py" --window "$wid" --x 374 \
        --y $((menu_h + 300)) "$tmp/dropped.txt"
}

# The window as drawn, raw, once two looks, each taken with the program idle, agree.
shot() {
    local i
    for ((i = 0; i < 10; i++)); do
        settle && /usr/bin/import -window "$wid" -depth 8 "rgb:$tmp/$1.rgb" && settle &&
            /usr/bin/import -window "$wid" -depth 8 "rgb:$tmp/shot.rgb" || return 1
        cmp -s "$tmp/shot.rgb" "$tmp/$1.rgb" && return 0
    done
    note "the window kept changing"
    return 1
}

# Where two looks of the window differ: the box around the pixels that differ.
differ_where() {
    /usr/bin/convert -size "${CLIENT_W}x$((CLIENT_H + menu_h))" -depth 8 "rgb:$tmp/$1.rgb" "rgb:$tmp/$2.rgb" \
        -compose difference -composite -trim -format '%wx%h+%X+%Y' info: 2>&1
}

# The visible top-level windows, one id a line.
visible_windows() { xdotool search --onlyvisible --maxdepth 1 --name '' 2>/dev/null | sort; }

# 表示する語の区切り, the third menu, then its item $1 by the keyboard: each key once the
# program has handled what came before (the first once the menu's own window is there: keys
# before it would go to the list of cards). Returns once the menu's window has gone and the
# program has handled the choice: the menu lies over 次へ, so a click sent while the program
# had not yet handled Return went to the menu, not to the button.
choose_delimiter() {
    local i before menu='' deadline=$((SECONDS + MENU_WAIT))
    before="$(visible_windows)"
    click_client 276 $((-menu_h / 2)) || return 1
    until [ -n "$menu" ]; do
        ((SECONDS < deadline)) || { note "the menu did not open"; return 1; }
        sleep 0.05
        menu="$(comm -13 <(echo "$before") <(visible_windows) | head -n 1)"
    done
    settle || return 1
    for ((i = 0; i < $1; i++)); do
        xdotool key Down && settle || return 1
    done
    xdotool key Return || return 1
    while visible_windows | grep -qx "$menu"; do
        ((SECONDS < deadline)) || { note "the menu did not close"; return 1; }
        sleep 0.05
    done
    settle
}

case_delimiter() {
    # The first question of the dropped deck ("book,本") split at punctuation, at blanks (none:
    # the whole line), then at punctuation again: the choice must show, and write nothing.
    each_way() {
        click_cmdNext && shot punctuation && choose_delimiter 2 && click_cmdNext && shot blank &&
            choose_delimiter 1 && click_cmdNext && shot again
    }
    act_and_keep each_way || return 1
    cmp -s "$tmp/punctuation.rgb" "$tmp/again.rgb" ||
        { note "the same choice drew another card: $(differ_where punctuation again)"; return 1; }
    ! cmp -s "$tmp/punctuation.rgb" "$tmp/blank.rgb" || { note "the choice of blanks changed nothing"; return 1; }
}

case_end() {
    cp -- "$work/$DATA_FILE" "$tmp/kept"
    click_cmdEnd || return 1
    local deadline=$((SECONDS + EXIT_WAIT))
    while alive "$app_pid" && ((SECONDS < deadline)); do sleep 0.1; done
    alive "$app_pid" && { note "still running ${EXIT_WAIT} s after the click"; return 1; }
    wait "$app_pid"
    exit_status=$?
    app_pid=''
    [ "$exit_status" -eq 0 ] || { note "exit status $exit_status"; return 1; }
    cmp -s "$tmp/kept" "$work/$DATA_FILE" || { note "the data file changed at the end"; return 1; }
    local strays
    strays="$(find "$work" -mindepth 1 ! -path "$work/$DATA_FILE" -printf '%P ')"
    [ -z "$strays" ] || { note "left in the working folder: $strays"; return 1; }
}

check "starts on a code page 932 data file in a ${CLIENT_W}x${CLIENT_H} client area and writes nothing" case_start
check "a paste through the X clipboard writes code page 932 with CR LF" case_paste
check "clicks on next, previous and a card write nothing" case_clicks
check "a file dropped from an X program (XDND) becomes the data file" case_drop
check "a delimiter choice writes nothing" case_delimiter
check "終了 ends the program with status 0 and leaves only the data file" case_end

if [ "$failed" -gt 0 ] && [ -s "$tmp/app.log" ]; then
    note "program output:"
    note "$(tail -n 30 "$tmp/app.log")"
fi
echo "1..$count"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
