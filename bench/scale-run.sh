#!/usr/bin/env bash
# A long run at scale: FILES small files in FOLDERS folders, every fourth of
# them bad (zero bytes, a cut bitmap, text named .png), converted by one
# pixmillc.exe under Wine. Prints
#   - the mean and median time per file of the first and the last thousand
#     files, twice: the host's own per-file time (--times) and the wall time
#     between consecutive files as they reach the console (walk included);
#   - the resident size of the .exe process, sampled every 0.2 s: peak, and
#     the value at each tenth of the run, so a growth shows as a slope;
#   - the counts of the report, the log file's size and the time from the
#     last file to the end of the process (report and log writing).
#
#   bench/scale-run.sh [FILES [FOLDERS]]      defaults 20000 200
# Environment: PM_BENCH_TREE (win64), PM_BENCH_JOBS (passed as --jobs when
# the host knows it), PM_BUILD_DIR, PM_KEEP=1 keeps the scratch folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
files=${1:-20000}
folders=${2:-200}
tree=${PM_BENCH_TREE:-win64}
build=${PM_BUILD_DIR:-$root/build}
[ -x "$build/$tree/bin/pixmillc.exe" ] || "$root/scripts/build.sh" "$tree"
run="$build/$tree/wine-run.sh"
bin="$build/$tree/bin"
winpath() { WINEPREFIX="$build/$tree/wineprefix" WINEDEBUG=-all winepath -w "$1" 2>/dev/null; }

work=$(mktemp -d)
[ "${PM_KEEP:-0}" = 1 ] && echo "scratch: $work" || trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in" "$work/out"

python3 - "$work/in" "$files" "$folders" <<'EOF'
import os, struct, sys
root, files, folders = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def bmp(seed):
    w = h = 8
    row = bytes((seed * 7 + x * 31 + c * 11) & 255 for x in range(w) for c in range(3))
    pixels = b"".join(bytes((b + y * 13) & 255 for b in row) for y in range(h))
    head = b"BM" + struct.pack("<IHHI", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return head + info + pixels
per = (files + folders - 1) // folders
n = 0
for f in range(folders):
    d = os.path.join(root, "d%03d" % f)
    os.mkdir(d)
    for i in range(per):
        if n == files: break
        kind = n % 4
        if kind == 3:  # the bad quarter, spread evenly over the run
            bad = (n // 4) % 3
            name, data = [("z%05d.jpg" % n, b""), ("c%05d.bmp" % n, bmp(n)[:40]),
                          ("t%05d.png" % n, b"not an image\r\n" * 4)][bad]
        else:
            name, data = "g%05d.bmp" % n, bmp(n)
        with open(os.path.join(d, name), "wb") as fh: fh.write(data)
        n += 1
print("made %d files in %d folders" % (n, folders))
EOF

# Sub-folders, type by extension, the log in the output folder under its
# default name, no time-stamp or product folder.
printf '[IMGCONVERT]\r\nFileMode=2096\r\nWritePath=%s\r\nLogFile=\r\n' "$(winpath "$work/out")" > "$work/scale.ini"
jobs=()
if [ -n "${PM_BENCH_JOBS:-}" ]; then
    (cd "$bin" && "$run" pixmillc.exe --help 2>&1 | iconv -f CP932 -t UTF-8) | grep -q -- --jobs &&
        jobs=(--jobs "$PM_BENCH_JOBS")
fi
"$run" "$bin/pixmillc.exe" --help >/dev/null 2>&1 || true  # wineserver up

# Resident size of the Windows process (not of the launcher): found once by
# its command line, which names this run's scratch folder, then sampled.
tag=$(basename "$work")
(
    pid=""
    for _ in $(seq 600); do
        for p in /proc/[0-9]*; do
            cmd=$(tr '\0' ' ' 2>/dev/null < "$p/cmdline") || continue
            # The program itself, named by its Windows path; not its launchers.
            case "$cmd" in *'\pixmillc.exe --ini'*"$tag"*) pid=${p#/proc/} ;; esac
            [ -n "$pid" ] && break
        done
        [ -n "$pid" ] && break
        sleep 0.1
    done
    [ -n "$pid" ] || exit 0
    while kb=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status" 2>/dev/null) && [ -n "$kb" ]; do
        echo "$(date +%s.%N) $kb"
        sleep 0.2
    done
) > "$work/rss.txt" &
sampler=$!

# Wine runs directly, not through the tree's runner, which holds a piped
# output back until the program ends: each line is stamped as it arrives.
prefix=$(sed -n 's/^export WINEPREFIX="\${PM_WINEPREFIX:-\(.*\)}"$/\1/p' "$run")
[ -f "$(dirname "$prefix")/locale/ja_JP.UTF-8/LC_CTYPE" ] && export LOCPATH="$(dirname "$prefix")/locale"
start=$(date +%s.%N)
set +e
(cd "$bin" && WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml=" LC_ALL=ja_JP.UTF-8 \
    wine pixmillc.exe --ini "$(winpath "$work/scale.ini")" "${jobs[@]}" --times "$(winpath "$work/in")") |
    python3 -c '
import sys, time
out = open(sys.argv[1], "w")
for raw in sys.stdin.buffer:
    out.write("%.6f\t%s" % (time.time(), raw.decode("cp932", "replace")))
' "$work/console.txt"
status=${PIPESTATUS[0]}
set -e
end=$(date +%s.%N)
kill "$sampler" 2>/dev/null || true
wait "$sampler" 2>/dev/null || true

log=$(find "$work/out" -maxdepth 1 -name '*.txt' | head -1)
python3 - "$work/console.txt" "$work/rss.txt" "$start" "$end" "$status" "${log:-}" <<'EOF'
import os, statistics, sys
console, rss, start, end, status, log = sys.argv[1:7]
start, end = float(start), float(end)
own, arrivals, report = [], [], []
finished = None
for line in open(console, encoding="utf-8"):
    stamp, _, text = line.partition("\t")
    text = text.rstrip("\r\n")
    if text.startswith("TIME\t"):
        own.append(float(text.split("\t")[1]))
        arrivals.append(float(stamp))
    elif text.startswith("■"):
        report.append(text)
    elif text.startswith("出力フォルダ"):
        finished = float(stamp)
walls = [b - a for a, b in zip(arrivals, arrivals[1:])]
def row(label, xs):
    if len(xs) < 2000:
        print("%-28s too few files (%d)" % (label, len(xs))); return
    a, b = xs[:1000], xs[-1000:]
    # On a shared machine a few files wait for the processor; the mean
    # without the slowest tenth and the median show the run's own trend.
    trim = lambda v: statistics.mean(sorted(v)[:900])
    ma, mb, ta, tb = statistics.mean(a), statistics.mean(b), trim(a), trim(b)
    ratio = lambda x, y: y / x if x else float("nan")
    print("%-28s first 1000: mean %.3f ms (without slowest tenth %.3f) median %.3f" % (label, ma, ta, statistics.median(a)))
    print("%-28s last 1000:  mean %.3f ms (without slowest tenth %.3f) median %.3f" % ("", mb, tb, statistics.median(b)))
    print("%-28s last/first: mean %.2f, without slowest tenth %.2f, median %.2f"
          % ("", ratio(ma, mb), ratio(ta, tb), ratio(statistics.median(a), statistics.median(b))))
print("files timed: %d, exit code %s, whole run %.1f s (with Wine's start and end)" % (len(own), status, end - start))
row("per file (host's own)", own)
row("per file (wall, with walk)", [w * 1000 for w in walls])
samples = [tuple(map(float, l.split())) for l in open(rss) if l.strip()]
if samples:
    kb = [s[1] for s in samples]
    t0, t1 = samples[0][0], samples[-1][0]
    print("resident size: %d samples, peak %.1f MB, first %.1f MB, last %.1f MB" %
          (len(kb), max(kb) / 1024, kb[0] / 1024, kb[-1] / 1024))
    tenths = []
    for k in range(1, 11):
        at = t0 + (t1 - t0) * k / 10
        tenths.append(min(samples, key=lambda s: abs(s[0] - at))[1] / 1024)
    print("  at each tenth of the run (MB): " + " ".join("%.1f" % v for v in tenths))
else:
    print("resident size: no samples (process not found)")
for r in report: print("report: " + r)
if arrivals and finished:
    print("from the last file to the end of the report on the console: %.3f s (report, log file, printing)"
          % (finished - arrivals[-1]))
EOF
if [ -n "${log:-}" ]; then
    echo "log file: $(basename "$log") $(stat -c %s "$log") bytes"
fi
