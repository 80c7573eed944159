// audit_line: one line of a Samba domain controller's JSON authentication audit log turned into
// the event the log reader presents.
//
//   {"timestamp": "2026-12-06T07:05:01.123456+0000", "type": "Authentication",
//    "Authentication": {"serviceDescription": "Kerberos KDC", "status": "NT_STATUS_OK",
//      "remoteAddress": "ipv4:10.1.2.3:51234", "clientAccount": "alice@EXAMPLE.LAN",
//      "mappedAccount": "alice", "mappedDomain": "EXAMPLE", "workstation": null, ...}}
//
// A Kerberos ticket request ("serviceDescription" "Kerberos KDC") becomes event 4768 with the
// strings 0 user, 1 domain, 2 account SID, 9 client address ("::ffff:a.b.c.d" for IPv4, as a
// Windows controller writes it), 10 client port. An NTLM logon (an NTLM password type, or a
// "SamLogon" passed through by a member server) becomes event 4776 with 0 the package name,
// 1 user, 2 workstation, 3 status. "status" "NT_STATUS_OK" gives AuditSuccess, any other status
// AuditFail. Every other object (authorizations, other password types, other record types) is
// an Information event without strings, which a reader ignores. Samba may put a text before the
// object ("  JSON Authentication: "); it is skipped.
//
// Refused, with a reason: a line longer than AUDIT_LINE_MAX, invalid UTF-8, text that is not one
// whole JSON object, a missing or unreadable timestamp, a NUL inside a text, a text longer than
// AUDIT_FIELD_MAX, and a successful logon whose user, address or workstation is missing or null.
// These bounds keep every record well inside a reader's 4096-byte buffer.
//
// Stateless and thread-safe; throws nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace posix {

constexpr std::size_t AUDIT_LINE_MAX = 16384;
constexpr std::size_t AUDIT_FIELD_MAX = 256;
constexpr std::size_t AUDIT_MAX_STRINGS = 11;

struct audit_event {
    std::uint32_t event_id = 0;
    std::uint16_t event_type = 0;
    std::uint32_t time_generated = 0;
    std::uint16_t num_strings = 0;
    std::array<std::string, AUDIT_MAX_STRINGS> strings; // UTF-8
};

// Parses one line without its line break. 0 with *event filled, or -1 with *reason set to a
// static text that says why the line was refused.
int audit_line_parse(const char *line, std::size_t length, audit_event *event, const char **reason);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF).
bool audit_utf8_valid(const unsigned char *text, std::size_t length);

} // namespace posix
