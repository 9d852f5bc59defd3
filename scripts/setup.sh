#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need, if missing.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config
    qt6-base-dev qt6-translations-l10n libgl-dev
    fonts-ipafont-gothic fonts-noto-cjk
    xvfb xdotool xclip file desktop-file-utils python3-xlib
    qt6-wayland weston wl-clipboard libwayland-dev wayland-protocols
    dbus-daemon at-spi2-core python3-pyatspi
    dpkg-dev debhelper lintian diffoscope-minimal appstream man-db
    "$@"
)

missing=()
for package in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
