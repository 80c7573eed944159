#!/usr/bin/env bash
# The layering of src/: portable code includes no operating-system header (only src/platform/
# may), and every include between folders points downward, as the table below allows.
set -euo pipefail
cd "$(dirname "$0")/.."
failed=0

pattern='#\s*include\s*<(windows|winsock2|ws2tcpip|unistd|fcntl|dirent|dlfcn|poll|pthread|signal|spawn|syslog|netdb|ifaddrs|systemd/[^>]*|sys/[^>]*|arpa/[^>]*|netinet/[^>]*|net/[^>]*|linux/[^>]*)\.h>'
if grep -rnE "$pattern" src --include='*.h' --include='*.cpp' | grep -v '^src/platform/'; then
    echo "check-layout: operating-system headers outside src/platform (above)" >&2
    failed=1
fi

# What each folder may include besides itself, lowest first. dca/filter (the agent's filter
# lists) is a folder of its own: the configuration fills it and the link, the logoff checks and
# the agent read it. dca/edir (the directory access) serves the agent's eDirectory monitor and the
# Collector's directory poll: it sits above the store and below the logoff checks.
declare -A allowed=(
    [base]=""
    [platform]="base"
    [common]="base platform"
    [dca/filter]="base platform common"
    [config]="base platform common dca/filter"
    [userdb]="base platform common dca/filter config"
    [dca/edir]="base platform common dca/filter config userdb"
    [logoff]="base platform common dca/filter config userdb dca/edir"
    [dcalink]="base platform common dca/filter config userdb dca/edir logoff"
    [dca]="base platform common dca/filter config userdb dca/edir logoff dcalink"
    [sso]="base platform common dca/filter config userdb dca/edir logoff"
    [service]="base platform common dca/filter config userdb dca/edir logoff dcalink dca sso"
)
# The one arrow upward: the store's duplicate check logs out the user it replaces.
exception="src/userdb/userdb.cpp logoff/wrkstpoll_handlers.h"

folder_of() { # a path below src/ -> its folder in the table
    case "$1" in
    dca/filter/*) echo dca/filter ;;
    dca/edir/*) echo dca/edir ;;
    */*) echo "${1%%/*}" ;;
    *) echo "" ;;
    esac
}

while IFS= read -r file; do
    from=$(folder_of "${file#src/}")
    if [ -z "${allowed[$from]+set}" ]; then
        echo "check-layout: $file lies in a folder the table does not know ($from)" >&2
        failed=1
        continue
    fi
    while IFS= read -r target; do
        to=$(folder_of "$target")
        [ -n "$to" ] && [ "$to" != "$from" ] || continue
        [ "$file $target" != "$exception" ] || continue
        case " ${allowed[$from]} " in
        *" $to "*) ;;
        *)
            echo "check-layout: $file includes $target ($from -> $to points upward)" >&2
            failed=1
            ;;
        esac
    done < <(sed -nE 's/^\s*#\s*include\s*"([^"]+)".*/\1/p' "$file")
done < <(find src -name '*.h' -o -name '*.cpp' | sort)

[ $failed = 0 ] || exit 1
echo "check-layout: ok"
