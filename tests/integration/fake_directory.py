#!/usr/bin/python3
"""A scripted LDAPv3 directory server on loopback for tests (standard library only):
    fake_directory.py --script FILE [--port N] [--record FILE] [--seconds N]
Answers simple binds (49 unless the script's bind_dn and password), subtree searches over the
script's entries (filters of &, = and =*) and event subscriptions: the n-th plays the n-th of
"subscriptions" as intermediate responses, then ends as it says. Prints "listening
127.0.0.1:PORT" when ready, records what it receives as JSON lines, ends after --seconds.
Script: {"bind_dn", "password", "entries": [{"dn", attribute: value or [values]...}],
  "subscriptions": [{"events": [{"type", "perpetrator", "entry", "after": seconds, "when_file":
  path, "primitive": true} or {"raw": hex}], "end": {"code", "message", "refused": [types]}
  or "drop"}]}.
A value "T#a.b.c.d[:port]" is stored as T, "#", two port bytes for the types 8 and 9, and the
address bytes. An event waits "after" seconds and for "when_file"; "primitive" sends its data
under a primitive tag. Records: bind (dn, ok), search (base, scope, filter with bytes outside
printable ASCII as \\xx), monitor (requests), played (count, seconds from first to last), end,
unbind.
"""
import argparse, json, os, socket, socketserver, sys, threading, time

MONITOR, END, EVENT = ("2.16.840.1.113719.1.27.100." + n for n in ("79", "80", "81"))


def tlv(tag, body):
    n = len(body)
    size = bytes([n]) if n < 0x80 else bytes([0x80 | len(n.to_bytes(4, "big").lstrip(b"\0"))]) \
        + n.to_bytes(4, "big").lstrip(b"\0")
    return bytes([tag]) + size + body


def integer(value, tag=0x02):
    return tlv(tag, value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big", signed=True))


def octets(text, tag=0x04):
    return tlv(tag, text if isinstance(text, bytes) else text.encode())


def seq(*parts, tag=0x30):
    return tlv(tag, b"".join(parts))


def read_tlv(data, at):
    """(tag, contents, next offset); ValueError when data is cut short."""
    if at + 2 > len(data):
        raise ValueError("short")
    tag, n, at = data[at], data[at + 1], at + 2
    if n & 0x80:
        count = n & 0x7F
        if count == 0 or count > 4 or at + count > len(data):
            raise ValueError("length")
        n, at = int.from_bytes(data[at:at + count], "big"), at + count
    if at + n > len(data):
        raise ValueError("short")
    return tag, data[at:at + n], at + n


def items(data):
    at, out = 0, []
    while at < len(data):
        tag, body, at = read_tlv(data, at)
        out.append((tag, body))
    return out


def value_bytes(text):
    kind, _, rest = text.partition("#")
    address, _, port = rest.partition(":")
    parts = address.split(".")
    if kind.isdigit() and len(parts) == 4 and all(p.isdigit() for p in parts):
        head = int(port or 0).to_bytes(2, "big") if kind in ("8", "9") else b""
        return kind.encode() + b"#" + head + bytes(int(p) for p in parts)
    return text.encode()


def filter_text(tag, body):
    """The filter in string form, as the client wrote it."""
    def esc(b):
        return "".join(chr(c) if 0x20 < c < 0x7F and chr(c) not in "*()\\" else "\\%02x" % c
                       for c in b)
    if tag == 0xA0:
        return "(&%s)" % "".join(filter_text(*f) for f in items(body))
    if tag == 0x87:
        return "(%s=*)" % body.decode()
    if tag == 0xA3:
        (_, name), (_, value) = items(body)
        return "(%s=%s)" % (name.decode(), esc(value))
    return "(?%02x)" % tag


def matches(tag, body, attrs):
    if tag == 0xA0:
        return all(matches(t, b, attrs) for t, b in items(body))
    if tag == 0x87:
        return body.decode().lower() in attrs or body.decode().lower() == "objectclass"
    if tag == 0xA3:
        (_, name), (_, value) = items(body)
        return any(v.lower() == value.lower() for v in attrs.get(name.decode().lower(), []))
    return False


def event_value(event):
    if "raw" in event:
        return bytes.fromhex(event["raw"])
    perpetrator = event.get("perpetrator", "")
    data = octets(perpetrator) + octets(event.get("entry", perpetrator)) + octets("User") \
        + seq(integer(0), integer(1), integer(0)) + integer(0) + integer(0) + octets(event.get("new", ""))
    return seq(integer(event["type"]), integer(event.get("result", 0)),
               tlv(0x81 if event.get("primitive") else 0xA1, data))


class Handler(socketserver.BaseRequestHandler):
    def send(self, message_id, op):
        with self.lock:
            self.request.sendall(seq(integer(message_id), op))

    def handle(self):
        self.lock, data, srv = threading.Lock(), b"", self.server
        # Each message goes out at once: a search's entries and its end are separate writes.
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while True:
            try:
                tag, body, at = read_tlv(data, 0)
            except ValueError:
                chunk = self.request.recv(65536)
                if not chunk:
                    return
                data += chunk
                continue
            data = data[at:]
            (_, mid), (op, req) = items(body)[:2]
            mid = int.from_bytes(mid, "big")
            if op == 0x60:
                (_, _), (_, dn), (_, password) = items(req)[:3]
                ok = dn.decode() == srv.script.get("bind_dn") and password.decode() == srv.script.get("password")
                srv.record(op="bind", dn=dn.decode(), ok=ok)
                self.send(mid, seq(integer(0 if ok else 49, 0x0A), octets(""), octets(""), tag=0x61))
            elif op == 0x63:
                parts = items(req)
                base, scope = parts[0][1].decode(), int.from_bytes(parts[1][1], "big")
                wanted = [b.decode().lower() for _, b in items(parts[7][1])]
                srv.record(op="search", base=base, scope=scope, filter=filter_text(*parts[6]))
                for dn, attrs in srv.entries:
                    lower = dn.lower()
                    inside = not base or lower == base.lower() or lower.endswith("," + base.lower())
                    if inside and matches(*parts[6], {k.lower(): vs for k, vs in attrs}):
                        shown = [(k, vs) for k, vs in attrs if not wanted or "*" in wanted or k.lower() in wanted]
                        self.send(mid, seq(octets(dn), seq(*(seq(octets(k), seq(*map(octets, vs), tag=0x31))
                                                             for k, vs in shown)), tag=0x64))
                self.send(mid, seq(integer(0, 0x0A), octets(""), octets(""), tag=0x65))
            elif op == 0x77:
                parts = dict(items(req))
                name = parts.get(0x80, b"").decode()
                if name == MONITOR:
                    _, specs = items(items(parts.get(0x81, b""))[0][1])
                    requests = [[int.from_bytes(b, "big") for _, b in items(s)] for _, s in items(specs[1])]
                    srv.record(op="monitor", requests=requests)
                    with srv.lock:
                        plan = (srv.script.get("subscriptions", []) + [{}] * (srv.subscriptions + 1))[srv.subscriptions]
                        srv.subscriptions += 1
                    threading.Thread(target=self.play, args=(mid, plan), daemon=True).start()
                else:
                    self.send(mid, seq(integer(2, 0x0A), octets(""), octets("unknown operation"), tag=0x78))
            elif op == 0x42:
                srv.record(op="unbind")
                return

    def play(self, mid, plan):
        count, started = 0, None
        for event in plan.get("events", []):
            time.sleep(event.get("after", 0))
            while event.get("when_file") and not os.path.exists(event["when_file"]):
                time.sleep(0.05)
            value, started = event_value(event), started or time.monotonic()
            self.send(mid, seq(octets(EVENT, 0x80), octets(value, 0x81), tag=0x79))
            count += 1
        if count:
            self.server.record(op="played", count=count, seconds=time.monotonic() - started)
        end = plan.get("end")
        if end == "drop":
            self.server.record(op="end", drop=True)
            self.request.shutdown(socket.SHUT_RDWR)
        elif end:
            refused = end.get("refused")
            value = [] if refused is None else [octets(seq(integer(len(refused)), seq(
                *(seq(integer(t), integer(1, 0x0A)) for t in refused), tag=0x31)), 0x8B)]
            self.server.record(op="end", code=end["code"])
            self.send(mid, seq(integer(end["code"], 0x0A), octets(""), octets(end.get("message", "")),
                               octets(END, 0x8A), *value, tag=0x78))


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = allow_reuse_address = True

    def record(self, **fields):
        with self.lock:
            if self.record_path:
                with open(self.record_path, "a") as out:
                    out.write(json.dumps(fields) + "\n")

    def handle_error(self, request, client_address):
        self.record(op="error", text=repr(sys.exc_info()[1]))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--record", default="")
    parser.add_argument("--seconds", type=float, default=60)
    args = parser.parse_args()
    server = Server(("127.0.0.1", args.port), Handler)
    with open(args.script) as f:
        server.script = json.load(f)
    server.entries = [(e["dn"], [(k, [value_bytes(x) for x in (v if isinstance(v, list) else [v])])
                                 for k, v in e.items() if k != "dn"]) for e in server.script.get("entries", [])]
    server.lock, server.subscriptions, server.record_path = threading.Lock(), 0, args.record
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("listening 127.0.0.1:%d" % server.server_address[1], flush=True)
    time.sleep(args.seconds)
    os._exit(0)


if __name__ == "__main__":
    main()
