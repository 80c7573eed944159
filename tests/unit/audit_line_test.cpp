// The audit line format of the event source: what a domain controller's lines become, and the
// lines that are refused.

#include <gtest/gtest.h>

#include <string>

#include "platform/posix/audit_line.h"
#include "support/test_support.h"

using posix::audit_event;
using posix::audit_line_parse;

namespace {

// Lines as a domain controller writes them, without their line end.
const std::string KERBEROS_OK = [] {
    std::string line = nivo_test::audit_kerberos_line("alice", "192.168.1.20");
    return line.substr(0, line.size() - 1);
}();
const std::string NTLM_OK = [] {
    std::string line = nivo_test::audit_ntlm_line("alice", "WS01");
    return line.substr(0, line.size() - 1);
}();

int
parse(const std::string &line, audit_event *event, const char **why = nullptr)
{
    const char *ignored = nullptr;
    return audit_line_parse(line.data(), line.size(), event, why != nullptr ? why : &ignored);
}

std::string
replaced(std::string line, const std::string &from, const std::string &to)
{
    std::size_t at = line.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? line : line.replace(at, from.size(), to);
}

} // namespace

TEST(AuditLine, KerberosTicketRequestsBecomeEvent4768)
{
    audit_event event;
    ASSERT_EQ(parse(KERBEROS_OK, &event), 0);
    EXPECT_EQ(event.event_id, 4768u);
    EXPECT_EQ(event.event_type, 8);
    EXPECT_EQ(event.time_generated, 1796541555u); // 2026-12-06T07:19:15Z
    ASSERT_EQ(event.num_strings, 11);
    EXPECT_EQ(event.strings[0], "alice");
    EXPECT_EQ(event.strings[1], "NIVOTEST");
    EXPECT_EQ(event.strings[9], "::ffff:192.168.1.20");
    EXPECT_EQ(event.strings[10], "34874");

    // IPv6 addresses come without brackets; the port is cut off at the last colon.
    ASSERT_EQ(parse(replaced(KERBEROS_OK, "ipv4:192.168.1.20:34874", "ipv6:::1:41149"), &event), 0);
    EXPECT_EQ(event.strings[9], "::1");

    // A failed request is the same event as a failure audit.
    ASSERT_EQ(parse(replaced(KERBEROS_OK, "NT_STATUS_OK", "NT_STATUS_WRONG_PASSWORD"), &event), 0);
    EXPECT_EQ(event.event_id, 4768u);
    EXPECT_EQ(event.event_type, 16);

    // Without a mapped account the name the client gave counts, without its realm.
    std::string unmapped =
        replaced(replaced(KERBEROS_OK, R"("mappedAccount": "alice")", R"("mappedAccount": null)"),
                 R"("becameAccount": "alice")", R"("becameAccount": null)");
    ASSERT_EQ(parse(unmapped, &event), 0);
    EXPECT_EQ(event.strings[0], "alice");

    // A time zone offset is taken into account.
    ASSERT_EQ(parse(replaced(KERBEROS_OK, "07:19:15.973376+0000", "08:19:15+01:00"), &event), 0);
    EXPECT_EQ(event.time_generated, 1796541555u);
}

TEST(AuditLine, NtlmLogonsBecomeEvent4776AndTheRestIsIgnorable)
{
    audit_event event;
    ASSERT_EQ(parse(NTLM_OK, &event), 0);
    EXPECT_EQ(event.event_id, 4776u);
    EXPECT_EQ(event.event_type, 8);
    ASSERT_EQ(event.num_strings, 4);
    EXPECT_EQ(event.strings[1], "alice");
    EXPECT_EQ(event.strings[2], "WS01");

    // A pass-through logon of a member server is NTLM as well.
    ASSERT_EQ(parse(replaced(NTLM_OK, R"("SMB2")", R"("SamLogon")"), &event), 0);
    EXPECT_EQ(event.event_id, 4776u);

    // A simple LDAP bind and an authorization record carry no logon.
    ASSERT_EQ(parse(replaced(NTLM_OK, "NTLMv2", "Plaintext"), &event), 0);
    EXPECT_EQ(event.event_id, 4624u);
    EXPECT_EQ(event.num_strings, 0);
    ASSERT_EQ(parse(R"({"timestamp": "2026-12-06T07:19:16.2+0000", "type": "Authorization", )"
                    R"("Authorization": {"account": "alice"}})",
                    &event),
              0);
    EXPECT_EQ(event.event_id, 0u);
    EXPECT_EQ(event.event_type, 4);
    EXPECT_EQ(event.num_strings, 0);
}

TEST(AuditLine, RefusesBadLines)
{
    audit_event event;
    const char *why = nullptr;
    struct {
        const char *name;
        std::string line;
    } bad[] = {
        {"cut off", KERBEROS_OK.substr(0, KERBEROS_OK.size() / 2)},
        {"no object", "[2026/12/06 07:19:15.973376,  3] ../../auth/auth_log.c:150"},
        {"trailing text", KERBEROS_OK + " x"},
        {"invalid UTF-8", replaced(KERBEROS_OK, "alice@", "al\xC3\x28ice@")},
        {"overlong UTF-8", replaced(KERBEROS_OK, "alice@", "al\xC0\xAFice@")},
        {"huge", replaced(KERBEROS_OK, "ENC-TS", std::string(20000, 'x'))},
        {"field too long", replaced(KERBEROS_OK, R"("mappedAccount": "alice")",
                                    R"("mappedAccount": ")" + std::string(300, 'a') + "\"")},
        {"NUL in a text",
         replaced(KERBEROS_OK, R"("mappedAccount": "alice")", R"("mappedAccount": "al\u0000ice")")},
        {"no timestamp", replaced(KERBEROS_OK, R"("timestamp")", R"("time")")},
        {"null timestamp", replaced(KERBEROS_OK, R"("2026-12-06T07:19:15.973376+0000")", "null")},
        {"bad timestamp", replaced(KERBEROS_OK, "2026-12-06T07", "2026-13-06T07")},
        {"success without user",
         replaced(replaced(replaced(KERBEROS_OK, R"("mappedAccount": "alice")",
                                    R"("mappedAccount": null)"),
                           R"("becameAccount": "alice")", R"("becameAccount": null)"),
                  R"("clientAccount": "alice@NIVOTEST.LAN")", R"("clientAccount": null)")},
        {"success without address", replaced(KERBEROS_OK, R"("ipv4:192.168.1.20:34874")", "null")},
        {"unreadable address",
         replaced(KERBEROS_OK, R"("ipv4:192.168.1.20:34874")", R"("unix:/tmp/x")")},
        {"NTLM without workstation", replaced(NTLM_OK, R"("WS01")", "null")},
        {"text of the wrong type", replaced(NTLM_OK, R"("WS01")", "17")},
        {"body not an object",
         R"({"timestamp": "2026-12-06T07:19:16Z", "type": "Authentication", "Authentication": 1})"},
    };
    for (const auto &c : bad) {
        SCOPED_TRACE(c.name);
        why = nullptr;
        EXPECT_EQ(parse(c.line, &event, &why), -1);
        EXPECT_NE(why, nullptr);
    }
    // A failed NTLM logon needs no workstation.
    EXPECT_EQ(parse(replaced(replaced(NTLM_OK, R"("WS01")", "null"), "NT_STATUS_OK",
                             "NT_STATUS_NO_SUCH_USER"),
                    &event),
              0);
}
