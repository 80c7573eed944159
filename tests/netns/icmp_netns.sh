#!/usr/bin/env bash
# Real ICMP in a network namespace of its own (silent_neighbour.sh): 127.0.0.1 answers and
# 10.99.5.7 never does. Usage: icmp_netns.sh BUILD_DIR
set -euo pipefail
. "$(dirname "$0")/silent_neighbour.sh"
silent_neighbour icmp_netns "$1" '
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
'
