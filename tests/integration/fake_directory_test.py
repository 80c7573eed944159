#!/usr/bin/python3
"""Checks fake_directory.py against the OpenLDAP command-line tools (bind, who-am-I, searches)
and a small client of its own (the event subscription, a refusal, a dropped connection)."""
import json, os, socket, subprocess, sys, tempfile, unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from fake_directory import integer, items, octets, read_tlv, seq  # noqa: E402

SCRIPT = {
    "bind_dn": "cn=admin,o=corp", "password": "secret",
    "entries": [
        {"dn": "cn=alice,ou=sales,o=corp", "uid": "alice", "messageServer": "WS01",
         "networkAddress": ["9#127.0.0.5:443", "1#10.1.2.30"]},
        {"dn": "cn=bob,ou=sales,o=corp", "uid": "bob", "networkAddress": "9#10.1.2.30"},
        {"dn": "cn=carol,o=other", "uid": "carol"}],
    "subscriptions": [
        {"events": [{"type": 100, "perpetrator": "cn=alice,ou=sales,o=corp"}, {"raw": "0401ff"}],
         "end": {"code": 2, "message": "bad", "refused": [102]}},
        {"events": [{"type": 102, "perpetrator": "cn=bob,ou=sales,o=corp", "repeat": 3}],
         "end": "drop"}]}
REQUEST = bytes.fromhex("301502010231103006020164" "0a01013006020166" "0a0101")


class FakeDirectory(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        script, cls.record = os.path.join(cls.dir.name, "s.json"), os.path.join(cls.dir.name, "r")
        with open(script, "w") as f:
            json.dump(SCRIPT, f)
        cls.server = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "fake_directory.py"), "--script", script,
             "--record", cls.record, "--seconds", "30"], stdout=subprocess.PIPE, text=True)
        cls.url = "ldap://" + cls.server.stdout.readline().split()[1]

    @classmethod
    def tearDownClass(cls):
        cls.server.kill()
        cls.server.wait()
        cls.dir.cleanup()

    def tool(self, *args):
        return subprocess.run([args[0], "-x", "-H", self.url, *args[1:]], capture_output=True,
                              text=True, timeout=10)

    def search(self, base, filter, *more):
        out = self.tool("ldapsearch", "-LLL", "-D", "cn=admin,o=corp", "-w", "secret", "-b", base,
                        filter, *more)
        self.assertEqual(out.returncode, 0, out.stderr)
        return [line[4:] for line in out.stdout.splitlines() if line.startswith("dn: ")]

    def test_bind_and_searches(self):
        self.assertEqual(self.tool("ldapwhoami", "-D", "cn=admin,o=corp", "-w", "secret").stdout,
                         "dn:cn=admin,o=corp\n")
        self.assertEqual(self.tool("ldapwhoami", "-D", "cn=admin,o=corp", "-w", "no").returncode, 49)
        self.assertEqual(self.search("o=corp", "(&(uid=ALICE)(networkAddress=*))"),
                         ["cn=alice,ou=sales,o=corp"])
        self.assertEqual(self.search("o=corp", "(&(uid=carol)(networkAddress=*))"), [])
        self.assertEqual(self.search("", "(networkAddress=9#\\00\\00\\0a\\01\\02\\1e)"),
                         ["cn=bob,ou=sales,o=corp"])
        self.assertEqual(self.search("", "(networkAddress=1#\\0a\\01\\02\\1e)"),
                         ["cn=alice,ou=sales,o=corp"])
        self.assertEqual(self.search("cn=bob,ou=sales,o=corp", "(|(uid=x)(!(uid=x)))", "-s",
                                     "base"), ["cn=bob,ou=sales,o=corp"])
        out = self.tool("ldapsearch", "-LLL", "-D", "cn=admin,o=corp", "-w", "secret", "-b",
                        "o=corp", "(uid=alice)", "networkAddress").stdout
        self.assertIn("networkAddress:: OSMBu38AAAU=\nnetworkAddress:: MSMKAQIe\n", out)  # 9#,443
        self.assertNotIn("messageServer", out)
        with open(self.record) as f:
            self.assertIn('"base": "", "scope": 2, "filter": "(networkAddress=9#\\\\00\\\\00'
                          '\\\\0a\\\\01\\\\02\\\\1e)"}', f.read())

    def subscribe(self):
        """The messages (tag, value) of one subscription, until its end or the connection's."""
        with socket.create_connection(self.url[7:].split(":")) as s:
            s.sendall(seq(integer(1), seq(integer(3), octets("cn=admin,o=corp"),
                                          octets("secret", 0x80), tag=0x60)))
            s.sendall(seq(integer(2), seq(octets("2.16.840.1.113719.1.27.100.79", 0x80),
                                          octets(REQUEST, 0x81), tag=0x77)))
            data, got = b"", []
            while not got or got[-1][0] != 0x78:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
                while True:
                    try:
                        _, body, at = read_tlv(data, 0)
                    except ValueError:
                        break
                    data, (mid, (tag, op)) = data[at:], items(body)
                    got.append((tag, op if mid[1] == b"\1" else dict(items(op)), mid[1]))
            return got[1:]

    def test_subscriptions_events_refusal_and_drop(self):
        first = self.subscribe()
        self.assertEqual([(t, mid) for t, _, mid in first], [(0x79, b"\2")] * 2 + [(0x78, b"\2")])
        event = first[0][1]
        self.assertEqual(event[0x80], b"2.16.840.1.113719.1.27.100.81")
        (_, kind), (_, result), (tag, data) = items(items(event[0x81])[0][1])
        self.assertEqual((kind, result, tag), (b"\x64", b"\0", 0xA1))
        self.assertEqual(items(data)[0], (4, b"cn=alice,ou=sales,o=corp"))
        self.assertEqual(first[1][1][0x81], b"\x04\x01\xff")
        end = first[2][1]
        self.assertEqual(end[0x8A], b"2.16.840.1.113719.1.27.100.80")
        self.assertEqual(end[0x8B].hex(), "300d020101310830060201660a0101")
        second = self.subscribe()
        self.assertEqual([t for t, _, _ in second], [0x79] * 3)
        with open(self.record) as f:
            lines = [json.loads(line) for line in f]
        self.assertEqual([x["requests"] for x in lines if x["op"] == "monitor"],
                         [[[100, 1], [102, 1]]] * 2)
        self.assertIn({"op": "end", "drop": True}, lines)
        self.assertEqual([x["count"] for x in lines if x["op"] == "played"], [2, 3])


if __name__ == "__main__":
    unittest.main()
