#!/usr/bin/env bash
# Thumbnail speed against peers: every JPEG of a folder (default
# ../shared/bench-photos, not its sub-folders) to a 96x96 JPEG thumbnail by
#   ours   pixmillc.exe under Wine (64-bit build by default), default settings
#          but the output folder and no sub-folder scan;
#   vips   vipsthumbnail -s 96x96, VIPS_CONCURRENCY=1;
#   im     ImageMagick convert -thumbnail 96x96, one thread.
# All single-threaded. Per file, each tool runs PM_BENCH_RUNS times (default
# 3) and the median counts.
#
# What is timed: for the peers, one process per file (their normal use), so
# their times include a process start; that start is measured on a 1x1 JPEG
# and shown. For ours, one process converts the whole folder (its normal
# use) and reports each file's own time (open, decode, transform, encode,
# write); the Wine process start is shown separately, and the whole run's
# wall time per file as a second figure.
#
#   bench/thumbs-bench.sh [--quality] [FOLDER]
# --quality adds PSNR (dB, higher is closer) of each tool's thumbnail against
# ImageMagick's Lanczos resize of the full photo to that thumbnail's size.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
quality=0
if [ "${1:-}" = "--quality" ]; then quality=1; shift; fi
photos=$(cd "${1:-$root/../shared/bench-photos}" && pwd)
tree=${PM_BENCH_TREE:-win64}
runs=${PM_BENCH_RUNS:-3}
build=${PM_BUILD_DIR:-$root/build}
[ -x "$build/$tree/bin/pixmillc.exe" ] || "$root/scripts/build.sh" "$tree"
run="$build/$tree/wine-run.sh"
bin="$build/$tree/bin"
winpath() { WINEPREFIX="$build/$tree/wineprefix" WINEDEBUG=-all winepath -w "$1" 2>/dev/null; }
export VIPS_CONCURRENCY=1 MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/ours" "$work/vips" "$work/im"
now() { date +%s%N; }

# Default settings (96 x 96, fit, JPEG with the library's default quality)
# except where the files go: FileMode 54112 = the default without sub-folders.
printf '[IMGCONVERT]\r\nFileMode=54112\r\nWritePath=%s\r\n' "$(winpath "$work/ours")" > "$work/bench.ini"
ini=$(winpath "$work/bench.ini")
"$run" "$bin/pixmillc.exe" --help >/dev/null 2>&1 || true  # wineserver up, prefix ready

: > "$work/times.tsv"
for r in $(seq "$runs"); do
    rm -rf "$work/ours"/*
    t0=$(now)
    (cd "$bin" && "$run" pixmillc.exe --ini "$ini" --quiet --times "$(winpath "$photos")") |
        iconv -f CP932 -t UTF-8 | tr -d '\r' | awk -F'\t' '$1 == "TIME" {name = $3; sub(/.*\\/, "", name); print "ours\t" name "\t" $2}' \
        >> "$work/times.tsv"
    t1=$(now)
    echo -e "ourswall\t-\t$(( (t1 - t0) / 1000 ))" >> "$work/times.tsv"
done
# Wine start of the console host: a run that finds nothing to convert.
mkdir -p "$work/empty"
for r in $(seq "$runs"); do
    t0=$(now)
    (cd "$bin" && "$run" pixmillc.exe --ini "$ini" --quiet "$(winpath "$work/empty")") >/dev/null 2>&1 || true
    t1=$(now)
    echo -e "oursstart\t-\t$(( (t1 - t0) / 1000 ))" >> "$work/times.tsv"
done

convert-im6.q16 -size 1x1 xc:gray "$work/tiny.jpg"
for r in $(seq "$runs"); do
    t0=$(now); vipsthumbnail "$work/tiny.jpg" -s 96x96 -o "$work/tiny-v.jpg"; t1=$(now)
    echo -e "vipsstart\t-\t$(( (t1 - t0) / 1000 ))" >> "$work/times.tsv"
    t0=$(now); convert-im6.q16 -limit thread 1 "$work/tiny.jpg" -thumbnail 96x96 "$work/tiny-i.jpg"; t1=$(now)
    echo -e "imstart\t-\t$(( (t1 - t0) / 1000 ))" >> "$work/times.tsv"
done

for f in "$photos"/*.jpg; do
    name=$(basename "$f")
    for r in $(seq "$runs"); do
        t0=$(now); vipsthumbnail "$f" -s 96x96 -o "$work/vips/%s.jpg"; t1=$(now)
        echo -e "vips\t$name\t$(( (t1 - t0) / 1000 ))" >> "$work/times.tsv"
        # stderr: ImageMagick warns about odd XMP packets in camera files.
        t0=$(now); convert-im6.q16 -limit thread 1 "$f" -thumbnail 96x96 "$work/im/$name" 2>/dev/null; t1=$(now)
        echo -e "im\t$name\t$(( (t1 - t0) / 1000 ))" >> "$work/times.tsv"
    done
done

if [ "$quality" = 1 ]; then
    ours_dir=$(find "$work/ours" -name '*.jpg' -printf '%h\n' | head -1)
    for f in "$photos"/*.jpg; do
        name=$(basename "$f")
        for tool in ours vips im; do
            case $tool in
                ours) t="$ours_dir/$name" ;;
                *) t="$work/$tool/$name" ;;
            esac
            [ -f "$t" ] || continue
            geom=$(identify-im6.q16 -format '%wx%h' "$t")
            # vipsthumbnail turns by the EXIF orientation; the others do not.
            orient=""
            [ "$tool" = vips ] && orient=-auto-orient
            convert-im6.q16 "$f" $orient -filter Lanczos -resize "$geom!" "$work/ref.ppm" 2>/dev/null
            db=$({ compare-im6.q16 -metric PSNR "$work/ref.ppm" "$t" null: 2>&1 || true; } | awk '{print ($1 == "inf") ? 99 : $1}')
            echo -e "q$tool\t$name\t$db" >> "$work/times.tsv"
        done
    done
fi

python3 - "$work/times.tsv" "$runs" <<'EOF'
import statistics, sys
from collections import defaultdict
rows = defaultdict(lambda: defaultdict(list))
for line in open(sys.argv[1], encoding="utf-8"):
    tool, name, value = line.rstrip("\n").split("\t")
    v = float(value)
    rows[tool][name].append(v if tool.startswith("q") or tool == "ours" else v / 1000.0)
med = lambda xs: statistics.median(xs) if xs else float("nan")
names = sorted(rows["vips"])
print(f"{'photo':44} {'ours ms':>8} {'vips ms':>8} {'im ms':>8}" + ("  {:>7} {:>7} {:>7}".format("ours dB", "vips dB", "im dB") if rows["qours"] else ""))
per = {t: [] for t in ("ours", "vips", "im")}
for n in names:
    vals = {t: med(rows[t].get(n, [])) for t in per}
    for t in per:
        per[t].append(vals[t])
    q = ""
    if rows["qours"]:
        q = "  " + " ".join(f"{med(rows['q' + t].get(n, [])):7.2f}" for t in per)
    print(f"{n[:44]:44} {vals['ours']:8.1f} {vals['vips']:8.1f} {vals['im']:8.1f}{q}")
m = {t: med(per[t]) for t in per}
print()
print(f"median per file (ms): ours {m['ours']:.1f}   vips {m['vips']:.1f}   im {m['im']:.1f}")
print(f"ratio peer/ours: vips {m['vips'] / m['ours']:.2f}x   im {m['im'] / m['ours']:.2f}x   (above 1 = ours faster)")
start = {t: med(rows[t + 'start']['-']) for t in ('ours', 'vips', 'im')}
wall = med(rows['ourswall']['-'])
print(f"process start (ms): ours under Wine {start['ours']:.0f}   vips {start['vips']:.1f}   im {start['im']:.1f}")
print(f"ours, whole run wall time per file incl. Wine start: {wall / max(1, len(names)):.1f} ms ({len(names)} files)")
# The peers' figures hold one process start per file, ours none: the same
# comparison with each peer's start taken off (a bound in our disfavour,
# since a start on a 1x1 image also opens and writes a file).
net = {t: med([x - start[t] for x in per[t]]) for t in ('vips', 'im')}
print(f"peers without their process start (ms): vips {net['vips']:.1f}   im {net['im']:.1f}   "
      f"ratio vips {net['vips'] / m['ours']:.2f}x   im {net['im'] / m['ours']:.2f}x")
if rows["qours"]:
    qm = {t: med([med(v) for v in rows['q' + t].values()]) for t in per}
    print(f"median PSNR vs Lanczos reference (dB): ours {qm['ours']:.2f}   vips {qm['vips']:.2f}   im {qm['im']:.2f}")
print(f"({sys.argv[2]} runs per file and tool, median)")
EOF
