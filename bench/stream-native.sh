#!/usr/bin/env bash
# The read paths themselves, natively (pixbench, no Wine): for each set of
# bench/make-format-sets.sh, the median ms per file of a 96x96 soft fit read
# whole and read streamed (files in turn, PM_BENCH_ROUNDS times, default 5),
# and each thumbnail's SSIM against ImageMagick's Lanczos resize of the full
# picture to the same size (the JPEG bench's reference).
#
#   bench/stream-native.sh [SETS...]     default: png png16a pngi tiff tiffzip bmp
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_BUILD_DIR:-$root/build}
pixbench=$build/native/bench/pixbench
[ -x "$pixbench" ] || "$root/scripts/build.sh" native
out=$("$root/bench/make-format-sets.sh" | tail -n 1)
rounds=${PM_BENCH_ROUNDS:-5}
sets=("$@")
[ ${#sets[@]} -gt 0 ] || sets=(png png16a pngi tiff tiffzip bmp)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf '%-8s %10s %10s %7s %12s %12s %12s\n' set "whole ms" "streamed" ratio "SSIM whole" "SSIM stream" "worst diff"
for s in "${sets[@]}"; do
    files=("$out/$s"/*)
    "$pixbench" time full "$rounds" "${files[@]}" > "$work/full"
    "$pixbench" time reduced "$rounds" "${files[@]}" > "$work/reduced"
    : > "$work/ssim"
    for f in "${files[@]}"; do
        "$pixbench" convert "$f" "$work/a.ppm" 96 96 full
        "$pixbench" convert "$f" "$work/b.ppm" 96 96 reduced
        geom=$(identify-im6.q16 -format '%wx%h' "$work/a.ppm")
        convert-im6.q16 "$f[0]" -filter Lanczos -resize "$geom!" -depth 8 -strip "$work/ref.ppm" 2>/dev/null
        echo "$("$pixbench" ssim "$work/ref.ppm" "$work/a.ppm") $("$pixbench" ssim "$work/ref.ppm" "$work/b.ppm")" >> "$work/ssim"
    done
    /usr/bin/python3 - "$s" "$work/full" "$work/reduced" "$work/ssim" <<'PY'
import statistics, sys
s, full, red, ssim = sys.argv[1:]
f = sum(float(l.split()[0]) for l in open(full)) / sum(1 for _ in open(full))
r = sum(float(l.split()[0]) for l in open(red)) / sum(1 for _ in open(red))
pairs = [tuple(map(float, l.split())) for l in open(ssim)]
a = statistics.median(p[0] for p in pairs)
b = statistics.median(p[1] for p in pairs)
worst = max(p[0] - p[1] for p in pairs)
print(f"{s:8} {f:10.1f} {r:10.1f} {r / f:7.2f} {a:12.5f} {b:12.5f} {worst:12.5f}")
PY
done
