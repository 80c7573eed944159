#!/usr/bin/env bash
# A Samba AD domain controller on loopback, for tests:
#
#   scripts/samba-fixture.sh DIR COMMAND [ARGS...]
#
# Installs the Debian packages when they are missing (as root), provisions the domain
# NIVOTEST.LAN (NetBIOS NIVOTEST) in DIR with the user alice (password in NIVO_SAMBA_PASSWORD)
# and its JSON authentication audit log at DIR/auth_json.log, then, in a network namespace of
# its own (only a loopback interface: nothing leaves the machine and no port is shared), starts
# samba, waits for its KDC and runs COMMAND with KRB5_CONFIG, NIVO_SAMBA_DIR and
# NIVO_SAMBA_PASSWORD set. Samba is stopped afterwards; the exit status is COMMAND's.
set -euo pipefail

password='Al1ce!pass'
packages=(samba samba-ad-dc samba-ad-provision winbind krb5-user smbclient iproute2 util-linux)

inside() {
    local dir=$1
    shift
    ip link set lo up
    # Bounded: should this script be killed before its clean-up, samba still ends by itself.
    timeout -s TERM "${NIVO_SAMBA_LIFETIME:-600}" \
        samba --foreground --no-process-group -s "$dir/etc/smb.conf" >"$dir/samba.out" 2>&1 &
    samba_pid=$!
    trap 'kill "$samba_pid" 2>/dev/null || true; wait "$samba_pid" 2>/dev/null || true' EXIT
    local ready=0
    for _ in $(seq 1 300); do
        if (exec 3<>/dev/tcp/127.0.0.1/88) 2>/dev/null; then
            ready=1
            break
        fi
        if ! kill -0 "$samba_pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    if [ "$ready" != 1 ]; then
        echo "samba-fixture: samba did not start (see $dir/samba.out)" >&2
        cat "$dir/samba.out" >&2 || true
        return 1
    fi
    sleep 1 # the other services of the DC come up just after the KDC
    KRB5_CONFIG="$dir/krb5.conf" NIVO_SAMBA_DIR="$dir" NIVO_SAMBA_PASSWORD="$password" "$@"
}

. "$(dirname "$0")/fixture-common.sh"
fixture_begin samba-fixture "$@"

if [ ! -f "$dir/etc/smb.conf" ]; then
    mkdir -p "$dir"
    samba-tool domain provision --realm=NIVOTEST.LAN --domain=NIVOTEST --server-role=dc \
        --dns-backend=NONE --host-ip=127.0.0.1 --targetdir="$dir" --adminpass='Adm1n!pass' \
        --option="interfaces=lo" --option="bind interfaces only=yes" \
        --option="log file = $dir/log.%m" --option="pid directory = $dir" \
        --option="log level = 1 auth_json_audit:3@$dir/auth_json.log" >"$dir/provision.out" 2>&1 || {
        cat "$dir/provision.out" >&2
        exit 1
    }
    samba-tool user create alice "$password" -s "$dir/etc/smb.conf" >/dev/null
    cat >"$dir/krb5.conf" <<KRB5
[libdefaults]
	default_realm = NIVOTEST.LAN
	dns_lookup_realm = false
	dns_lookup_kdc = false
[realms]
NIVOTEST.LAN = {
	kdc = 127.0.0.1
}
KRB5
fi

exec unshare -n -- "$0" --inside "$dir" "${args[@]}"
