#!/usr/bin/env bash
# Converts the bundled sample images (samples/) into thumbnails with the
# console host under Wine, and shows where they went. Installs and builds
# what is missing first. PM_SAMPLES_TREE=win64 uses the 64-bit build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_BUILD_DIR:-$root/build}
tree=${PM_SAMPLES_TREE:-win32}
out=${PM_SAMPLES_OUT:-$build/samples-out}

"$root/scripts/install-packages.sh"
"$root/scripts/build.sh" "$tree"

run="$build/$tree/wine-run.sh"
bin="$build/$tree/bin"
winpath() { WINEPREFIX="$build/$tree/wineprefix" WINEDEBUG=-all winepath -w "$1" 2>/dev/null; }

rm -rf "$out"
mkdir -p "$out"
# Settings of this demonstration: 96 x 96 JPEG thumbnails into $out,
# mirroring samples/ with its sub-folders, the log beside them, overwriting
# earlier results. FileMode 3088 = sub-folders + overwrite + log in output.
ini="$build/samples.ini"
{
    printf '[IMGCONVERT]\r\n'
    printf 'Resize=1\r\nSize.cx=96\r\nSize.cy=96\r\nWriteImageType=3\r\n'
    printf 'FileMode=3088\r\n'
    printf 'WritePath=%s\r\n' "$(winpath "$out")"
} > "$ini"

echo "run-samples: converting $root/samples into $out"
set +e
(cd "$bin" && "$run" pixmillc.exe --ini "$(winpath "$ini")" "$(winpath "$root/samples")") | iconv -f CP932 -t UTF-8
status=${PIPESTATUS[0]}
set -e

echo
echo "run-samples: thumbnails written (exit code $status):"
(cd "$out" && find . -type f ! -name '*.txt' | sort | while read -r f; do
    printf '  %s  %s\n' "$out/${f#./}" "$(identify-im6.q16 -format '%wx%h %m' "$f" 2>/dev/null | head -1)"
done)
for log in "$out"/*.txt; do
    [ -f "$log" ] && echo "run-samples: log file $log"
done
exit "$status"
