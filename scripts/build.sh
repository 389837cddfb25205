#!/usr/bin/env bash
# Configures and builds the build trees under build/:
#   native  host g++ (portable libraries, tests, tools, fuzzers, benchmarks)
#   win32   i686-w64-mingw32 (PIXMILUI.DLL, PIXMILL.EXE, Windows tests)
#   win64   x86_64-w64-mingw32 (the same, 64-bit)
# With no arguments all three are built. The native tree's ctest also runs
# the Windows trees' tests.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${PM_BUILD_DIR:-$root/build}
deps=${PM_DEPS_DIR:-$build/deps}
configs=("$@")
[ ${#configs[@]} -gt 0 ] || configs=(win32 win64 native)
jobs=${PM_JOBS:-$(nproc)}

for c in "${configs[@]}"; do
    case $c in
        win32) triple=i686-w64-mingw32 ;;
        win64) triple=x86_64-w64-mingw32 ;;
        native|native-asan) triple= ;;
        *) echo "build.sh: unknown configuration $c" >&2; exit 2 ;;
    esac
    args=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
    if [ -n "$triple" ]; then
        PM_DEPS_DIR=$deps "$root/scripts/build-deps.sh" "$triple"
        args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$triple.cmake" -DPM_DEPS_PREFIX="$deps/$triple")
    elif [ "$c" = native ]; then
        extra=""
        for w in win32 win64; do [ -d "$build/$w" ] && extra="$extra;$build/$w"; done
        args+=(-DPM_EXTRA_TEST_DIRS="${extra#;}")
    else
        args+=(-DPM_SANITIZE=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
    fi
    cmake -S "$root" -B "$build/$c" "${args[@]}" >/dev/null
    cmake --build "$build/$c" -j "$jobs"
done
