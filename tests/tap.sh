# Shared by the shell tests: TAP lines, their tally, and the care of child processes.
# Sourced, not run.

bail() {
    echo "Bail out! $*"
    exit 2
}

# Every line of the text as a TAP comment.
note() {
    local line
    while IFS= read -r line; do printf '# %s\n' "$line"; done <<<"$*"
}

# check NAME COMMAND...: one TAP line for COMMAND's outcome.
passed=0 failed=0 count=0
check() {
    local name="$1"
    shift
    count=$((count + 1))
    if "$@"; then
        echo "ok $count - $name"
        passed=$((passed + 1))
    else
        echo "not ok $count - $name"
        failed=$((failed + 1))
    fi
}

# The names of the tools of "tool:package" pairs that are not installed, as a sentence.
missing_tools() {
    local pair missing=()
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null || missing+=("${pair%%:*} (Debian package ${pair#*:})")
    done
    [ ${#missing[@]} -eq 0 ] || echo "missing: ${missing[*]}; run scripts/setup.sh"
}

# Alive and not a zombie: a child that has exited but not been reaped still answers kill -0.
alive() {
    local stat
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    stat="${stat##*) }"
    [ "${stat%% *}" != Z ]
}

# Ends these children, and only those still running, and reaps them.
stop_children() {
    local pid
    for pid in "$@"; do
        alive "$pid" && kill "$pid" 2>/dev/null
    done
    for pid in "$@"; do
        wait "$pid" 2>/dev/null
    done
}

# wait_for LIMIT WHAT COMMAND...: returns once COMMAND succeeds, trying every 0.05 s. After
# LIMIT seconds, or once the program under test ($app_pid) has ended, notes that WHAT did not
# come and returns 1.
wait_for() {
    local limit="$1" what="$2" deadline=$((SECONDS + $1))
    shift 2
    until "$@"; do
        if ((SECONDS >= deadline)) || ! alive "$app_pid"; then
            alive "$app_pid" || note "the program ended"
            note "$what did not come within ${limit} s"
            return 1
        fi
        sleep 0.05
    done
}

# How busy the processes (pids) are: "running" while a thread of theirs runs, waits for the
# processor or for the disk; else how often their threads have been given the processor.
activity() {
    local pid task stat slices total=0
    for pid in "$@"; do
        for task in /proc/"$pid"/task/*; do
            read -r stat 2>/dev/null <"$task/stat" || continue
            stat="${stat##*) }"
            case "${stat%% *}" in R | D) echo running; return ;; esac
            read -r _ _ slices 2>/dev/null <"$task/schedstat" || continue
            total=$((total + slices))
        done
    done
    echo "$total"
}

# wait_quiet LIMIT PID...: returns once none of the processes has run at all for 0.15 s (four
# looks in a row, 0.05 s apart): what they were given to do is done, however busy the machine.
# Short, because an idle program still wakes now and then (under Wine, a few times a second,
# seen here); the work of handling a click or a key runs without such pauses. Gives up, saying
# so, after LIMIT seconds.
wait_quiet() {
    local limit="$1" deadline=$((SECONDS + $1)) last='' now calm=0
    shift
    while ((calm < 3)); do
        ((SECONDS < deadline)) || { note "still busy after ${limit} s"; return 1; }
        sleep 0.05
        now="$(activity "$@")"
        if [ "$now" != running ] && [ "$now" = "$last" ]; then calm=$((calm + 1)); else calm=0; fi
        last="$now"
    done
}

# Starts a private Xvfb in the background, logging to $tmp/xvfb.log: sets xvfb_pid and
# display_no, or returns 1 with the server's complaint in xvfb_error.
start_xvfb() {
    local i
    Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp -noreset \
        9>"$tmp/displayfd" >"$tmp/xvfb.log" 2>&1 &
    xvfb_pid=$!
    for ((i = 0; i < 200; i++)); do
        [ -s "$tmp/displayfd" ] && break
        alive "$xvfb_pid" || break
        sleep 0.05
    done
    read -r display_no <"$tmp/displayfd" 2>/dev/null
    [[ ${display_no:-} =~ ^[0-9]+$ ]] && return 0
    xvfb_error="Xvfb did not start: $(tr '\n' ' ' <"$tmp/xvfb.log")"
    return 1
}

# Owns the CLIPBOARD selection with the given text until another owner takes it, and
# returns once the X server hands that text out (xclip, through $tmp/clip; its pid goes to
# clip_pids).
set_clipboard() {
    local i
    printf '%s' "$1" >"$tmp/clip"
    xclip -quiet -selection clipboard -t UTF8_STRING -i "$tmp/clip" >/dev/null 2>&1 &
    clip_pids+=($!)
    for ((i = 0; i < 100; i++)); do
        xclip -o -selection clipboard -t UTF8_STRING 2>/dev/null | cmp -s - "$tmp/clip" && return 0
        sleep 0.05
    done
    note "xclip never served the text"
    return 1
}

# A file's bytes in hexadecimal, on one line.
hex() { od -An -tx1 -v "$1" | tr -s ' \n' ' '; }

# Ends a run of a Windows program under Wine: the program and the clipboard owners, the Wine
# server of the run's own prefix, the X server, and the run's temporary folder.
wine_run_cleanup() {
    # shellcheck disable=SC2046
    stop_children $app_pid ${clip_pids[*]} $(jobs -p)
    wineserver -k 2>/dev/null
    stop_children $xvfb_pid
    rm -rf -- "$tmp"
}
