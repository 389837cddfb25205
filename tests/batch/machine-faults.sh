#!/usr/bin/env bash
# Machine faults that a Windows program cannot stage itself: a 1 MB file
# system mounted and mapped to a free drive letter (a disk that fills), and
# a folder made immutable (a folder that refuses every write, even to root).
# Runs the BatchMachineFaults cases that need them (each one file at a time
# and several at once) and clears both afterwards.
# Needs root (mount, chattr); without it the script says so and exits 77,
# which ctest counts as skipped.
# Usage: machine-faults.sh <wine runner> <test program>
set -euo pipefail
prefix=$(sed -n 's/^export WINEPREFIX="\${PM_WINEPREFIX:-\(.*\)}"$/\1/p' "$1")
prefix=${PM_WINEPREFIX:-$prefix}
"$1" cmd /c exit >/dev/null 2>&1 || true  # the prefix exists from here on

tmp=$(mktemp -d)
mnt="$tmp/small"
locked="$tmp/locked"
mkdir -p "$mnt" "$locked"
letter=""
mounted=0
immutable=0
cleanup() {
    [ -n "$letter" ] && rm -f "$prefix/dosdevices/$letter:"
    [ "$mounted" = 1 ] && umount "$mnt" 2>/dev/null
    [ "$immutable" = 1 ] && chattr -i "$locked" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' TERM INT  # a timed-out run still unmounts and clears the folder

if mount -t tmpfs -o size=1m tmpfs "$mnt" 2>/dev/null; then
    mounted=1
    # From the end (drive-letter.sh takes from q); ln -sT takes a letter
    # only when no other suite running in this prefix holds it.
    for l in y x w v u t s r q; do
        ln -sT "$mnt" "$prefix/dosdevices/$l:" 2>/dev/null && { letter=$l; break; }
    done
    [ -n "$letter" ] || { echo "no free drive letter"; exit 1; }
    export PM_TEST_FULL_DRIVE="${letter^^}:\\"
else
    echo "SKIP full disk: mounting a small file system is not permitted here"
fi
if chattr +i "$locked" 2>/dev/null; then
    immutable=1
    export PM_TEST_LOCKED_FOLDER
    PM_TEST_LOCKED_FOLDER=$(WINEPREFIX="$prefix" WINEDEBUG=-all winepath -w "$locked" 2>/dev/null)
else
    echo "SKIP unwritable folder: chattr +i is not permitted here"
fi
if [ "$mounted" = 0 ] && [ "$immutable" = 0 ]; then exit 77; fi

"$1" "$2" --gtest_filter='BatchMachineFaults.FullDisk*:BatchMachineFaults.OutputFolderThatRefuses*' 2>&1 | tee "$tmp/log"
status=${PIPESTATUS[0]}
[ "$status" = 0 ] || exit 1
grep -q '\[  PASSED  \]' "$tmp/log" || exit 1
# A case that skipped although its fault was staged means the staging failed.
if [ "$mounted" = 1 ] && [ "$immutable" = 1 ] && grep -q '\[  SKIPPED \]' "$tmp/log"; then exit 1; fi
exit 0
