#!/usr/bin/env bash
# Builds the Debian package the way Debian does: dpkg-buildpackage and debhelper (debian/) on
# a clean copy of the sources, after installing the build dependencies named in debian/control.
# Prints the path of the package as its last line; the -dbgsym package, the .buildinfo and the
# .changes file lie beside it.
#
# Usage: scripts/package.sh [OUT_DIR]     (default build/package)
#
# The copy is OUT_DIR/pelmor-<version>: the files git knows, committed or not (everything but
# build/ outside a git checkout); it is removed after a successful build. DEB_BUILD_OPTIONS is
# passed on (nocheck skips the unit tests).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m -- "${1:-$here/build/package}")"

version="$(dpkg-parsechangelog -l "$here/debian/changelog" -S Version)"
deb="$out/pelmor_${version}_$(dpkg --print-architecture).deb"

if ! (cd "$here" && dpkg-checkbuilddeps) >/dev/null 2>&1; then
    echo "Installing the build dependencies of debian/control" >&2
    sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 \
        build-dep -y -qq "$here" >&2
fi

tree="$out/pelmor-$version"
rm -rf -- "$tree" "$out"/pelmor_"$version"_* "$out"/pelmor-dbgsym_"$version"_*
mkdir -p -- "$tree"
if git -C "$here" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # Tracked files that were deleted are left out.
    (cd "$here" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' file; do
            if [ -e "$file" ] || [ -L "$file" ]; then printf '%s\0' "$file"; fi
        done | tar --null --no-recursion -T - -cf -) | tar -xf - -C "$tree"
else
    (cd "$here" && tar --exclude=./build -cf - .) | tar -xf - -C "$tree"
fi

(cd "$tree" && dpkg-buildpackage -us -uc -b -Jauto) >&2
[ -f "$deb" ] || { echo "no package $deb" >&2; exit 1; }
rm -rf -- "$tree"
echo "$deb"
