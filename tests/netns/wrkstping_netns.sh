#!/usr/bin/env bash
# The workstation ping over real ICMP in a network namespace of its own: 127.0.0.1 answers;
# 10.99.5.7, a permanent fake neighbour behind a veth pair, never does. Every packet stays
# inside the namespace. Usage: wrkstping_netns.sh BUILD_DIR
set -euo pipefail
build=$1
if [ "$(id -u)" -ne 0 ]; then
    echo "wrkstping_netns: needs root for a network namespace with a veth pair" >&2
    exit 1
fi
exec unshare -n bash -euo pipefail -c '
    ip link set lo up
    ip link add nv0 type veth peer name nv1
    ip addr add 10.99.5.1/24 dev nv0
    ip link set nv0 up
    ip link set nv1 up
    ip neigh replace 10.99.5.7 lladdr 02:00:00:00:00:01 dev nv0 nud permanent
    out=$(NIVO_ICMP_NETNS=1 "$0/nivo_unit_tests" --gtest_filter="WrkstpingNetns.*" 2>&1) || {
        echo "$out"; exit 1; }
    echo "$out"
    if ! echo "$out" | grep -q "PASSED  \] 1 test" || echo "$out" | grep -q SKIPPED; then
        echo "wrkstping_netns: the test did not run" >&2
        exit 1
    fi
' "$build"
