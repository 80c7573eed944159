#!/usr/bin/env bash
# Sets everything up, builds, and runs the whole test suite: the normal build, then the same
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, again under ThreadSanitizer, then
# the fuzz targets for a short while under clang's libFuzzer. Any failure fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/check-layout.sh
./scripts/check-format.sh

echo "== build"
./scripts/build.sh build
(cd build && ctest --output-on-failure -j2 --timeout 600)

echo "== build under AddressSanitizer and UndefinedBehaviorSanitizer"
./scripts/build.sh build-asan -DNIVO_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j2 --timeout 900)

echo "== build under ThreadSanitizer"
./scripts/build.sh build-tsan -DNIVO_TSAN=ON
# Reports of every process (the tests and the services they start) land in one folder: any file
# there fails the run, whatever the exit status of the process that wrote it.
tsan_reports="$PWD/build-tsan/tsan-reports"
rm -rf "$tsan_reports" && mkdir -p "$tsan_reports"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=0 log_path=$tsan_reports/report" \
    ctest --output-on-failure -j2 --timeout 900)
if [ -n "$(ls -A "$tsan_reports")" ]; then
    cat "$tsan_reports"/* >&2
    echo "ThreadSanitizer reported races (above)" >&2
    exit 1
fi

# The Windows build: cross-built with mingw-w64 and its tests run under wine, inside a network
# namespace of the stage's own (the service's fixed ports and every packet stay in it). Missing
# tools fail the run: setup.sh installed them.
echo "== Windows build, tests under wine"
./scripts/test-windows.sh build-win

# The fuzz stage always runs: setup.sh installed clang with libFuzzer, and a machine where it
# still cannot run fails the run instead of passing without it.
echo "== fuzz targets"
if ! command -v clang++ >/dev/null 2>&1; then
    echo "test: clang++ is missing, the fuzz stage cannot run" >&2
    exit 1
fi
./scripts/fuzz.sh "${NIVO_FUZZ_SECONDS:-20}"
echo "== all tests passed"
