#!/usr/bin/env bash
# Peak working set of pixmillc.exe under Wine converting one file (or a
# folder) to a 96x96 thumbnail with default settings: the highest resident
# size (VmHWM) of the Wine process that runs the program. /usr/bin/time would
# measure the launcher instead.
#
#   bench/peak-memory.sh [--tree win32|win64] [--bin DIR] FILE|FOLDER
# --bin runs the pixmillc.exe of another folder (say an older build) with
# this tree's Wine prefix.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_BUILD_DIR:-$root/build}
tree=win32
bin=""
while [ $# -gt 1 ]; do
    case $1 in
        --tree) tree=$2; shift 2 ;;
        --bin) bin=$2; shift 2 ;;
        *) break ;;
    esac
done
bin=${bin:-$build/$tree/bin}
input=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
winpath() { WINEPREFIX="$build/$tree/wineprefix" WINEDEBUG=-all winepath -w "$1" 2>/dev/null; }
mkdir -p "$work/out"
printf '[IMGCONVERT]\r\nFileMode=54112\r\nWritePath=%s\r\n' "$(winpath "$work/out")" > "$work/m.ini"
(cd "$bin" && "$build/$tree/wine-run.sh" pixmillc.exe --ini "$(winpath "$work/m.ini")" --quiet "$(winpath "$input")") \
    >/dev/null 2>&1 &
launcher=$!
peak=0
while kill -0 "$launcher" 2>/dev/null; do
    # Only this run's process: its command line names this run's settings file.
    for p in $(pgrep -f "pixmillc\.exe.*$(basename "$work")" || true); do
        hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$p/status" 2>/dev/null || true)
        [ -n "$hwm" ] && [ "$hwm" -gt "$peak" ] && peak=$hwm
    done
    sleep 0.02
done
wait "$launcher" || true
echo "peak working set: $((peak / 1024)) MB ($(find "$work/out" -type f -name '*.jpg' | wc -l) thumbnails)"
