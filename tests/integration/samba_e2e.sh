#!/usr/bin/env bash
# Run by samba-fixture.sh inside the domain controller's network namespace:
#   samba_e2e.sh BASE NIVO
# Starts the service on BASE, waits for its event-log monitor, obtains a Kerberos ticket for
# alice, waits for her row in nivo.db3 and stops the service. Each wait has a time limit.
set -euo pipefail
base=$1
nivo=$2

NIVO_HOME="$base" "$nivo" >"$base/nivo.out" 2>"$base/nivo.err" &
nivo_pid=$!
trap 'kill -TERM "$nivo_pid" 2>/dev/null || true' EXIT

events() { iconv -f UTF-16LE -t UTF-8 "$base/logging_events.log" 2>/dev/null || true; }

for _ in $(seq 1 300); do
    if events | grep -q 'dca_eventlog: EventLog DCA initialized'; then
        break
    fi
    sleep 0.1
done
events | grep -q 'dca_eventlog: EventLog DCA initialized' || {
    echo "samba_e2e: the event-log monitor did not start" >&2
    exit 1
}

echo "$NIVO_SAMBA_PASSWORD" | timeout 30 kinit alice@NIVOTEST.LAN >/dev/null

rows() { sqlite3 "$base/nivo.db3" "SELECT count(*) FROM UserInfo WHERE user='alice';" 2>/dev/null || echo 0; }
for _ in $(seq 1 300); do
    if [ "$(rows)" -gt 0 ]; then
        break
    fi
    sleep 0.1
done

kill -TERM "$nivo_pid"
for _ in $(seq 1 100); do
    kill -0 "$nivo_pid" 2>/dev/null || break
    sleep 0.1
done
trap - EXIT
wait "$nivo_pid" || true
