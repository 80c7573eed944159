#!/usr/bin/env bash
# Cross-builds the Windows programs into DIR (default build-win) and runs their tests under wine:
# scripts/test-windows.sh [DIR]. Part of scripts/test.sh; runs as root, since the tests run in a
# network namespace of their own (unshare -n, loopback only).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-win}
for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump /usr/lib/wine/wine64 unshare; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "test-windows: $tool is missing, the Windows stage cannot run" >&2
        exit 1
    fi
done
./scripts/build.sh "$dir" --windows

# The service must need nothing but the system's own DLLs.
./scripts/check-windows-imports.sh "$dir/nivo.exe"

# A wine prefix of the build's own, made once; its server ends with the stage.
export WINEPREFIX="$PWD/$dir/wine"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
cd "$dir"
unshare -n /bin/sh -c '
    set -e
    ip link set lo up
    "$0" wineboot -i >/dev/null 2>&1 || true
    /usr/lib/wine/wineserver -w
    status=0
    ctest --output-on-failure --timeout 900 || status=$?
    /usr/lib/wine/wineserver -k || true
    exit $status
' "$wine"
