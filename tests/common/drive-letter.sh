#!/usr/bin/env bash
# Drive letters of their own for drive-root and short-path cases: Wine's
# drives are host links in the prefix's dosdevices folder, which a Windows
# program cannot make. Maps two free letters to fresh scratch folders
# (PM_TEST_DRIVE and PM_TEST_DRIVE2, "P:" style) and runs the cases the
# filter names; every one must pass, none may skip.
# Usage: drive-letter.sh <wine runner> <test program> <gtest filter>
set -euo pipefail
prefix=$(sed -n 's/^export WINEPREFIX="\${PM_WINEPREFIX:-\(.*\)}"$/\1/p' "$1")
prefix=${PM_WINEPREFIX:-$prefix}
"$1" cmd /c exit >/dev/null 2>&1 || true  # the prefix exists from here on
work=$(mktemp -d)
links=()
cleanup() {
    for l in "${links[@]}"; do rm -f "$l"; done
    rm -rf "$work"
}
trap cleanup EXIT
letters=()
# ln -sT fails on an existing name, so suites running at once in one prefix
# never share a letter. (Without -T, a name that is already a link to a
# folder would get the new link put inside that folder, with success.)
for l in q r s t u v w x y; do
    [ ${#letters[@]} -lt 2 ] || break
    mkdir -p "$work/$l"
    if ln -sT "$work/$l" "$prefix/dosdevices/$l:" 2>/dev/null; then
        links+=("$prefix/dosdevices/$l:")
        letters+=("${l^^}:")
    fi
done
[ ${#letters[@]} -eq 2 ] || { echo "no two free drive letters"; exit 1; }
PM_TEST_DRIVE=${letters[0]} PM_TEST_DRIVE2=${letters[1]} "$1" "$2" --gtest_filter="$3" >"$work/log" 2>&1 && ran=0 || ran=$?
cat "$work/log"
[ $ran -eq 0 ] || exit 1
grep -q '\[  PASSED  \] [1-9][0-9]* test' "$work/log" || { echo "no case ran"; exit 1; }
! grep -q '\[  SKIPPED \]' "$work/log" || { echo "a drive case skipped"; exit 1; }
