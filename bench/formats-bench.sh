#!/usr/bin/env bash
# Thumbnail speed, quality and memory for the formats read row by row: the
# sets of bench/make-format-sets.sh (made first when missing) through
# bench/thumbs-bench.sh (per-file cost at batch scale against Pillow and
# vipsthumbnail, interleaved rounds, medians; SSIM against a Lanczos
# reference), then bench/peak-memory.sh on the 75-megapixel files in both
# builds.
#
#   bench/formats-bench.sh [SETS...]     default: png tiff bmp
# The other sets: png16a pngi tiffzip gif. PM_BENCH_ROUNDS as for thumbs-bench.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_BUILD_DIR:-$root/build}
out=$("$root/bench/make-format-sets.sh" | tail -n 1)
sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(png tiff bmp)
for s in "${sets[@]}"; do
    case $s in png*) ext=png ;; tiff*) ext=tif ;; bmp) ext=bmp ;; gif) ext=gif ;; *) echo "unknown set $s" >&2; exit 2 ;; esac
    echo "== $s"
    PM_BENCH_EXT=$ext PM_BENCH_RESULTS=$build/bench-results/$s "$root/bench/thumbs-bench.sh" "$out/$s"
done
echo "== peak memory, 7500x10000"
for f in "$out"/big/big.*; do
    for t in win32 win64; do
        printf '%-8s %-6s ' "$(basename "$f")" "$t"
        "$root/bench/peak-memory.sh" --tree "$t" "$f" | tail -n 1
    done
done
