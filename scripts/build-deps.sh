#!/usr/bin/env bash
# Cross-builds static libjpeg-turbo, libpng, libtiff, giflib and Little CMS 2
# for the MinGW
# targets from Debian's source packages, libwebp beside them, and the
# HEIF/AVIF decoders (libheif with libde265 and a static dav1d), and
# libdeflate for the PNG reader's one-shot inflate. The sources
# come through a private apt configuration under the cache folder, so the
# machine's apt setup is never touched. A finished target leaves a stamp; a
# second run does nothing. Libraries added later have stamps of their own, so
# a cache made before them only gains the new libraries. libheif and libde265
# are LGPL: they are built as DLLs (bin/) that the program loads from beside
# itself, so a user can replace them.
#
#   scripts/build-deps.sh [i686-w64-mingw32] [x86_64-w64-mingw32]
#
# Cache folder: $PM_DEPS_DIR, default build/deps in the repository.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
deps=${PM_DEPS_DIR:-$here/build/deps}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(i686-w64-mingw32 x86_64-w64-mingw32)
base_packages=(libjpeg-turbo libpng1.6 tiff giflib lcms2)
# The base stamp keeps its text, so caches built before libwebp stay valid.
stamp_text="pixmill-deps v2: ${base_packages[*]}"
webp_stamp_text="pixmill-deps webp v1"
heif_packages=(libde265 dav1d libheif)
heif_stamp_text="pixmill-deps heif v1: ${heif_packages[*]}"
deflate_stamp_text="pixmill-deps deflate v2: libdeflate, libtiff with it"
packages=("${base_packages[@]}" libwebp "${heif_packages[@]}" libdeflate)

# Two builds sharing one cache (two trees, or two checkouts) wait for each
# other instead of building into the same folder at once.
mkdir -p "$deps"
exec 9>"$deps/.lock"
flock 9

all_done=1
for t in "${targets[@]}"; do
    [ "$(cat "$deps/$t/.stamp" 2>/dev/null)" = "$stamp_text" ] || all_done=0
    [ "$(cat "$deps/$t/.stamp-webp" 2>/dev/null)" = "$webp_stamp_text" ] || all_done=0
    [ "$(cat "$deps/$t/.stamp-heif" 2>/dev/null)" = "$heif_stamp_text" ] || all_done=0
    [ "$(cat "$deps/$t/.stamp-deflate" 2>/dev/null)" = "$deflate_stamp_text" ] || all_done=0
done
if [ $all_done = 1 ]; then
    echo "build-deps: up to date in $deps"
    exit 0
fi

mkdir -p "$deps/src"
src="$deps/src"

# --- fetch and unpack the source packages once ------------------------------
# The marker names the packages, so a cache from a shorter list fetches again.
if [ "$(cat "$src/.unpacked" 2>/dev/null)" != "${packages[*]}" ]; then
    apt_dir="$deps/apt"
    mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/parts"
    # Mirror the machine's own deb lines as deb-src lines (no host is written
    # into the repository).
    : > "$apt_dir/parts/src.sources"
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        sed -e 's/^Types:.*/Types: deb-src/' "$f" >> "$apt_dir/parts/src.sources"
        echo >> "$apt_dir/parts/src.sources"
    done
    if [ -f /etc/apt/sources.list ]; then
        grep -E '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > "$apt_dir/parts/src.list" || true
    fi
    APTOPT=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/parts"
            -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
            -o Debug::NoLocking=1 -o APT::Sandbox::User=root)
    apt-get "${APTOPT[@]}" -qq update
    ( cd "$src" && for p in "${packages[@]}"; do
          # The newest (security) version first; a mirror that lists a version
          # it does not hold falls back to the release's own version.
          apt-get "${APTOPT[@]}" -qq source --download-only "$p" ||
              apt-get "${APTOPT[@]}" -qq source --download-only "$p/bookworm"
      done
      for d in *.dsc; do
          # Unpacked by an earlier run: dpkg-source refuses an existing folder.
          v=$(sed -n 's/^Version: //p' "$d" | sed 's/^[0-9]*://; s/-[^-]*$//')
          n=$(sed -n 's/^Source: //p' "$d")
          [ -d "$n-$v" ] || dpkg-source -q -x "$d" >/dev/null
      done )
    echo "${packages[*]}" > "$src/.unpacked"
fi
srcdir() { find "$src" -maxdepth 1 -mindepth 1 -type d -name "$1-*" | sort | tail -n 1; }
jpeg_src=$(srcdir libjpeg-turbo); png_src=$(srcdir libpng1.6); tiff_src=$(srcdir tiff); gif_src=$(srcdir giflib); lcms_src=$(srcdir lcms2)
webp_src=$(srcdir libwebp)
de265_src=$(srcdir libde265); dav1d_src=$(srcdir dav1d); heif_src=$(srcdir libheif)
deflate_src=$(srcdir libdeflate)
jobs=$(nproc)

toolchain_file() {  # target prefix file
    local proc
    case $1 in i686*) proc=i686 ;; *) proc=AMD64 ;; esac
    cat > "$3" <<TC
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $proc)
set(CMAKE_C_COMPILER $1-gcc-${4:-win32})
set(CMAKE_CXX_COMPILER $1-g++-${4:-win32})
set(CMAKE_RC_COMPILER $1-windres)
set(CMAKE_FIND_ROOT_PATH /usr/$1 $2)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
TC
}

# libtiff into $prefix from the build folder $b, with the cmake arguments
# given (toolchain, install prefix, and whether libdeflate inflates).
build_tiff() {
    rm -rf "$b/tiff"
    cmake -S "$tiff_src" -B "$b/tiff" "$@" -DBUILD_SHARED_LIBS=OFF \
          -Dtiff-tools=OFF -Dtiff-tests=OFF -Dtiff-contrib=OFF -Dtiff-docs=OFF -Dtiff-deprecated=OFF \
          -Djbig=OFF -Dlzma=OFF -Dzstd=OFF -Dwebp=OFF -Dlerc=OFF -Dcxx=OFF \
          -Djpeg=ON -Dzlib=ON -Dpixarlog=ON -Dold-jpeg=ON \
          -DJPEG_INCLUDE_DIR="$prefix/include" -DJPEG_LIBRARY="$prefix/lib/libjpeg.a" >/dev/null
    cmake --build "$b/tiff" -j "$jobs" >/dev/null
    cmake --install "$b/tiff" >/dev/null
}

for t in "${targets[@]}"; do
    prefix="$deps/$t"
    [ "$(cat "$prefix/.stamp" 2>/dev/null)" = "$stamp_text" ] && continue
    echo "build-deps: building for $t into $prefix"
    rm -rf "$prefix" "$deps/build-$t"
    mkdir -p "$prefix/lib" "$prefix/include" "$deps/build-$t"
    b="$deps/build-$t"
    tc="$b/toolchain.cmake"
    toolchain_file "$t" "$prefix" "$tc"
    # Each build and install is a command of its own: under set -e a failed
    # one then stops the script before the stamp claims the libraries.
    common=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=ON
            -DZLIB_INCLUDE_DIR=/usr/$t/include -DZLIB_LIBRARY=/usr/$t/lib/libz.a)
    cmake -S "$jpeg_src" -B "$b/jpeg" "${common[@]}" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON \
          -DWITH_TURBOJPEG=OFF -DWITH_JPEG8=ON -DCMAKE_ASM_NASM_COMPILER=nasm >/dev/null
    cmake --build "$b/jpeg" -j "$jobs" >/dev/null
    cmake --install "$b/jpeg" >/dev/null
    cmake -S "$png_src" -B "$b/png" "${common[@]}" -DPNG_SHARED=OFF -DPNG_STATIC=ON \
          -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF >/dev/null
    cmake --build "$b/png" -j "$jobs" >/dev/null
    cmake --install "$b/png" >/dev/null
    build_tiff "${common[@]}" -Dlibdeflate=OFF
    # giflib ships a plain makefile; the library is a handful of C files.
    mkdir -p "$b/gif"
    for f in dgif_lib.c egif_lib.c gifalloc.c gif_err.c gif_hash.c openbsd-reallocarray.c quantize.c; do
        $t-gcc-win32 -O2 -c "$gif_src/$f" -I"$gif_src" -o "$b/gif/${f%.c}.o"
    done
    $t-ar rcs "$prefix/lib/libgif.a" "$b/gif"/*.o
    cp "$gif_src/gif_lib.h" "$prefix/include/"
    # Little CMS likewise: its sources compile as they are, without plug-ins.
    mkdir -p "$b/lcms"
    for f in "$lcms_src"/src/*.c; do
        o="$b/lcms/$(basename "${f%.c}").o"
        $t-gcc-win32 -O2 -c "$f" -I"$lcms_src/include" -I"$lcms_src/src" -o "$o"
    done
    $t-ar rcs "$prefix/lib/liblcms2.a" "$b/lcms"/*.o
    cp "$lcms_src/include/lcms2.h" "$lcms_src/include/lcms2_plugin.h" "$prefix/include/"
    cp /usr/$t/lib/libz.a "$prefix/lib/" 2>/dev/null || true
    rm -rf "$b"
    echo "$stamp_text" > "$prefix/.stamp"
done

# libwebp: decoder, encoder, demux and mux, without its programs. A rebuilt
# base removed the whole prefix, this stamp with it.
for t in "${targets[@]}"; do
    prefix="$deps/$t"
    [ "$(cat "$prefix/.stamp-webp" 2>/dev/null)" = "$webp_stamp_text" ] && continue
    echo "build-deps: building libwebp $(basename "$webp_src" | sed 's/^libwebp-//') for $t into $prefix"
    b="$deps/build-webp-$t"
    rm -rf "$b"
    mkdir -p "$b"
    toolchain_file "$t" "$prefix" "$b/toolchain.cmake"
    cmake -S "$webp_src" -B "$b/webp" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$b/toolchain.cmake" \
          -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
          -DBUILD_SHARED_LIBS=OFF -DWEBP_BUILD_ANIM_UTILS=OFF -DWEBP_BUILD_CWEBP=OFF -DWEBP_BUILD_DWEBP=OFF \
          -DWEBP_BUILD_GIF2WEBP=OFF -DWEBP_BUILD_IMG2WEBP=OFF -DWEBP_BUILD_VWEBP=OFF -DWEBP_BUILD_WEBPINFO=OFF \
          -DWEBP_BUILD_WEBPMUX=OFF -DWEBP_BUILD_EXTRAS=OFF -DWEBP_BUILD_LIBWEBPMUX=ON >/dev/null
    cmake --build "$b/webp" -j "$jobs" >/dev/null
    cmake --install "$b/webp" >/dev/null
    rm -rf "$b"
    echo "$webp_stamp_text" > "$prefix/.stamp-webp"
done

# The HEIF/AVIF decoders. A rebuilt base removed the whole prefix, this
# stamp with it.
for t in "${targets[@]}"; do
    prefix="$deps/$t"
    [ "$(cat "$prefix/.stamp-heif" 2>/dev/null)" = "$heif_stamp_text" ] && continue
    t0=$SECONDS
    echo "build-deps: HEIF decoders for $t:" \
         "$(basename "$de265_src") $(basename "$dav1d_src") $(basename "$heif_src")"
    b="$deps/build-heif-$t"
    rm -rf "$b" "$prefix/bin/libheif.dll" "$prefix/bin/libde265.dll"
    mkdir -p "$b" "$prefix/bin"
    # libheif needs std::mutex and std::future, which GCC 12's win32 thread
    # model lacks; both DLLs use the posix model with every runtime linked in,
    # so they depend on nothing but the system's own DLLs; the runtimes' own
    # symbols stay unexported, or libheif would meet them twice.
    tc="$b/toolchain-posix.cmake"
    toolchain_file "$t" "$prefix" "$tc" posix
    # Only our prefix may answer pkg-config: the build machine's own -dev
    # packages (dav1d, gdk-pixbuf) must not leak into a Windows build.
    export PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH=""
    dll=(-G Ninja -DCMAKE_TOOLCHAIN_FILE="$tc" -DCMAKE_BUILD_TYPE=Release
         -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=ON
         "-DCMAKE_SHARED_LINKER_FLAGS=-static -static-libgcc -static-libstdc++ -Wl,--exclude-libs,ALL -Wl,--no-insert-timestamp")
    cmake -S "$de265_src" -B "$b/de265" "${dll[@]}" -DENABLE_SDL=OFF -DENABLE_DECODER=OFF \
          -DENABLE_ENCODER=OFF >/dev/null
    cmake --build "$b/de265" -j "$jobs" >/dev/null
    cmake --install "$b/de265" >/dev/null
    # dav1d is BSD-licensed: static, folded into libheif.dll.
    case $t in i686*) cpu=x86 ;; *) cpu=x86_64 ;; esac
    cat > "$b/meson-cross.txt" <<MC
[binaries]
c = '$t-gcc-win32'
ar = '$t-ar'
strip = '$t-strip'
windres = '$t-windres'
pkgconfig = 'false'
[host_machine]
system = 'windows'
cpu_family = '$cpu'
cpu = '$cpu'
endian = 'little'
MC
    meson setup "$b/dav1d" "$dav1d_src" --cross-file "$b/meson-cross.txt" --prefix "$prefix" \
          --libdir lib --buildtype release --default-library static -Denable_tools=false \
          -Denable_tests=false -Denable_examples=false -Denable_docs=false >/dev/null
    ninja -C "$b/dav1d" -j "$jobs" >/dev/null
    ninja -C "$b/dav1d" install >/dev/null
    cmake -S "$heif_src" -B "$b/heif" "${dll[@]}" -DWITH_EXAMPLES=OFF -DENABLE_PLUGIN_LOADING=OFF \
          -DWITH_LIBDE265=ON -DWITH_DAV1D=ON -DWITH_X265=OFF -DWITH_AOM_DECODER=OFF \
          -DWITH_AOM_ENCODER=OFF -DWITH_SvtEnc=OFF -DWITH_RAV1E=OFF -DBUILD_TESTING=OFF \
          -DLIBDE265_INCLUDE_DIR="$prefix/include" -DLIBDE265_LIBRARY="$prefix/lib/libde265.dll.a" \
          -DDAV1D_INCLUDE_DIR="$prefix/include" -DDAV1D_LIBRARY="$prefix/lib/libdav1d.a" >/dev/null
    cmake --build "$b/heif" -j "$jobs" >/dev/null
    cmake --install "$b/heif" >/dev/null
    for d in libheif.dll libde265.dll; do
        [ -f "$prefix/bin/$d" ] || { echo "build-deps: $d missing for $t" >&2; exit 1; }
        $t-strip --strip-unneeded "$prefix/bin/$d"
    done
    unset PKG_CONFIG_LIBDIR PKG_CONFIG_PATH
    rm -rf "$b"
    echo "$heif_stamp_text" > "$prefix/.stamp-heif"
    echo "build-deps: HEIF decoders for $t in $((SECONDS - t0)) s"
done
# libdeflate: a plain makefile around a few C files; the x86 folder holds
# the CPU feature check that picks its vector paths at run time. libtiff is
# then built again over the base's, inflating Deflate strips and tiles with
# it (about twice zlib's speed); the base keeps its own stamp and build, so
# caches made before stay valid. A rebuilt base removed the whole prefix,
# this stamp with it.
for t in "${targets[@]}"; do
    prefix="$deps/$t"
    [ "$(cat "$prefix/.stamp-deflate" 2>/dev/null)" = "$deflate_stamp_text" ] && continue
    echo "build-deps: building $(basename "$deflate_src") for $t into $prefix"
    b="$deps/build-deflate-$t"
    rm -rf "$b"
    mkdir -p "$b" "$prefix/lib" "$prefix/include"
    for f in "$deflate_src"/lib/*.c "$deflate_src"/lib/x86/*.c; do
        $t-gcc-win32 -O2 -std=c99 -c "$f" -I"$deflate_src" -o "$b/$(basename "${f%.c}").o"
    done
    rm -f "$prefix/lib/libdeflate.a"
    $t-ar rcs "$prefix/lib/libdeflate.a" "$b"/*.o
    cp "$deflate_src/libdeflate.h" "$prefix/include/"
    toolchain_file "$t" "$prefix" "$b/toolchain.cmake"
    build_tiff -G Ninja -DCMAKE_TOOLCHAIN_FILE="$b/toolchain.cmake" -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=ON \
               -DZLIB_INCLUDE_DIR=/usr/$t/include -DZLIB_LIBRARY=/usr/$t/lib/libz.a \
               -Dlibdeflate=ON -DDeflate_INCLUDE_DIR="$prefix/include" -DDeflate_LIBRARY="$prefix/lib/libdeflate.a"
    grep -q "define LIBDEFLATE_SUPPORT 1" "$prefix/include/tiffconf.h" ||
        { echo "build-deps: libtiff for $t did not take libdeflate" >&2; exit 1; }
    rm -rf "$b"
    echo "$deflate_stamp_text" > "$prefix/.stamp-deflate"
done
echo "build-deps: done"
