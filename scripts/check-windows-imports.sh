#!/usr/bin/env bash
# Checks that a Windows program imports only DLLs that every Windows system has:
# scripts/check-windows-imports.sh PROGRAM.exe
set -euo pipefail
program=$1
allowed='^(kernel32|advapi32|ws2_32|iphlpapi|ole32|oleaut32|wldap32|netapi32|mpr|user32|shell32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+|bcrypt|crypt32|secur32|rpcrt4)\.dll$'
mapfile -t dlls < <(x86_64-w64-mingw32-objdump -p "$program" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
if [ ${#dlls[@]} -eq 0 ]; then
    echo "check-windows-imports: no imports read from $program" >&2
    exit 1
fi
status=0
for dll in "${dlls[@]}"; do
    if ! [[ "$dll" =~ $allowed ]]; then
        echo "check-windows-imports: $program imports $dll, which is not a system DLL" >&2
        status=1
    fi
done
echo "check-windows-imports: $(basename "$program") imports ${dlls[*]}"
exit $status
