// Both ends of the agent-collector link over loopback: what the Collector makes of each payload,
// the limits at intake, and the agent's backlog and retry delays. Reconnects and bad agents are
// tested end to end (tests/integration/dcalink_e2e_test.cpp).

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/crypto.h"
#include "common/log.h"
#include "common/text.h"
#include "common/threadpool.h"
#include "config/config_lists.h"
#include "config/config_parse.h"
#include "config/detector_settings.h"
#include "dca/dca_pipeline.h"
#include "dca/filter/dca_filter.h"
#include "dcalink/dcaclient.h"
#include "dcalink/dcalink_protocol.h"
#include "dcalink/dcaserver.h"
#include "platform/socket.h"
#include "support/collector.h"
#include "support/test_support.h"
#include "userdb/dead_entry.h"
#include "userdb/userinfo.h"

using nivo_test::eventually;
using nivo_test::free_port;
using nivo_test::take_update_queue;

namespace {

UserInfo *
logon(const char16_t *user, const char16_t *ip, std::int32_t create, std::int32_t flags = 1)
{
    return nivo_test::make_logon(user, u"corp.example", ip, create, create + 900, flags);
}

// The agent client's result for the record, which it frees.
int
send_record(UserInfo *record)
{
    userinfo_ptr held(record);
    return dcaclient_send_userinfo(held.get());
}

// A serialised record as a whole DATA message, enciphered with the link's key or in clear.
std::vector<std::uint8_t>
data_message(const char16_t *user, const char16_t *ip, bool clear = false)
{
    dcalink_record record{1000, 1600, 2, 1, user, u"corp.example", nullptr, nullptr, ip};
    std::vector<std::uint8_t> message(DCALINK_HEADER_SIZE + DCALINK_PAYLOAD_MAX);
    std::size_t length =
        dcalink_serialize(record, message.data() + DCALINK_HEADER_SIZE, DCALINK_PAYLOAD_MAX);
    if (!clear) {
        crypto_handle *crypto = crypto_open();
        crypto_encrypt_data(crypto, message.data() + DCALINK_HEADER_SIZE, length);
        crypto_close(crypto);
    }
    dcalink_build_data_header(message.data(), clear ? 1 : 2, static_cast<std::uint32_t>(length));
    message.resize(DCALINK_HEADER_SIZE + length);
    return message;
}

class Link : public nivo_test::collector_fixture {
  protected:
    void SetUp() override
    {
        collector_fixture::SetUp();
        logoff_detector_init(1, 600);
        port = free_port();
        ASSERT_NE(port, 0);
        ASSERT_EQ(dcaserver_init(u"127.0.0.1", port), 0);
        dcaserver_set_max_connections(max_connections);
        // A small pool: the server loop and three workers for the messages.
        ASSERT_EQ(threadpool_create(4, 1), 0);
        ASSERT_EQ(threadpool_run(dcaserver_thread, nullptr, 1), 0);
    }

    void TearDown() override
    {
        for (platform_socket_t s : agents) {
            platform_socket_close(s);
        }
        dcaclient_reset();
        dcaserver_stop();
        threadpool_destroy();
        dcaserver_set_max_connections(0);
        dcaserver_fini();
        config_free_lists(&config);
        collector_fixture::TearDown();
    }

    // The connections the server has taken (not those refused at accept).
    std::size_t accepted() const
    {
        return nivo_test::count_of(log(), "dcaserver_thread: Client IP:");
    }
    std::size_t errors(const std::string &text) const
    {
        return logged_count("ERROR", text);
    }

    // A raw agent connection from the loopback address source, closed by TearDown, that has made
    // its handshake when shake.
    platform_socket_t agent(bool shake = true, const char16_t *source = u"127.0.0.1")
    {
        std::uint32_t from = 0, to = 0;
        platform_ipv4_from_text(source, &from);
        platform_ipv4_from_text(u"127.0.0.1", &to);
        platform_socket_t s = platform_socket_open(true);
        agents.push_back(s);
        EXPECT_EQ(platform_socket_bind(s, from, 0), 0);
        EXPECT_EQ(platform_socket_connect(s, to, port), 0);
        if (shake) {
            EXPECT_EQ(handshake(s), 1);
        }
        return s;
    }
    static void send(platform_socket_t s, const std::vector<std::uint8_t> &message)
    {
        EXPECT_EQ(platform_socket_send(s, message.data(), message.size()),
                  static_cast<long long>(message.size()));
    }
    // The agent's REQUEST: 1 when the Collector's answer accepts it.
    static int handshake(platform_socket_t s)
    {
        std::uint8_t header[DCALINK_HEADER_SIZE];
        dcalink_build_handshake(header, DCALINK_MSG_REQUEST, DCALINK_ENCRYPTION_RC4);
        if (platform_socket_send(s, header, sizeof header) != sizeof header) {
            return -1;
        }
        for (std::size_t have = 0; have < sizeof header;) {
            if (platform_socket_wait_readable(s, 5, 0) != 1) {
                return -1;
            }
            long long n = platform_socket_recv(s, header + have, sizeof header - have);
            if (n <= 0) {
                return static_cast<int>(n);
            }
            have += static_cast<std::size_t>(n);
        }
        return header[0] == 2 && header[5] == 2 ? 1 : -1;
    }
    // Whether the Collector ends the connection (waiting past any deadline of its own).
    static bool closed_by_peer(platform_socket_t s)
    {
        std::uint8_t byte;
        return platform_socket_wait_readable(s, 40, 0) == 1 &&
               platform_socket_recv(s, &byte, 1) <= 0;
    }

    bool stored(const std::string &user) const
    {
        return nivo_test::store_count(dir.file("nivo.db3"), "user = '" + user + "'") > 0;
    }

    // The agent client with one Collector entry each (by default this test's Collector).
    void start_client(std::vector<std::u16string> entries = {})
    {
        if (entries.empty()) {
            entries.push_back(entry(port));
        }
        for (auto &e : entries) {
            ASSERT_EQ(config_add_coll_list(e.c_str(), &config), 0);
        }
        ASSERT_EQ(dcaclient_init(config.coll_list), 0);
    }
    std::u16string entry(std::uint16_t p) const
    {
        return nivo_test::u16("127.0.0.1:" + std::to_string(p));
    }

    std::uint16_t port = 0;
    std::size_t max_connections = 0;
    config_record config{};
    std::vector<platform_socket_t> agents;
};

TEST_F(Link, AStreamCutAnywhereYieldsEachMessageWholeAndInOrder)
{
    std::vector<std::uint8_t> stream(DCALINK_HEADER_SIZE);
    dcalink_build_handshake(stream.data(), DCALINK_MSG_REQUEST, DCALINK_ENCRYPTION_RC4);
    std::vector<std::vector<std::uint8_t>> messages = {
        data_message(u"alice", u"127.0.0.26"),
        std::vector<std::uint8_t>(DCALINK_HEADER_SIZE), // a DATA message without payload
        data_message(u"bob", u"127.0.0.27", true),
    };
    dcalink_build_data_header(messages[1].data(), 2, 0);
    for (const auto &m : messages) {
        stream.insert(stream.end(), m.begin(), m.end());
    }
    log_set_loglevel(LOG_NOTICE); // a run per piece size: their debug lines would only slow it
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        dcaserver_stream parser;
        std::vector<std::vector<std::uint8_t>> out;
        int requests = 0;
        for (std::size_t at = 0, used = 0; at < stream.size(); at += used) {
            std::size_t length = std::min(piece, stream.size() - at);
            auto event = dcaserver_stream_feed(&parser, stream.data() + at, length, &used);
            ASSERT_NE(event, DCASERVER_STREAM_FAULT);
            ASSERT_TRUE(event != DCASERVER_STREAM_MORE || used == length); // all taken
            requests += event == DCASERVER_STREAM_REQUEST;
            if (event == DCASERVER_STREAM_MESSAGE) {
                const auto &m = parser.message;
                out.emplace_back(m.header, m.header + DCALINK_HEADER_SIZE);
                out.back().insert(out.back().end(), m.payload.begin(), m.payload.end());
                EXPECT_FALSE(dcaserver_stream_in_message(parser));
            }
        }
        EXPECT_EQ(requests, 1) << piece;
        EXPECT_EQ(out, messages) << piece;
    }
    // A REQUEST for another encryption ends the stream at its twelfth byte.
    dcaserver_stream parser;
    stream[5] = DCALINK_ENCRYPTION_NONE;
    std::size_t used = 0;
    EXPECT_EQ(dcaserver_stream_feed(&parser, stream.data(), stream.size(), &used),
              DCASERVER_STREAM_FAULT);
    EXPECT_EQ(used, DCALINK_HEADER_SIZE);
}

TEST_F(Link, StalledAndIdleConnectionsHoldNoWorkerAndStalledOnesCloseAtTheirDeadlines)
{
    // Part of a REQUEST, and a DATA message cut in its payload; each gets a little more later,
    // which must not put its deadline off.
    platform_socket_t request = agent(false);
    platform_socket_t data = agent();
    std::uint8_t header[DCALINK_HEADER_SIZE];
    dcalink_build_handshake(header, DCALINK_MSG_REQUEST, DCALINK_ENCRYPTION_RC4);
    ASSERT_EQ(platform_socket_send(request, header, 6), 6);
    std::vector<std::uint8_t> message = data_message(u"sam", u"127.0.0.23");
    ASSERT_EQ(platform_socket_send(data, message.data(), DCALINK_HEADER_SIZE + 10),
              static_cast<long long>(DCALINK_HEADER_SIZE + 10));
    auto opened = std::chrono::steady_clock::now();

    // Meanwhile others are served, though far more agents than the pool has workers stay idle.
    for (int i = 0; i < 64; ++i) {
        agent();
    }
    send(agent(), data_message(u"peggy", u"127.0.0.24"));
    EXPECT_TRUE(eventually([&] { return stored("peggy"); }, 3000));

    std::this_thread::sleep_until(opened + std::chrono::seconds(6));
    ASSERT_EQ(platform_socket_send(request, header + 6, 3), 3);
    ASSERT_EQ(platform_socket_send(data, message.data() + DCALINK_HEADER_SIZE + 10, 5), 5);
    EXPECT_TRUE(closed_by_peer(request));
    EXPECT_TRUE(closed_by_peer(data));
    auto waited = std::chrono::steady_clock::now() - opened;
    EXPECT_GE(waited, std::chrono::milliseconds(9500));
    EXPECT_LT(waited, std::chrono::milliseconds(13000));
    EXPECT_TRUE(logged("dcaserver_receive_request: no REQUEST within 10 seconds\n"));
    EXPECT_TRUE(logged("dcaserver_receive_data: DATA message not complete within 10 seconds\n"));
    EXPECT_FALSE(stored("sam"));
}

TEST_F(Link, AStopStoresWhatWasReceivedBeforeItEnds)
{
    // Each store reads the dead-entry clock once; made to take 200 ms, the three logons are
    // still being stored when the stop comes.
    dead_entry_set_timeout(1);
    dead_entry_set_clock([]() -> std::uint64_t {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return 134000000000000000ULL;
    });
    platform_socket_t s = agent();
    send(s, data_message(u"amy", u"127.0.0.26"));
    send(s, data_message(u"ben", u"127.0.0.27"));
    send(s, data_message(u"cat", u"127.0.0.28"));
    EXPECT_TRUE(eventually(
        [&] { return nivo_test::count_of(log(), "dcaserver_receive_data: DATA Received") == 3; }));
    EXPECT_EQ(dcaserver_drain(5000), 0);
    EXPECT_EQ(rows().size(), 3u);
    dead_entry_set_clock(nullptr);
    dead_entry_set_timeout(0);
}

class LinkOfTwo : public Link {
  protected:
    LinkOfTwo()
    {
        max_connections = 2;
    }
};

TEST_F(LinkOfTwo, TheConnectionLimitRefusesAtAcceptUntilOneCloses)
{
    platform_socket_t first = agent();
    agent();
    // Both further connections are closed at once, with one line for the two.
    EXPECT_TRUE(closed_by_peer(agent(false)));
    EXPECT_TRUE(closed_by_peer(agent(false)));
    EXPECT_EQ(errors("dcaserver_thread: 2 agent connections open, the most "
                     "MAX-AGENT-CONNECTIONS allows: new connections refused\n"),
              1u);
    EXPECT_EQ(accepted(), 2u);

    platform_socket_close(first);
    agents.erase(agents.begin());
    ASSERT_TRUE(eventually([&] { return logged("below MAX-AGENT-CONNECTIONS again"); }));
    send(agent(), data_message(u"trent", u"127.0.0.25"));
    EXPECT_TRUE(eventually([&] { return stored("trent"); }));
}

TEST_F(Link, ALogonIsStoredOnTheCollectorsClockExpiringFromTheAgentsUnlessExcluded)
{
    start_client();
    ASSERT_EQ(dcaclient_monitor_pass(), 1);
    std::int32_t agent_time = nivo_test::now_seconds() - 5000;
    std::int32_t before = nivo_test::now_seconds();
    EXPECT_EQ(send_record(logon(u"judy", u"127.0.0.70", agent_time)), DCACLIENT_SENT);
    ASSERT_EQ(take_update_queue(1).size(), 1u);
    std::vector<nivo_test::store_row> judy = rows();
    ASSERT_EQ(judy.size(), 1u);
    EXPECT_GE(judy[0].create, before);
    EXPECT_EQ(judy[0].expire, agent_time + 600);

    ASSERT_EQ(dca_adduser_userexcllist(u"svc-backup"), 0);
    ASSERT_EQ(dca_addip_ipexcllist(u"127.0.0.50", DCA_IPLIST_LOGIN), 0);
    ASSERT_EQ(dca_addip_ipexcllist(u"127.0.0.70", DCA_IPLIST_LOGIN), 0);
    ASSERT_EQ(dca_login_ipexc_addnet_authnetlist(u"127.0.9.0/24"), 0);
    // Judy's logon without an address and her logout notice are judged by her stored address.
    send_record(logon(u"svc-backup", u"127.0.0.49", 2000));
    send_record(logon(u"frank", u"127.0.0.50", 2000));
    send_record(logon(u"grace", u"127.0.9.7", 2000));
    send_record(logon(u"judy", nullptr, 2000));
    send_record(logon(u"judy", nullptr, 2000, UI_FLAG_USER_LOGOUT));
    send_record(logon(u"heidi", u"127.0.0.51", 2000));
    auto q = take_update_queue(1);
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(nivo_test::u8(q[0]->User), "heidi");
    EXPECT_EQ(rows().size(), 2u); // judy's and heidi's
    EXPECT_TRUE(stored("judy"));
    // Messages are stored by pool jobs, not necessarily in order: wait for judy's two.
    EXPECT_TRUE(eventually(
        [&] { return nivo_test::count_of(log(), "IP 127.0.0.70 found in exclusion list") == 2; }));
}

TEST_F(Link, ThePipelineSendsEveryAddressPrimaryLastAndRepeats)
{
    // An agent whose Collector is remote: the pipeline's delivery, not the client alone.
    dca_pipeline_reset();
    dca_clear_local_cidmgr();
    ASSERT_EQ(config_add_coll_list(entry(port).c_str(), &config), 0);
    ASSERT_EQ(dca_client_init(config.coll_list), 0);
    ASSERT_EQ(dcaclient_monitor_pass(), 1);
    auto alice = [] {
        UserInfo *r = logon(u"alice", u"127.0.0.31", 1000);
        r->AdditionalWrkstIP[0] = tsso_string_dup_w(u"127.0.0.32");
        r->AdditionalWrkstIP[1] = tsso_string_dup_w(u"127.0.0.33");
        r->AdditionalIPCount = 2;
        return r;
    };
    EXPECT_EQ(dca_add_userinfo(alice()), 0);
    std::vector<userinfo_ptr> q = take_update_queue(3);
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(nivo_test::u8(q[0]->WrkstIP), "127.0.0.32");
    EXPECT_EQ(nivo_test::u8(q[1]->WrkstIP), "127.0.0.33");
    EXPECT_EQ(nivo_test::u8(q[2]->WrkstIP), "127.0.0.31");
    // The same logon again is still sent (the Collector decides it is a duplicate).
    EXPECT_EQ(dca_add_userinfo(alice()), 0);
    ASSERT_TRUE(eventually(
        [&] { return nivo_test::count_of(log(), "dcaserver_extract_data: Flags:") == 6; }));
    dca_pipeline_reset();
}

TEST_F(Link, OnlyTheAllowedAgentNetworksMayConnect)
{
    config_record parsed{};
    ASSERT_EQ(parse_keyvalue(&parsed, u"NIV-COLLECTOR",
                             u"ALLOWED-AGENT-NETWORKS=127.0.0.1/32, 127.0.5.0/24"),
              0);
    // A stranger is closed at accept, before its handshake gets an answer or a job; a refusal
    // does not stop the accept loop.
    EXPECT_NE(handshake(agent(false, u"127.0.0.2")), 1);
    EXPECT_EQ(handshake(agent(false, u"127.0.5.9")), 1);
    EXPECT_TRUE(eventually([&] {
        return errors("dcaserver_net_accept: connection from 127.0.0.2 refused: "
                      "not in ALLOWED-AGENT-NETWORKS\n") == 1;
    }));
    EXPECT_EQ(accepted(), 1u);
}

TEST_F(Link, IntakeRefusesLogonsWithoutAUserOrIPv4AddressAndPayloadsOverTheLargest)
{
    platform_socket_t h = agent();
    const std::pair<const char16_t *, const char16_t *> refused[] = {
        {nullptr, u"127.0.0.90"},   {u"", u"127.0.0.91"},
        {u"mallory", u"not-an-ip"}, {u"mallory", u"127.0.0.1'); DROP TABLE UserInfo; --"},
        {u"mallory", u"::1"},       {u"mallory", u"127.0.0.300"},
    };
    for (const auto &[user, ip] : refused) {
        send(h, data_message(user, ip));
    }
    send(h, data_message(u"oscar", u"127.0.0.92"));
    EXPECT_EQ(take_update_queue(1).size(), 1u);
    std::vector<nivo_test::store_row> left = rows();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].user, "oscar");
    EXPECT_TRUE(eventually([&] {
        return errors("dcaserver_extract_data: logon without a user refused\n") == 2 &&
               errors("' is not dotted IPv4\n") == 4;
    }));

    // The largest payload (a clear logon padded to DCALINK_PAYLOAD_MAX bytes) is read; one byte
    // more ends the connection.
    std::vector<std::uint8_t> largest = data_message(u"erin", u"127.0.0.40", true);
    largest.resize(DCALINK_HEADER_SIZE + DCALINK_PAYLOAD_MAX, 0);
    dcalink_build_data_header(largest.data(), 1, DCALINK_PAYLOAD_MAX);
    send(h, largest);
    EXPECT_TRUE(eventually([&] { return stored("erin"); }));
    std::vector<std::uint8_t> over(DCALINK_HEADER_SIZE);
    dcalink_build_data_header(over.data(), 2, DCALINK_PAYLOAD_MAX + 1);
    send(h, over);
    EXPECT_TRUE(closed_by_peer(h));
    EXPECT_TRUE(logged("dcaserver_receive_data: DATA length 10289 over the limit of 10288 "
                       "bytes, connection dropped\n"));
}

TEST_F(Link, AHostNameEntryLeavesItAndLaterCollectorsWithoutHandle)
{
    start_client({u"collector.invalid:5566", entry(port)});
    EXPECT_EQ(dcaclient_node_count(), 2);
    EXPECT_TRUE(logged("dcaclient_net_init: network context couldnt initialized\n"));
    EXPECT_EQ(dcaclient_monitor_pass(), 0);
    EXPECT_TRUE(logged("dcaclient_net_open: network context is not initialized yet\n"));
    // Nothing can reach a Collector: the record is not reported as sent.
    EXPECT_EQ(send_record(logon(u"leo", u"127.0.0.80", 1000)), -1);
    EXPECT_EQ(accepted(), 0u);
}

TEST_F(Link, RecordsForACollectorThatIsDownAreKeptBoundedAndSentInOrder)
{
    log_set_loglevel(LOG_NOTICE); // ten thousand records: their debug lines would only slow it
    start_client();               // not connected before the monitor's first pass
    // Five more than the backlog holds: the five oldest are dropped. Of the rest, the logon of
    // "kept" comes first and its logout notice last but one, so the order decides whether it is
    // still logged on when "last" arrives.
    for (int i = 0; i < 5; ++i) {
        std::u16string early = nivo_test::u16("early" + std::to_string(i));
        EXPECT_EQ(send_record(logon(early.c_str(), u"127.0.0.90", 1000)), DCACLIENT_KEPT);
    }
    send_record(logon(u"kept", u"127.0.0.91", 1000));
    for (std::size_t i = 0; i + 3 < DCACLIENT_BACKLOG_RECORDS; ++i) {
        send_record(logon(u"nobody", nullptr, 1000, UI_FLAG_USER_LOGOUT));
    }
    send_record(logon(u"kept", nullptr, 1000, UI_FLAG_USER_LOGOUT));
    EXPECT_EQ(send_record(logon(u"last", u"127.0.0.92", 1000)), DCACLIENT_KEPT);
    EXPECT_EQ(dcaclient_node_backlog(0), DCACLIENT_BACKLOG_RECORDS);
    EXPECT_EQ(accepted(), 0u);

    ASSERT_EQ(dcaclient_monitor_pass(), 1);
    EXPECT_TRUE(logged("monitor_dcaserver_workerthread: backlog of collector 127.0.0.1 full: 5 "
                       "oldest records dropped\n"));
    EXPECT_TRUE(logged("monitor_dcaserver_workerthread: 10000 kept records sent to collector "
                       "127.0.0.1\n"));
    auto q = take_update_queue(3, 60000);
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(nivo_test::u8(q[0]->User), "kept");
    EXPECT_EQ(q[0]->Flags, UI_FLAG_LOGON);
    EXPECT_EQ(q[1]->Flags, UI_FLAG_LOGOUT);
    EXPECT_EQ(nivo_test::u8(q[1]->WrkstIP), "127.0.0.91"); // a notice names only the user
    EXPECT_EQ(nivo_test::u8(q[2]->User), "last");
    EXPECT_EQ(rows().size(), 1u); // neither "kept" nor the early ones
    // Now connected, a record goes out at once.
    EXPECT_EQ(send_record(logon(u"mia", u"127.0.0.93", 1000)), DCACLIENT_SENT);
    EXPECT_TRUE(eventually([&] { return stored("mia"); }));
}

TEST_F(Link, ACollectorThatIsDownIsTriedAgainSoonThenLessOften)
{
    start_client({entry(free_port())}); // nothing listens there
    EXPECT_EQ(send_record(logon(u"otto", u"127.0.0.95", 1000)), DCACLIENT_KEPT);
    // Each failed attempt doubles the delay before the next, up to the monitor's minute.
    std::vector<unsigned int> delays;
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(dcaclient_monitor_pass(), 0);
        delays.push_back(dcaclient_node_retry_ms(0));
    }
    EXPECT_EQ(delays, (std::vector<unsigned int>{2000, 4000, 8000, 16000, 32000, 60000, 60000}));
    EXPECT_EQ(dcaclient_node_backlog(0), 1u);
}

} // namespace
