#!/usr/bin/env bash
# Makes the bench sets of the formats read row by row from the bench photos
# (default ../shared/bench-photos), with Debian tools (libvips-tools,
# imagemagick), into OUT (default build/bench-formats):
#   png/        8-bit RGB PNG
#   png16a/     16-bit RGBA PNG (an opaque alpha channel added)
#   pngi/       Adam7-interlaced 8-bit PNG
#   tiff/       LZW TIFF in strips
#   tiffzip/    Deflate TIFF in 256x256 tiles
#   bmp/        24-bit BMP
#   gif/        GIF (256 colours, dithered)
#   big/        one 7500x10000 PNG, strip TIFF, BMP and GIF made by repeating a
#               photo (the memory cases)
# Ten photos (PM_BENCH_COUNT) by name order. Files that exist are kept.
#
#   bench/make-format-sets.sh [PHOTOS] [OUT]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
photos=$(cd "${1:-$root/../shared/bench-photos}" && pwd)
out=${2:-${PM_BUILD_DIR:-$root/build}/bench-formats}
count=${PM_BENCH_COUNT:-10}
im=convert-im6.q16
mkdir -p "$out"/{png,png16a,pngi,tiff,tiffzip,bmp,gif,big}
n=0
for f in "$photos"/*.jpg; do
    [ $n -lt "$count" ] || break
    n=$((n + 1))
    b=$(basename "$f" .jpg)
    [ -f "$out/png/$b.png" ] || vips copy "$f" "$out/png/$b.png"
    [ -f "$out/png16a/$b.png" ] || $im "$f" -depth 16 -alpha opaque PNG64:"$out/png16a/$b.png"
    [ -f "$out/pngi/$b.png" ] || vips copy "$f" "$out/pngi/$b.png[interlace]"
    [ -f "$out/tiff/$b.tif" ] || vips copy "$f" "$out/tiff/$b.tif[compression=lzw]"
    [ -f "$out/tiffzip/$b.tif" ] || vips copy "$f" "$out/tiffzip/$b.tif[compression=deflate,tile,tile-width=256,tile-height=256]"
    [ -f "$out/bmp/$b.bmp" ] || $im "$f" -type TrueColor BMP3:"$out/bmp/$b.bmp"
    [ -f "$out/gif/$b.gif" ] || vips copy "$f" "$out/gif/$b.gif"
done
first=$(ls "$photos"/*.jpg | head -n 1)
if [ ! -f "$out/big/big.png" ]; then
    vips replicate "$first" "$out/big/tile.v" 8 8
    vips crop "$out/big/tile.v" "$out/big/big.v" 0 0 7500 10000
    vips copy "$out/big/big.v" "$out/big/big.png"
    vips copy "$out/big/big.v" "$out/big/big.tif[compression=lzw]"
    $im "$out/big/big.png" -type TrueColor BMP3:"$out/big/big.bmp"
    rm -f "$out/big/tile.v" "$out/big/big.v"
fi
[ -f "$out/big/big.gif" ] || vips copy "$out/big/big.png" "$out/big/big.gif"
echo "$out"
