#!/usr/bin/env bash
# store-scale.sh: the Collector on a large store, in a network namespace of its own (run as root,
# by hand; not part of the test suite).
#
#   bench/store-scale.sh [BUILD-DIR]
#
# Settings from the environment:
#   SCALE_ROWS      stored logons before the start (1000000)
#   SCALE_LOAD      logons sent after the start (100000)
#   SCALE_KEEP      1 keeps the base directory afterwards
#   SCALE_DEAD      DEAD-ENTRY-TIMEOUT for the run (0: a million registry entries would take
#                   gigabytes of directories; the store itself is what is measured)
#
# The real service runs on a copy of example/ (only the Collector). A first start creates the
# store; the rows are then written straight into it with the sqlite3 shell (one in a thousand
# left in state 2, as a logoff check leaves them when the process ends). It prints:
#   - the time from the start of the process to "Userinfo Database Validated" (the store's part)
#     and to "Initialization Finished" in its log (which includes the probe of the workstation
#     query helper for POLLING-MODE=REGISTRY);
#   - its resident memory after the start and again after the load;
#   - the time nivo-agentsim needed for the load, and the database and write-ahead log sizes
#     after it.
set -euo pipefail
name=store-scale
keep=${SCALE_KEEP:-0}
pid_vars=nivo_pid
source "$(dirname "$0")/service_bench.sh"
rows=${SCALE_ROWS:-1000000}
load=${SCALE_LOAD:-100000}
dead=${SCALE_DEAD:-0}

require_programs nivo nivo-agentsim
enter_namespace
make_base
sed -i -e '/^\[NIV-AGENT\]/,/^\[/ s/^ENABLED=.*/ENABLED=FALSE/' \
    -e "s/^DEAD-ENTRY-TIMEOUT=.*/DEAD-ENTRY-TIMEOUT=$dead/" "$base/nivo.ini"

logged() {
    log_text | grep -c "$1" >/dev/null
}
# Starts the service and waits for its start-up. The seconds from the start of the process to
# "Userinfo Database Validated" go to store_seconds, to "Initialization Finished" to
# startup_seconds.
start_service() {
    rm -f "$base"/nivo.log*
    local begin now
    begin=$(date +%s%N)
    store_seconds=
    startup_seconds=
    NIVO_HOME=$base "$build/nivo" >/dev/null 2>&1 &
    nivo_pid=$!
    for _ in $(seq 1 6000); do
        now=$(date +%s%N)
        if [ -z "$store_seconds" ] && logged "Userinfo Database Validated"; then
            store_seconds=$(echo "scale=3; ($now - $begin) / 1000000000" | bc)
        fi
        if logged "Initialization Finished"; then
            startup_seconds=$(echo "scale=3; ($now - $begin) / 1000000000" | bc)
            return
        fi
        sleep 0.005
    done
    echo "store-scale: the service did not start" >&2
    exit 1
}
stop_service() {
    kill "$nivo_pid"
    wait "$nivo_pid" || true
    nivo_pid=
}

start_service
stop_service
now=$(date +%s)
sqlite3 "$base/nivo.db3" >/dev/null <<EOF
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
INSERT INTO UserInfo (user, domain, wrkst_ip, create_time, expire_time, logon_type, flags)
SELECT 'scale' || i, 'SCALE', '10.' || (i >> 16) || '.' || ((i >> 8) & 255) || '.' || (i & 255),
       $now - 3600, $now + 86400, 2, CASE WHEN i % 1000 = 0 THEN 2 ELSE 1 END FROM n;
PRAGMA wal_checkpoint(TRUNCATE);
EOF
echo "store-scale: $rows rows, database $(kib "$base/nivo.db3") KiB"

start_service
echo "store-scale: start-up to \"Userinfo Database Validated\" $store_seconds s, to" \
    "\"Initialization Finished\" $startup_seconds s"
sleep 2
echo "store-scale: resident memory after the start $(rss_kib) KiB"

# The load: sent as fast as the agents can, then stored at the Collector's own pace; its end is
# when the row count reaches the total or stays the same for ten seconds.
expected=$((rows + load))
count_rows() {
    sqlite3 "$base/nivo.db3" 'SELECT count(*) FROM UserInfo;' 2>/dev/null || echo 0
}
begin=$(date +%s%N)
"$build/nivo-agentsim" -c 4 -n "$load" -r 0 -i 127.1.0.1 -u load -q | tail -n 1
last=-1
still=0
stored=$(count_rows)
while [ "$stored" -lt "$expected" ] && [ "$still" -lt 10 ]; do
    sleep 1
    stored=$(count_rows)
    if [ "$stored" = "$last" ]; then
        still=$((still + 1))
    else
        still=0
    fi
    last=$stored
done
echo "store-scale: $((stored - rows)) of $load logons stored in" \
    "$(echo "scale=1; ($(date +%s%N) - $begin) / 1000000000" | bc) s"
echo "store-scale: after the load: resident memory $(rss_kib) KiB, database" \
    "$(kib "$base/nivo.db3") KiB, write-ahead log $(kib "$base/nivo.db3-wal") KiB"
stop_service
echo "store-scale: rows stored $(sqlite3 "$base/nivo.db3" 'SELECT count(*) FROM UserInfo;')"
