#!/usr/bin/env bash
# Runs the fuzz targets of the native-asan tree for a time budget and prints,
# per target, the executions, coverage edges, corpus size and findings.
#
#   fuzz/campaign.sh SECONDS [TARGET...]
#
# SECONDS is the wall-clock budget of the whole campaign; the targets (all
# when none are named) share it, PM_FUZZ_JOBS (default 2) at a time, each at
# `nice` PM_FUZZ_NICE (default 15) so builds on the same machine keep going.
# Each target, when it starts, takes an equal share of the time left. With
# PM_FUZZ_RUNS set, a target also stops once its executions over all
# campaigns reach that many (one that has them already is skipped), so fast
# targets leave their time to the slow ones.
# A target that starts without a corpus is seeded from samples/ and, when
# present, ../shared/testimages. New inputs are merged into fuzz/corpus/<t>
# (minimized, so the committed corpus stays small) and the next campaign
# starts from there. Findings land in build/native-asan/fuzz-work/<t>/ and
# belong, once fixed, in fuzz/crashers/<t>/. Every run appends a row per
# target to fuzz/totals.tsv (campaign, target, executions, edges, corpus
# files, corpus bytes, findings), kept in the repository with the corpora so
# the all-time sums printed at the end survive fresh clones.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_BUILD_DIR:-$root/build}/native-asan
shared=${PM_SHARED_DIR:-$root/../shared}
budget=${1:?usage: campaign.sh SECONDS [TARGET...]}
shift
all=(jpeg jpegscan tiff pcd png gif bmp gifkit transform ini texttable exif webp heif)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
jobs=${PM_FUZZ_JOBS:-2}
nicev=${PM_FUZZ_NICE:-15}
work=$build/fuzz-work
# Leaks inside the libraries that are theirs to fix, so that they do not end
# every run of a target at once.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/fuzz/lsan-suppressions.txt}
totals=$root/fuzz/totals.tsv
mkdir -p "$work"

# Longest input per target: enough for a small whole image of the format
# (a Photo CD needs its first 45,056 bytes for the smallest pack), short
# enough that each execution stays cheap.
max_len() {
    case $1 in
        pcd) echo 49152 ;;
        heif) echo 65536 ;;  # a small coded picture with its boxes
        ini|texttable) echo 8192 ;;
        *) echo 16384 ;;
    esac
}

seed_patterns() {
    case $1 in
        bmp) echo '*.bmp *.dib' ;;
        jpeg|jpegscan) echo '*.jpg *.jpeg' ;;
        tiff) echo '*.tif *.tiff' ;;
        gif|gifkit) echo '*.gif' ;;
        png) echo '*.png' ;;
        pcd) echo '*.pcd' ;;
        heif) echo '*.heic *.heif *.avif *.avifs' ;;
        ini) echo '*.ini' ;;
        texttable) echo '*.txt *.csv *.tsv' ;;
    esac
}

seed() {
    local t=$1 dir=$2 len
    len=$(max_len "$t")
    local pats
    pats=$(seed_patterns "$t")
    mkdir -p "$dir"
    [ -n "$pats" ] || return 0
    local args=() p
    for p in $pats; do args+=(-o -iname "$p"); done
    find "$root/samples" "$root/tests" "$shared/testimages" -type f \( "${args[@]:1}" \) -print0 2>/dev/null |
        while IFS= read -r -d '' f; do
            head -c "$len" "$f" > "$dir/$(sha1sum < "$f" | cut -c1-40)"
        done
}

# Crashes, leaks, time-outs and memory blow-ups; slow units are not findings.
findings() {
    find "$1/artifacts" -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' -o -name 'oom-*' \) | wc -l
}

# Executions of target $1 over every campaign so far.
done_execs() {
    awk -F'\t' -v t="$1" '$2 == t { n += $3 } END { print n + 0 }' "$totals" 2>/dev/null || echo 0
}

# run_target INDEX TARGET: INDEX is the target's place in the list, which
# tells how many have yet to start.
run_target() {
    local index=$1 t=$2
    local bin=$build/fuzz/fuzz_$t
    local w=$work/$t
    local corpus=$root/fuzz/corpus/$t
    local goal=0
    if [ -n "${PM_FUZZ_RUNS:-}" ]; then
        goal=$(( PM_FUZZ_RUNS - $(done_execs "$t") ))
        [ "$goal" -gt 0 ] || return 0
    fi
    local seconds=$(( (deadline - $(date +%s)) * jobs / (count - index + jobs - 1) ))
    [ -x "$bin" ] || { echo "campaign: $bin is missing" >&2; return 0; }
    mkdir -p "$w/gen" "$w/artifacts" "$corpus"
    if [ -z "$(ls -A "$corpus")" ]; then
        seed "$t" "$w/seed"
        nice -n "$nicev" "$bin" -merge=1 -max_len="$(max_len "$t")" "$corpus" "$w/seed" > "$w/merge.log" 2>&1
        rm -rf "$w/seed"
    fi
    local before
    before=$(findings "$w")
    local end=$(( $(date +%s) + seconds )) execs=0 runs=0 log want=()
    # libFuzzer stops at a finding; go on with the rest of the budget.
    while :; do
        local left=$(( end - $(date +%s) ))
        [ "$left" -ge 5 ] && [ "$runs" -lt 20 ] || break
        want=()
        if [ "$goal" -gt 0 ]; then
            [ "$execs" -lt "$goal" ] || break
            want=(-runs=$(( goal - execs )))
        fi
        log=$w/run-$runs.log
        nice -n "$nicev" "$bin" "${want[@]}" -max_total_time="$left" -max_len="$(max_len "$t")" -timeout=30 \
            -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$w/artifacts/" \
            "$w/gen" "$corpus" > "$log" 2>&1
        local n
        n=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
        [ -n "$n" ] || n=$(grep -o '^#[0-9]*' "$log" | tr -d '#' | tail -1)
        execs=$(( execs + ${n:-0} ))
        runs=$(( runs + 1 ))
    done
    # Keep only what adds coverage, so the committed corpus stays small.
    rm -rf "$w/min"
    mkdir -p "$w/min"
    nice -n "$nicev" "$bin" -merge=1 -max_len="$(max_len "$t")" "$w/min" "$corpus" "$w/gen" > "$w/merge.log" 2>&1 &&
        { rm -rf "$corpus"; mv "$w/min" "$corpus"; rm -rf "$w/gen"; }
    local edges
    edges=$(grep -o '[0-9]* new coverage edges' "$w/merge.log" | grep -o '^[0-9]*' | tail -1)
    local files bytes finds
    files=$(find "$corpus" -type f | wc -l)
    bytes=$(du -sb "$corpus" | cut -f1)
    finds=$(( $(findings "$w") - before ))
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$campaign" "$t" "$execs" "${edges:-0}" "$files" "$bytes" "$finds" >> "$totals"
}

export -f run_target done_execs findings seed seed_patterns max_len
campaign=$(date +%s)
deadline=$(( campaign + budget ))
count=${#targets[@]}
export root build shared work totals nicev campaign deadline jobs count
for i in "${!targets[@]}"; do echo "$i ${targets[$i]}"; done | xargs -P "$jobs" -L1 bash -c 'run_target "$0" "$1"'

# This campaign's rows, then the sums over every campaign of this tree.
printf '%-10s %12s %8s %8s %10s %8s %14s %14s\n' target executions edges corpus bytes findings all-time-execs all-time-finds
for t in "${targets[@]}"; do
    awk -F'\t' -v t="$t" -v c="$campaign" '
        $2 == t { total += $3; found += $7; if ($1 == c) { e += $3; last = $0; split($0, f, "\t") } }
        END { if (last != "") printf "%-10s %12d %8d %8d %10d %8d %14d %14d\n", t, e, f[4], f[5], f[6], f[7], total, found }' \
        "$totals"
done
