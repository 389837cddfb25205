#!/usr/bin/env bash
# Wine cannot make folder links from a Windows program (its CreateSymbolicLink
# reports success and makes nothing), but it shows a host symbolic link to a
# folder as a folder. This makes a tree with two links that close cycles and
# runs the walker's cycle test on it.
# Usage: cycle-tree.sh <wine runner> <test program>
set -euo pipefail
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# The test expects the walked folder to be called "root".
top="$tmp/root"
mkdir -p "$top/sub"
echo x > "$top/a.txt"
echo x > "$top/sub/b.txt"
ln -s "$top" "$top/sub/up"
ln -s "$top/sub" "$top/sub/self"
PM_CORE_CYCLE_TREE="Z:$(printf '%s' "$top" | tr / '\\')" \
    "$1" "$2" --gtest_filter='WalkFiles.FolderCycles*' 2>&1 |
    tee "$tmp/log"
# A skipped or missing case must not pass for a walked cycle.
grep -q '\[  PASSED  \] 1 test\.' "$tmp/log" && ! grep -q '\[  SKIPPED \]' "$tmp/log"
