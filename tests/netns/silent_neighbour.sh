# Sourced by the namespace tests. In the current network namespace, add_silent_neighbour makes
# 10.99.5.7 a permanent fake neighbour behind a veth pair, which never answers.
add_silent_neighbour() {
    ip link add nv0 type veth peer name nv1
    ip addr add 10.99.5.1/24 dev nv0
    ip link set nv0 up
    ip link set nv1 up
    ip neigh replace 10.99.5.7 lladdr 02:00:00:00:00:01 dev nv0 nud permanent
}

# silent_neighbour NAME BUILD_DIR BODY runs the bash script BODY (with -euo pipefail; $0 is
# BUILD_DIR) in a network namespace of its own with loopback up and the silent neighbour; every
# packet stays inside the namespace. It needs root and does not return.
silent_neighbour() {
    local name=$1 build=$2 body=$3
    if [ "$(id -u)" -ne 0 ]; then
        echo "$name: needs root for a network namespace with a veth pair" >&2
        exit 1
    fi
    exec unshare -n bash -euo pipefail -c "$(declare -f add_silent_neighbour)
        ip link set lo up
        add_silent_neighbour
        $body" "$build"
}
