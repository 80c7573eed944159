#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite: the normal build, then the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzz targets for a short
# while where clang is present. Any failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/check-layout.sh

echo "== build"
./scripts/build.sh build
(cd build && ctest --output-on-failure -j2 --timeout 600)

echo "== build under AddressSanitizer and UndefinedBehaviorSanitizer"
./scripts/build.sh build-asan -DNIVO_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j2 --timeout 900)

if [ -x scripts/fuzz.sh ] && command -v clang++ >/dev/null 2>&1; then
    echo "== fuzz targets"
    ./scripts/fuzz.sh "${NIVO_FUZZ_SECONDS:-20}"
fi
echo "== all tests passed"
