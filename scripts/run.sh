#!/usr/bin/env bash
# Sets everything up, builds, and runs the service in the foreground on the example base
# directory (a working copy of example/ in run/, made on the first start). Stop with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
./scripts/build.sh build
if [ ! -d run ]; then
    cp -r example run
fi
export NIVO_HOME="$PWD/run"
echo "run: NIVO_HOME=$NIVO_HOME; logs in run/nivo.log and run/logging_events.log (UTF-16)"
exec ./build/nivo
