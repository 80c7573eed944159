// The event source over an audit log file: what a domain controller's lines become and the lines
// refused; record numbers, reading forward, notification, skipped lines, rotation. (A log whose
// directory is gone ends the wait: the Monitor tests stop their monitor that way.)

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/eventlog.h"
#include "platform/posix/audit_line.h"
#include "support/eventlog_records.h"
#include "support/test_support.h"

using nivo_test::append_file;
using nivo_test::audit_kerberos_line;
using nivo_test::read_record;
using nivo_test::records_of;
using nivo_test::temp_dir;
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

std::vector<std::string> g_reports;
void
collect_report(const char *message)
{
    g_reports.emplace_back(message);
}

class EventLog : public ::testing::Test {
  protected:
    void SetUp() override
    {
        g_reports.clear();
        path_ = dir_.file("auth_json.log");
    }
    void TearDown() override
    {
        platform_eventlog_close(log_);
        platform_eventlog_notification_close(notification_);
    }
    void open()
    {
        notification_ = platform_eventlog_notification_create();
        ASSERT_NE(notification_, nullptr);
        std::u16string source = nivo_test::u16(path_);
        log_ = platform_eventlog_open(u"security", source.c_str(), collect_report);
        ASSERT_NE(log_, nullptr);
        ASSERT_EQ(platform_eventlog_notify(log_, notification_), 0);
    }
    int read(unsigned flags, std::uint32_t record, std::vector<read_record> *out,
             std::size_t size = 4096)
    {
        std::vector<unsigned char> buffer(size);
        std::size_t got = 0, needed = 0;
        int rc = platform_eventlog_read(log_, flags | EVENTLOG_FORWARDS_READ, record, buffer.data(),
                                        size, &got, &needed);
        needed_ = needed;
        if (rc == 0 && out != nullptr) {
            *out = records_of(buffer.data(), got);
        }
        return rc;
    }
    // The records of a read as "number:user" texts.
    std::string users(unsigned flags, std::uint32_t record = 0)
    {
        std::vector<read_record> got;
        EXPECT_EQ(read(flags, record, &got), 0);
        std::string out;
        for (const read_record &r : got) {
            out += (out.empty() ? "" : " ") + std::to_string(r.number) + ":" +
                   (r.strings.empty() ? "" : nivo_test::u8(r.strings[0]));
        }
        return out;
    }

    temp_dir dir_;
    std::string path_;
    platform_eventlog *log_ = nullptr;
    platform_eventlog_notification *notification_ = nullptr;
    std::size_t needed_ = 0;
};

} // namespace

TEST_F(EventLog, ReadsOnlyWhatIsWrittenAfterOpenWithStableNumbers)
{
    append_file(path_,
                audit_kerberos_line("old1", "10.0.0.1") + audit_kerberos_line("old2", "10.0.0.2"));
    open();
    std::uint32_t oldest = 0, count = 0;
    ASSERT_EQ(platform_eventlog_oldest(log_, &oldest), 0);
    ASSERT_EQ(platform_eventlog_count(log_, &count), 0);
    EXPECT_EQ(oldest, 1u);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(platform_eventlog_wait(notification_, 0), 1);
    EXPECT_EQ(read(EVENTLOG_SEEK_READ, oldest + count, nullptr), EVENTLOG_ERROR_HANDLE_EOF);

    // A line still being written is not a record yet.
    std::string third = audit_kerberos_line("alice", "192.168.1.20");
    append_file(path_, third.substr(0, 40));
    EXPECT_EQ(platform_eventlog_wait(notification_, 2000), 0);
    EXPECT_EQ(read(EVENTLOG_SEEK_READ, 3, nullptr), EVENTLOG_ERROR_HANDLE_EOF);
    append_file(path_,
                third.substr(40) + "not json at all\n" + audit_kerberos_line("bob", "10.0.0.9"));
    EXPECT_EQ(platform_eventlog_wait(notification_, 2000), 0);

    EXPECT_EQ(users(EVENTLOG_SEEK_READ, 3), "3:alice 5:bob"); // 4 was refused, its number unused
    ASSERT_EQ(g_reports.size(), 1u);
    EXPECT_NE(g_reports[0].find("record 4"), std::string::npos) << g_reports[0];
    EXPECT_EQ(read(EVENTLOG_SEQUENTIAL_READ, 0, nullptr), EVENTLOG_ERROR_HANDLE_EOF);

    // Seeking back reads the same records under the same numbers.
    EXPECT_EQ(users(EVENTLOG_SEEK_READ, 1), "1:old1 2:old2 3:alice 5:bob");
    EXPECT_EQ(read(EVENTLOG_SEEK_READ, 9, nullptr), EVENTLOG_ERROR_INVALID_PARAMETER);
}

TEST_F(EventLog, FillsTheBufferWithWholeRecordsOnly)
{
    open();
    std::string lines;
    for (int i = 0; i < 40; ++i) {
        lines += audit_kerberos_line("user" + std::to_string(i), "10.0.0.1");
    }
    append_file(path_, lines);
    std::vector<read_record> got;
    ASSERT_EQ(read(EVENTLOG_SEEK_READ, 1, &got, 1024), 0);
    std::size_t first = got.size();
    EXPECT_GT(first, 0u);
    EXPECT_LT(first, 40u);
    std::size_t total = first;
    while (read(EVENTLOG_SEQUENTIAL_READ, 0, &got, 1024) == 0) {
        EXPECT_EQ(got[0].number, total + 1);
        total += got.size();
    }
    EXPECT_EQ(total, 40u);

    append_file(path_, audit_kerberos_line("carol", "10.0.0.3"));
    EXPECT_EQ(read(EVENTLOG_SEQUENTIAL_READ, 0, &got, 32), EVENTLOG_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GT(needed_, 32u);
}

TEST_F(EventLog, FollowsRotationAndALogCreatedLater)
{
    open(); // the file does not exist yet: an empty log
    std::uint32_t count = 9;
    ASSERT_EQ(platform_eventlog_count(log_, &count), 0);
    EXPECT_EQ(count, 0u);
    append_file(path_, audit_kerberos_line("first", "10.0.0.1"));
    EXPECT_EQ(platform_eventlog_wait(notification_, 2000), 0);
    EXPECT_EQ(users(EVENTLOG_SEEK_READ, 1), "1:first");

    // The log is renamed away and a new one takes its name: numbering goes on.
    append_file(path_, audit_kerberos_line("second", "10.0.0.2"));
    std::filesystem::rename(path_, path_ + ".1");
    append_file(path_, audit_kerberos_line("third", "10.0.0.3"));
    EXPECT_EQ(platform_eventlog_wait(notification_, 2000), 0);
    EXPECT_EQ(users(EVENTLOG_SEQUENTIAL_READ), "2:second 3:third");
    std::uint32_t oldest = 0;
    ASSERT_EQ(platform_eventlog_oldest(log_, &oldest), 0);
    EXPECT_EQ(oldest, 3u);

    // A very long line is skipped whole.
    append_file(path_, std::string(100000, 'x') + "\n" + audit_kerberos_line("fourth", "10.0.0.4"));
    EXPECT_EQ(users(EVENTLOG_SEQUENTIAL_READ), "5:fourth");
}

TEST_F(EventLog, FollowsADirectoryThatIsReplacedButOpensNoLogWithoutIt)
{
    EXPECT_EQ(platform_eventlog_open(u"security", u"/nonexistent-nivo/auth_json.log", nullptr),
              nullptr);
    std::string logs = dir_.file("samba");
    std::filesystem::create_directory(logs);
    path_ = logs + "/auth_json.log";
    append_file(path_, audit_kerberos_line("before", "10.0.0.1"));
    open();

    // The directory is moved away and a new one with a new log takes its name.
    std::filesystem::rename(logs, logs + ".old");
    std::filesystem::create_directory(logs);
    append_file(path_, audit_kerberos_line("after", "10.0.0.2"));
    EXPECT_EQ(platform_eventlog_wait(notification_, 3000), 0);
    EXPECT_EQ(users(EVENTLOG_SEEK_READ, 2), "2:after");

    // The new directory is watched.
    append_file(path_, audit_kerberos_line("later", "10.0.0.3"));
    EXPECT_EQ(platform_eventlog_wait(notification_, 3000), 0);
    EXPECT_EQ(users(EVENTLOG_SEQUENTIAL_READ), "3:later");
}

TEST(AuditLine, KerberosTicketRequestsAndNtlmLogonsBecomeTheirEventsTheRestIsIgnorable)
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

    // NTLM logons become event 4776.
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
