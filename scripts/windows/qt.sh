#!/usr/bin/env bash
# Builds Qt for 64-bit Windows (x86_64-w64-mingw32) from Debian's own qt6-base source package, the
# same version as the installed qt6-base-dev-tools (whose moc/rcc/uic serve as host tools), once,
# into a cache outside the tree. Prints the Qt install prefix as the last line of stdout; progress
# goes to stderr, the full build output to <cache>/qt-build.log.
#
# Environment:
#   PELMOR_CACHE  cache folder (default ${XDG_CACHE_HOME:-$HOME/.cache}/pelmor)
#   PELMOR_JOBS   parallel build jobs (default 2)
#
# The prefix name holds a hash of the Debian version, the configure options and the toolchain file,
# so changing any of them builds a new Qt next to the old one. A finished prefix has a .complete
# file; SOURCE.txt names the source package, its version and the configure options, and licenses/
# holds Qt's LICENSES, debian/copyright and the qt_attribution.json (plus licence files) of the
# code that went into the build.
#
# The package archive is the one this machine's apt configuration names; apt runs with a private
# configuration in a temporary folder and leaves the system's apt state alone.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
toolchain=$repo/cmake/mingw-w64-x86_64.cmake
jobs=${PELMOR_JOBS:-2}
cache=${PELMOR_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pelmor}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

say() { echo "qt.sh: $*" >&2; }
die() { say "error: $*"; exit 1; }

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# --- Packages --------------------------------------------------------------------------------
packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools
    dpkg-dev ninja-build cmake perl python3 debian-archive-keyring util-linux
    qt6-base-dev-tools qt6-base-dev
)
missing=()
for package in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" != installed ]; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    say "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 update -qq >&2
    "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=900 install -y -qq --no-install-recommends \
        "${missing[@]}" >&2
fi

# --- What to build ---------------------------------------------------------------------------
version=$(dpkg-query -W -f='${Version}' qt6-base-dev-tools)
source_package=$(dpkg-query -W -f='${source:Package}' qt6-base-dev-tools)
upstream=${version#*:}
upstream=${upstream%-*}
upstream=${upstream%%+*}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)

# Debian's source drops src/3rdparty/wintab and sqlite, hence tabletevent and sql off. With direct2d
# off, directwrite3 must be off too or qwindows.dll fails to link.
configure_options=(
    -release -shared -xplatform win32-g++ -qt-host-path /usr
    -nomake tests -nomake examples
    -no-opengl -no-dbus -no-icu
    -qt-zlib -qt-libpng -qt-pcre -qt-harfbuzz -qt-freetype
    -no-feature-tabletevent -no-feature-sql -no-feature-network -no-feature-printsupport
    -no-feature-concurrent -no-feature-xml -no-feature-vulkan -no-feature-direct2d
    -no-feature-directwrite3 -no-feature-gif -no-feature-imageformatplugin
)
# CMake arguments; @WORK@ and @TOOLCHAIN@ are filled in below (kept out of the hash).
cmake_options=(
    -G Ninja -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_TOOLCHAIN_FILE=@TOOLCHAIN@
    "-DQT_HOST_PATH_CMAKE_DIR=/usr/lib/$multiarch/cmake"
    "-DCMAKE_C_FLAGS=-ffile-prefix-map=@WORK@=."
    "-DCMAKE_CXX_FLAGS=-ffile-prefix-map=@WORK@=."
)

key=$({
    echo "$version"
    printf '%s\n' "${configure_options[@]}" -- "${cmake_options[@]}"
    cat "$toolchain"
} | sha256sum | cut -c1-12)
prefix=$cache/qt-$upstream-mingw-$key

if [ -e "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

mkdir -p "$cache"
exec 9>"$prefix.lock"
if ! flock -n 9; then
    say "another run is building $prefix; waiting"
    flock 9
fi
if [ -e "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

work=$prefix.work
logfile=$cache/qt-build.log
started=$(date +%s)
cmake_args=()
for option in "${cmake_options[@]}"; do
    option=${option//@WORK@/$work}
    option=${option//@TOOLCHAIN@/$prefix/share/pelmor/mingw-w64-x86_64.cmake}
    cmake_args+=("$option")
done

# --- Source ------------------------------------------------------------------------------------
# Downloads the .dsc and tarballs into $sources (kept, so a new build needs no download).
sources=$cache/sources/${source_package}_${version#*:}
dsc=$sources/${source_package}_${version#*:}.dsc
download_source() {
    [ -e "$sources/.complete" ] && return 0
    apt_dir=$(mktemp -d)
    trap 'rm -rf "$apt_dir"' EXIT
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/download"

    # One deb-src line per archive and suite that the machine's apt configuration names.
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    [ -n "$codename" ] || die "no VERSION_CODENAME in /etc/os-release"
    {
        if [ -r /etc/apt/sources.list.d/debian.sources ]; then
            awk '
                function flush() {
                    if (types ~ /(^| )deb( |$)/)
                        for (u = 1; u <= nu; u++) for (s = 1; s <= ns; s++) print uri[u], suite[s]
                    types = ""; nu = 0; ns = 0
                }
                /^[ \t]*$/ { flush(); next }
                /^[ \t]*#/ { next }
                tolower($1) == "types:" { $1 = ""; types = $0 " " }
                tolower($1) == "uris:" { for (i = 2; i <= NF; i++) uri[++nu] = $i }
                tolower($1) == "suites:" { for (i = 2; i <= NF; i++) suite[++ns] = $i }
                END { flush() }
            ' /etc/apt/sources.list.d/debian.sources
        fi
        if [ -r /etc/apt/sources.list ]; then
            sed -e 's/#.*//' -e 's/\[[^]]*\]//' /etc/apt/sources.list | awk '$1 == "deb" { print $2, $3 }'
        fi
    } | awk -v codename="$codename" '
        # The main suite first, as named in /etc/os-release; then its updates and security suites.
        $2 == codename && !main { print; main = 1; next }
        index($2, codename "-") == 1 { rest[++n] = $0 }
        END { for (i = 1; i <= n; i++) print rest[i] }
    ' | awk '!seen[$0]++ { printf "deb-src [signed-by='"$keyring"'] %s %s main\n", $1, $2 }' \
        >"$apt_dir/sources.list"
    grep -q . "$apt_dir/sources.list" || die "no Debian archive for $codename in /etc/apt"
    say "source archives: $(awk '{ printf "%s %s; ", $3, $4 }' "$apt_dir/sources.list")"

    apt_options=(
        -o "Dir::Etc::SourceList=$apt_dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
        -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
        -o APT::Sandbox::User=root -o Acquire::Languages=none
    )
    apt-get "${apt_options[@]}" -q update >>"$logfile" 2>&1 || die "apt-get update failed; see $logfile"
    (cd "$apt_dir/download" && apt-get "${apt_options[@]}" -q source --download-only \
        "$source_package=$version") >>"$logfile" 2>&1 || die "apt-get source failed; see $logfile"
    rm -rf "$sources"
    mkdir -p "$(dirname "$sources")"
    mv "$apt_dir/download" "$sources"
    touch "$sources/.complete"
    rm -rf "$apt_dir"
    trap - EXIT
}

# --- Build -------------------------------------------------------------------------------------
# A build that a run stopped half-way left configured is carried on (ninja builds what is
# missing); anything else starts from scratch.
if [ -e "$work/build/build.ninja" ]; then
    say "carrying on with the build in $work (log: $logfile)"
    echo "=== qt.sh: carrying on, $(date -u)" >>"$logfile"
else
    say "building Qt $upstream ($source_package $version) for Windows into $prefix"
    say "log: $logfile"
    rm -rf "$prefix" "$work"
    mkdir -p "$prefix/share/pelmor" "$work/build"
    : >"$logfile"
    # qt.toolchain.cmake in the prefix loads this copy, so the prefix does not depend on the checkout.
    cp "$toolchain" "$prefix/share/pelmor/mingw-w64-x86_64.cmake"
    download_source
    say "unpacking $(basename "$dsc")"
    dpkg-source -x "$dsc" "$work/src" >>"$logfile" 2>&1 || die "dpkg-source -x failed; see $logfile"
    say "configuring"
    (cd "$work/build" && "$work/src/configure" -prefix "$prefix" "${configure_options[@]}" -- \
        "${cmake_args[@]}") >>"$logfile" 2>&1 || die "configure failed; see $logfile"
fi
cd "$work/build"

say "compiling with $jobs jobs (about half an hour on 2 cores)"
# Progress every 10 %.
cmake --build . --parallel "$jobs" 2>&1 | tee -a "$logfile" | awk '
    match($0, /^\[[0-9]+\/[0-9]+\]/) {
        split(substr($0, 2, RLENGTH - 2), n, "/")
        p = int(n[1] * 10 / n[2]) * 10
        if (p > last) { last = p; printf "qt.sh: %d%% (%d/%d)\n", p, n[1], n[2] > "/dev/stderr"; fflush("/dev/stderr") }
    }' || die "build failed; see $logfile"

say "installing"
cmake --install . >>"$logfile" 2>&1 || die "install failed; see $logfile"

# --- Licence material ----------------------------------------------------------------------------
# Every qt_attribution.json (with the licence files it names) in a folder of which the build read a
# file, as listed by the compilers' dependency records.
licenses=$prefix/licenses
mkdir -p "$licenses"
cp -r "$work/src"/LICENSE* "$licenses/"
cp "$work/src/debian/copyright" "$licenses/debian-copyright"
ninja -t deps | sed -n 's/^    //p' | sort -u >"$work/inputs.txt"
python3 - "$work/src" "$licenses" "$work/inputs.txt" <<'EOF'
import json, os, shutil, sys
src, dest, inputs = sys.argv[1], sys.argv[2], sys.argv[3]
read = set()
for line in open(inputs):
    path = os.path.normpath(os.path.join(os.getcwd(), line.strip()))
    if path.startswith(src + os.sep):
        read.add(os.path.relpath(path, src))
folders = set()
for path in read:
    while path:
        path = os.path.dirname(path)
        folders.add(path)
copied = []
for top, dirs, files in os.walk(os.path.join(src, "src")):
    if "qt_attribution.json" not in files:
        continue
    rel = os.path.relpath(top, src)
    if rel not in folders:
        continue
    os.makedirs(os.path.join(dest, rel), exist_ok=True)
    shutil.copy(os.path.join(top, "qt_attribution.json"), os.path.join(dest, rel))
    # Some of these files hold raw tabs inside strings, which strict JSON forbids.
    with open(os.path.join(top, "qt_attribution.json"), encoding="utf-8") as file:
        data = json.loads(file.read(), strict=False)
    for entry in data if isinstance(data, list) else [data]:
        names = entry.get("LicenseFile", "")
        for name in names if isinstance(names, list) else [names]:
            if name and os.path.isfile(os.path.join(top, name)):
                target = os.path.normpath(os.path.join(dest, rel, name))
                os.makedirs(os.path.dirname(target), exist_ok=True)
                shutil.copy(os.path.join(top, name), target)
    copied.append(rel)
with open(os.path.join(dest, "ATTRIBUTIONS.txt"), "w") as out:
    out.write("qt_attribution.json of the parts of the Qt source that this build compiled:\n")
    out.writelines(f"{rel}/qt_attribution.json\n" for rel in sorted(copied))
EOF

{
    echo "Qt $upstream for Windows (x86_64-w64-mingw32), built from the Debian source package"
    echo "Source package: $source_package"
    echo "Version: $version"
    echo "Compiler: $(x86_64-w64-mingw32-g++-posix --version | head -n 1)" \
        "(g++-mingw-w64-x86-64-posix $(dpkg-query -W -f='${Version}' g++-mingw-w64-x86-64-posix))"
    echo "Configure: configure -prefix $prefix ${configure_options[*]} -- ${cmake_args[*]}"
} >"$prefix/SOURCE.txt"

touch "$prefix/.complete"
rm -rf "$work"
say "done in $(( ($(date +%s) - started) / 60 )) min; $(du -sh "$prefix" | cut -f1)"
echo "$prefix"
