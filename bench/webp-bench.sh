#!/usr/bin/env bash
# WebP thumbnails against peers, and WebP against JPEG at equal quality.
#
# Speed: every photo of a folder (default ../shared/bench-photos) is made a
# WebP with Debian's cwebp (quality 80, as a web page would serve it); each
# tool then makes 96x96 WebP thumbnails (quality 80) of that set, one file at
# a time, as a user runs it over a big folder:
#   ours32 / ours64  pixmillc.exe under Wine (the builds present), WebP output;
#   pillow           Image.thumbnail((96, 96), LANCZOS) + save, one process;
#   vips             vipsthumbnail -s 96x96 over all files in one process.
# The per-file cost is a run over all files minus a run over none (the mean
# of one just before and one just after), divided by the number of files, so
# that a start paid once per batch drops out; the median over the rounds
# counts (PM_BENCH_ROUNDS, default 3). Ours and Pillow also report their run
# from inside (in-run).
#
# Size: for each photo a reference thumbnail (ImageMagick Lanczos to fit
# 96x96, PNG) is written as WebP and as JPEG by our writers at qualities 5 to
# 100; for each SSIM goal the smallest file of each format that reaches it
# counts, and the sums over the photos are compared.
#
#   bench/webp-bench.sh [FOLDER]
# Needs the native tree (pmimg, pixbench) and a Windows tree with pixmillc.exe
# (built when none is); cwebp, dwebp, Pillow, vipsthumbnail, ImageMagick.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
photos=$(cd "${1:-$root/../shared/bench-photos}" && pwd)
rounds=${PM_BENCH_ROUNDS:-3}
build=${PM_BUILD_DIR:-$root/build}
[ -x "$build/native/bench/pixbench" ] || "$root/scripts/build.sh" native
[ -x "$build/win32/bin/pixmillc.exe" ] || [ -x "$build/win64/bin/pixmillc.exe" ] || "$root/scripts/build.sh" win32
pixbench=$build/native/bench/pixbench
pmimg=$build/native/bin/pmimg
[ -x "$pmimg" ] || pmimg=$(find "$build/native" -name pmimg -type f -perm -u+x | head -1)
py=/usr/bin/python3
export VIPS_CONCURRENCY=1 OMP_NUM_THREADS=1
results=${PM_BENCH_RESULTS:-$build/bench-results}
mkdir -p "$results"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
now() { date +%s%N; }

mkdir -p "$work/webp" "$work/empty"
for f in "$photos"/*.jpg; do
    cwebp -quiet -q 80 "$f" -o "$work/webp/$(basename "${f%.jpg}").webp" 2>/dev/null || true
done
count=$(find "$work/webp" -name '*.webp' | wc -l)
echo "webp-bench: $count WebP files made by $(cwebp -version) from $photos"

cat > "$work/pil.py" <<'PY'
import sys, time
from PIL import Image
out, files = sys.argv[1], sys.argv[2:]
start = time.perf_counter()
for f in files:
    im = Image.open(f)
    im.thumbnail((96, 96), Image.LANCZOS)
    im.save(f"{out}/{f.rsplit('/', 1)[-1]}", quality=80)
print(f"RUN\t{(time.perf_counter() - start) * 1000:.3f}\t{len(files)}")
PY

declare -A winpaths
winpath() {  # tree, Unix path; sets $wp
    local key="$1|$2"
    [ -n "${winpaths[$key]:-}" ] || winpaths[$key]=$(WINEPREFIX="$build/$1/wineprefix" WINEDEBUG=-all winepath -w "$2" 2>/dev/null)
    wp=${winpaths[$key]}
}

run() {  # tool, folder, output folder
    local tool=$1 dir=$2 out=$3 files=()
    rm -rf "$out" && mkdir -p "$out"
    for f in "$dir"/*.webp; do [ -e "$f" ] && files+=("$f"); done
    case $tool in
        ours32|ours64)
            local tree=win${tool#ours} ini="$work/$tool-${out##*/}.ini"
            winpath "$tree" "$out"
            # The defaults (96 x 96, fit) but the output folder, no sub-folder
            # scan, WebP output at quality 80.
            printf '[IMGCONVERT]\r\nFileMode=54112\r\nWritePath=%s\r\nWriteImageType=10\r\nWebp_Quality=80\r\n' "$wp" > "$ini"
            winpath "$tree" "$ini"
            local i=$wp
            winpath "$tree" "$dir"
            (cd "$build/$tree/bin" && "$build/$tree/wine-run.sh" pixmillc.exe --ini "$i" --jobs 1 --quiet --times "$wp") \
                >"$work/said" 2>&1 || true ;;
        pillow) "$py" "$work/pil.py" "$out" "${files[@]}" >"$work/said" ;;
        vips) [ ${#files[@]} -eq 0 ] && vipsthumbnail >/dev/null 2>&1 ||
                  vipsthumbnail -s 96x96 -o "$out/%s.webp[Q=80]" "${files[@]}" ;;
    esac
}

tools=()
for t in 64 32; do [ -x "$build/win$t/bin/pixmillc.exe" ] && tools+=(ours$t); done
tools+=(pillow vips)
for t in win64 win32; do [ -d "$build/$t/wineprefix" ] && WINEPREFIX="$build/$t/wineprefix" wineserver -p60 2>/dev/null || true; done
for tool in "${tools[@]}"; do run "$tool" "$work/webp" "$work/out-$tool"; done  # warm-up

: > "$work/webp-times.tsv"
for r in $(seq "$rounds"); do
    for k in "${!tools[@]}"; do
        tool=${tools[$(( (k + r) % ${#tools[@]} ))]}
        t1=$(now); run "$tool" "$work/empty" "$work/out-empty"; before=$(( $(now) - t1 ))
        : > "$work/said"
        t0=$(now); run "$tool" "$work/webp" "$work/out-$tool"; full=$(( $(now) - t0 ))
        inrun=$(awk -F'\t' '/^RUN\t/ {print $2}' "$work/said" | tr -d '\r')
        made=$(find "$work/out-$tool" -type f | wc -l)
        [ "$made" = "$count" ] || echo "webp-bench: $tool made $made of $count thumbnails" >&2
        t1=$(now); run "$tool" "$work/empty" "$work/out-empty"; after=$(( $(now) - t1 ))
        echo -e "$tool\t$r\t$count\t$full\t$(( (before + after) / 2 ))\t${inrun:--}" >> "$work/webp-times.tsv"
    done
done
echo "Per-file cost of a 96x96 WebP thumbnail of a WebP photo (median of $rounds rounds, $count files):"
"$py" - "$work/webp-times.tsv" <<'PY'
import sys, statistics
rows = [l.rstrip("\n").split("\t") for l in open(sys.argv[1]) if l.strip()]
per, inrun = {}, {}
for tool, r, n, full, empty, ir in rows:
    per.setdefault(tool, []).append((int(full) - int(empty)) / 1e6 / int(n))
    if ir != "-": inrun.setdefault(tool, []).append(float(ir) / int(n))
pil = statistics.median(per["pillow"]) if "pillow" in per else None
for tool in per:
    m = statistics.median(per[tool])
    line = f"  {tool:8s} {m:8.1f} ms/file"
    if pil: line += f"  ({m / pil:.2f}x Pillow)"
    if tool in inrun: line += f"  in-run {statistics.median(inrun[tool]):.1f} ms/file"
    print(line)
PY

# Size at equal SSIM.
: > "$work/webp-sizes.tsv"
for f in "$photos"/*.jpg; do
    name=$(basename "${f%.jpg}")
    convert-im6.q16 "$f" -auto-orient -filter Lanczos -resize 96x96 -strip "$work/ref.png" 2>/dev/null || continue
    convert-im6.q16 "$work/ref.png" "$work/ref.ppm"
    for q in $(seq 5 5 100); do
        "$pmimg" convert "$work/ref.png" "$work/t.webp" -q "$q" >/dev/null 2>&1 || continue
        "$pmimg" convert "$work/ref.png" "$work/t.jpg" -q "$q" >/dev/null 2>&1 || continue
        dwebp -quiet "$work/t.webp" -ppm -o "$work/t.ppm"
        sw=$("$pixbench" ssim "$work/ref.ppm" "$work/t.ppm" 2>/dev/null || echo 0)
        sj=$("$pixbench" ssim "$work/ref.ppm" "$work/t.jpg" 2>/dev/null || echo 0)
        echo -e "$name\t$q\t$(stat -c %s "$work/t.webp")\t$sw\t$(stat -c %s "$work/t.jpg")\t$sj" >> "$work/webp-sizes.tsv"
    done
done
echo "Size of WebP thumbnails against JPEG ones (ours, 96x96) at equal SSIM:"
"$py" - "$work/webp-sizes.tsv" <<'PY'
import sys
rows = {}
for l in open(sys.argv[1]):
    name, q, ws, wss, js, jss = l.split("\t")
    rows.setdefault(name, []).append((int(ws), float(wss), int(js), float(jss)))
for goal in (0.90, 0.95, 0.98):
    w = j = n = 0
    for name, rs in rows.items():
        ww = [s for s, v, _, _ in rs if v >= goal]
        jj = [s for _, _, s, v in rs if v >= goal]
        if ww and jj:
            w += min(ww); j += min(jj); n += 1
    if n: print(f"  SSIM {goal:.2f}: WebP {w / n:.0f} B, JPEG {j / n:.0f} B per thumbnail ({w / j:.2f}x, {n} photos)")
PY
cp "$work/webp-times.tsv" "$work/webp-sizes.tsv" "$results/"
