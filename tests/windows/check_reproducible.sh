#!/usr/bin/env bash
# Builds the Windows installer and portable zip twice, in two build folders of its own, the
# second time in another time zone and with umask 077, and checks that both come out byte for
# byte the same; on a difference prints diffoscope's account of it.
# Prints TAP lines and "N passed, N failed"; exit 77 when a tool is missing.
#
# Usage: check_reproducible.sh
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
source "$repo/tests/tap.sh"

missing="$(missing_tools makensis:nsis zip:zip x86_64-w64-mingw32-g++-posix:g++-mingw-w64-x86-64-posix)"
[ -z "$missing" ] || { echo "skipped: $missing"; exit 77; }

tmp="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-reproducible.XXXXXX")" || bail "mktemp failed"
trap 'rm -rf -- "$tmp"' EXIT

package() {
    local name=$1
    shift
    env "$@" PELMOR_WINDOWS_BUILD="$tmp/$name" "$repo/scripts/windows/package.sh" \
        >"$tmp/$name.out" 2>"$tmp/$name.log" || { note "$(tail -n 20 "$tmp/$name.log")"; return 1; }
    tail -n 2 "$tmp/$name.out" >"$tmp/$name.paths"
}

package a TZ=UTC || bail "the first build failed"
(umask 077 && package b TZ=Pacific/Kiritimati) || bail "the second build failed"
mapfile -t a <"$tmp/a.paths"
mapfile -t b <"$tmp/b.paths"

same() {
    cmp -s "$1" "$2" && return 0
    note "$1 and $2 differ"
    command -v diffoscope >/dev/null || return 1
    # The folder both are made of tells more, and sooner, than the compressed archives.
    local from=("$1" "$2")
    diff -rq "$tmp/a/package/Pelmor" "$tmp/b/package/Pelmor" >/dev/null ||
        from=("$tmp/a/package/Pelmor" "$tmp/b/package/Pelmor")
    note "$(diffoscope --text - "${from[@]}" 2>&1 | head -n 200)"
    return 1
}

check "two builds give the same installer ($(sha256sum <"${a[0]}" | cut -c1-16)...)" same "${a[0]}" "${b[0]}"
check "two builds give the same portable zip ($(sha256sum <"${a[1]}" | cut -c1-16)...)" same "${a[1]}" "${b[1]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
