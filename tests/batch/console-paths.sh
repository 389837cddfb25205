#!/usr/bin/env bash
# pixmillc.exe on folders as users have them: an output folder that reaches
# the input folder through a link, the long-path prefix or a mapped drive
# letter must replace no input; a mirrored folder that links back into the
# input must not either; the console's per-file label, its command line, a
# log that cannot be written and list entries that name nothing.
# Links and drive letters are host links (a Windows program cannot make
# them under Wine), so this runs as a script.
# Usage: console-paths.sh <wine runner> <pixmillc.exe> <samples folder>
set -uo pipefail
run=$1 exe=$2 samples=$3
prefix=$(sed -n 's/^export WINEPREFIX="\${PM_WINEPREFIX:-\(.*\)}"$/\1/p' "$run")
prefix=${PM_WINEPREFIX:-$prefix}
"$run" cmd /c exit >/dev/null 2>&1 || true  # the prefix exists from here on
tmp=$(mktemp -d)
letter=""
# ln -sT takes a letter only when no other suite running in this prefix
# holds it (the drive-letter and fault scripts map letters too).
for l in r s t u v w x y; do
    ln -sT "$tmp" "$prefix/dosdevices/$l:" 2>/dev/null && { letter=$l; break; }
done
[ -n "$letter" ] || { echo "no free drive letter"; exit 1; }
trap 'rm -f "$prefix/dosdevices/$letter:"; rm -rf "$tmp"' EXIT
drive=${letter^^}:

failed=0
check() {  # description, then a command that must succeed
    local what=$1
    shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=1; fi
}
win() { local p=${1//\//\\}; echo "Z:$p"; }
# An INI with the given WritePath, FileMode and LogFile; every other setting
# keeps its default (JPEG output, all input types).
ini() {
    printf '[IMGCONVERT]\r\nWritePath=%s\r\nFileMode=%s\r\nLogFile=%s\r\n' "$2" "$3" "${4:-}" >"$1"
}
# Runs pixmillc; its output (console code page) is left in $tmp/out.txt.
pmc() {
    "$run" "$exe" "$@" >"$tmp/out.raw" 2>&1
    local rc=$?
    iconv -f CP932 -t UTF-8 <"$tmp/out.raw" >"$tmp/out.txt" 2>/dev/null || cp "$tmp/out.raw" "$tmp/out.txt"
    return $rc
}
sums() { (cd "$1" && md5sum -- * 2>/dev/null); }
has() { grep -q -- "$1" "$tmp/out.txt"; }

make_input() {
    rm -rf "$tmp/in" "$tmp/out"
    mkdir -p "$tmp/in"
    cp "$samples/landscape.jpg" "$tmp/in/c.jpeg"
    cp "$samples/badge.png" "$tmp/in/c.jpg"
    cp "$samples/scene24.bmp" "$tmp/in/scan.tif"  # a bitmap under a TIFF name
    cp "$samples/landscape.jpg" "$tmp/in/scan.jpg"
}

# 1. The output folder is the input folder by another spelling; overwriting
#    is allowed (0x400) and no product or time folder is made. Files named
#    one by one (as dropped from a file manager) go straight into the output
#    folder: c.jpeg's output is named c.jpg.
ln -s "$tmp/in" "$tmp/inlink"
in=$(win "$tmp/in")
for spelling in "$(win "$tmp/inlink")" "\\\\?\\$in" "$drive\\in"; do
    make_input
    before=$(sums "$tmp/in")
    ini "$tmp/a.ini" "$spelling" 1024
    pmc --ini "$(win "$tmp/a.ini")" "$in\\c.jpeg" "$in\\c.jpg" "$in\\scan.tif" "$in\\scan.jpg"
    check "output $spelling: no input replaced" test "$before" = "$(sums "$tmp/in")"
    check "output $spelling: the console says every file lies in the output folder" has "出力フォルダの中"
done
# The list entry spelled differently from the output folder.
make_input
before=$(sums "$tmp/in")
ini "$tmp/a.ini" "$(win "$tmp/in")" 1024
pmc --ini "$(win "$tmp/a.ini")" "\\\\?\\$in\\c.jpeg" "$drive\\in\\scan.tif" "$drive\\in\\*"
check "entries by other spellings: no input replaced" test "$before" = "$(sums "$tmp/in")"

# 2. A mirrored output folder that is a link back to the input: the input
#    photo is never replaced, the file that would replace it fails.
make_input
mkdir -p "$tmp/out"
ln -s "$tmp/in" "$tmp/out/in"
before=$(sums "$tmp/in")
ini "$tmp/a.ini" "$(win "$tmp/out")" 1024
pmc --ini "$(win "$tmp/a.ini")" "$(win "$tmp/in")"
rc=$?
check "linked mirror folder: c.jpg and scan.jpg untouched" \
    test "$(cd "$tmp/in" && md5sum c.jpg scan.jpg)" = "$(echo "$before" | grep -E ' (c|scan)\.jpg$')"
check "linked mirror folder: the refusals are errors (exit 1)" test $rc -eq 1
check "linked mirror folder: the report names the file that exists" has "ファイル作成エラー"
rm -f "$tmp/out/in"

# 3. Per-file labels come from each file's own outcome; "D:\dir\" keeps its
#    backslash and does not swallow the next argument; an empty argument and
#    a missing folder are reported.
make_input
mkdir -p "$tmp/bad" "$tmp/good"
printf '\xff\xd8\xff\xe0broken' >"$tmp/bad/broken.jpg"
cp "$samples/landscape.jpg" "$tmp/good/fine.jpg"
ini "$tmp/a.ini" "$(win "$tmp/out")" 16
pmc --ini "$(win "$tmp/a.ini")" "$(win "$tmp/bad/broken.jpg")" "$(win "$tmp/good")\\" "$(win "$tmp/in/c.jpeg")"
rc=$?
check "labels: the broken file is NG" grep -q "NG .*broken.jpg" "$tmp/out.txt"
check "labels: files after a failure that converted are OK" grep -q "OK .*fine.jpg" "$tmp/out.txt"
check "labels: the entry after a quoted folder with a trailing backslash is taken" grep -q "OK .*c.jpeg" "$tmp/out.txt"
check "labels: exit 1 after a failure" test $rc -eq 1
pmc --ini "$(win "$tmp/a.ini")" "" "$(win "$tmp/missing")" "$(win "$tmp/good")"
rc=$?
check "missing entries: reported, exit 1" test $rc -eq 1
check "missing entries: the missing folder is named" grep -q "missing" "$tmp/out.txt"

# 4. A log that cannot be written: its folder is a file.
printf 'x' >"$tmp/notafolder"
ini "$tmp/a.ini" "$(win "$tmp/out2")" 16 "$(win "$tmp/notafolder/log.txt")"
pmc --ini "$(win "$tmp/a.ini")" "$(win "$tmp/good")"
rc=$?
check "unwritable log: exit 1" test $rc -eq 1
check "unwritable log: the console names the log" grep -q "ログファイルを書き込めませんでした: .*log.txt" "$tmp/out.txt"

# 5. Names from everywhere, on a volume without short names (the walk is told
#    to ignore them, as on NTFS data volumes, exFAT cards and shares): each
#    file is opened by its real name (Wine's file trace shows every name
#    asked for; an 8.3 name like CAF_~EKF.JPG would be one taken through a
#    short name), converted and mirrored under its real name, and the
#    console names it with '?' only where its code page has no character.
sed 's/^export WINEDEBUG=-all$/export WINEDEBUG=${PM_WINEDEBUG:--all}/' "$run" >"$tmp/run-trace.sh"
chmod +x "$tmp/run-trace.sh"
rm -rf "$tmp/in" "$tmp/out"
mkdir -p "$tmp/in/사진" "$tmp/in/trip." "$tmp/in/trip" "$tmp/in/中文"
cp "$samples/landscape.jpg" "$tmp/in/café.jpg"
cp "$samples/badge.png" "$tmp/in/cafe.jpg"
cp "$samples/scene24.bmp" "$tmp/in/사진/Ελλάδα.bmp"
cp "$samples/landscape.jpg" "$tmp/in/中文/x¥y.jpg"
cp "$samples/landscape.jpg" "$tmp/in/📷.jpg"
cp "$samples/badge.png" "$tmp/in/trip./t.png"
cp "$samples/landscape.jpg" "$tmp/in/trip/t.jpg"
ini "$tmp/a.ini" "$(win "$tmp/out")" 16
PM_NO_SHORT_NAMES=1 PM_WINEDEBUG=trace+file "$tmp/run-trace.sh" "$exe" --ini "$(win "$tmp/a.ini")" "$(win "$tmp/in")" \
    >"$tmp/all.raw" 2>&1
rc=$?
# The runner hands the program's output and Wine's trace back together.
grep -a ':trace:' "$tmp/all.raw" >"$tmp/trace.txt"
grep -av ':trace:' "$tmp/all.raw" | iconv -f CP932 -t UTF-8 >"$tmp/out.txt" 2>/dev/null
check "real names: exit 0" test $rc -eq 0
for f in café.jpg cafe.jpg 사진/Ελλάδα.jpg 中文/x¥y.jpg 📷.jpg trip./t.jpg trip/t.jpg; do
    check "real names: $f mirrored" test -s "$tmp/out/in/$f"
done
check "real names: the accented name holds its own picture, not its look-alike's" \
    test "$(identify-im6.q16 -format %wx%h "$tmp/out/in/café.jpg")" != "$(identify-im6.q16 -format %wx%h "$tmp/out/in/cafe.jpg")"
check "real names: the trace shows the files opened" grep -q "caf.*\\.jpg" "$tmp/trace.txt"
check "real names: no short name was ever asked for" \
    bash -c "! grep 'CreateFileW' '$tmp/trace.txt' | grep -qE '[A-Z0-9_]~[A-Z0-9]+(\\.|\\\\|\")'"
check "real names: seven files OK on the console" test "$(grep -c '] OK ' "$tmp/out.txt")" -eq 7
check "real names: no look-alike on the console (the yen sign is no separator)" grep -q 'OK .*x?y.jpg' "$tmp/out.txt"

# 6. The same through PIXMILL.EXE (its progress dialog needs a display): a
#    folder named in Korean on its command line, as a file manager drops it,
#    converts under its real name. The settings come from PIXMILL.INI in the
#    current folder.
if [ -n "${DISPLAY:-}" ] && [ -f "$(dirname "$exe")/PIXMILL.EXE" ]; then
    rm -rf "$tmp/out"
    mkdir -p "$tmp/host" "$tmp/in/xy"
    # The narrow command line would name it "??", a pattern that takes its
    # neighbour as well.
    cp "$samples/landscape.jpg" "$tmp/in/xy/n.jpg"
    ini "$tmp/host/PIXMILL.INI" "$(win "$tmp/out")" 16
    host=$(readlink -f "$(dirname "$exe")/PIXMILL.EXE") runner=$(readlink -f "$run")
    (cd "$tmp/host" && PM_NO_SHORT_NAMES=1 timeout 120 "$runner" "$host" "$(win "$tmp/in/사진")" \
        >/dev/null 2>&1)
    check "PIXMILL.EXE: a folder named outside code page 932 converts by its real name" \
        test -s "$tmp/out/사진/Ελλάδα.jpg" -a ! -e "$tmp/out/xy"
else
    echo "skip PIXMILL.EXE: no display"
fi

exit $failed
