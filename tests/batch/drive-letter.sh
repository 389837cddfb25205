#!/usr/bin/env bash
# A drive letter of its own for the drive-entry case: Wine's drives are host
# links in the prefix's dosdevices folder, which a Windows program cannot
# make. Maps a free letter to a scratch folder and runs that one case.
# Usage: drive-letter.sh <wine runner> <test program>
set -euo pipefail
prefix=$(sed -n 's/^export WINEPREFIX="\${PM_WINEPREFIX:-\(.*\)}"$/\1/p' "$1")
prefix=${PM_WINEPREFIX:-$prefix}
"$1" cmd /c exit >/dev/null 2>&1 || true  # the prefix exists from here on
tmp=$(mktemp -d)
letter=""
for l in q r s t u v w x y; do
    [ -e "$prefix/dosdevices/$l:" ] || [ -L "$prefix/dosdevices/$l:" ] || { letter=$l; break; }
done
[ -n "$letter" ] || { echo "no free drive letter"; exit 1; }
ln -s "$tmp" "$prefix/dosdevices/$letter:"
trap 'rm -f "$prefix/dosdevices/$letter:"; rm -rf "$tmp"' EXIT
PM_TEST_DRIVE="${letter^^}:" "$1" "$2" --gtest_filter='BatchWalk.DriveEntries*' 2>&1 | tee "$tmp.log"
ok=0
grep -q '\[  PASSED  \] 1 test\.' "$tmp.log" && ! grep -q '\[  SKIPPED \]' "$tmp.log" || ok=1
rm -f "$tmp.log"
exit $ok
