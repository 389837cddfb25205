#!/usr/bin/env bash
# HEIF/AVIF thumbnails: speed and quality of ours against vipsthumbnail (and
# Pillow, when the installed one reads the format) on a bench set made from
# the JPEG photos of ../shared/bench-photos with Debian's encoders:
#   NAME.heic  heif-enc -q 50 -t 320 (a 320-pixel thumbnail item, as phones store)
#   NAME.avif  avifenc -s 8 (no thumbnail item: always a full decode)
# The set is made once into $PM_HEIF_BENCH_DIR (default build/heif-bench).
#
# Speed: per-file cost of fitting every file into BOX x BOX (default 160), in
# one process each: ours natively (pixbench pipeline, the read and zoom of a
# batch run, with the thumbnail path) and with every pixel decoded (pipeline
# with PM_BENCH_FULL=1), vipsthumbnail -s BOXxBOX over the same files.
# Quality: SSIM (pixbench ssim) of each result against the full decode
# (heif-convert / avifdec) shrunk by ImageMagick's Lanczos filter to the same
# size; mean over the files.
#
#   bench/heif-bench.sh [BOX]
# Needs the native tree (build/native/bench/pixbench).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
box=${1:-160}
photos=$root/../shared/bench-photos
set_dir=${PM_HEIF_BENCH_DIR:-$root/build/heif-bench}
pixbench=$root/build/native/bench/pixbench
[ -x "$pixbench" ] || { echo "heif-bench: build the native tree first" >&2; exit 1; }
mkdir -p "$set_dir/set"
# x265 and aom take seconds a photo: PM_HEIF_BENCH_COUNT (default 6) photos.
count=${PM_HEIF_BENCH_COUNT:-6}
for j in $(ls "$photos"/*.jpg | head -n "$count"); do
    n=$(basename "${j%.jpg}")
    [ -s "$set_dir/set/$n.heic" ] || heif-enc -q 50 -t 320 "$j" -o "$set_dir/set/$n.heic" >/dev/null
    [ -s "$set_dir/set/$n.avif" ] || avifenc -s 8 -j 2 "$j" "$set_dir/set/$n.avif" >/dev/null
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
now() { date +%s.%N; }

for kind in heic avif; do
    files=($(ls "$set_dir"/set/*.$kind | head -n "$count"))
    n=${#files[@]}
    mkdir -p "$work/$kind/ours" "$work/$kind/full" "$work/$kind/vips" "$work/$kind/ref"
    t0=$(now); PM_BENCH_BOX=$box "$pixbench" pipeline "$work/$kind/ours" "${files[@]}" >/dev/null; t1=$(now)
    PM_BENCH_FULL=1 PM_BENCH_BOX=$box "$pixbench" pipeline "$work/$kind/full" "${files[@]}" >/dev/null; t2=$(now)
    vipsthumbnail -s "${box}x${box}" -o "$work/$kind/vips/%s.png" "${files[@]}"; t3=$(now)
    pillow="n/a"
    if /usr/bin/python3 -c "from PIL import Image; Image.open('${files[0]}').load()" 2>/dev/null; then
        t4=$(now)
        /usr/bin/python3 - "$box" "$work/$kind" "${files[@]}" <<'PY'
import sys
from PIL import Image
box = int(sys.argv[1])
for i, f in enumerate(sys.argv[3:]):
    im = Image.open(f); im.thumbnail((box, box), Image.LANCZOS); im.save(f"{sys.argv[2]}/pil{i}.png")
PY
        pillow=$(echo "($(now) - $t4) * 1000 / $n" | bc -l | xargs printf '%.0f ms')
    fi
    # Quality against the full decode shrunk with Lanczos.
    s_ours=0; s_vips=0; s_full=0; m=0
    for f in "${files[@]}"; do
        b=$(basename "${f%.*}")
        "$pixbench" convert "$f" "$work/ours.ppm" "$box" "$box" reduced
        "$pixbench" convert "$f" "$work/fullpath.ppm" "$box" "$box" full
        if [ $kind = heic ]; then heif-convert "$f" "$work/full.png" >/dev/null; else avifdec "$f" "$work/full.png" >/dev/null; fi
        size=$(head -c 20 "$work/ours.ppm" | tr '\n' ' ' | awk '{print $2 "x" $3}')
        convert-im6.q16 "$work/full.png" -filter Lanczos -resize "$size!" "$work/ref.ppm"
        convert-im6.q16 "$work/$kind/vips/$b.png" -resize "$size!" "$work/vips.ppm"
        s_ours=$(echo "$s_ours + $("$pixbench" ssim "$work/ours.ppm" "$work/ref.ppm")" | bc -l)
        s_full=$(echo "$s_full + $("$pixbench" ssim "$work/fullpath.ppm" "$work/ref.ppm")" | bc -l)
        s_vips=$(echo "$s_vips + $("$pixbench" ssim "$work/vips.ppm" "$work/ref.ppm")" | bc -l)
        m=$((m + 1))
    done
    printf '%s: %d files, box %d\n' "$kind" "$n" "$box"
    printf '  per file: ours %.0f ms, ours full decode %.0f ms, vipsthumbnail %.0f ms, Pillow %s\n' \
        "$(echo "($t1 - $t0) * 1000 / $n" | bc -l)" "$(echo "($t2 - $t1) * 1000 / $n" | bc -l)" \
        "$(echo "($t3 - $t2) * 1000 / $n" | bc -l)" "$pillow"
    printf '  SSIM: ours %.4f, ours full decode %.4f, vipsthumbnail %.4f\n' \
        "$(echo "$s_ours / $m" | bc -l)" "$(echo "$s_full / $m" | bc -l)" "$(echo "$s_vips / $m" | bc -l)"
done
