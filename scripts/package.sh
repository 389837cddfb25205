#!/usr/bin/env bash
# Makes what a Windows user downloads, into dist/:
#   pixmill-<version>-win32.zip, -win64.zip   unpack anywhere and run
#   pixmill-<version>-x86.msi,   -x64.msi     per-user installer (no administrator)
# Builds the Windows trees first when needed (scripts/build.sh) and installs
# what it needs. The programs are the build's own, stripped of their debug
# information; the version is the repository's VERSION file.
#
#   scripts/package.sh [win32] [win64]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_BUILD_DIR:-$root/build}
deps=${PM_DEPS_DIR:-$build/deps}
dist=${PM_DIST_DIR:-$root/dist}
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=(win32 win64)

"$root/scripts/install-packages.sh"
"$root/scripts/build.sh" "${trees[@]}"

version=$(head -1 "$root/VERSION")
mkdir -p "$dist"

# --- the libraries linked into the programs and their licences ------------
# source package | name shown | licence | licence files in its sources
known_libraries=(
    "libjpeg-turbo|libjpeg-turbo|IJG License, BSD 3-clause License and zlib License|LICENSE.md README.ijg"
    "libpng1.6|libpng|PNG Reference Library License version 2|LICENSE"
    "tiff|libtiff|libtiff License (BSD style)|LICENSE.md COPYRIGHT"
    "giflib|giflib|MIT License|COPYING"
    "lcms2|Little CMS 2|MIT License|COPYING"
    "libheif|libheif|GNU Lesser General Public License version 3 (shipped as a replaceable DLL)|COPYING"
    "libde265|libde265|GNU Lesser General Public License version 3 (shipped as a replaceable DLL)|COPYING"
    "dav1d|dav1d|BSD 2-clause License|COPYING"
    "libwebp|libwebp|BSD 3-clause License and patent grant|COPYING PATENTS"
    "libdeflate|libdeflate|MIT License|COPYING"
)

# Writes licences/ and THIRD-PARTY.txt (UTF-8, LF; converted by the caller).
collect_licences() {
    local stage=$1 list=$2
    mkdir -p "$stage/licenses"
    {
        echo "PIXMILL $version: third-party software"
        echo "==========================================="
        echo
        echo "PIXMILL contains the following libraries. Each is used under its own"
        echo "licence, whose full text is in the licenses folder beside this file."
        echo "All of them were built from Debian 12 (bookworm) source packages of the"
        echo "versions named here, which are available from any Debian mirror."
        echo
    } > "$list"
    local row pkg name licence files dsc dir v f found
    for row in "${known_libraries[@]}"; do
        IFS='|' read -r pkg name licence files <<< "$row"
        dsc=$(ls "$deps/src/${pkg}_"*.dsc 2>/dev/null | head -1) || true
        [ -n "$dsc" ] || continue
        v=$(sed -n 's/^Version: //p' "$dsc" | head -1)
        dir=$(ls -d "$deps/src/${pkg}-"*/ 2>/dev/null | head -1) || true
        found=0
        for f in $files; do
            if [ -f "$dir/$f" ]; then
                # Named by the source package: plain names the installer
                # tool and every file system take.
                cp "$dir/$f" "$stage/licenses/$pkg-$f.txt"
                found=1
            fi
        done
        if [ $found = 0 ]; then
            echo "package: no licence text found for $pkg in $dir" >&2
            exit 1
        fi
        printf '%s %s (source package %s %s)\n    Licence: %s\n\n' "$name" "${v#*:}" "$pkg" "$v" "$licence" >> "$list"
    done
    # Parts of the MinGW-w64 toolchain are linked statically into every
    # module; their Debian copyright files carry the licence texts.
    local z m g
    z=$(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)
    m=$(dpkg-query -W -f='${Version}' mingw-w64-common)
    g=$(dpkg-query -W -f='${Version}' gcc-mingw-w64-base)
    cp /usr/share/doc/libz-mingw-w64-dev/copyright "$stage/licenses/zlib-copyright.txt"
    cp /usr/share/doc/mingw-w64-common/copyright "$stage/licenses/mingw-w64-runtime-copyright.txt"
    cp /usr/share/doc/gcc-mingw-w64-base/copyright "$stage/licenses/gcc-runtime-copyright.txt"
    {
        printf 'zlib %s (Debian package libz-mingw-w64-dev)\n    Licence: zlib License\n\n' "$z"
        printf 'MinGW-w64 runtime and winpthreads %s (Debian package mingw-w64-common)\n' "$m"
        printf '    Licence: Zope Public License 2.1, MIT License and public domain\n\n'
        printf 'GCC runtime libraries libgcc and libstdc++ %s (Debian package gcc-mingw-w64-base)\n' "$g"
        printf '    Licence: GNU General Public License version 3 with the GCC Runtime Library Exception 3.1\n\n'
    } >> "$list"
    if ls "$stage"/*.dll >/dev/null 2>&1; then
        {
            echo "Replacing the libraries"
            echo "-----------------------"
            echo "The libraries shipped as separate DLL files beside PIXMILL.EXE (the ones"
            echo "under the GNU Lesser General Public License) may be replaced by your own"
            echo "builds of the same versions with the same interface: put your DLL in"
            echo "place of ours under the same file name."
        } >> "$list"
    fi
}

# Text files for Windows: code page 932 and CR LF, as Notepad of a Japanese
# Windows has always opened them.
to_windows_text() { iconv -f UTF-8 -t CP932 "$1" | sed 's/$/\r/' > "$2"; }

for tree in "${trees[@]}"; do
    case $tree in
        win32) triple=i686-w64-mingw32 zipname=win32 msiname=x86 wixarch=x86 ;;
        win64) triple=x86_64-w64-mingw32 zipname=win64 msiname=x64 wixarch=x64 ;;
        *) echo "package.sh: unknown tree $tree" >&2; exit 2 ;;
    esac
    bin="$build/$tree/bin"
    base="pixmill-$version-$zipname"
    work="$build/package/$tree"
    stage="$work/$base"
    rm -rf "$work"
    mkdir -p "$stage"
    for f in PIXMILL.EXE PIXMILUI.DLL pixmillc.exe; do
        [ -f "$bin/$f" ] || { echo "package.sh: $bin/$f is missing" >&2; exit 1; }
        "$triple-strip" -o "$stage/$f" "$bin/$f"
    done
    # Libraries shipped beside the programs (those a user may replace).
    for f in "$bin"/*.dll "$bin"/*.DLL; do
        [ -f "$f" ] || continue
        n=$(basename "$f")
        [ "$n" = PIXMILUI.DLL ] && continue
        "$triple-strip" -o "$stage/$n" "$f"
    done
    cp -r "$root/help" "$stage/HELP"
    sed "s/@VERSION@/$version/g" "$root/packaging/readme.txt" > "$work/readme.utf8"
    to_windows_text "$work/readme.utf8" "$stage/readme.txt"
    collect_licences "$stage" "$work/third-party.utf8"
    to_windows_text "$work/third-party.utf8" "$stage/THIRD-PARTY.txt"

    rm -f "$dist/$base.zip"
    (cd "$work" && zip -q -X -r "$dist/$base.zip" "$base")
    echo "package: $dist/$base.zip"

    # The installer takes the same files as the zip.
    wxs="$work/pixmill.wxs"
    "$root/packaging/make-wxs.sh" "$stage" "$version" "$wixarch" > "$wxs"
    rm -f "$dist/pixmill-$version-$msiname.msi"
    (cd "$work" && wixl -a "$wixarch" -o "$dist/pixmill-$version-$msiname.msi" "$wxs")
    echo "package: $dist/pixmill-$version-$msiname.msi"
done
