#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and checks that the program, its
# desktop entry and its icon land where desktops look for them.
set -uo pipefail
build="$1"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
passed=0 failed=0
check() { # name, command...
    local name="$1"; shift
    if "$@"; then echo "ok - $name"; passed=$((passed + 1)); else echo "not ok - $name"; failed=$((failed + 1)); fi
}
cmake --install "$build" --prefix "$prefix" >/dev/null
desktop="$prefix/share/applications/pelmor.desktop"
icon="$prefix/share/icons/hicolor/48x48/apps/pelmor.png"
check "program in bin" test -x "$prefix/bin/pelmor"
check "desktop entry in share/applications" test -f "$desktop"
check "desktop entry starts the program" grep -qx 'Exec=pelmor' "$desktop"
check "desktop entry shows the icon" grep -qx 'Icon=pelmor' "$desktop"
check "desktop entry has a Japanese name" grep -q '^Name\[ja\]=.*問答' "$desktop"
check "desktop entry is in the Education category" grep -q '^Categories=.*Education;' "$desktop"
check "icon is a 48 x 48 PNG" bash -c "file '$icon' | grep -q 'PNG image data, 48 x 48'"
if command -v desktop-file-validate >/dev/null; then
    check "desktop entry is valid" desktop-file-validate "$desktop"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
