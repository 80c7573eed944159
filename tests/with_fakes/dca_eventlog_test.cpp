// The event-log monitor over an audit log file: which lines become logons (only those written
// after the log was opened), NTLM monitoring, and the insertion-string rules of each event.

#include <gtest/gtest.h>

#include <filesystem>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/threadpool.h"
#include "dca/dca_eventlog.h"
#include "dca/filter/dca_filter.h"
#include "dca/dca_pipeline.h"
#include "fakes/netroute_fake.h"
#include "fakes/resolver_fake.h"
#include "support/collector.h"
#include "support/test_support.h"
#include "userdb/userdb.h"

using nivo_test::text_or_null;

namespace {

constexpr std::uint32_t TIME = 1796541555;

// One event record as the platform lays it out.
std::vector<unsigned char>
event_bytes(std::uint32_t id, const std::vector<std::u16string> &strings)
{
    std::u16string text;
    for (const auto &string : strings) {
        text += string + u'\0';
    }
    std::size_t length = (sizeof(eventlog_record) + text.size() * 2 + 3) & ~std::size_t{3};
    std::vector<unsigned char> bytes(length);
    eventlog_record header{static_cast<std::uint32_t>(length),
                           7,
                           TIME,
                           id,
                           EVENTLOG_AUDIT_SUCCESS,
                           static_cast<std::uint16_t>(strings.size()),
                           sizeof(eventlog_record)};
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, text.data(), text.size() * 2);
    return bytes;
}

// WrkstIP of a Kerberos event whose string 9 is address and string 8 string8, on the current
// layout or the older (5.0) one.
std::string
kerberos_address(std::uint32_t id, const std::u16string &address, bool older = false,
                 const std::u16string &string8 = u"2")
{
    dca_eventlog_init({nullptr, nullptr, older});
    std::vector<unsigned char> bytes =
        event_bytes(id, {u"alice", u"NIVOTEST", u"S-1-5-21-1", u"krbtgt", u"", u"0x40810010",
                         u"0x0", u"0x12", string8, address, u"5000"});
    UserInfo *record = userdb_allocate_userinfo();
    init_userinfo_kerberos(reinterpret_cast<const eventlog_record *>(bytes.data()), record);
    std::string out = text_or_null(record->WrkstIP);
    EXPECT_EQ(text_or_null(record->User), "alice");
    EXPECT_EQ(text_or_null(record->Domain), "NIVOTEST");
    userdb_free_userinfo(record);
    dca_eventlog_init({nullptr, nullptr, false});
    return out;
}

class Monitor : public nivo_test::collector_fixture {
  protected:
    Monitor() : collector_fixture(u"NIVOTEST", u"nivotest.lan")
    {
    }
    void SetUp() override
    {
        collector_fixture::SetUp();
        ASSERT_EQ(dca_addnet_authnetlist(u"10.0.0.0/8"), 0);
        ASSERT_EQ(dca_addnet_authnetlist(u"192.0.0.0/8"), 0);
        ASSERT_EQ(threadpool_create(4, 1), 0);
        resolver_fake::reset();
        netroute_fake::answer(u"192.0.2.44");
        dca_eventlog_reset();
        dca_pipeline_reset();
        dca_set_local_cidmgr();
        ASSERT_EQ(dca_client_init(nullptr), 0);
        std::filesystem::create_directory(dir.file("audit"));
        audit = dir.file("audit/auth_json.log");
        dca_eventlog_init({nivo_test::u16(audit).c_str(), nullptr, false});
    }
    void TearDown() override
    {
        stop();
        threadpool_destroy();
        dca_pipeline_reset();
        dca_eventlog_reset();
        collector_fixture::TearDown();
    }
    void start()
    {
        static const char16_t name[] = u"security";
        monitor_ = std::thread(dca_eventlog, const_cast<char16_t *>(name));
        ASSERT_TRUE(nivo_test::eventually([this] {
            return events_log().find("dca_eventlog: EventLog DCA initialized") != std::string::npos;
        }));
    }
    // Without its directory the log cannot be watched: the monitor's job ends.
    void stop()
    {
        if (monitor_.joinable()) {
            std::filesystem::remove_all(dir.file("audit"));
            monitor_.join();
        }
    }
    void write(const std::string &lines)
    {
        ASSERT_TRUE(nivo_test::append_file(audit, lines));
    }
    std::string events_log()
    {
        return nivo_test::log_text(dir.file("ev.log"));
    }

    std::string audit;
    std::thread monitor_;
};

} // namespace

TEST_F(Monitor, OnlySuccessfulKerberosLogonsWrittenAfterOpenBecomeLogons)
{
    using nivo_test::audit_kerberos_line;
    write(audit_kerberos_line("early", "10.0.0.1"));
    start();
    write(audit_kerberos_line("alice", "192.168.1.20") +
          audit_kerberos_line("mallory", "10.0.0.3", "NT_STATUS_WRONG_PASSWORD") +
          nivo_test::audit_ntlm_line("bob", "WS01") + audit_kerberos_line("zed", "10.0.0.9"));
    ASSERT_TRUE(nivo_test::eventually([this] { return !rows("user=='zed'").empty(); }));

    // Not early, mallory or bob. The pool's jobs store alice and zed in either order.
    ASSERT_EQ(rows().size(), 2u);
    std::vector<nivo_test::store_row> alice = rows("user=='alice'");
    ASSERT_EQ(alice.size(), 1u);
    EXPECT_EQ(alice[0].create, static_cast<std::int32_t>(TIME));
    EXPECT_EQ(events_log().find("NTLM authentication event"), std::string::npos);

    stop();
    EXPECT_NE(events_log().find("dca_eventlog: Wait on EventLog Failed"), std::string::npos);
    EXPECT_NE(events_log().find("close_eventlog: EventLog DCA closed\n"), std::string::npos);
}

TEST_F(Monitor, NtlmLogonsCountOnlyWhenSwitchedOn)
{
    dca_set_eventlog_ntlm();
    resolver_fake::answer("WS01", {resolver_fake::ipv4(10, 0, 0, 7)});
    start();
    write(nivo_test::audit_ntlm_line("bob", "WS01"));
    ASSERT_TRUE(nivo_test::eventually([this] { return !rows().empty(); }));
    EXPECT_EQ(rows()[0].ip, "10.0.0.7");
    EXPECT_NE(events_log().find("init_userinfo_ntlm: WorkstationName: WS01\n"), std::string::npos);
}

TEST_F(Monitor, KerberosInsertionStringRules)
{
    EXPECT_EQ(kerberos_address(4768, u"::ffff:192.168.1.20"), "192.168.1.20");
    EXPECT_EQ(kerberos_address(4768, u"::1"), "192.0.2.44");
    EXPECT_EQ(kerberos_address(4768, u"10.9.8.7"), "10.9.8.7");
    EXPECT_EQ(kerberos_address(672, u"127.0.0.1"), "192.0.2.44");
    EXPECT_EQ(kerberos_address(672, u"10.1.1.1"), "10.1.1.1");
    // Version 5.0 takes string 8 of event 672 as it stands and ignores string 9.
    EXPECT_EQ(kerberos_address(672, u"10.2.2.2", true, u"127.0.0.1"), "127.0.0.1");
    EXPECT_EQ(kerberos_address(4768, u"::ffff:10.3.3.3", true), "(null)");
    // The per-string rules compare the whole event ID.
    EXPECT_EQ(kerberos_address(0x000112A0, u"::ffff:10.4.4.4"), "(null)");
    // No interface found, or the table unreadable: an empty address, which no network admits.
    netroute_fake::answer(u"");
    EXPECT_EQ(kerberos_address(4768, u"::1"), "");
    netroute_fake::fail();
    EXPECT_EQ(kerberos_address(4768, u"::1"), "");
    EXPECT_NE(
        events_log().find("GetWorkingInternetAdapterIP::GetIpAddrTable failed with error 12\n"),
        std::string::npos);
}
