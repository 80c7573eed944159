#!/usr/bin/env bash
# The Windows service under wine, driven by wine's service manager, and the agent-collector link
# between a Linux and a Windows build (each direction once):
#   tests/win32/service_wine.sh WINDOWS_BUILD_DIR LINUX_BUILD_DIR
# Runs inside the network namespace of the Windows test stage (scripts/test-windows.sh): the
# fixed ports are its own, and every packet stays on its loopback.
set -euo pipefail
win_build=$(realpath "$1")
linux_build=$(realpath "$2")
source_dir=$(realpath "$(dirname "$0")/../..")
wine=/usr/lib/wine/wine64
export WINEDEBUG=-all

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
    if [ $failures -eq 1 ]; then
        for log in "$work"/*/nivo.log; do
            [ -f "$log" ] && { echo "--- $log (last lines)"; log_text "$log" | tail -n 25; } >&2
        done
    fi
}
note() { echo "-- $*"; }

work=$(mktemp -d /tmp/nivo-wine-service-XXXXXX)
linux_pid=
cleanup() {
    "$wine" sc stop NIVO >/dev/null 2>&1 || true
    "$wine" sc delete NIVO >/dev/null 2>&1 || true
    [ -n "$linux_pid" ] && kill "$linux_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# A UTF-16LE log as UTF-8 text.
log_text() { iconv -f UTF-16LE -t UTF-8 "$1" 2>/dev/null || true; }
# Runs the command every 0.2 s until it succeeds, for up to $1 seconds.
wait_until() {
    local i tries=$(($1 * 5))
    shift
    for ((i = 0; i < tries; i++)); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}
# Whether the UTF-16LE file $1 holds the text $2 (at least $3 times).
has_text() { [ -f "$1" ] && [ "$(log_text "$1" | grep -cF -- "$2")" -ge "${3:-1}" ]; }
# A Collector stores what it has received on pool jobs: a stop waits for its three logons.
stored_three() { wait_until 30 has_text "$1" "UserInfo Successfully Inserted" 3; }
# The service's state number and exit codes from wine's sc query: "STATE WIN32 SERVICE".
service_status() {
    "$wine" sc query NIVO 2>/dev/null | tr -d '\r' | awk '
        /STATE/ {state=$3} /WIN32_EXIT_CODE/ {win32=$3} /SERVICE_EXIT_CODE/ {service=$3}
        END {print state, win32, service}'
}
in_state() { [ "$(service_status | cut -d' ' -f1)" = "$1" ]; }
start_service() { "$wine" net start NIVO >/dev/null 2>&1 || true; }
stop_service() {
    "$wine" net stop NIVO >/dev/null 2>&1 || "$wine" sc stop NIVO >/dev/null 2>&1 || true
}
# Stored users of a base directory's database (the service stopped).
stored_users() { sqlite3 -readonly "$1/nivo.db3" 'SELECT user FROM UserInfo ORDER BY user;' || true; }

# A base directory holding the example configuration: a Collector only, on port $2 for agents
# (without the audit-log file, a key of the Linux build only).
make_base() {
    local base=$1 port=$2
    mkdir -p "$base"
    cp "$source_dir"/example/*.ini "$base/"
    sed -i -e '/^\[NIV-AGENT\]/,/^\[/ s/^ENABLED=.*/ENABLED=FALSE/' -e '/^EVENTLOG-FILE=/d' \
        -e "s/^DCASERVER-PORT=.*/DCASERVER-PORT=$port/" \
        -e '/^\[REMOTE-CONFIG\]/,/^\[/ s/^ENABLED=.*/ENABLED=FALSE/' "$base/nivo.ini"
}

# 1. The service under wine's service manager, and a Linux agent's logons stored by it.
base="$work/windows"
make_base "$base" 5566
cp "$win_build/nivo.exe" "$base/"
binpath=$("$wine" winepath -w "$base/nivo.exe" | tr -d '\r')
"$wine" sc create NIVO binPath= "$binpath" start= demand type= own >/dev/null ||
    fail "sc create"
start_service
if wait_until 30 in_state 4; then
    note "the service is RUNNING"
else
    fail "the service did not reach RUNNING: $(service_status)"
fi
wait_until 30 has_text "$base/nivo.log" "nivo_init: Initialization Finished" ||
    fail "no 'Initialization Finished' in nivo.log"
log_text "$base/nivo.log" | grep -qF -- "----------- Vantelor TESSALINE --------------" ||
    fail "nivo.log lacks its banner (or is not UTF-16LE)"
log_text "$base/logging_events.log" | grep -qF -- "----------- Logging Events -----------" ||
    fail "logging_events.log lacks its banner (or is not UTF-16LE)"
"$linux_build/nivo-agentsim" -p 5566 -n 3 -i 127.1.0.1 -u linux -q >/dev/null ||
    fail "the Linux agent's logons were not taken by the Windows Collector"
stored_three "$base/nivo.log" || true
stop_service
wait_until 30 in_state 1 || fail "the service did not reach STOPPED"
status=$(service_status)
[ "$status" = "1 0 0" ] || fail "stopped with '$status', expected state 1 and exit codes 0"
users=$(stored_users "$base" | tr '\n' ' ')
[ "$users" = "linux0-0 linux0-1 linux0-2 " ] ||
    fail "the Windows Collector stored '$users' from the Linux agent"

# 2. Dead entries are in wine's registry, and stay there across a restart of the service.
dead_key='HKLM\SOFTWARE\Vantelor\Vantelor Tessaline\DeadEntry'
entries() { "$wine" reg query "$dead_key" 2>/dev/null | tr -d '\r' | grep -ci 'deadentry\\linux' || true; }
[ "$(entries)" = 3 ] || fail "$(entries) dead entries in the registry after the stop, expected 3"
start_service
wait_until 30 in_state 4 || fail "the service did not start again"
wait_until 30 has_text "$base/nivo.log" "nivo_init: Initialization Finished" || true
[ "$(entries)" = 3 ] || fail "$(entries) dead entries after the restart, expected 3"
stop_service
wait_until 30 in_state 1 || fail "the service did not stop again"
users=$(stored_users "$base" | tr '\n' ' ')
[ "$users" = "linux0-0 linux0-1 linux0-2 " ] || fail "after the restart the store holds '$users'"

# 3. A start-up that fails (a Collector whose database cannot be opened) is reported as a stop
#    with the error, and the log says why.
rm -f "$base/nivo.db3"* && mkdir "$base/nivo.db3"
start_service
wait_until 30 in_state 1 || fail "the failed start-up did not end STOPPED"
status=$(service_status)
[ "${status#1 0}" = "$status" ] || fail "the failed start-up reported '$status', no error"
log_text "$base/nivo.log" | grep -qF "nivo_init: Userinfo Database Initialization failed" ||
    fail "the log does not say why the start-up failed"
note "a failed start-up stopped with: $status"
"$wine" sc delete NIVO >/dev/null || fail "sc delete"
# The same start-up in a console run: the error report reaches standard error.
console_status=0
timeout 60 "$wine" "$base/nivo.exe" --console >"$work/console.out" 2>"$work/console.err" ||
    console_status=$?
[ $console_status -ne 0 ] || fail "a console run whose start-up failed ended with 0"
grep -q "API = nivo_init(), error code = [1-9][0-9]*, message = ." "$work/console.err" ||
    fail "the console run did not report the error: $(tail -n 5 "$work/console.err")"
rmdir "$base/nivo.db3"

# 4. The other direction: a Windows agent's logons stored by the Linux Collector.
linux_base="$work/linux"
make_base "$linux_base" 5567
NIVO_HOME="$linux_base" NIVO_REGISTRY="$linux_base/registry" "$linux_build/nivo" \
    >"$work/linux.out" 2>&1 &
linux_pid=$!
wait_until 30 has_text "$linux_base/nivo.log" "nivo_init: Initialization Finished" ||
    fail "the Linux Collector did not start: $(tail -5 "$work/linux.out")"
"$wine" "$win_build/nivo-agentsim.exe" -p 5567 -n 3 -i 127.2.0.1 -u windows -q >/dev/null ||
    fail "the Windows agent's logons were not taken by the Linux Collector"
stored_three "$linux_base/nivo.log" || true
kill -INT "$linux_pid" && wait "$linux_pid" || true
linux_pid=
users=$(stored_users "$linux_base" | tr '\n' ' ')
[ "$users" = "windows0-0 windows0-1 windows0-2 " ] ||
    fail "the Linux Collector stored '$users' from the Windows agent"

if [ $failures -ne 0 ]; then
    echo "service_wine: $failures check(s) failed" >&2
    exit 1
fi
echo "service_wine: all checks passed"
