#!/usr/bin/env bash
# A directory server (OpenLDAP slapd) on loopback, for tests:
#
#   scripts/slapd-fixture.sh DIR COMMAND [ARGS...]
#
# Installs the Debian packages when they are missing (as root), writes in DIR a configuration
# with a small schema of our own (networkAddress as an octet string, loginTime, messageServer,
# and the object class nivoUser that carries them with slapd's built-in uid) below the suffix o=corp, loads
# the LDIF file named by NIVO_SLAPD_LDIF when set (values may be given as "attr:< file:///path"),
# then, in a network namespace of its own (only a loopback interface: nothing leaves the machine
# and no port is shared), starts slapd on 127.0.0.1:389 and runs COMMAND with NIVO_SLAPD_HOST,
# NIVO_SLAPD_PORT, NIVO_SLAPD_ADMIN_DN, NIVO_SLAPD_PASSWORD, NIVO_SLAPD_PID and NIVO_SLAPD_DIR
# set. slapd is stopped afterwards (and ends by itself after NIVO_SLAPD_LIFETIME seconds, 600 by
# default); the exit status is COMMAND's.
set -euo pipefail

password='Adm1n!pass'
admin='cn=admin,o=corp'
port=389
packages=(slapd ldap-utils iproute2 util-linux)

inside() {
    local dir=$1
    shift
    ip link set lo up
    # Bounded: should this script be killed before its clean-up, slapd still ends by itself.
    # -d keeps it in the foreground; its log goes to DIR/slapd.out.
    timeout -s TERM "${NIVO_SLAPD_LIFETIME:-600}" \
        slapd -f "$dir/slapd.conf" -h "ldap://127.0.0.1:$port/" -d stats >"$dir/slapd.out" 2>&1 &
    slapd_pid=$!
    trap 'kill -CONT "$slapd_pid" 2>/dev/null || true; kill "$slapd_pid" 2>/dev/null || true
          wait "$slapd_pid" 2>/dev/null || true' EXIT
    local ready=0
    for _ in $(seq 1 100); do
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            ready=1
            break
        fi
        if ! kill -0 "$slapd_pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    if [ "$ready" != 1 ]; then
        echo "slapd-fixture: slapd did not start (see $dir/slapd.out)" >&2
        cat "$dir/slapd.out" >&2 || true
        return 1
    fi
    # The timeout wrapper's child is slapd itself.
    local server
    server=$(pgrep -P "$slapd_pid" -x slapd || echo "$slapd_pid")
    NIVO_SLAPD_HOST=127.0.0.1 NIVO_SLAPD_PORT=$port NIVO_SLAPD_ADMIN_DN=$admin \
        NIVO_SLAPD_PASSWORD=$password NIVO_SLAPD_PID=$server NIVO_SLAPD_DIR=$dir "$@"
}

. "$(dirname "$0")/fixture-common.sh"
fixture_begin slapd-fixture "$@"

mkdir -p "$dir/data"
cat >"$dir/nivo.schema" <<'SCHEMA'
attributetype ( 1.3.6.1.4.1.61906.1.1.2 NAME 'networkAddress'
	EQUALITY octetStringMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.40{64} )
attributetype ( 1.3.6.1.4.1.61906.1.1.3 NAME 'loginTime'
	EQUALITY integerMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.27 SINGLE-VALUE )
attributetype ( 1.3.6.1.4.1.61906.1.1.4 NAME 'messageServer'
	EQUALITY caseIgnoreMatch
	SYNTAX 1.3.6.1.4.1.1466.115.121.1.15{256} )
objectclass ( 1.3.6.1.4.1.61906.1.2.1 NAME 'nivoUser' SUP top STRUCTURAL
	MUST cn MAY ( uid $ networkAddress $ loginTime $ messageServer ) )
SCHEMA
cat >"$dir/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include $dir/nivo.schema
pidfile $dir/slapd.pid
argsfile $dir/slapd.args
modulepath /usr/lib/ldap
moduleload back_mdb
database mdb
maxsize 16777216
suffix "o=corp"
rootdn "$admin"
rootpw $password
directory $dir/data
index objectClass,uid,networkAddress eq
access to * by * read
CONF
{
    printf 'dn: o=corp\nobjectClass: organization\no: corp\n'
    if [ -n "${NIVO_SLAPD_LDIF:-}" ]; then
        printf '\n'
        cat "$NIVO_SLAPD_LDIF"
    fi
} >"$dir/data.ldif"
slapadd -q -f "$dir/slapd.conf" -l "$dir/data.ldif" >"$dir/slapadd.out" 2>&1 || {
    cat "$dir/slapadd.out" >&2
    exit 1
}

exec unshare -n -- "$0" --inside "$dir" "${args[@]}"
