#!/usr/bin/python3
# nivo-wrkst: asks a Windows workstation who is logged on at it, for the service's workstation
# poll on hosts without the Windows interfaces (over DCE/RPC with python3-impacket).
#
#   nivo-wrkst wmi ADDRESS          UserName of Win32_ComputerSystem (root\cimv2)
#   nivo-wrkst hku ADDRESS          the subkeys of HKEY_USERS, and the SID-shaped ones looked up
#   nivo-wrkst lookup ADDRESS SID   one SID looked up on the workstation
#   nivo-wrkst sessions HOST RESUME one portion of the sessions open on a server (NetrSessionEnum
#                                   with the resume handle RESUME, in decimal)
#   nivo-wrkst probe wmi|hku        loads what that kind of query needs and answers "ready"
#
# Standard input holds the account (DOMAIN\user, user@domain or user) on its first line and the
# password after it, byte for byte; both may be empty. The answer goes to standard output as
# lines of tab-separated fields ending with "end" (see the service's platform layer); error
# details go to standard error. The caller runs this with a hard time limit.
import socket
import sys

SID_NONE_MAPPED = 1332
CONNECT_FAILED = 53
E_FAIL = 0x80004005
CONNECT_TIMEOUT = 8
ERROR_INVALID_LEVEL = 124
ERROR_MORE_DATA = 234
# Portions of about this many bytes from servers that honour it: their sessions fit the
# service's output cap.
SESSIONS_PREFERRED_LENGTH = 65536
# A refused SMB logon (NTSTATUS) as the Win32 error a Windows client reports for it.
LOGON_ERRORS = {
    0xC0000022: 5,  # access denied
    0xC0000064: 1326, 0xC000006A: 1326, 0xC000006D: 1326,  # no such user, wrong password
    0xC000006E: 1327, 0xC000006F: 1328, 0xC0000070: 1329, 0xC0000071: 1330,
    0xC0000072: 1331, 0xC0000193: 1793, 0xC0000224: 1907, 0xC0000234: 1909,
}


def out(*fields):
    for f in fields:
        if any(c in str(f) for c in "\t\r\n"):
            raise ValueError("field with a separator")
    sys.stdout.write("\t".join(str(f) for f in fields) + "\n")


def credentials():
    data = sys.stdin.buffer.read(65536).decode("utf-8", "strict")
    account, _, password = data.partition("\n")
    domain, user = "", account
    if "\\" in account:
        domain, user = account.split("\\", 1)
    elif "@" in account:
        user, domain = account.split("@", 1)
    return domain, user, password


def code_of(exc, default):
    for attr in ("get_error_code", "getErrorCode"):
        f = getattr(exc, attr, None)
        if f is not None:
            try:
                value = int(f())
                if value:
                    return value & 0xFFFFFFFF
            except Exception:
                pass
    return default


def wmi(address):
    from impacket.dcerpc.v5.dcom import wmi as wmimod
    from impacket.dcerpc.v5.dcomrt import DCOMConnection
    from impacket.dcerpc.v5.dtypes import NULL
    from impacket.dcerpc.v5.rpcrt import RPC_C_AUTHN_LEVEL_PKT_PRIVACY

    domain, user, password = credentials()
    try:
        dcom = DCOMConnection(address, user, password, domain, "", "", oxidResolver=True,
                              authLevel=RPC_C_AUTHN_LEVEL_PKT_PRIVACY)
        login = wmimod.IWbemLevel1Login(
            dcom.CoCreateInstanceEx(wmimod.CLSID_WbemLevel1Login, wmimod.IID_IWbemLevel1Login))
        services = login.NTLMLogin("//./root/cimv2", NULL, NULL)
        login.RemRelease()
    except Exception as exc:
        print(exc, file=sys.stderr)
        out("connect", "%x" % code_of(exc, E_FAIL))
        return
    try:
        try:
            enum = services.ExecQuery("SELECT UserName FROM Win32_ComputerSystem",
                                      lFlags=wmimod.WBEM_FLAG_FORWARD_ONLY)
        except Exception as exc:
            out("query", "%x" % code_of(exc, E_FAIL))
            return
        try:
            objects = enum.Next(5000, 1)
        except Exception as exc:
            code = code_of(exc, E_FAIL)
            out("empty") if code == 1 else out("next", "%x" % code)  # WBEM_S_FALSE: no object
            return
        if not objects:
            out("empty")
            return
        try:
            value = objects[0].getProperties()["UserName"]["value"]
        except Exception as exc:
            out("get", "%x" % code_of(exc, E_FAIL))
            return
        if value is None or value == "":
            out("null")
        else:
            out("user", value)
    finally:
        try:
            dcom.disconnect()
        except Exception:
            pass


def rpc(address, pipe, uuid, domain, user, password):
    from impacket.dcerpc.v5 import transport
    from impacket.dcerpc.v5.rpcrt import RPC_C_AUTHN_LEVEL_PKT_PRIVACY

    binding = r"ncacn_np:%s[\pipe\%s]" % (address, pipe)
    t = transport.DCERPCTransportFactory(binding)
    t.set_credentials(user, password, domain, "", "")
    t.set_connect_timeout(CONNECT_TIMEOUT)
    dce = t.get_dce_rpc()
    dce.set_auth_level(RPC_C_AUTHN_LEVEL_PKT_PRIVACY)
    dce.connect()
    dce.bind(uuid)
    return dce


def lookup(address, sids, creds):
    from impacket.dcerpc.v5 import lsad, lsat
    from impacket.dcerpc.v5.dtypes import MAXIMUM_ALLOWED

    domain, user, password = creds
    try:
        dce = rpc(address, "lsarpc", lsat.MSRPC_UUID_LSAT, domain, user, password)
        policy = lsad.hLsarOpenPolicy2(dce, MAXIMUM_ALLOWED | lsat.POLICY_LOOKUP_NAMES)["PolicyHandle"]
    except Exception as exc:
        print(exc, file=sys.stderr)
        for sid in sids:
            out("nosid", sid, code_of(exc, CONNECT_FAILED) if code_of(exc, 0) < 0x10000 else CONNECT_FAILED)
        return
    for sid in sids:
        try:
            resp = lsat.hLsarLookupSids(dce, policy, [sid], lsat.LSAP_LOOKUP_LEVEL.LsapLookupWksta)
            name = resp["TranslatedNames"]["Names"][0]
            index = name["DomainIndex"]
            domains = resp["ReferencedDomains"]["Domains"]
            dom = domains[index]["Name"] if 0 <= index < len(domains) else ""
            out("sid", sid, int(name["Use"]), dom, name["Name"])
        except Exception as exc:
            print(exc, file=sys.stderr)
            out("nosid", sid, SID_NONE_MAPPED)
    try:
        dce.disconnect()
    except Exception:
        pass


def sid_shaped(name):
    text = name.split("_Classes", 1)[0]
    parts = text.split("-")
    return text if len(parts) >= 3 and parts[0] == "S" and all(p.isdigit() for p in parts[1:]) else None


def hku(address):
    from impacket.dcerpc.v5 import rrp

    creds = credentials()
    keys = []
    try:
        dce = rpc(address, "winreg", rrp.MSRPC_UUID_RRP, *creds)
        key = rrp.hOpenUsers(dce)["phKey"]
        index = 0
        while index < 100000:
            try:
                resp = rrp.hBaseRegEnumKey(dce, key, index)
            except rrp.DCERPCSessionError as exc:
                if code_of(exc, 0) == 259:  # no more items
                    break
                raise
            keys.append(resp["lpNameOut"].rstrip("\x00"))
            index += 1
        dce.disconnect()
    except Exception as exc:
        print(exc, file=sys.stderr)
        code = code_of(exc, CONNECT_FAILED)
        out("connect", code if code < 0x10000 else CONNECT_FAILED)
        return
    for k in keys:
        out("key", k)
    sids = sorted({s for s in (sid_shaped(k) for k in keys if "_Classes" in k) if s})
    if sids:
        lookup(address, sids, creds)


def session_texts(level, entry):
    # A null text comes as bytes, a present one as text with its terminator. Servers that write
    # the user as DOMAIN\user give it here as Windows does, the name alone.
    def text(value):
        return value.rstrip("\x00") if isinstance(value, str) else None

    client = text(entry["sesi%d_cname" % level])
    user = text(entry["sesi%d_username" % level])
    return client, user.rsplit("\\", 1)[-1] if user is not None else None


def srvsvc_session_enum(dce, level, resume):
    # One NetrSessionEnum call: (result, [(client, user)], resume handle). The result is the
    # server's; a fault raises.
    from impacket.dcerpc.v5 import srvs
    from impacket.dcerpc.v5.dtypes import NULL

    request = srvs.NetrSessionEnum()
    request["ServerName"] = NULL
    request["ClientName"] = NULL
    request["UserName"] = NULL
    request["InfoStruct"]["Level"] = level
    request["InfoStruct"]["SessionInfo"]["tag"] = level
    request["InfoStruct"]["SessionInfo"]["Level%d" % level]["Buffer"] = NULL
    request["PreferedMaximumLength"] = SESSIONS_PREFERRED_LENGTH
    request["ResumeHandle"] = resume - 2**32 if resume >= 2**31 else resume  # a signed LONG
    resp = dce.request(request, checkError=False)
    result = int(resp["ErrorCode"])
    entries = []
    if result in (0, ERROR_MORE_DATA):
        buffer = resp["InfoStruct"]["SessionInfo"]["Level%d" % level]["Buffer"]
        entries = [session_texts(level, e) for e in (buffer or [])]
    after = resp["ResumeHandle"]
    return result, entries, after & 0xFFFFFFFF if isinstance(after, int) else 0


def session_portion(enum, resume):
    # Level 10 (client, user, times); a server that has only levels 0 and 1 answers 124 to it,
    # and level 1 carries client and user too.
    result, entries, after = enum(10, resume)
    if result == ERROR_INVALID_LEVEL:
        result, entries, after = enum(1, resume)
    return result, entries, after


def carried(text):
    # A text that fits in a field of the answer.
    try:
        text.encode("utf-8", "strict")
    except UnicodeError:
        return False
    return not any(ord(c) < 0x20 or ord(c) == 0x7F for c in text)


def session_failure(exc):
    # The Win32 number of a listing that failed before the server answered it.
    from impacket.nmb import NetBIOSError, NetBIOSTimeout

    if isinstance(exc, (OSError, EOFError, NetBIOSError, NetBIOSTimeout)):
        return CONNECT_FAILED
    code = code_of(exc, 0)
    return LOGON_ERRORS.get(code, code) if code else CONNECT_FAILED


def sessions(address, resume):
    from impacket.dcerpc.v5 import srvs

    try:
        dce = rpc(address, "srvsvc", srvs.MSRPC_UUID_SRVS, *credentials())
        result, entries, after = session_portion(
            lambda level, handle: srvsvc_session_enum(dce, level, handle), resume)
    except Exception as exc:
        print(exc, file=sys.stderr)
        out("error", session_failure(exc))
        return
    try:
        dce.disconnect()
    except Exception:
        pass
    if result not in (0, ERROR_MORE_DATA):
        out("error", result)
        return
    for client, user in entries:
        user = user or ""
        if not carried(user) or (client is not None and not carried(client)):
            out("unreadable")
        elif client is None:
            out("noclient", user)
        else:
            out("session", client, user)
    out("result", result, after)


def probe(kind):
    # Loads what the kind of query needs, so that a broken installation shows at start-up and
    # not as an unreachable workstation at every poll.
    from impacket.dcerpc.v5 import lsad, lsat, transport  # noqa: F401
    if kind == "wmi":
        from impacket.dcerpc.v5.dcom import wmi as wmimod  # noqa: F401
        from impacket.dcerpc.v5.dcomrt import DCOMConnection  # noqa: F401
    else:
        from impacket.dcerpc.v5 import rrp  # noqa: F401
    out("ready")


def main(argv):
    socket.setdefaulttimeout(CONNECT_TIMEOUT)
    if len(argv) == 3 and argv[1] == "probe" and argv[2] in ("wmi", "hku"):
        probe(argv[2])
    elif len(argv) == 3 and argv[1] == "wmi":
        wmi(argv[2])
    elif len(argv) == 3 and argv[1] == "hku":
        hku(argv[2])
    elif len(argv) == 4 and argv[1] == "lookup":
        lookup(argv[2], [argv[3]], credentials())
    elif len(argv) == 4 and argv[1] == "sessions" and argv[3].isdigit() and int(argv[3]) < 2**32:
        sessions(argv[2], int(argv[3]))
    else:
        print("usage: nivo-wrkst wmi|hku ADDRESS, nivo-wrkst lookup ADDRESS SID, "
              "nivo-wrkst sessions HOST RESUME or nivo-wrkst probe wmi|hku", file=sys.stderr)
        return 2
    out("end")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
