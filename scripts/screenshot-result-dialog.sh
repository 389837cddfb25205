#!/usr/bin/env bash
# Screenshot of the result dialog with a sample run record, under Xvfb.
#   scripts/screenshot-result-dialog.sh [OUT.png] [stopped]
# Uses $DISPLAY when set, else starts its own Xvfb on :${PM_XVFB_DISPLAY:-92}.
# Needs the win32 tree built (target show_result_dialog).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_BUILD_DIR:-$root/build}/win32
out=${1:-$build/result-dialog.png}
mode=${2:-}
exe=$build/tools/show_result_dialog.exe
[ -f "$exe" ] || { echo "screenshot-result-dialog: build $exe first" >&2; exit 2; }

xvfb_pid=""
if [ -z "${DISPLAY:-}" ]; then
    export DISPLAY=:${PM_XVFB_DISPLAY:-92}
    Xvfb "$DISPLAY" -screen 0 1280x1024x24 >/dev/null 2>&1 &
    xvfb_pid=$!
    sleep 1
fi
trap '[ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true' EXIT

# The dialog closes itself after 15 s at the latest.
"$build/wine-run.sh" "$exe" $mode close=15000 &
app=$!
for _ in $(seq 1 100); do
    xdotool search --name "処理結果" >/dev/null 2>&1 && break
    sleep 0.2
done
sleep 1  # let it paint
import -window root -crop 640x480+0+0 "$out"
wid=$(xdotool search --name "処理結果" 2>/dev/null | head -1 || true)
[ -n "$wid" ] && xdotool key --window "$wid" Return 2>/dev/null || true
wait "$app" || true
echo "$out"
