#!/usr/bin/env bash
# Runs Windows test suites round after round beside two CPU-bound loops, to
# show that their bounds hold on a loaded machine: no hang, no failure.
#   scripts/suite-under-load.sh ROUNDS TREE[,TREE...] SUITE [SUITE...]
# e.g. scripts/suite-under-load.sh 10 build/win32 batch settings_dialog
#      scripts/suite-under-load.sh 5 build/win32,build/win64 all
# Several trees run as lanes side by side (each lane is then loaded by the
# other lanes as well as by the two loops); each has its own Wine prefix.
# "all" means every test program of the tree. Each suite's run is bounded by
# `timeout` (a hang ends as a failure). Needs DISPLAY. Prints one line per
# run and a summary; exit 1 if any run failed.
set -u
rounds=$1
IFS=, read -r -a trees <<<"$2"
shift 2
busy=()
for _ in 1 2; do
    ( while :; do :; done ) &
    busy+=($!)
done
lanes=()
trap 'kill "${busy[@]}" "${lanes[@]}" 2>/dev/null' EXIT
results=$(mktemp -d)

lane() {
    local tree=$1 r suite log start rc summary suites=("${@:2}")
    if [ "${suites[*]}" = all ]; then
        suites=()
        for exe in "$tree"/tests/test_*.exe; do
            exe=${exe##*/test_}
            suites+=("${exe%.exe}")
        done
    fi
    for ((r = 1; r <= rounds; r++)); do
        for suite in "${suites[@]}"; do
            log=$(mktemp)
            start=$(date +%s)
            timeout 2400 "$tree/wine-run.sh" "$tree/tests/test_$suite.exe" >"$log" 2>&1
            rc=$?
            summary=$(grep -E '^\[  (PASSED|FAILED)  \]' "$log" | head -2 | tr '\n' ' ')
            echo "$(date +%H:%M) ${tree##*/} round $r $suite: exit $rc in $(( $(date +%s) - start )) s: $summary"
            if [ $rc -eq 0 ]; then
                echo pass >>"$results/${tree//\//_}"
            else
                echo fail >>"$results/${tree//\//_}"
                grep -E '^\[  FAILED|Failure' "$log" | head -20
            fi
            rm -f "$log"
        done
    done
}

for tree in "${trees[@]}"; do
    lane "$tree" "$@" &
    lanes+=($!)
done
wait "${lanes[@]}"
passed=$(cat "$results"/* 2>/dev/null | grep -c pass)
failed=$(cat "$results"/* 2>/dev/null | grep -c fail)
rm -rf "$results"
echo "runs passed: $passed, failed: $failed"
[ "$failed" -eq 0 ]
