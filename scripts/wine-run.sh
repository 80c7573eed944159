#!/usr/bin/env bash
# Runs a Windows program under wine inside a terminal of its own (script(1) makes one), so that
# console control events reach it as they do in a console window, with its output in plain text:
# the emulator of the Windows test programs. The exit status is the program's.
set -euo pipefail
output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
script -qefc "$(printf '%q ' /usr/lib/wine/wine64 "$@") >$(printf '%q' "$output") 2>&1" \
    /dev/null >/dev/null || status=$?
cat "$output"
exit $status
