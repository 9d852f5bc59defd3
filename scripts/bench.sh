#!/usr/bin/env bash
# Sets up the machine, builds Pelmor with its benchmark programs and runs them all,
# printing the machine and every figure:
#   start-up against a bare Qt window (time to the first full frame, peak memory),
#   each action on the window with the largest deck,
#   the drop of a 100 MB file against cp,
#   start-up and the next press with a 200 MB data file without a line end and with a
#   2 GiB sparse one (the latter under a 4 GiB address-space limit),
#   a paste of 100 MB through the X clipboard (peak memory against the text's size).
# Each benchmark works in a temporary folder of its own and on an Xvfb of its own.
# Usage: scripts/bench.sh [--preset release|dev] [--quick]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

preset=release
runs=15 reps=100 rounds=5
# The large-file runs take seconds each: at most this many, and only one after a run
# slower than its goal (--slow-s).
bigruns=3
bigreps=30
while [ $# -gt 0 ]; do
    case "$1" in
    --preset) preset="$2"; shift 2 ;;
    --quick) runs=5 reps=20 rounds=2 bigruns=1 bigreps=10; shift ;;
    *) echo "usage: $0 [--preset release|dev] [--quick]" >&2; exit 2 ;;
    esac
done

# Xvfb runs the windows; the start-up driver reads the X server's DAMAGE reports; xclip
# holds the text of the paste and xdotool clicks the button.
"$here/scripts/setup.sh" xvfb x11-utils libx11-dev libxdamage-dev xclip xdotool

cmake -S "$here" --preset "$preset" -DPELMOR_BENCHMARKS=ON >/dev/null
build="$here/build/$preset"
cmake --build "$build" --target pelmor bare_window bench_startup bench_actions bench_hugedrop \
    bench_hugenext bench_hugepaste bench_bigfile

echo
echo "== Machine"
echo "cores:  $(nproc)"
echo "CPU:    $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "memory: $(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)"
echo "system: $(. /etc/os-release && echo "$PRETTY_NAME"), Linux $(uname -r)"
echo "Qt:     $(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || echo unknown)"
echo "build:  $preset ($build)"
echo "temporary folders on: $(df -T "${TMPDIR:-/tmp}" | awk 'NR == 2 { print $1, $2 }')"

# Other work on the machine shows in every figure: say how busy it was.
load() { echo "load average before this part: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min)"; }

status=0
echo
echo "== Start-up: Pelmor against a bare Qt window"
load
"$here/bench/startup.sh" "$build" "$runs" || status=1
echo
echo "== Actions on the window"
load
"$here/bench/on-xvfb.sh" "$build/bench/bench_actions" --reps "$reps" || status=1
echo
echo "== Drop of a 100 MB file against cp"
load
"$here/bench/on-xvfb.sh" "$build/bench/bench_hugedrop" --rounds "$rounds" || status=1

# The memory limit keeps a program that would take many gigabytes from pushing this shared
# machine into swap: its allocation fails instead, and the run is reported as failed.
limit=4096
big() { # DATA GOAL_S [ARG...]: start-up of the real program with that data file
    local data="$1" goal="$2"
    shift 2
    "$here/bench/on-xvfb.sh" "$build/bench/bench_startup" --data "$data" --runs "$bigruns" --warm 0 \
        --settle-ms 1000 --timeout-s 180 --slow-s "$goal" --goal-s "$goal" --goal-peak-mb 160 --answer-boxes "$@" \
        "$build/src/pelmor"
}
echo
echo "== Start-up with a 200 MB data file without a line end"
load
big no-line-end:200MB 3 || status=1
echo
echo "== Start-up with a 2 GiB sparse data file (zero bytes), address space limited to $limit MiB"
load
big sparse:2GiB 8 --memory-limit-mib "$limit" || status=1
echo
echo "== Next (question, then answer) with a 200 MB data file without a line end"
load
"$here/bench/on-xvfb.sh" "$build/bench/bench_hugenext" --data no-line-end:200MB --runs "$bigruns" --slow-s 3 \
    --memory-limit-mib "$limit" || status=1
echo
echo "== Next (question, then answer) with a 2 GiB sparse data file, address space limited to $limit MiB"
load
"$here/bench/on-xvfb.sh" "$build/bench/bench_hugenext" --data sparse:2GiB --runs "$bigruns" --slow-s 3 \
    --memory-limit-mib "$limit" || status=1
echo
echo "== Paste of 100 MB of text through the X clipboard"
load
"$here/bench/on-xvfb.sh" "$build/bench/bench_hugepaste" --megabytes 100 --runs "$bigruns" "$build/src/pelmor" \
    || status=1
echo
echo "== Every action with very long cards and very large data files"
load
"$here/bench/on-xvfb.sh" "$build/bench/bench_bigfile" --reps "$bigreps" || status=1
exit "$status"
