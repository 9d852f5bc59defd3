#!/usr/bin/env bash
# Builds the Debian package: a release build with Debian's hardening flags, packed by CPack.
# Prints the path of the package as its last line.
#
# Usage: scripts/package.sh [BUILD_DIR]     (default build/package)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build/package}"

# The flags Debian builds its own packages with (fortified functions, stack protector,
# read-only relocations, immediate binding). CMake takes CXXFLAGS and LDFLAGS from the
# environment on the first configure; the preprocessor flags go with the compiler's.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CPPFLAGS $CXXFLAGS"

cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DPELMOR_BENCHMARKS=OFF >/dev/null
cmake --build "$build" --parallel 2
(cd "$build" && cpack -G DEB) >&2
version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
echo "$build/pelmor_${version}_$(dpkg --print-architecture).deb"
