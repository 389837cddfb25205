#!/usr/bin/env bash
# Runs every test: installs what is missing, builds the native, win32 and
# win64 trees, and runs one ctest over all of them (Windows tests under Wine).
# Starts a virtual display when there is none, for the dialog tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_BUILD_DIR:-$root/build}
"$root/scripts/install-packages.sh"
"$root/scripts/build.sh" win32 win64 native
# The release packages, so that their test installs what a user gets.
"$root/scripts/package.sh" win32 win64

started_x=""
if [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 90 99); do
        [ -e /tmp/.X11-unix/X$n ] || [ -e /tmp/.X$n-lock ] && continue
        Xvfb :$n -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        started_x=$!
        export DISPLAY=:$n
        for _ in $(seq 50); do [ -e /tmp/.X11-unix/X$n ] && break; sleep 0.1; done
        break
    done
fi
cleanup() {
    for w in win32 win64; do
        [ -d "$build/$w/wineprefix" ] && WINEPREFIX="$build/$w/wineprefix" wineserver -k 2>/dev/null || true
    done
    [ -n "$started_x" ] && kill "$started_x" 2>/dev/null || true
}
trap cleanup EXIT

# Create the Wine prefixes before the parallel run (10-20 s each).
for w in win32 win64; do
    [ -x "$build/$w/wine-run.sh" ] && "$build/$w/wine-run.sh" cmd /c exit 0 >/dev/null 2>&1 || true
done
ctest --test-dir "$build/native" --output-on-failure -j "${PM_TEST_JOBS:-$(nproc)}" "$@"
