#!/usr/bin/env bash
# Run time of pixmillc.exe (Wine) converting several files at once against one
# at a time: the bench photos (default ../shared/bench-photos, not its
# sub-folders) and a tree of PM_BENCH_COPIES (default 200) copies of them in
# folders of 20, each to a 96x96 JPEG thumbnail with the default settings, at
# --jobs 1, 2 and 0 (automatic). Each figure is the median wall time of
# PM_BENCH_ROUNDS (default 3) rounds, the job counts interleaved in each
# round. The whole run is timed, and a run over an empty folder (Wine's start
# and the run's own setup) is subtracted for the "net" columns; the copies
# are real files (a link would be the same input, which a run converts once).
# The run's own time as pixmillc --times reports it (from the walk to the
# last commit, without the process start) is kept too: the "in-run" columns,
# the figure a Windows process, which starts in milliseconds, comes closest
# to.
# Wine's server is kept running through the whole benchmark (wineserver -p,
# ended with -k at the end), for every job count alike: a run then does not
# pay for starting it and the service processes it starts, an artifact of
# Wine that a Windows process never pays.
#
#   bench/parallel-bench.sh [FOLDER]
# PM_BENCH_TREE=win64 times the x86-64 build (default win32). Builds the tree
# when missing (PM_DEPS_DIR as for scripts/build.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
photos=$(cd "${1:-$root/../shared/bench-photos}" && pwd)
rounds=${PM_BENCH_ROUNDS:-3}
copies=${PM_BENCH_COPIES:-200}
tree=${PM_BENCH_TREE:-win32}
build=${PM_BUILD_DIR:-$root/build}
[ -x "$build/$tree/bin/pixmillc.exe" ] || "$root/scripts/build.sh" "$tree"
bin=$build/$tree/bin

work=$(mktemp -d)
export WINEPREFIX="$build/$tree/wineprefix"
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
winpath() { WINEPREFIX="$build/$tree/wineprefix" WINEDEBUG=-all winepath -w "$1" 2>/dev/null; }
now() { date +%s%N; }

mkdir -p "$work/photos" "$work/tree" "$work/empty"
list=()
for f in "$photos"/*.jpg; do
    ln -s "$f" "$work/photos/"
    list+=("$f")
done
[ ${#list[@]} -gt 0 ] || { echo "no JPEG photos in $photos" >&2; exit 1; }
for ((i = 0; i < copies; i++)); do
    d="$work/tree/$(printf 'f%02d' $((i / 20)))"
    mkdir -p "$d"
    f=${list[$((i % ${#list[@]}))]}
    cp "$f" "$d/$(printf 'c%03d' "$i")-$(basename "$f")"
done

# The defaults (96 x 96, fit, soft zoom, JPEG) but where the files go:
# FileMode 54112 = the default without sub-folders, 54128 with them.
ini() {  # name, output folder, file mode
    local f="$work/$1.ini"
    printf '[IMGCONVERT]\r\nFileMode=%s\r\nWritePath=%s\r\n' "$3" "$(winpath "$2")" > "$f"
    winpath "$f"
}

run() {  # set, jobs: adds its wall and in-run milliseconds to times and inrun
    local set=$1 jobs=$2 out="$work/out-$1-$2" mode=54112
    [ "$set" = tree ] && mode=54128
    rm -rf "$out" && mkdir -p "$out"
    local i start end
    i=$(ini "$set-$jobs" "$out" "$mode")
    start=$(now)
    (cd "$bin" && "$build/$tree/wine-run.sh" pixmillc.exe --ini "$i" --jobs "$jobs" --quiet --times \
        "$(winpath "$work/$set")") >"$work/said" 2>&1 || true
    end=$(now)
    local own
    own=$(awk -F'\t' '/^RUN\t/ {printf "%d", $2}' "$work/said")
    inrun[$set-$jobs]+="${own:-0} "
    # A run that converted less than all is no figure.
    local made want
    made=$(find "$out" -type f -name '*.jpg' | wc -l)
    want=$(find -L "$work/$set" -type f | wc -l)
    [ "$made" = "$want" ] || [ "$set" = empty ] || echo "parallel-bench: $set at --jobs $jobs made $made of $want files" >&2
    times[$set-$jobs]+="$(((end - start) / 1000000)) "
}

median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

# Wine's first start in a prefix is slow: once before measuring, with the
# server kept from then on (one already running is ended first, to start
# the persistent one).
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true
wineserver -p
declare -A times inrun
run photos 1
for ((r = 0; r < rounds; r++)); do
    order=(1 2 0)
    # Another order each round, so a burst of load does not hit one count.
    for ((k = 0; k < r % 3; k++)); do order=("${order[@]:1}" "${order[0]}"); done
    for set in empty photos tree; do
        for jobs in "${order[@]}"; do run "$set" "$jobs"; done
    done
done
# The first run (the warm-up) is left out.
times[photos-1]=${times[photos-1]#* }
inrun[photos-1]=${inrun[photos-1]#* }
med() { tr ' ' '\n' <<< "${times[$1]}" | grep . | median; }
medin() { tr ' ' '\n' <<< "${inrun[$1]}" | grep . | median; }

echo "pixmillc.exe $tree, $rounds rounds, medians in ms; $(nproc) logical processors; load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "an empty run (start alone): 1: $(med empty-1), 2: $(med empty-2), auto: $(med empty-0)"
printf '%-20s %8s %8s %8s %8s %8s | %8s %8s %8s %8s %8s\n' set 1 2 auto 2/1 auto/1 "net 1" "net 2" "net auto" 2/1 auto/1
for set in photos tree; do
    n=$( [ "$set" = photos ] && echo ${#list[@]} || echo "$copies")
    m1=$(med "$set-1") m2=$(med "$set-2") m0=$(med "$set-0")
    n1=$((m1 - $(med empty-1))) n2=$((m2 - $(med empty-2))) n0=$((m0 - $(med empty-0)))
    printf '%-20s %8s %8s %8s %8.2f %8.2f | %8s %8s %8s %8.2f %8.2f\n' "$set ($n files)" "$m1" "$m2" "$m0" \
        "$(echo "$m2 / $m1" | bc -l)" "$(echo "$m0 / $m1" | bc -l)" "$n1" "$n2" "$n0" \
        "$(echo "$n2 / $n1" | bc -l)" "$(echo "$n0 / $n1" | bc -l)"
done
printf '\nin-run (the run as pixmillc --times reports it)\n'
printf '%-20s %8s %8s %8s %8s %8s\n' set 1 2 auto 2/1 auto/1
for set in photos tree; do
    n=$( [ "$set" = photos ] && echo ${#list[@]} || echo "$copies")
    m1=$(medin "$set-1") m2=$(medin "$set-2") m0=$(medin "$set-0")
    printf '%-20s %8s %8s %8s %8.2f %8.2f\n' "$set ($n files)" "$m1" "$m2" "$m0" \
        "$(echo "$m2 / $m1" | bc -l)" "$(echo "$m0 / $m1" | bc -l)"
done
