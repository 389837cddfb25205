#!/usr/bin/env bash
# Runs Windows test suites round after round beside two CPU-bound loops, to
# show that their bounds hold on a loaded machine: no hang, no failure.
#   scripts/suite-under-load.sh ROUNDS TREE SUITE [SUITE...]
# e.g. scripts/suite-under-load.sh 10 build/win32 batch settings_dialog
# Each suite's run is bounded by `timeout` (a hang ends as a failure). Needs
# DISPLAY. Prints one line per run and a summary; exit 1 if any run failed.
set -u
rounds=$1 tree=$2
shift 2
busy=()
for _ in 1 2; do
    ( while :; do :; done ) &
    busy+=($!)
done
trap 'kill "${busy[@]}" 2>/dev/null' EXIT
failed=0 passed=0
for ((r = 1; r <= rounds; r++)); do
    for suite in "$@"; do
        log=$(mktemp)
        start=$(date +%s)
        timeout 1800 "$tree/wine-run.sh" "$tree/tests/test_$suite.exe" >"$log" 2>&1
        rc=$?
        summary=$(grep -E '^\[  (PASSED|FAILED)  \]' "$log" | head -2 | tr '\n' ' ')
        echo "round $r $suite: exit $rc in $(( $(date +%s) - start )) s: $summary"
        if [ $rc -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); grep -E '^\[  FAILED|Failure' "$log" | head -20; fi
        rm -f "$log"
    done
done
echo "runs passed: $passed, failed: $failed"
[ $failed -eq 0 ]
