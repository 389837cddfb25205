#!/usr/bin/env bash
# Pictures of the settings dialog: each of its eight pages and each save
# option sub-page of the output file type page, as PNG files.
#   scripts/screenshot-settings.sh [BUILD_TREE [OUT_DIR]]
# BUILD_TREE defaults to build/win32 (built, with bin/settings_shot.exe);
# OUT_DIR to BUILD_TREE/screenshots. Uses $DISPLAY when set, else starts its
# own Xvfb (display $PM_XVFB_DISPLAY, default :94) and stops it afterwards.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tree=$(cd "${1:-$root/build/win32}" && pwd)
out=${2:-$tree/screenshots}
mkdir -p "$out"
out=$(cd "$out" && pwd)
tool="$tree/bin/settings_shot.exe"
[ -f "$tool" ] || { echo "screenshot-settings: $tool is missing; build the tree first" >&2; exit 1; }

xvfb_pid=
cleanup() {
    [ -n "$xvfb_pid" ] || return 0
    # Wine's desktop process holds the display until its server goes idle.
    WINEPREFIX="$tree/wineprefix" timeout 20 wineserver -w 2>/dev/null || true
    kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
if [ -z "${DISPLAY:-}" ]; then
    export DISPLAY=${PM_XVFB_DISPLAY:-:94}
    Xvfb "$DISPLAY" -screen 0 1280x1024x24 >/dev/null 2>&1 &
    xvfb_pid=$!
    sleep 1
fi

convert=convert-im6.q16
command -v $convert >/dev/null || convert=convert

shot() {  # name node output-type
    local bmp="$out/$1.bmp"
    rm -f "$bmp"
    (cd "$tree/bin" && "$tree/wine-run.sh" settings_shot.exe "$2" "$3" "$(winepath -w "$bmp" 2>/dev/null)")
    $convert "$bmp" "$out/$1.png"
    rm -f "$bmp"
    echo "$out/$1.png"
}

jpeg=3
shot page0-start 0 $jpeg
shot page1-image 1 $jpeg
shot page2-input 2 $jpeg
shot page3-output 3 $jpeg
shot page4-folder 4 $jpeg
shot page5-result 5 $jpeg
shot page6-inifile 6 $jpeg
shot page7-version 7 $jpeg
shot output-gif 3 5
shot output-png 3 6
shot output-bmp 3 1
shot output-tiff 3 4
shot output-jpeg 3 3
shot output-webp 3 10
