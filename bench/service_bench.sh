# service_bench.sh: what the benchmark scripts that run the real service share. Sourced by them
# after setting name (the script's name, for messages), keep (1 keeps the base directory) and
# pid_vars (the names of the variables that hold the pids to end at exit).

cd "$(dirname "$0")/.."
source_dir=$PWD
build=$(cd "${1:-build}" && pwd)

# Fails unless each program is built in the build directory.
require_programs() {
    local program
    for program in "$@"; do
        if [ ! -x "$build/$program" ]; then
            echo "$name: $build/$program is missing (cmake --build $build --target $program)" >&2
            exit 1
        fi
    done
}

# Runs the rest of the script again in a network namespace with only its own loopback.
enter_namespace() {
    if [ -z "${BENCH_IN_NAMESPACE:-}" ]; then
        exec unshare -n env BENCH_IN_NAMESPACE=1 "$0" "$build"
    fi
    ip link set lo up
}

# A directory of the run's own (base) holding a copy of example/, removed at exit after the
# processes named in pid_vars have ended.
make_base() {
    base=$(mktemp -d "/tmp/nivo-$name.XXXXXX")
    trap cleanup EXIT
    cp -r "$source_dir/example/." "$base/"
}
cleanup() {
    local var
    for var in $pid_vars; do
        if [ -n "${!var:-}" ]; then
            kill "${!var}" 2>/dev/null || true
        fi
    done
    wait 2>/dev/null || true
    if [ "${keep:-0}" = 1 ]; then
        echo "$name: kept $base"
    else
        rm -rf "$base"
    fi
}

# The service's log is UTF-16.
log_text() {
    iconv -f UTF-16LE -t UTF-8 "$base/nivo.log" 2>/dev/null || true
}
size_of() {
    stat -c %s "$1" 2>/dev/null || echo 0
}
kib() {
    echo $(($(size_of "$1") / 1024))
}
rss_kib() {
    awk '/^VmRSS/ { print $2 }' "/proc/$nivo_pid/status"
}
