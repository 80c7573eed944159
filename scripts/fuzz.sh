#!/bin/sh
# Builds the libFuzzer targets with clang (build directory build-fuzz) and runs each for the
# given number of seconds (default 30), starting from its committed corpus. Fails on any crash
# or sanitizer report. New corpus entries go to build-fuzz/corpus/<name>, not into the tree.
set -eu
seconds=${1:-30}
here=$(cd "$(dirname "$0")/.." && pwd)
build="$here/build-fuzz"

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNIVO_WERROR=OFF \
    -DCMAKE_C_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" \
    -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined" >/dev/null

targets=""
for source in "$here"/tests/fuzz/*_fuzz.cpp; do
    name=$(basename "$source" _fuzz.cpp)
    targets="$targets $name"
done
for name in $targets; do
    cmake --build "$build" -j2 --target "fuzz_$name" >/dev/null
done

status=0
for name in $targets; do
    work="$build/corpus/$name"
    mkdir -p "$work"
    echo "fuzz_$name: $seconds s"
    if ! "$build/fuzz_$name" -max_total_time="$seconds" -max_len=16384 -timeout=10 \
        -print_final_stats=1 -artifact_prefix="$build/crash-$name-" \
        "$work" "$here/tests/fuzz/corpus/$name"; then
        echo "fuzz_$name: FAILED (see $build/crash-$name-*)" >&2
        status=1
    fi
done
exit $status
