#!/usr/bin/env bash
# soak.sh: the Collector under a long steady load, in a network namespace of its own (run as root,
# by hand; not part of the test suite).
#
#   bench/soak.sh [BUILD-DIR]
#
# Settings from the environment:
#   SOAK_SECONDS   length of the load (3600)
#   SOAK_RATE      logons per second from the agents (133: a morning storm of 100,000 users)
#   SOAK_SAMPLE    seconds between two samples (60)
#   SOAK_KEEP      1 keeps the base directory afterwards
#
# The real service runs on a copy of example/ with logoff detection in PING mode; nivo-agentsim
# sends logons at the rate from four agent connections, each on a new workstation address of
# 127.0.0.0/8 (all of them answer a ping); nivo-gwsim plays the appliance 127.0.0.2:6060, asking
# GetAllUsers every minute and polling a workstation every five seconds. Every sample prints the
# service's resident memory, open descriptors and threads, the database, its log and the service
# log's size. At the end: logons sent, rows stored, users logged out to the appliance, and the
# rows lost (sent, neither stored nor logged out).
set -euo pipefail
name=soak
keep=${SOAK_KEEP:-0}
pid_vars="gw_pid feeder_pid nivo_pid"
source "$(dirname "$0")/service_bench.sh"
seconds=${SOAK_SECONDS:-3600}
rate=${SOAK_RATE:-133}
sample=${SOAK_SAMPLE:-60}

require_programs nivo nivo-agentsim nivo-gwsim
enter_namespace
make_base
# Only the Collector (no local agent) and logoff detection by ping, every minute.
sed -i -e '/^\[NIV-AGENT\]/,/^\[/ s/^ENABLED=.*/ENABLED=FALSE/' \
    -e '/^\[LOGOFF-DETECTION\]/,/^\[/ s/^ENABLED=.*/ENABLED=TRUE/' \
    -e 's/^DETECTION-MODE=.*/DETECTION-MODE=PING/' \
    -e 's/^DETECTION-INTERVAL=.*/DETECTION-INTERVAL=60/' "$base/nivo.ini"

NIVO_HOME=$base "$build/nivo" >"$base/stdout.txt" 2>"$base/stderr.txt" &
nivo_pid=$!
started=$(date +%s.%N)
for _ in $(seq 1 300); do
    log_text | grep -c "Initialization Finished" >/dev/null && break
    sleep 0.1
done
if ! log_text | grep -c "Initialization Finished" >/dev/null; then
    echo "soak: the service did not start" >&2
    exit 1
fi
printf 'soak: started in %.2f s; %d s at %d logons/s, a sample every %d s\n' \
    "$(echo "$(date +%s.%N) - $started" | bc)" "$seconds" "$rate" "$sample"

# The appliance: active, then GetAllUsers every minute and a poll every five seconds.
records=$((seconds * rate))
# The file exists before the reader starts, whichever of the two the shell runs first.
: >"$base/requests.txt"
(
    echo is-active
    for ((t = 0; t < seconds; t += 5)); do
        if ((t % 60 == 0)); then
            echo get-all-users
        fi
        n=$(((t * rate) % (records > 0 ? records : 1) + 1))
        echo "poll 127.$((1 + n / 65536)).$((n / 256 % 256)).$((n % 256))"
        sleep 5
    done
) >>"$base/requests.txt" &
feeder_pid=$!
# The appliance's output is only counted: logouts by user, datagrams by kind.
tail -n +1 -f "$base/requests.txt" --pid="$feeder_pid" |
    "$build/nivo-gwsim" --seconds $((seconds + 30)) 2>&1 |
    awk '
        $1 == "logon" { logons++ }
        $1 == "logout" { for (i = 2; i <= NF; i++) if ($i ~ /^user=/) out[$i] = 1; logouts++ }
        END {
            n = 0; for (u in out) n++
            printf "%d %d %d\n", logons, logouts, n > "'"$base"'/gw-counts.txt"
        }' &
gw_pid=$!

"$build/nivo-agentsim" -c 4 -n "$records" -r "$rate" -i 127.1.0.1 -u soak -q \
    >"$base/agentsim.txt" 2>&1 &
agent_pid=$!

printf '%7s %9s %5s %7s %9s %9s %9s\n' second "rss KiB" fds threads "db KiB" "wal KiB" "log KiB"
begin=$(date +%s)
end=$((begin + seconds + 10))
while :; do
    rss=$(rss_kib)
    threads=$(awk '/^Threads/ { print $2 }' "/proc/$nivo_pid/status")
    fds=$(find "/proc/$nivo_pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
    logs=0
    for f in "$base"/nivo.log "$base"/nivo.log1 "$base"/logging_events.log "$base"/logging_events.log1; do
        logs=$((logs + $(size_of "$f")))
    done
    printf '%7d %9d %5d %7d %9d %9d %9d\n' $(($(date +%s) - begin)) "$rss" "$fds" "$threads" \
        "$(kib "$base/nivo.db3")" "$(kib "$base/nivo.db3-wal")" \
        $((logs / 1024))
    [ "$(date +%s)" -ge "$end" ] && break
    sleep "$sample"
    kill -0 "$nivo_pid" 2>/dev/null || {
        echo "soak: the service ended" >&2
        exit 1
    }
done

wait "$agent_pid" || true
sent=$(awk '/^nivo-agentsim:/ { print $2 }' "$base/agentsim.txt")
kill "$nivo_pid"
wait "$nivo_pid" || true
nivo_pid=
kill "$feeder_pid" 2>/dev/null || true
wait "$gw_pid" 2>/dev/null || true
gw_pid=
stored=$(sqlite3 "$base/nivo.db3" "SELECT count(*) FROM UserInfo WHERE user LIKE 'soak%';")
read -r gw_logons gw_logouts gw_logged_out <"$base/gw-counts.txt" || true
echo "soak: $(tail -n 1 "$base/agentsim.txt")"
echo "soak: sent ${sent:-0}, stored $stored, logged out ${gw_logged_out:-0} (appliance datagrams:" \
    "${gw_logons:-0} logons, ${gw_logouts:-0} logouts)"
echo "soak: rows lost $((${sent:-0} - stored - ${gw_logged_out:-0}))"
echo "soak: service log $(kib "$base/nivo.log") KiB," \
    "with its rotation $((($(size_of "$base/nivo.log") + $(size_of "$base/nivo.log1")) / 1024)) KiB"
