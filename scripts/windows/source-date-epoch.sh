#!/usr/bin/env bash
# Prints the time the Windows build stamps into what it makes (SOURCE_DATE_EPOCH, in seconds):
# the last commit's, when this tree is a git checkout with history; else the date of the
# newest entry of debian/changelog, which is what Debian's own build takes. A release
# archive (git archive) has no history, and may lie inside some other checkout, whose
# commits say nothing about it.
#
# Usage: scripts/windows/source-date-epoch.sh
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd -P)

time=''
if [ "$(git -C "$repo" rev-parse --show-toplevel 2>/dev/null)" = "$repo" ]; then
    time=$(git -C "$repo" log -1 --format=%ct 2>/dev/null) || time=''
fi
[ -n "$time" ] || time=$(dpkg-parsechangelog -l "$repo/debian/changelog" -S Timestamp)
[[ $time =~ ^[0-9]+$ ]] || { echo "source-date-epoch.sh: no time from git or debian/changelog: '$time'" >&2; exit 1; }
echo "$time"
