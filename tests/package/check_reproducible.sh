#!/usr/bin/env bash
# Builds the Debian package a second time and compares it, and its -dbgsym package, byte for
# byte with a first build: from another copy of the sources whose files all have other times, in
# another, deeper folder, minutes later, in another time zone, with another umask, user name and
# host name, and without the unit tests (DEB_BUILD_OPTIONS=nocheck). On a difference diffoscope
# says what differs.
#
# Usage: check_reproducible.sh SOURCE_DIR FIRST_OUT_DIR
#        (FIRST_OUT_DIR: where scripts/package.sh put the first build)
set -uo pipefail
source_dir="$(realpath -e -- "${1:?usage: $0 SOURCE_DIR FIRST_OUT_DIR}")"
first="$(realpath -e -- "${2:?usage: $0 SOURCE_DIR FIRST_OUT_DIR}")"

# shellcheck source=../tap.sh
source "$(dirname "$0")/../tap.sh"
missing="$(missing_tools dpkg-buildpackage:dpkg-dev dh:debhelper diffoscope:diffoscope-minimal cmp:diffutils)"
[ -z "$missing" ] || bail "$missing"

version="$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)"
arch="$(dpkg --print-architecture)"
debs=("pelmor_${version}_${arch}.deb" "pelmor-dbgsym_${version}_${arch}.deb")
buildinfo="pelmor_${version}_${arch}.buildinfo"
for name in "${debs[@]}" "$buildinfo"; do
    [ -f "$first/$name" ] || bail "no first build: $first/$name missing"
done

tmp="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-repro.XXXXXX")" || bail "mktemp failed"
trap 'rm -rf -- "$tmp"' EXIT

# The copy: the files the first build took (those git knows, committed or not), each with
# the time of now, as a fresh clone has.
clone="$tmp/another/and/deeper/folder/pelmor-clone"
mkdir -p "$clone"
(cd "$source_dir" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
        if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
    done | tar --null --no-recursion -T - -cf -) | tar -xmf - -C "$clone" ||
    bail "could not copy the sources"

# Everything the build could pick up from its surroundings, other than in the first build.
if [ "$(umask)" = 0077 ]; then second_umask=0002; else second_umask=0077; fi
if [ "${TZ:-}" = Pacific/Kiritimati ]; then second_tz=America/Adak; else second_tz=Pacific/Kiritimati; fi
second_build() {
    umask "$second_umask"
    export TZ="$second_tz" USER=second-builder LOGNAME=second-builder
    export DEB_BUILD_OPTIONS="nocheck${DEB_BUILD_OPTIONS:+ $DEB_BUILD_OPTIONS}"
    # A host name of its own where a UTS namespace may be made (root).
    if unshare --uts true 2>/dev/null; then
        unshare --uts bash -c 'hostname pelmor-second-host; echo "host: $(hostname)"; exec "$@"' - \
            "$clone/scripts/package.sh" "$tmp/out"
    else
        "$clone/scripts/package.sh" "$tmp/out"
    fi
}
note "second build: $clone, TZ=$second_tz, umask $second_umask, $(date -u '+%F %T') UTC"
(second_build) >"$tmp/build.log" 2>&1 || { note "$(tail -n 30 "$tmp/build.log")"; bail "second build failed"; }

case_elsewhere() {
    # Both builds ran, at different times (dpkg-genbuildinfo's Build-Date).
    local one two
    one="$(sed -n 's/^Build-Date: //p' "$first/$buildinfo")"
    two="$(sed -n 's/^Build-Date: //p' "$tmp/out/$buildinfo")"
    note "first build:  $one"
    note "second build: $two"
    [ -n "$one" ] && [ -n "$two" ] && (($(date -d "$one" +%s) < $(date -d "$two" +%s)))
}

# same NAME: the two builds' NAME are the same bytes; else diffoscope's report, also kept in
# FIRST_OUT_DIR/NAME.diffoscope.txt.
same() {
    local name="$1" report="$first/$1.diffoscope.txt"
    note "$(cd "$first" && sha256sum "$name") (first)"
    note "$(cd "$tmp/out" && sha256sum "$name") (second)"
    rm -f -- "$report"
    cmp -s "$first/$name" "$tmp/out/$name" && return 0
    diffoscope --text "$report" --max-report-size 2000000 "$first/$name" "$tmp/out/$name" >/dev/null 2>&1
    note "$(head -n 200 "$report")"
    note "(diffoscope's whole report: $report)"
    return 1
}

check "the second build ran later than the first" case_elsewhere
for name in "${debs[@]}"; do
    check "$name is the same bytes in both builds" same "$name"
done

echo "1..$count"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
