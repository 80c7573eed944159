#!/usr/bin/python3
# Creates or deletes the profile-hive keys of a SID under HKEY_USERS of the loopback Samba
# domain controller, as a logon at a workstation would load them:
#   samba_hku_keys.py create|delete SID
# (the domain's Administrator, with the fixture's password in NIVO_SAMBA_ADMINPASS).
import os
import sys
import time

from impacket.dcerpc.v5 import rrp, transport


def main(action, sid):
    # A busy machine may bring the DC's registry service up late: a few tries, then give up.
    for attempt in range(6):
        try:
            return change(action, sid)
        except Exception as exc:
            if attempt == 5:
                raise
            print("samba_hku_keys: retrying after", exc, file=sys.stderr)
            time.sleep(2)


def change(action, sid):
    t = transport.DCERPCTransportFactory(r"ncacn_np:127.0.0.1[\pipe\winreg]")
    t.set_credentials("Administrator", os.environ.get("NIVO_SAMBA_ADMINPASS", "Adm1n!pass"), "NIVOTEST")
    t.set_connect_timeout(30)
    dce = t.get_dce_rpc()
    dce.connect()
    dce.bind(rrp.MSRPC_UUID_RRP)
    users = rrp.hOpenUsers(dce)["phKey"]
    for name in (sid + "_Classes", sid):
        if action == "create":
            rrp.hBaseRegCreateKey(dce, users, name + "\x00")
        else:
            try:
                rrp.hBaseRegDeleteKey(dce, users, name + "\x00")
            except rrp.DCERPCSessionError as exc:
                if exc.get_error_code() != 2:  # already gone
                    raise
    dce.disconnect()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
