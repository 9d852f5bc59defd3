#!/usr/bin/env bash
# Start-up of Pelmor against the bare Qt window: both take turns on one fresh Xvfb, in a
# temporary working directory holding a 301-line data file, and the time to the first
# full frame and the peak memory of each are compared (see bench_startup.cpp for how).
# Usage: bench/startup.sh [BUILD_DIR] [RUNS]   (defaults: build/release, 15)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-$here/../build/release}" && pwd)"
runs="${2:-15}"
for program in "$build/src/pelmor" "$build/bench/bare_window" "$build/bench/bench_startup"; do
    [ -x "$program" ] || { echo "missing $program: build with benchmarks first (scripts/bench.sh does)" >&2; exit 1; }
done
exec "$here/on-xvfb.sh" "$build/bench/bench_startup" --runs "$runs" "$build/src/pelmor" "$build/bench/bare_window"
