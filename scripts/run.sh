#!/usr/bin/env bash
# Sets everything up, builds, and runs the service in the foreground on the example base
# directory (a working copy of example/ in run/, made on the first start). Stop with Ctrl-C.
#
# The example runs both roles: the DC Agent reads run/auth_json.log (a domain controller's audit
# log) and the Collector tells the appliance of gw-list.ini at 127.0.0.2:6060. To show the whole
# road of a logon, this script also starts the appliance simulator there (its lines start with
# "gwsim:"), makes the Collector active for it, asks for the stored logons, and, once the service
# runs, appends one Kerberos logon of alice at 127.0.0.20 to the audit log: the simulator prints
# the logon it receives (on a later start, alice is still stored: the simulator gets her from the
# store, and the repeated logon is a duplicate that is not sent again).
# Set NIVO_DEMO=0 to run the service alone.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh build
if [ ! -d run ]; then
    cp -r example run
fi
export NIVO_HOME="$PWD/run"
echo "run: NIVO_HOME=$NIVO_HOME; logs in run/nivo.log and run/logging_events.log (UTF-16)"

helpers=()
stop_helpers() {
    for pid in "${helpers[@]}"; do
        pkill -P "$pid" 2>/dev/null || true
        kill "$pid" 2>/dev/null || true
    done
}
trap stop_helpers EXIT

if [ "${NIVO_DEMO:-1}" != 0 ] && [ -x build/nivo-gwsim ] && [ -x build/nivo-authlog ]; then
    (
        # Wait (at most 60 s) until the service has started, then play the appliance and a logon.
        for _ in $(seq 1 120); do
            if [ -f run/nivo.log ] && iconv -f UTF-16LE -t UTF-8 run/nivo.log 2>/dev/null |
                grep -q "Initialization Finished"; then
                break
            fi
            sleep 0.5
        done
        ./build/nivo-gwsim --listen 127.0.0.2:6060 --seconds 86400 is-active sleep 200 \
            get-all-users < /dev/null |
            sed -u 's/^/gwsim: /' &
        sleep 2
        ./build/nivo-authlog -f run/auth_json.log kerberos alice EXAMPLE 127.0.0.20
        echo "run: appended a logon of alice at 127.0.0.20 to run/auth_json.log"
        wait
    ) &
    helpers+=($!)
fi

./build/nivo
