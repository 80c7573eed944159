#!/usr/bin/env bash
# Portable code includes no operating-system header: only src/platform/ may.
set -euo pipefail
cd "$(dirname "$0")/.."
pattern='#\s*include\s*<(windows|winsock2|ws2tcpip|unistd|fcntl|dirent|dlfcn|poll|pthread|signal|spawn|syslog|netdb|ifaddrs|systemd/[^>]*|sys/[^>]*|arpa/[^>]*|netinet/[^>]*|net/[^>]*|linux/[^>]*)\.h>'
if grep -rnE "$pattern" src --include='*.h' --include='*.cpp' | grep -v '^src/platform/'; then
    echo "check-layout: operating-system headers outside src/platform (above)" >&2
    exit 1
fi
echo "check-layout: ok"
