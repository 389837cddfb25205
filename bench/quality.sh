#!/usr/bin/env bash
# Quality of the soft thumbnail and of the colour reduction against
# ImageMagick, on the bench photos.
#
#   bench/quality.sh [PHOTO...]      (default: every JPEG in ../shared/bench-photos)
#
# Thumbnails: reference = ImageMagick's Lanczos resize of the whole photo to
# exactly our 96x96-fitted size; compared with it (PSNR, dB, higher is
# closer): our soft thumbnail and ImageMagick's -thumbnail at the same size.
# Colours: each photo fitted to 480x480 (our soft scaler), then reduced to
# 256, 16 and 2 colours by us (adaptive palette, error diffusion) and by
# ImageMagick's -colors; PSNR of each against the 480 image.
# Needs build/native (pixbench) and ImageMagick.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bench=$root/build/native/bench/pixbench
im=convert-im6.q16
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ $# -eq 0 ]; then set -- "$root"/../shared/bench-photos/*.jpg; fi

psnr() {  # reference, candidate
    # compare exits 1 when the images differ, which they do.
    { compare-im6.q16 -metric PSNR "$1" "$2" null: 2>&1 || true; } | awk '{print ($1 == "inf") ? 99 : $1}'
}

printf '%-46s %7s %7s | %6s %6s | %6s %6s | %6s %6s\n' photo ours96 im96 our256 im256 our16 im16 our2 im2
sums=(0 0 0 0 0 0 0 0)
n=0
for photo in "$@"; do
    name=$(basename "$photo" .jpg)
    "$bench" thumb "$photo" "$work/ours.ppm" 96 96 soft
    geom=$(identify-im6.q16 -format '%wx%h' "$work/ours.ppm")
    # (ImageMagick warns about the XMP packet of one photo; the pixels are fine.)
    $im "$photo" -filter Lanczos -resize "$geom!" "$work/ref.ppm" 2>/dev/null
    $im "$photo" -thumbnail "$geom!" "$work/imthumb.ppm" 2>/dev/null
    row=("$(psnr "$work/ref.ppm" "$work/ours.ppm")" "$(psnr "$work/ref.ppm" "$work/imthumb.ppm")")

    "$bench" thumb "$photo" "$work/base.ppm" 480 480 soft
    for colors in 256 16 2; do
        "$bench" reduce "$work/base.ppm" "$work/our$colors.ppm" "$colors"
        $im "$work/base.ppm" -colors "$colors" "$work/im$colors.png"
        row+=("$(psnr "$work/base.ppm" "$work/our$colors.ppm")" "$(psnr "$work/base.ppm" "$work/im$colors.png")")
    done
    printf '%-46s %7.2f %7.2f | %6.2f %6.2f | %6.2f %6.2f | %6.2f %6.2f\n' "$name" "${row[@]}"
    for i in "${!row[@]}"; do sums[$i]=$(echo "${sums[$i]} + ${row[$i]}" | bc -l); done
    n=$((n + 1))
done
means=()
for s in "${sums[@]}"; do means+=("$(echo "$s / $n" | bc -l)"); done
printf '%-46s %7.2f %7.2f | %6.2f %6.2f | %6.2f %6.2f | %6.2f %6.2f\n' "mean of $n" "${means[@]}"
