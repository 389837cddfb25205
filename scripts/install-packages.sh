#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the benchmark scripts
# need. Safe to run again: apt skips what is already there.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# 32-bit Wine needs the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
    NEED_UPDATE=1
fi

PKGS=(
    # toolchains
    cmake ninja-build nasm pkg-config dpkg-dev
    g++-mingw-w64-i686 g++-mingw-w64-x86-64 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
    libz-mingw-w64-dev
    clang libclang-rt-14-dev
    # native libraries and tests
    libgtest-dev libgmock-dev
    libjpeg62-turbo-dev libpng-dev libtiff-dev libgif-dev zlib1g-dev liblcms2-dev libwebp-dev libdeflate-dev
    libheif-dev libde265-dev libdav1d-dev meson
    # Wine, display, font
    wine wine64 wine32:i386 xvfb x11-apps xdotool fonts-ipafont-gothic locales
    # reference tools for tests, checks and benchmarks
    imagemagick libjpeg-turbo-progs libtiff-tools giflib-tools pngcheck gifsicle netpbm
    libvips-tools hyperfine python3 webp python3-pil libheif-examples libavif-bin
    # release packages (scripts/package.sh) and their test
    zip unzip msitools wixl binutils
)

missing=()
for p in "${PKGS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "install-packages: everything present"
    exit 0
fi
echo "install-packages: installing ${missing[*]}"
if [ "${NEED_UPDATE:-0}" = 1 ] || [ ! -d /var/lib/apt/lists ] || [ -z "$(ls /var/lib/apt/lists/*Packages 2>/dev/null | head -1)" ]; then
    $SUDO apt-get update -qq
fi
if ! $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
    $SUDO apt-get update -qq
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
