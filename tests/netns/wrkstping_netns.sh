#!/usr/bin/env bash
# The workstation ping over real ICMP in a network namespace of its own (silent_neighbour.sh):
# 127.0.0.1 answers and 10.99.5.7 never does. Usage: wrkstping_netns.sh BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/silent_neighbour.sh"
silent_neighbour wrkstping_netns "$1" '
    out=$(NIVO_ICMP_NETNS=1 "$0/nivo_unit_tests" --gtest_filter="WrkstpingNetns.*" 2>&1) || {
        echo "$out"; exit 1; }
    echo "$out"
    if ! echo "$out" | grep -q "PASSED  \] 1 test" || echo "$out" | grep -q SKIPPED; then
        echo "wrkstping_netns: the test did not run" >&2
        exit 1
    fi
'
