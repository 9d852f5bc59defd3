#!/usr/bin/env bash
# The Windows installer and portable zip under Wine, in a prefix and HOME of this run's own on
# its own Xvfb: a silent install (files, Start-menu shortcut and its working folder, the
# Uninstall entry), the installed program started as the shortcut starts it takes a paste and
# writes its data file into Documents\Pelmor, an install over it keeps that file, a silent
# uninstall removes the program, shortcut and entry but keeps the file; then the zip unpacked
# and started from its own folder writes the data file there.
# Prints TAP lines and "N passed, N failed"; exit 77 with the reason when something is missing.
#
# Usage: check_installer.sh INSTALLER.exe PORTABLE.zip   (scripts/windows/package.sh makes them)
set -uo pipefail

readonly CLIENT_H=486
readonly DATA_FILE='表示するデータ.txt'
readonly KEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Pelmor'

source "$(dirname "$0")/../tap.sh"

installer=$(realpath -m -- "${1:-}") zipfile=$(realpath -m -- "${2:-}")
[ -f "$installer" ] && [ -f "$zipfile" ] || { echo "skipped: no installer or zip (run scripts/windows/package.sh)"; exit 77; }
missing="$(missing_tools wine:wine Xvfb:xvfb xdotool:xdotool xclip:xclip iconv:libc-bin unzip:unzip python3:python3)"
[ -z "$missing" ] || { echo "skipped: $missing"; exit 77; }

tmp="$(mktemp -d "${TMPDIR:-/tmp}/pelmor-installer.XXXXXX")" || bail "mktemp failed"
mkdir -p "$tmp/home"
export HOME="$tmp/home" WINEPREFIX="$tmp/prefix" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
xvfb_pid='' app_pid='' clip_pids=()

trap wine_run_cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

start_xvfb || bail "$xvfb_error"
export DISPLAY=":$display_no"
{ wineboot -i && winecfg -v win10 && wineserver -w; } </dev/null >"$tmp/prefix.log" 2>&1 ||
    bail "Wine could not make its prefix: $(tail -n 3 "$tmp/prefix.log")"
user_dir=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 ! -name Public | head -n 1)
user=$(basename "$user_dir")
# Wine links the user folders to $HOME: plain folders keep everything inside the prefix.
for link in "$user_dir"/*; do
    [ -L "$link" ] && rm -f "$link" && mkdir -p "$link"
done
inst="$user_dir/AppData/Local/Programs/Pelmor"
docs="$user_dir/Documents/Pelmor"
lnk="$user_dir/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Pelmor.lnk"
printf 'one,一\r\ntwo,二\r\nthree,三\r\n' | iconv -f UTF-8 -t CP932 >"$tmp/want" || bail "iconv failed"

run_silently() { wine "$@" </dev/null >>"$tmp/wine.log" 2>&1; wineserver -w; }

# Working folder and target of a .lnk (MS-SHLLINK): StringData after the ID list and LinkInfo.
read_lnk() {
    python3 - "$1" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()
flags = struct.unpack_from('<I', data, 20)[0]
pos, target = 76, ''
if flags & 0x1:
    pos += 2 + struct.unpack_from('<H', data, pos)[0]
if flags & 0x2:
    size, _, _, _, base = struct.unpack_from('<IIIII', data, pos)
    target = data[pos + base:data.index(b'\0', pos + base)].decode('latin-1')
    pos += size
strings = {}
for bit, name in ((0x4, 'name'), (0x8, 'relative'), (0x10, 'workdir'), (0x20, 'args'), (0x40, 'icon')):
    if flags & bit:
        n = struct.unpack_from('<H', data, pos)[0]
        width = 2 if flags & 0x80 else 1
        raw = data[pos + 2:pos + 2 + n * width]
        strings[name] = raw.decode('utf-16-le' if width == 2 else 'latin-1')
        pos += 2 + n * width
print(strings.get('workdir', ''))
print(target)
EOF
}

measure_and_paste() {
    local deadline=$((SECONDS + 60)) wid='' key value HEIGHT='' i
    while ((SECONDS < deadline)); do
        alive "$app_pid" || { note "the program ended before showing its window"; return 1; }
        wid="$(xdotool search --onlyvisible --name '^Pelmor$' 2>/dev/null | head -n 1)"
        [ -n "$wid" ] && break
        sleep 0.2
    done
    [ -n "$wid" ] || { note "no window"; return 1; }
    sleep 1
    while IFS='=' read -r key value; do [ "$key" = HEIGHT ] && HEIGHT=$value; done \
        < <(xdotool getwindowgeometry --shell "$wid")
    printf '%s' $'one,一\ntwo,二\nthree,三' >"$tmp/clip"
    xclip -quiet -selection clipboard -t UTF8_STRING -i "$tmp/clip" >/dev/null 2>&1 &
    clip_pids+=($!)
    for ((i = 0; i < 100; i++)); do
        xclip -o -selection clipboard -t UTF8_STRING 2>/dev/null | cmp -s - "$tmp/clip" && break
        sleep 0.05
    done
    # 「データの貼り付け」: client 40,24 below the menu bar.
    xdotool mousemove --window "$wid" 40 $((HEIGHT - CLIENT_H + 24)) click 1
}

# Starts pelmor.exe ($1, Windows path) in the folder $2 (Linux path), pastes, and waits for
# the data file there to hold the expected bytes; then ends the program.
paste_in() {
    local exe=$1 dir=$2 deadline ok=1
    (cd "$dir" && exec wine "$exe") >>"$tmp/app.log" 2>&1 </dev/null &
    app_pid=$!
    measure_and_paste || ok=0
    deadline=$((SECONDS + 20))
    while ((ok)) && ! cmp -s "$tmp/want" "$dir/$DATA_FILE"; do
        ((SECONDS < deadline)) || { note "want: $(hex "$tmp/want")"; note "got:  $(hex "$dir/$DATA_FILE" 2>/dev/null)"; ok=0; }
        sleep 0.1
    done
    stop_children "$app_pid"
    app_pid=''
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    ((ok))
}

case_install() {
    run_silently "$(winepath -w "$installer")" /S || { note "installer failed"; return 1; }
    local f
    for f in pelmor.exe Qt6Core.dll Qt6Widgets.dll platforms/qwindows.dll uninstall.exe \
        licenses/Pelmor/LICENSE.txt licenses/Qt/LICENSES/LGPL-3.0-only.txt licenses/Qt/LICENSES/GPL-3.0-only.txt; do
        [ -f "$inst/$f" ] || { note "missing $inst/$f"; return 1; }
    done
    [ -d "$docs" ] || { note "no $docs"; return 1; }
    [ ! -e "$inst/$DATA_FILE" ] || { note "a data file in the install folder"; return 1; }
}

case_shortcut() {
    [ -f "$lnk" ] || { note "no $lnk"; return 1; }
    local lines
    mapfile -t lines < <(read_lnk "$lnk")
    workdir=${lines[0]:-} target=${lines[1]:-}
    [ "$workdir" = "C:\\users\\$user\\Documents\\Pelmor" ] || { note "working folder: '$workdir'"; return 1; }
    [ "${target,,}" = "c:\\users\\${user,,}\\appdata\\local\\programs\\pelmor\\pelmor.exe" ] ||
        { note "target: '$target'"; return 1; }
}

case_registry() {
    local out
    out=$(wine reg query "$KEY" 2>/dev/null | tr -d '\r')
    note "$out"
    local want
    for want in 'DisplayName	REG_SZ	Pelmor' 'DisplayVersion	REG_SZ	1.0.0' 'Publisher	REG_SZ' \
        'InstallLocation	REG_SZ	C:\users\'"$user"'\AppData\Local\Programs\Pelmor' \
        'UninstallString	REG_SZ	"C:\users\'"$user"'\AppData\Local\Programs\Pelmor\uninstall.exe"' \
        'QuietUninstallString	REG_SZ	"C:\users\'"$user"'\AppData\Local\Programs\Pelmor\uninstall.exe" /S' \
        'DisplayIcon	REG_SZ' 'NoModify	REG_DWORD	0x1' 'NoRepair	REG_DWORD	0x1' 'EstimatedSize	REG_DWORD	0x'; do
        grep -qF -- "    ${want//	/    }" <<<"$out" || { note "missing: $want"; return 1; }
    done
    ! grep -q 'EstimatedSize    REG_DWORD    0x0$' <<<"$out" || { note "EstimatedSize 0"; return 1; }
}

case_run_shortcut() {
    paste_in "$target" "$(winepath -u "$workdir" 2>/dev/null)" || return 1
    cp "$docs/$DATA_FILE" "$tmp/kept"
}

case_reinstall() {
    run_silently "$(winepath -w "$installer")" /S || { note "installer failed"; return 1; }
    [ -f "$inst/pelmor.exe" ] || { note "no program after the second install"; return 1; }
    cmp -s "$tmp/kept" "$docs/$DATA_FILE" || { note "data file changed"; return 1; }
}

case_uninstall() {
    run_silently "$(winepath -w "$inst/uninstall.exe")" /S || { note "uninstaller failed"; return 1; }
    [ ! -e "$inst" ] || { note "left: $(cd "$inst" && find . | head)"; return 1; }
    [ ! -e "$lnk" ] || { note "shortcut left"; return 1; }
    ! wine reg query "$KEY" >/dev/null 2>&1 || { note "registry entry left"; return 1; }
    cmp -s "$tmp/kept" "$docs/$DATA_FILE" || { note "data file changed or gone"; return 1; }
}

case_portable() {
    mkdir -p "$tmp/portable" && unzip -q "$zipfile" -d "$tmp/portable" || return 1
    local dir="$tmp/portable/Pelmor"
    [ -f "$dir/pelmor.exe" ] && [ -f "$dir/licenses/Pelmor/LICENSE.txt" ] || { note "zip lacks files"; return 1; }
    paste_in "$(winepath -w "$dir/pelmor.exe")" "$dir"
}

check "a silent install puts the program and its licences in LOCALAPPDATA\\Programs\\Pelmor" case_install
check "the Start-menu shortcut starts pelmor.exe in Documents\\Pelmor" case_shortcut
check "the Uninstall entry of the current user" case_registry
check "started as the shortcut starts it, a paste writes the data file into Documents\\Pelmor" case_run_shortcut
check "an install over it keeps the data file byte for byte" case_reinstall
check "a silent uninstall removes program, shortcut and entry and keeps the data file" case_uninstall
check "the portable zip started from its own folder writes the data file there" case_portable
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
