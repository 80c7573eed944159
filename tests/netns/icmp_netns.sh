#!/usr/bin/env bash
# Real ICMP in a network namespace of its own: 127.0.0.1 answers; 10.99.5.7, a permanent fake
# neighbour behind a veth pair, never does. Every packet stays inside the namespace.
# Usage: icmp_netns.sh BUILD_DIR
set -euo pipefail
build=$1
if [ "$(id -u)" -ne 0 ]; then
    echo "icmp_netns: needs root for a network namespace with a veth pair" >&2
    exit 1
fi
exec unshare -n bash -euo pipefail -c '
    ip link set lo up
    ip link add nv0 type veth peer name nv1
    ip addr add 10.99.5.1/24 dev nv0
    ip link set nv0 up
    ip link set nv1 up
    ip neigh replace 10.99.5.7 lladdr 02:00:00:00:00:01 dev nv0 nud permanent
    "$0/nivo-ping" 127.0.0.1 1000 1
    start=$(date +%s%N)
    if "$0/nivo-ping" 10.99.5.7 300 2; then
        echo "icmp_netns: the silent neighbour answered" >&2
        exit 1
    fi
    took=$(( ($(date +%s%N) - start) / 1000000 ))
    echo "icmp_netns: two unanswered attempts took ${took} ms"
    if [ "$took" -lt 550 ]; then
        echo "icmp_netns: the attempts did not wait their time-out" >&2
        exit 1
    fi
    echo "icmp_netns: ok"
' "$build"
