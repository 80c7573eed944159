#!/usr/bin/env bash
# Builds the project into a build directory: scripts/build.sh [DIR] [--windows] [cmake options...]
# --windows cross-builds the Windows programs (nivo.exe, the tools and the tests) with mingw-w64.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
options=()
if [ "${1:-}" = "--windows" ]; then
    shift
    options+=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64.cmake")
fi
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
