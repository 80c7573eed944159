// The appliance link: the datagrams byte for byte and their limits, who receives an update, the
// request parser's bounds, the states and the requests' effects. Appliances are UDP sockets on
// 127.0.0.x; the whole road with the simulator is in tests/integration/sso_link_test.cpp.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/pc1.h"
#include "common/threadpool.h"
#include "config/config_lists.h"
#include "config/detector_settings.h"
#include "logoff/active_status.h"
#include "platform/socket.h"
#include "sso/sso_client.h"
#include "sso/sso_server.h"
#include "sso/sso_wire.h"
#include "support/collector.h"
#include "support/test_support.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

using nivo_test::drain_update_queue;

namespace {

using bytes = std::vector<std::uint8_t>;

UserInfo *
make_record(const char16_t *user, const char16_t *domain, const char16_t *ip,
            const char16_t *group = nullptr, std::int32_t flags = UI_FLAG_LOGON)
{
    UserInfo *record = nivo_test::make_logon(user, domain, ip, 0, 0, flags);
    userdb_set_text(&record->Group, group);
    return record;
}

bytes
build(const UserInfo *record)
{
    bytes out;
    EXPECT_EQ(SSOclient_build_update(record, &out), 0);
    return out;
}

sso_update
decode(const bytes &datagram)
{
    sso_update update;
    std::string error;
    EXPECT_EQ(sso_decode_update(datagram.data(), datagram.size(), &update, &error), 0) << error;
    return update;
}

TEST(SsoDatagram, TheReferenceLogonHeartbeatAndActiveReplyByteForByte)
{
    userinfo_ptr record(make_record(u"alice", u"CORP", u"10.0.0.1", u"Users"));
    bytes datagram = build(record.get());
    ASSERT_EQ(datagram.size(), 213u); // 3 x E, E = 71
    EXPECT_EQ(bytes(datagram.begin(), datagram.begin() + 5), (bytes{0x51, '2', '1', '3', 0}));
    EXPECT_EQ(std::memcmp(datagram.data() + 5, SSO_PACKET_KEY, 10), 0);
    for (std::size_t i = 15; i < datagram.size(); ++i) {
        ASSERT_TRUE(datagram[i] >= '0' && datagram[i] <= '9') << i;
    }

    std::uint8_t body[66];
    ASSERT_EQ(pc1_decipher_text(reinterpret_cast<const char *>(datagram.data() + 5), 208, body,
                                sizeof body),
              66);
    std::string expected("\x01\x04"
                         "2\0\0\0"
                         "\x02\x06"
                         "alice\0"
                         "\x05\x09"
                         "10.0.0.1\0"
                         "\x04\x06"
                         "Users\0"
                         "\x03\x05"
                         "CORP\0",
                         40);
    expected.append(26, '\0');
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(body), 66), expected);

    record->Flags = UI_FLAG_LOGOUT;
    EXPECT_EQ(build(record.get())[0], 0x52);

    EXPECT_EQ(sso_build_heartbeat(6677), (bytes{'g', '1', '1', 0, 0, 7, 4, '6', '6', '7', '7'}));
    EXPECT_EQ(sso_build_active_reply(6677),
              (bytes{'j', '1', '2', 0, 0, 7, 5, '6', '6', '7', '7', 0}));
    EXPECT_EQ(sso_build_heartbeat(80).size(), 9u);
}

TEST(SsoDatagram, WhatItCannotSendIsRefusedNeverCutOrMislabelled)
{
    userinfo_ptr record(make_record(u"alice", u"CORP", u"10.0.0.1"));
    bytes out;
    for (std::int32_t flags : std::initializer_list<std::int32_t>{
             UI_FLAG_ACTIVE, UI_FLAG_DETECTING, UI_FLAG_POLL_REQUEST, UI_FLAG_USER_LOGOUT, 0}) {
        record->Flags = flags;
        EXPECT_EQ(SSOclient_build_update(record.get(), &out), -1) << flags;
    }
    record->Flags = UI_FLAG_LOGON;
    for (std::int32_t type : {10000, -1, INT32_MIN}) {
        record->LogonType = type;
        EXPECT_EQ(SSOclient_build_update(record.get(), &out), -1) << type;
    }
    record->LogonType = 0;
    sso_update zero = decode(build(record.get()));
    EXPECT_EQ(bytes(zero.body.begin(), zero.body.begin() + 6), (bytes{1, 4, '0', 0, 0, 0}));
    record->LogonType = 9999;
    EXPECT_EQ(decode(build(record.get())).logon_type, 9999);

    // 254 bytes and the 0x00 fill one item exactly; one more byte does not fit the length byte.
    std::u16string longest(254, u'a');
    userdb_set_text(&record->User, longest.c_str());
    sso_update update = decode(build(record.get()));
    EXPECT_EQ(update.user, std::string(254, 'a'));
    std::u16string too_long(255, u'a');
    userdb_set_text(&record->User, too_long.c_str());
    EXPECT_EQ(SSOclient_build_update(record.get(), &out), -1);

    // Three UTF-8 bytes for one UTF-16 unit: the items outgrow the estimate, and the body grows
    // with them (80 CJK characters: 241 bytes of user item for an estimated body of 170).
    std::u16string wide(80, u'\u4e2d');
    userdb_set_text(&record->User, wide.c_str());
    userdb_set_text(&record->Domain, nullptr);
    bytes datagram = build(record.get());
    update = decode(datagram);
    EXPECT_EQ(update.user, nivo_test::u8(wide));
    EXPECT_EQ(update.wrkst_ip, "10.0.0.1");
    EXPECT_GT(datagram.size(), 3u * (11 + 2 * 80 + 4 + 2 * 8 + 4));

    // Four values of 200 units: the body (1622 bytes) is more than the cipher takes.
    std::u16string name(200, u'x');
    userinfo_ptr big(make_record(name.c_str(), name.c_str(), name.c_str(), name.c_str()));
    EXPECT_EQ(SSOclient_build_update(big.get(), &out), -1);
    // Absent fields send no item; an empty one sends its 0x00.
    userinfo_ptr sparse(make_record(u"", nullptr, nullptr));
    update = decode(build(sparse.get()));
    EXPECT_TRUE(update.has_user);
    EXPECT_EQ(update.user, "");
    EXPECT_FALSE(update.has_domain || update.has_wrkst_ip || update.has_group);
}

std::uint32_t
ipv4(const char16_t *text)
{
    std::uint32_t ip = 0;
    EXPECT_EQ(platform_ipv4_from_text(text, &ip), 0);
    return ip;
}

// An appliance: a UDP socket on a loopback address.
struct appliance {
    platform_socket_t socket = PLATFORM_INVALID_SOCKET;
    std::uint16_t port = 0;
    std::u16string address;

    explicit appliance(const char16_t *text) : address(text)
    {
        socket = platform_socket_open(false);
        EXPECT_EQ(platform_socket_bind(socket, ipv4(text), 0), 0);
        EXPECT_EQ(platform_socket_local_port(socket, &port), 0);
    }
    ~appliance()
    {
        platform_socket_close(socket);
    }

    // The next datagram, or an empty one after timeout_ms.
    bytes receive(int timeout_ms = 1000)
    {
        bytes buffer(4096);
        long long n = platform_socket_wait_readable(socket, timeout_ms / 1000,
                                                    (timeout_ms % 1000) * 1000) == 1
                          ? platform_socket_recv(socket, buffer.data(), buffer.size())
                          : 0;
        buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buffer;
    }
};

class SsoLink : public nivo_test::collector_fixture {
  protected:
    void SetUp() override
    {
        collector_fixture::SetUp();
        logoff_detector_init(1, 600);
        ASSERT_EQ(threadpool_create(4, 1), 0);
        SSOclient_set_transit_delay_ms(0);
        // a serves 10.1.0.0/16, b every network.
        std::string a_entry = "127.0.0.2:" + std::to_string(a.port) + "#10.1.0.0 (/16)";
        ASSERT_EQ(config_addgw_gwlist(nivo_test::u16(a_entry).c_str(), &config), 0);
        std::string b_entry = "127.0.0.3:" + std::to_string(b.port);
        ASSERT_EQ(config_addgw_gwlist(nivo_test::u16(b_entry).c_str(), &config), 0);
        counter_before = g_is_active_collector.load();
        ASSERT_EQ(SSOclient_init(config.gw_list, dir.wpath().c_str()), 0);
        node_a = SSOclient_find_gwnode(a.address.c_str());
        node_b = SSOclient_find_gwnode(b.address.c_str());
        ASSERT_NE(node_a, nullptr);
        ASSERT_NE(node_b, nullptr);
    }
    void TearDown() override
    {
        gw_update_queue_set_bound(GW_UPDATE_QUEUE_BOUND); // a replay left waiting goes on
        SSO_server_set_getallusers_rate(0);
        threadpool_destroy(); // pending file rewrites and resends finish first
        SSOclient_fini();
        EXPECT_EQ(g_is_active_collector.load(), counter_before);
        config_free_lists(&config);
        collector_fixture::TearDown();
    }

    // Logons (user, address) written straight into the table, so that nothing is queued for them.
    void store_quietly(const std::vector<std::pair<std::string, std::string>> &logons)
    {
        ASSERT_EQ(nivo_test::store_logons(dir.file("nivo.db3"), logons, 600), "");
    }
    bool wait_log(const std::string &needle)
    {
        return nivo_test::eventually([&] { return logged(needle); });
    }

    // Handles a request as if it came from sender (appliance a by default).
    int request(const bytes &datagram, const char16_t *sender = u"127.0.0.2")
    {
        return SSO_server_handle_datagram(datagram.data(), datagram.size(), sender);
    }
    int request(std::uint8_t code, const std::string &item = "",
                const char16_t *sender = u"127.0.0.2")
    {
        return request(sso_build_request(code, item), sender);
    }
    // Whether the GetAllUsers replay for the node has queued its last row, within the wait.
    static bool replayed(const gw_node *node)
    {
        return nivo_test::eventually([node] { return !node->getall_pending.load(); });
    }

    config_record config{};
    appliance a{u"127.0.0.2"};
    appliance b{u"127.0.0.3"};
    gw_node *node_a = nullptr;
    gw_node *node_b = nullptr;
    std::uint16_t counter_before = 0;
};

TEST_F(SsoLink, ARequesterAloneGetsItsAnswerBroadcastsGoToLiveAppliancesOfTheAddress)
{
    struct row {
        const char16_t *ip;
        gw_node *requester;
        int state_a;
        int state_b; // live-off (1) still receives updates
        bool to_a;
        bool to_b;
    };
    const row rows[] = {
        {u"192.0.2.1", node_a, 0, 0, true, false},  {nullptr, node_b, 0, 0, false, true},
        {u"10.1.2.3", nullptr, 0, 0, false, false}, {u"10.1.2.3", nullptr, 2, 1, true, true},
        {u"10.2.0.1", nullptr, 2, 1, false, true},  {u"host.example", nullptr, 2, 1, false, false},
        {u"10.1.2", nullptr, 2, 1, false, false},   {u"::1", nullptr, 2, 1, false, false},
        {u"", nullptr, 2, 1, false, false},         {nullptr, nullptr, 2, 1, false, false},
    };
    // Each row sends its own user, so a datagram that went astray shows up at the next receive.
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        node_a->active_state = rows[i].state_a; // set directly: the counter is not the point here
        node_b->active_state = rows[i].state_b;
        std::u16string user = nivo_test::u16("user" + std::to_string(i));
        UserInfo *record = make_record(user.c_str(), u"CORP", rows[i].ip);
        record->RequestingGW = rows[i].requester;
        SSOclient_process_record(record);
        if (rows[i].to_a) {
            EXPECT_EQ(decode(a.receive()).user, nivo_test::u8(user));
        }
        if (rows[i].to_b) {
            EXPECT_EQ(decode(b.receive()).user, nivo_test::u8(user));
        }
    }
    EXPECT_TRUE(a.receive(200).empty());
    EXPECT_TRUE(b.receive(200).empty());
    node_a->active_state = 0;
    node_b->active_state = 0;
}

TEST_F(SsoLink, StatesTheCounterAndHeartbeats)
{
    EXPECT_EQ(request(SSO_CODE_LIVE_OFF), 1);
    EXPECT_EQ(node_a->active_state.load(), 1);
    SSOclient_send_heartbeats();
    EXPECT_TRUE(a.receive(200).empty()); // live-off: no heartbeat

    EXPECT_EQ(request(SSO_CODE_IS_ACTIVE), 1);
    EXPECT_EQ(node_a->active_state.load(), 2);
    EXPECT_EQ(static_cast<std::uint16_t>(g_is_active_collector.load() - counter_before), 2);
    EXPECT_EQ(a.receive(), sso_build_active_reply(tsso_server_get_port()));
    SSOclient_send_heartbeats();
    EXPECT_EQ(a.receive(), sso_build_heartbeat(tsso_server_get_port()));
    EXPECT_TRUE(b.receive(200).empty());

    EXPECT_EQ(request(SSO_CODE_LIVE_NACK), 1);
    EXPECT_EQ(node_a->active_state.load(), 0);
    EXPECT_EQ(g_is_active_collector.load(), counter_before);

    // IS_ACTIVE from an address not in the list changes nothing.
    EXPECT_EQ(request(SSO_CODE_IS_ACTIVE, "", u"127.0.0.99"), 1);
    EXPECT_EQ(g_is_active_collector.load(), counter_before);
    EXPECT_TRUE(logged("SSO_server_RecvReqGW: GW '127.0.0.99' is not Registered"));
}

TEST_F(SsoLink, IsActiveRequestsWhileAResendWaitsShareIt)
{
    SSOclient_set_transit_delay_ms(300);
    userinfo_ptr alice(make_record(u"alice", u"corp.example", u"10.1.0.5"));
    ASSERT_EQ(userinfo_db_insert(alice.get()), 0);
    (void)drain_update_queue();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(request(SSO_CODE_IS_ACTIVE, "", u"127.0.0.3"), 1);
    }
    ASSERT_TRUE(wait_log("SSO_server_enqueue_update_req: user logon request enqueued"));
    std::this_thread::sleep_for(std::chrono::milliseconds(600)); // any second resend is due
    EXPECT_EQ(drain_update_queue().size(), 1u);
    EXPECT_EQ(request(SSO_CODE_LIVE_NACK, "", u"127.0.0.3"), 1);
}

TEST_F(SsoLink, TheLengthFieldAndShortDatagrams)
{
    store_quietly({{"alice", "10.1.0.5"}, {"bob", "10.1.0.6"}});
    bytes get_all = sso_build_request(SSO_CODE_GETALLUSERS);
    ASSERT_EQ(get_all, (bytes{12, '5', 0, 0, 0}));
    EXPECT_EQ(request(bytes(get_all.begin(), get_all.begin() + 4)), 0);
    EXPECT_TRUE(drain_update_queue().empty());
    bytes twelve(12, 0);
    twelve[0] = 12;
    std::memcpy(twelve.data() + 1, "20", 2);
    EXPECT_EQ(request(twelve), 0); // says 20, 12 arrived
    EXPECT_TRUE(drain_update_queue().empty());
    std::memcpy(twelve.data() + 1, "5\0", 2);
    EXPECT_EQ(request(twelve), 1); // says 5, 12 arrived: handled
    ASSERT_TRUE(replayed(node_a));
    EXPECT_EQ(drain_update_queue().size(), 2u);
    EXPECT_EQ(node_a->active_state.load(), 0); // GetAllUsers leaves the state alone

    // Items that end beyond the datagram, and a poll without its item.
    bytes poll = sso_build_request(SSO_CODE_WRKSTPOLL, std::string("10.1.0.5\0", 9));
    bytes cut(poll.begin(), poll.end() - 1); // one byte short of its item
    sso_put_length(cut.data(), cut.size());
    EXPECT_EQ(request(cut), 1);
    EXPECT_EQ(request(bytes{11, '6', 0, 0, 0, 1}), 1);
    EXPECT_TRUE(drain_update_queue().empty());
    EXPECT_TRUE(logged("SSO_server_RecvReqGW: request too short for its item"));
    EXPECT_EQ(request(bytes{99, '5', 0, 0, 0}), 1);
    EXPECT_TRUE(logged("SSO_server_RecvReqGW: Invalid Request Message Code: 99"));
}

TEST_F(SsoLink, ForgedGetAllUsersRunOneReplayAtATimeInABoundedQueueAtTheConfiguredRate)
{
    std::vector<std::pair<std::string, std::string>> logons;
    for (int i = 0; i < 50; ++i) {
        logons.emplace_back("u" + std::to_string(i), "10.1.0." + std::to_string(i));
    }
    store_quietly(logons);
    // Forty GetAllUsers from the appliance's address while nothing takes from the queue: one
    // replay runs and stops at the bound, the other requests are dropped.
    gw_update_queue_set_bound(16);
    bytes get_all = sso_build_request(SSO_CODE_GETALLUSERS);
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(request(get_all), 1);
    }
    ASSERT_TRUE(wait_log("SSO_server_enqueue_update_req: user logon request enqueued"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(gw_update_queue_count(), 16u);
    EXPECT_TRUE(node_a->getall_pending.load());
    EXPECT_EQ(nivo_test::logged_at(dir.file("nivo.log"), "ERROR",
                                   "SSO_server_handle_getallusers_req: GetAllUsers from GW "
                                   "'127.0.0.2' dropped: its previous one is still being "
                                   "answered\n"),
              39u);
    // A live update goes in past the bound.
    ASSERT_EQ(
        gw_update_queue_enqueue(make_record(u"zoe", u"CORP", u"10.1.9.9", nullptr, UI_FLAG_LOGOUT)),
        0);

    // Taking from the queue lets the replay finish: every stored logon once, the logout too.
    std::vector<userinfo_ptr> taken;
    EXPECT_TRUE(nivo_test::eventually([&] {
        bool over = !node_a->getall_pending.load();
        for (userinfo_ptr &record : drain_update_queue()) {
            taken.push_back(std::move(record));
        }
        return over;
    }));
    ASSERT_EQ(taken.size(), 51u);
    std::set<std::string> users;
    for (const userinfo_ptr &record : taken) {
        if (record->Flags == UI_FLAG_LOGON) {
            EXPECT_EQ(record->RequestingGW, node_a);
            users.insert(nivo_test::u8(record->User));
        }
    }
    EXPECT_EQ(users.size(), 50u);

    // At 40 a second, 50 logons take at least 49/40 seconds.
    gw_update_queue_set_bound(GW_UPDATE_QUEUE_BOUND);
    SSO_server_set_getallusers_rate(40);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(request(get_all), 1);
    ASSERT_TRUE(replayed(node_a));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1200));
    EXPECT_EQ(drain_update_queue().size(), 50u);
}

TEST_F(SsoLink, WorkstationPollsAndLogoutRequests)
{
    // A second logon on the same address, as an older version of the store could have left it.
    store_quietly({{"alice", "10.1.0.5"}, {"bob", "10.1.0.5"}, {"carol", "10.1.0.6"}});
    // Two stored logons: both queued for the asking appliance, no workstation check.
    bytes poll = sso_build_request(SSO_CODE_WRKSTPOLL, std::string("10.1.0.5\0", 9));
    EXPECT_EQ(request(poll), 1);
    EXPECT_EQ(node_a->active_state.load(), 2); // from 0 to 2
    std::vector<userinfo_ptr> sent = drain_update_queue();
    ASSERT_EQ(sent.size(), 2u);
    for (const auto &record : sent) {
        EXPECT_EQ(record->RequestingGW, node_a);
    }
    EXPECT_EQ(log().find("wrkstpoll_dispatch"), std::string::npos);

    // Nothing stored: the workstation check job takes the request.
    EXPECT_EQ(request(SSO_CODE_WRKSTPOLL, std::string("10.1.0.9\0", 9)), 1);
    EXPECT_TRUE(wait_log("wrkstpoll_dispatch: no workstation poll worker available"));
    EXPECT_TRUE(drain_update_queue().empty());

    // Outside b's networks? b serves all; outside a's: refused after the state changed.
    EXPECT_EQ(request(SSO_CODE_LIVE_NACK), 1);
    EXPECT_EQ(request(SSO_CODE_WRKSTPOLL, std::string("10.2.0.1\0", 9)), 1);
    EXPECT_EQ(node_a->active_state.load(), 2);
    EXPECT_TRUE(logged("poll req for '10.2.0.1' from '127.0.0.2' filtered out"));

    // A wrong item type is dropped.
    poll[5] = 2;
    EXPECT_EQ(request(poll), 1);
    EXPECT_TRUE(drain_update_queue().empty());
    EXPECT_TRUE(logged("SSO_server_RecvReqGW: Invalid TLV Type: 2"));
    EXPECT_EQ(request(SSO_CODE_LIVE_NACK), 1);

    // A logout request deletes the rows of the listed addresses and sends nothing; text that is
    // not a list of quoted addresses is refused by the store, and nothing is deleted.
    EXPECT_EQ(request(SSO_CODE_LOGOUT_REQUEST, "'10.1.0.5','10.1.0.9'"), 1);
    EXPECT_EQ(request(SSO_CODE_LOGOUT_REQUEST, "'10.1.0.6') OR (1=1"), 1);
    EXPECT_TRUE(drain_update_queue().empty());
    std::vector<nivo_test::store_row> left = rows();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].user, "carol");
    EXPECT_TRUE(a.receive(200).empty());
}

TEST_F(SsoLink, TheServerDropsDatagramsOverTheLargestAndReadsTheLargest)
{
    std::uint16_t port = nivo_test::free_port();
    ASSERT_EQ(tsso_server_init(u"127.0.0.1", port), 0);

    // Requests from appliance a's address.
    platform_socket_t sender = platform_socket_open(false);
    ASSERT_EQ(platform_socket_bind(sender, ipv4(u"127.0.0.2"), 0), 0);
    ASSERT_EQ(platform_socket_connect(sender, ipv4(u"127.0.0.1"), port), 0);
    bytes oversized = sso_build_request(SSO_CODE_IS_ACTIVE);
    oversized.resize(513, 'x');
    ASSERT_EQ(platform_socket_send(sender, oversized.data(), oversized.size()), 513);
    EXPECT_EQ(SSO_server_RecvReqGW(), 0);
    EXPECT_EQ(node_a->active_state.load(), 0);
    bytes largest = sso_build_request(SSO_CODE_LIVE_OFF);
    largest.resize(512, 'x');
    ASSERT_EQ(platform_socket_send(sender, largest.data(), largest.size()), 512);
    EXPECT_EQ(SSO_server_RecvReqGW(), 1);
    EXPECT_EQ(node_a->active_state.load(), 1);
    platform_socket_close(sender);
    tsso_server_net_fini();
    EXPECT_EQ(request(SSO_CODE_LIVE_NACK), 1);
    EXPECT_TRUE(logged("SSO_server_RecvReqGW: datagram longer than 512 bytes dropped"));
}

} // namespace
