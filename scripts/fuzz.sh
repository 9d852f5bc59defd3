#!/usr/bin/env bash
# Builds the deck's libFuzzer target with clang and runs it.
#
#   scripts/fuzz.sh [SECONDS] [libFuzzer options...]     (SECONDS defaults to 60)
#
# First replays every input saved in fuzz/regressions, then fuzzes for SECONDS on a
# copy of fuzz/corpus in a temporary folder (the corpus in the tree is never changed).
# Crash inputs are kept in build/fuzz/artifacts. Exits non-zero when a saved input
# still fails or the run found a crash.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
[ $# -gt 0 ] && shift
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
    echo "usage: $0 [SECONDS] [libFuzzer options...]" >&2
    exit 2
fi

# clang brings libFuzzer and the sanitizer run-times only with libclang-rt.
"$here/scripts/setup.sh" clang libclang-rt-14-dev

if ! grep -Eq '^[[:space:]]*add_subdirectory\(fuzz\)' "$here/CMakeLists.txt"; then
    echo "CMakeLists.txt does not add the fuzz folder (if(PELMOR_FUZZ) add_subdirectory(fuzz) endif())." >&2
    exit 2
fi

build="$here/build/fuzz"
artifacts="$build/artifacts"
cmake -S "$here" -B "$build" -G Ninja \
    -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug \
    -DPELMOR_FUZZ=ON \
    -DBUILD_TESTING=OFF \
    -DPELMOR_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --target fuzz_deck
fuzzer="$build/fuzz/fuzz_deck"
mkdir -p "$artifacts"

export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"

work="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp -R "$here/fuzz/corpus/." "$work/corpus/"
# The fuzzer runs in the temporary folder: whatever it writes stays there.
cd "$work"

status=0
shopt -s nullglob
regressions=("$here"/fuzz/regressions/*)
if [ ${#regressions[@]} -gt 0 ]; then
    echo "== Replaying ${#regressions[@]} saved input(s) from fuzz/regressions"
    for input in "${regressions[@]}"; do
        if ! "$fuzzer" "$input" >"$work/replay.log" 2>&1; then
            echo "FAILED: ${input#"$here"/}"
            grep -E 'broken:|ERROR:|runtime error:' "$work/replay.log" | head -5 || true
            status=1
        fi
    done
fi

echo "== Fuzzing for $seconds s"
before="$(find "$artifacts" -type f | wc -l)"
fuzz_status=0
"$fuzzer" "$work/corpus" \
    -dict="$here/fuzz/deck.dict" \
    -max_total_time="$seconds" \
    -artifact_prefix="$artifacts/" \
    -print_final_stats=1 \
    "$@" || fuzz_status=$?
after="$(find "$artifacts" -type f | wc -l)"

if [ "$fuzz_status" -ne 0 ] || [ "$after" -gt "$before" ]; then
    echo "The fuzzer found a crash (exit status $fuzz_status); inputs are in ${artifacts#"$here"/}:"
    ls -t "$artifacts" | head -5
    status=1
fi
exit "$status"
