#!/usr/bin/env bash
# Thumbnail speed and quality against peers: every JPEG of a folder (default
# ../shared/bench-photos, not its sub-folders) to a 96x96 JPEG thumbnail
# (quality 75), single-threaded, each tool as a user runs it over a big folder:
#   ours64 / ours32  pixmillc.exe under Wine (x86-64 and i686 builds), default
#                    settings but the output folder and no sub-folder scan;
#   pillow           Image.thumbnail((96, 96), LANCZOS) + save, one process;
#   vips             vipsthumbnail -s 96x96 over all files in one process;
#   im               ImageMagick mogrify -define jpeg:size=192x192 -thumbnail 96x96.
#
# Speed is the per-file cost at batch scale: a run over all photos minus a run
# over no photo (an empty folder; for Pillow the interpreter with PIL imported;
# for vips and mogrify the program started without files; the mean of one
# just before and one just after), divided by the number of photos. So Wine's start, paid once per batch and very noisy on a
# shared machine, drops out. Rounds interleave the tools (each round in
# another order), and the median over the rounds counts. The progressive
# photos are measured again on their own (each several times, see below).
# The difference of two process runs still carries the noise of two starts
# (under Wine about +-100 ms, +-5 ms a file over 20 photos), so ours and
# Pillow are also timed from inside: pixmillc --times reports its run from
# the walk to the last commit, the Pillow script its loop over the files.
# That figure ("in-run") leaves out only what is paid once per process.
#
# Quality: each tool makes PNG thumbnails once; SSIM (mean of R, G, B, 11x11
# Gaussian window; pixbench ssim) against ImageMagick's Lanczos resize of the
# full photo to the same size (turned by EXIF for the tools that turn: ours
# and vips).
#
#   bench/thumbs-bench.sh [--setup] [FOLDER]
# PM_BENCH_EXT (default jpg) names the files of the folder that are taken,
# for the sets of other formats (bench/formats-bench.sh).
# PM_BENCH_TOOLS (default "ours64 ours32 pillow vips im") picks the tools, and
# PM_BENCH_BASE (default pillow) the one the others are compared with, for
# formats a peer does not read (Pillow and HEIF).
# --setup installs the peers (python3-pil, libvips-tools, imagemagick) with
# apt-get first. PM_BENCH_ROUNDS (default 5) sets the rounds.
# PM_BENCH_BEFORE=DIR adds "before": the i686 pixmillc.exe in DIR (an older
# build's bin folder), run like ours32, to compare a change with. Needs the
# native tree (pixbench) and builds win64/win32 when missing
# (PM_DEPS_DIR as for scripts/build.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--setup" ]; then
    shift
    sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get install -y --no-install-recommends python3-pil libvips-tools imagemagick
fi
photos=$(cd "${1:-$root/../shared/bench-photos}" && pwd)
rounds=${PM_BENCH_ROUNDS:-5}
ext=${PM_BENCH_EXT:-jpg}
build=${PM_BUILD_DIR:-$root/build}
for t in win64 win32 native; do
    [ -x "$build/$t/bin/pixmillc.exe" ] || [ -x "$build/$t/bench/pixbench" ] || "$root/scripts/build.sh" "$t"
done
pixbench=$build/native/bench/pixbench
py=/usr/bin/python3
export VIPS_CONCURRENCY=1 MAGICK_THREAD_LIMIT=1 OMP_NUM_THREADS=1

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The raw figures stay after the run (times.tsv: set, tool, round, files,
# ns of the run over the photos, ns of the runs over none (the mean of the
# one before and the one after), the run's own ms,
# and ours' ms from process creation to the walk in each of the two runs).
results=${PM_BENCH_RESULTS:-$build/bench-results}
mkdir -p "$results"
now() { date +%s%N; }
# Windows names of our folders and files, asked of Wine once each: every
# winepath starts a Wine program, which is no part of a tool's run and must
# not fall into its timing.
declare -A winpaths
winpath() {  # tree, Unix path; sets $wp
    local key="$1|$2"
    [ -n "${winpaths[$key]:-}" ] || winpaths[$key]=$(WINEPREFIX="$build/$1/wineprefix" WINEDEBUG=-all winepath -w "$2" 2>/dev/null)
    wp=${winpaths[$key]}
}

# A batch of a few files leaves the difference of two runs to the noise of
# Wine's start; the progressive photos are therefore each taken
# PM_BENCH_PROG_COPIES times (default 5), under other names. The copies are
# real files: links to one file are one input, which a run converts once.
copies=${PM_BENCH_PROG_COPIES:-5}
mkdir -p "$work/all" "$work/prog" "$work/empty"
for f in "$photos"/*."$ext"; do
    ln -s "$f" "$work/all/"
    # ImageMagick names a progressive JPEG's interlace "JPEG".
    if [ "$(identify-im6.q16 -format '%[interlace]' "$f" 2>/dev/null)" = JPEG ]; then
        for c in $(seq "$copies"); do cp "$f" "$work/prog/$c-$(basename "$f")"; done
    fi
done

cat > "$work/pil.py" <<'EOF'
import sys, time
from PIL import Image
out, files, ext = sys.argv[1], sys.argv[3:], sys.argv[2]
start = time.perf_counter()
for i, f in enumerate(files):
    im = Image.open(f)
    im.thumbnail((96, 96), Image.LANCZOS)
    im.convert("RGB").save(f"{out}/{f.rsplit('/', 1)[-1]}.{ext}", quality=75)
print(f"RUN\t{(time.perf_counter() - start) * 1000:.3f}\t{len(files)}")
EOF

# Settings: the defaults (96 x 96, fit, soft zoom, JPEG with the library's
# default quality) but where the files go: FileMode 54112 = the default
# without sub-folders. The quality pass writes PNG (WriteImageType 6).
ini() {  # tree, output folder, [extra line]; sets $wp to the file's Windows name
    local f="$work/$1-${2##*/}.ini"
    winpath "$1" "$2"
    printf '[IMGCONVERT]\r\nFileMode=54112\r\nWritePath=%s\r\n%s' "$wp" "${3:-}" > "$f"
    winpath "$1" "$f"
}

# One run of a tool over a folder ("empty" for the start alone).
run() {  # tool, folder, output folder, [png]
    local tool=$1 dir=$2 out=$3 png=${4:-} files=()
    rm -rf "$out" && mkdir -p "$out"
    for f in "$dir"/*."$ext"; do [ -e "$f" ] && files+=("$f"); done
    case $tool in
        ours64|ours32|before)
            local tree=win${tool#ours} extra="" i bin
            [ "$tool" = before ] && tree=win32
            bin=$build/$tree/bin
            [ "$tool" = before ] && bin=$PM_BENCH_BEFORE
            [ -n "$png" ] && extra=$'WriteImageType=6\r\n'
            ini "$tree" "$out" "$extra"
            i=$wp
            winpath "$tree" "$dir"
            # One file at a time, like the peers here; several at once is
            # bench/parallel-bench.sh's subject. (An older build has no --jobs.)
            local jobs=()
            [ "$tool" = before ] || jobs=(--jobs 1)
            local times=()
            [ "$tool" = before ] || times=(--times)
            (cd "$bin" && "$build/$tree/wine-run.sh" pixmillc.exe --ini "$i" "${jobs[@]}" --quiet "${times[@]}" \
                "$wp") >"$work/said" 2>&1 || true ;;
        pillow) "$py" "$work/pil.py" "$out" "${png:-jpg}" "${files[@]}" >"$work/said" ;;
        vips) [ ${#files[@]} -eq 0 ] && vipsthumbnail >/dev/null 2>&1 ||
                  vipsthumbnail -s 96x96 -o "$out/%s.${png:-jpg[Q=75]}" "${files[@]}" ;;
        im) mogrify -limit thread 1 -path "$out" -define jpeg:size=192x192 -thumbnail 96x96 -quality 75 \
                ${png:+-format png} "${files[@]}" >/dev/null 2>&1 || true ;;
    esac
}

read -r -a tools <<< "${PM_BENCH_TOOLS:-ours64 ours32 pillow vips im}"
[ -n "${PM_BENCH_BEFORE:-}" ] && tools+=(before)
# Keep both Wine servers up between the runs of a round.
for t in win64 win32; do WINEPREFIX="$build/$t/wineprefix" wineserver -p60 2>/dev/null || true; done
# A first run of each, not timed: caches, prefixes, the Wine servers warm.
for tool in "${tools[@]}"; do run "$tool" "$work/prog" "$work/out-$tool"; done

: > "$work/times.tsv"
[ "${PM_BENCH_ROUNDS:-5}" = 0 ] && rounds=0
for set in all prog; do
    count=$(find "$work/$set" -name "*.$ext" | wc -l)
    [ "$count" -gt 0 ] || continue
    for r in $(seq "$rounds"); do
        # Each round starts with another tool, so no tool always runs first.
        for k in "${!tools[@]}"; do
            tool=${tools[$(( (k + r) % ${#tools[@]} ))]}
            # The run over none is timed just before and just after the run
            # over the photos, and the mean of the two counts: a program's
            # start under Wine takes longer for a few runs after other
            # programs ran (from about 170 ms down to 40 ms before the walk,
            # as `pixmillc --times` reports it), a cost of the batch that a
            # run over none only after the run over the photos would count
            # against the files.
            t1=$(now); run "$tool" "$work/empty" "$work/out-empty"; before=$(( $(now) - t1 ))
            : > "$work/said"
            t0=$(now); run "$tool" "$work/$set" "$work/out-$tool"; full=$(( $(now) - t0 ))
            # The run's own time in ms, where the tool tells it.
            inrun=$(awk -F'\t' '/^RUN\t/ {print $2}' "$work/said" | tr -d '\r')
            # And its start: from the process's creation to the walk.
            started=$(awk -F'\t' '/^START\t/ {print $2}' "$work/said" | tr -d '\r')
            # A figure over fewer files than counted is no figure.
            made=$(find "$work/out-$tool" -type f | wc -l)
            [ "$made" = "$count" ] || echo "thumbs-bench: $tool made $made of $count thumbnails" >&2
            t1=$(now); run "$tool" "$work/empty" "$work/out-empty"; after=$(( $(now) - t1 ))
            startedEmpty=$(awk -F'\t' '/^START\t/ {print $2}' "$work/said" | tr -d '\r')
            echo -e "$set\t$tool\t$r\t$count\t$full\t$(( (before + after) / 2 ))\t${inrun:--}\t${started:--}\t${startedEmpty:--}" >> "$work/times.tsv"
        done
    done
done

# Quality: PNG thumbnails, SSIM against the Lanczos reference.
: > "$work/ssim.tsv"
for tool in "${tools[@]}"; do
    run "$tool" "$work/all" "$work/q-$tool" png
    for f in "$work/all"/*."$ext"; do
        name=$(basename "$f" ."$ext")
        t=$(find "$work/q-$tool" -name "$name*.png" | head -1)
        [ -n "$t" ] || { echo -e "$tool\t$name\tmissing" >> "$work/ssim.tsv"; continue; }
        # Tools that turn photos upright by their EXIF orientation are
        # compared with an upright reference.
        orient=""
        case $tool in vips | ours64 | ours32 | before) orient=-auto-orient ;; esac
        geom=$(identify-im6.q16 -format '%wx%h' "$t")
        convert-im6.q16 "$f" $orient -filter Lanczos -resize "$geom!" -strip "$work/ref.ppm" 2>/dev/null
        convert-im6.q16 "$t" -strip "$work/cand.ppm"
        v=$("$pixbench" ssim "$work/ref.ppm" "$work/cand.ppm" 2>&1 || true)
        echo -e "$tool\t$name\t${v:-missing}" >> "$work/ssim.tsv"
    done
done

cp "$work/times.tsv" "$work/ssim.tsv" "$results/"
"$py" - "$work/times.tsv" "$work/ssim.tsv" "$rounds" "${PM_BENCH_BASE:-pillow}" <<'EOF'
import statistics, sys
from collections import defaultdict
per = defaultdict(list)
inrun = defaultdict(list)
for line in open(sys.argv[1]):
    s, tool, r, n, full, empty, own = line.rstrip("\n").split("\t")[:7]
    per[(s, tool)].append((int(full) - int(empty)) / 1e6 / int(n))
    if own != "-":
        inrun[(s, tool)].append(float(own) / int(n))
ssim = defaultdict(list)
for line in open(sys.argv[2]):
    tool, name, v = line.rstrip("\n").split("\t")
    try:
        ssim[tool].append(float(v))
    except ValueError:
        print(f"no SSIM for {tool} {name}: {v}")
tools = ["ours64", "ours32", "before", "pillow", "vips", "im"]
names = {"ours64": "pixmillc.exe x86-64 (Wine)", "ours32": "pixmillc.exe i686 (Wine)",
         "before": "pixmillc.exe i686, before",
         "pillow": "Pillow thumbnail()", "vips": "vipsthumbnail", "im": "mogrify jpeg:size"}
peer = sys.argv[4]
for s, title in (("all", "all photos"), ("prog", "progressive photos only")):
    if (s, peer) not in per:
        continue
    base = statistics.median(per[(s, peer)])
    own_base = statistics.median(inrun[(s, peer)]) if inrun[(s, peer)] else None
    print(f"\n{title}: per-file cost at batch scale, median of {sys.argv[3]} interleaved rounds")
    print(f"  {'':28} {'two runs, difference':>18}   {'in-run':>16}")
    versus = "vs " + ("Pillow" if peer == "pillow" else peer)
    print(f"  {'tool':28} {'ms/file':>8} {versus:>9}   {'ms/file':>7} {versus:>9}" +
          (f" {'SSIM med':>9} {'SSIM min':>9}" if s == "all" else ""))
    for t in tools:
        if (s, t) not in per:
            continue
        m = statistics.median(per[(s, t)])
        own = ""
        if inrun[(s, t)] and own_base:
            o = statistics.median(inrun[(s, t)])
            own = f"{o:7.1f} {o / own_base:9.2f}"
        q = f" {statistics.median(ssim[t]):9.5f} {min(ssim[t]):9.5f}" if s == "all" and ssim[t] else ""
        print(f"  {names[t]:28} {m:8.1f} {m / base:9.2f}   {own:>17}{q}")
EOF
