#!/usr/bin/env bash
# Screenshot of the progress dialog in the middle of a run, preview showing,
# under a virtual display. Usage: scripts/screenshot-progress.sh [out.png]
# Converts ../shared/bench-photos (else samples/) into a scratch folder.
# PM_SCREENSHOT_TREE=win64 uses the 64-bit build; PM_SCREENSHOT_DELAY sets
# the seconds before the picture is taken.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_BUILD_DIR:-$root/build}
tree=${PM_SCREENSHOT_TREE:-win32}
png=${1:-$build/screenshots/progress.png}
delay=${PM_SCREENSHOT_DELAY:-2.5}
input=$root/../shared/bench-photos
[ -d "$input" ] || input=$root/samples
input=$(cd "$input" && pwd)

[ -x "$build/$tree/bin/PIXMILL.EXE" ] || "$root/scripts/build.sh" "$tree"
run="$build/$tree/wine-run.sh"
winpath() { WINEPREFIX="$build/$tree/wineprefix" WINEDEBUG=-all winepath -w "$1" 2>/dev/null; }

started_x=""
if [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 90 99); do
        { [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ]; } && continue
        Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        started_x=$!
        export DISPLAY=:$n
        for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
        break
    done
fi
work=$(mktemp -d)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    [ -n "$started_x" ] && kill "$started_x" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# PIXMILL.INI in the current folder (no App Paths key in the build's
# prefix): 96 x 96 JPEG, sub-folders, overwrite, no result dialog and no
# file manager at the end (FileMode 1040).
mkdir -p "$work/out"
printf '[IMGCONVERT]\r\nResize=1\r\nSize.cx=96\r\nSize.cy=96\r\nWriteImageType=3\r\nFileMode=1040\r\nWritePath=%s\r\n' \
    "$(winpath "$work/out")" > "$work/PIXMILL.INI"

(cd "$work" && exec "$run" "$build/$tree/bin/PIXMILL.EXE" "$(winpath "$input")") &
pid=$!
sleep "$delay"
mkdir -p "$(dirname "$png")"
window=$(xdotool search --name "ｻﾑﾈｲﾙ作成中" 2>/dev/null | head -1 || true)
if [ -n "$window" ]; then
    import -window "$window" "$png"
else
    echo "screenshot-progress: dialog window not found, taking the whole screen" >&2
    import -window root "$png"
fi
# The run ends by itself; bound the wait.
for _ in $(seq 600); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
pid=""
echo "screenshot-progress: $png"
