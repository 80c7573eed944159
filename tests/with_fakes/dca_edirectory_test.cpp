// The eDirectory monitor, the directory access it shares with the directory poll, and that poll,
// over a scripted directory client.

#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/text.h"
#include "common/threadpool.h"
#include "config/config.h"
#include "config/detector_settings.h"
#include "dca/dca_edirectory.h"
#include "dca/dca_pipeline.h"
#include "dca/filter/dca_filter.h"
#include "fakes/ldap_fake.h"
#include "logoff/wrkstpoll.h"
#include "support/collector.h"
#include "support/test_support.h"
#include "userdb/userdb.h"

using ldap_fake::search_answer;
using ldap_fake::state;
using ldap_fake::wait_answer;
using nivo_test::now_seconds;
using nivo_test::u16;
using nivo_test::u8;

namespace {

// The networkAddress values of 192.168.1.20 (TCP, port 443) and 10.1.2.30 (IP).
const std::string TCP_192_168_1_20("9#\x01\xbb\xc0\xa8\x01\x14", 8);
const std::string IP_10_1_2_30("1#\x0a\x01\x02\x1e", 6);

platform_ldap_entry
user_entry(const std::string &uid, const std::string &dn, std::vector<std::string> addresses)
{
    return {dn,
            {{"objectClass", {"inetOrgPerson"}},
             {"UID", {uid}},
             {"loginTime", {"20261206213000Z"}},
             {"networkAddress", std::move(addresses)}}};
}

wait_answer
event(int type, std::optional<std::string> perpetrator, std::optional<std::string> base = {},
      std::optional<std::string> user = {})
{
    wait_answer out{PLATFORM_LDAP_RES_INTERMEDIATE, {}};
    out.message.event_type = type;
    out.message.perpetrator_dn = std::move(perpetrator);
    out.message.base_dn = std::move(base);
    out.message.user_dn = std::move(user);
    return out;
}

wait_answer
monitor_end(int code, const std::string &text = "", std::vector<int> refused = {})
{
    wait_answer out{PLATFORM_LDAP_RES_EXTENDED, {}};
    out.message.result_code = code;
    out.message.error_text = text;
    out.message.refused_event_types = std::move(refused);
    return out;
}

class Edir : public nivo_test::collector_fixture {
  protected:
    void SetUp() override
    {
        collector_fixture::SetUp();
        saved_ = *config_get();
        config_record *config = config_get();
        config->edirectory_server_ip = const_cast<char16_t *>(u"127.0.0.1");
        config->edirectory_server_port = 389;
        config->admin_user_dn = const_cast<char16_t *>(u"cn=admin,o=corp");
        config->edirectory_password = const_cast<char16_t *>(u"secret");
        config->user_base_dn = const_cast<char16_t *>(u"o=corp");
        logoff_detector_init(DETECTION_MODE_WORKSTATION_POLL, 600);
        ASSERT_EQ(dca_addnet_authnetlist(u"10.0.0.0/8"), 0);
        ASSERT_EQ(dca_addnet_authnetlist(u"192.168.0.0/16"), 0);
        ldap_fake::edit([](state &s) { s = {}; });
        edir_reset(1000); // 10 s pauses take 10 ms
        dca_pipeline_reset();
        dca_set_local_cidmgr();
        ASSERT_EQ(dca_client_init(nullptr), 0);
        ASSERT_EQ(threadpool_create(4, 1), 0);
    }
    void TearDown() override
    {
        stop_monitor();
        threadpool_destroy();
        EXPECT_EQ(ldap_fake::seen().open_sessions, 0u);
        edir_reset();
        dca_pipeline_reset();
        *config_get() = saved_;
        logoff_detector_init(1, LOGOFF_DEFAULT_INTERVAL);
        collector_fixture::TearDown();
    }

    void start_monitor()
    {
        monitor_ = std::thread(nd_login_event_listner, config_get());
    }
    // Lets the monitor take every scripted message; then until condition holds.
    template <class F> void drain_waits(F condition)
    {
        ASSERT_TRUE(nivo_test::eventually([] { return ldap_fake::seen().waits.empty(); }));
        ASSERT_TRUE(nivo_test::eventually(condition));
    }
    void stop_monitor()
    {
        edir_stop();
        if (monitor_.joinable()) {
            monitor_.join();
        }
    }
    // The updates queued for the appliances since the last look, once count have come, as
    // user/flags in name order (the pipeline's jobs run in any order, and a row is visible just
    // before its update is queued).
    static std::string sent(std::size_t count)
    {
        std::multiset<std::string> updates;
        for (const userinfo_ptr &update : nivo_test::take_update_queue(count)) {
            updates.insert(u8(update->User) + "/" + std::to_string(update->Flags) + " ");
        }
        return std::accumulate(updates.begin(), updates.end(), std::string());
    }
    void insert_logon(const std::string &user, const std::string &ip, bool due)
    {
        std::int32_t create = due ? now_seconds() - 700 : 0;
        std::int32_t expire = due ? now_seconds() - 100 : 0;
        userinfo_ptr record(nivo_test::make_logon(u16(user).c_str(), u"corp.example",
                                                  u16(ip).c_str(), create, expire));
        ASSERT_EQ(userinfo_db_insert(record.get()), 0);
    }

    config_record saved_{};
    std::thread monitor_;
};

TEST_F(Edir, FiltersAddressesAndNamesAreBuiltOnlyFromWellFormedInput)
{
    // The filters of a good address are those of the search by address below.
    std::string filter = "(stale)";
    for (const char *bad : {"", "10.1.2", "10.1.2.256", "10.1.2.3.4", "10.1..3", "1.2.3.x",
                            "1000.1.1.1", "-1.2.3.4", "10.1.2.3 "}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(nd_build_networkaddress_filter(bad, &filter, EDIR_PREFIX_TCP), -1);
        EXPECT_TRUE(filter.empty());
    }

    for (const std::string &none :
         {std::string("9#\x01\xbb\xc0\xa8\x01", 7), std::string("1#\x0a\x01\x02", 5),
          std::string("13#\x0a\x01\x02\x1e\x00\x00", 9),
          std::string("8#\x01\xbb\x0a\x01\x02\x1e", 8)}) {
        EXPECT_EQ(edir_networkaddress_to_ip(none), "");
    }

    char16_t *name = nullptr;
    ASSERT_EQ(GetUserNameFromUserDN(&name, u"cn=jsmith,ou=sales,o=corp"), 0);
    EXPECT_EQ(std::u16string(name), u"jsmith");
    text_free(name);
    name = nullptr;
    EXPECT_EQ(GetUserNameFromUserDN(&name, u"CN=jsmith,ou=sales"), -1);
    EXPECT_EQ(GetUserNameFromUserDN(&name, u"ou=sales,cn=jsmith"), -1);
    // A DN over 1023 units is refused, never cut into another DN.
    std::u16string longest = u"cn=" + std::u16string(1020, u'a');
    ASSERT_EQ(GetUserNameFromUserDN(&name, longest.c_str()), 0);
    EXPECT_EQ(std::u16string(name), longest.substr(3));
    text_free(name);
    name = nullptr;
    EXPECT_EQ(GetUserNameFromUserDN(&name, (longest + u"b").c_str()), -1);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(logged_count("ERROR", "GetUserNameFromUserDN: DN longer than 1023 units, refused"),
              1u);
}

TEST_F(Edir, SearchesByAddressAndByUserReadOnlyWhatBelongsToTheUser)
{
    platform_ldap *session = nullptr;
    ASSERT_EQ(nd_init_ldap(u"127.0.0.1", u"cn=admin,o=corp", u"secret", 389, &session), 0);
    ldap_fake::edit([](state &s) {
        s.searches = {{},
                      {0,
                       {{"cn=printer,o=corp", {{"messageServer", {"ps1"}}}},
                        {"cn=jsmith,o=corp",
                         {{"uid", {"jsmith"}},
                          {"LOGINTIME", {"  1700000000 and more"}},
                          {"messageServer", {"ws-jsmith"}}}},
                        {"cn=later,o=corp", {{"uid", {"later"}}}}}}};
    });
    userinfo_ptr by_ip(GetUserDataFromNovellSearchByIP(session, "10.1.2.30", "o=corp"));
    ASSERT_NE(by_ip, nullptr);
    EXPECT_EQ(u8(by_ip->User), "jsmith");
    EXPECT_EQ(u8(by_ip->WrkstName), "ws-jsmith");
    EXPECT_EQ(by_ip->CreateTime, 1700000000);
    EXPECT_EQ(by_ip->ExpireTime, 1700000600);
    std::vector<ldap_fake::search_call> calls = ldap_fake::seen().search_calls;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].filter, "(networkAddress=9#\\00\\00\\0a\\01\\02\\1e)");
    EXPECT_EQ(calls[1].filter, "(networkAddress=1#\\0a\\01\\02\\1e)");
    EXPECT_EQ(calls[1].base, "o=corp");

    // A failed search, an entry without uid and an address that builds no filter find nobody.
    ldap_fake::edit([](state &s) {
        s.searches = {{32, {}}, {0, {{"cn=x,o=corp", {{"cn", {"x"}}}}}}};
    });
    EXPECT_EQ(GetUserDataFromNovellSearchByIP(session, "10.1.2.30", "o=corp"), nullptr);
    EXPECT_EQ(GetUserDataFromNovellSearchByIP(session, "10.1.2.30", "o=corp"), nullptr);
    EXPECT_EQ(GetUserDataFromNovellSearchByIP(session, "10.1.2", "o=corp"), nullptr);
    EXPECT_EQ(ldap_fake::seen().search_calls.size(), 4u);
    EXPECT_EQ(logged_count("ERROR", "GetUserDataFromNovellSearchByIP: ldap_search_ext_s: 32"), 1u);

    // By user: the last usable address of the entry.
    const std::pair<std::vector<std::string>, std::string> answers[] = {
        {{TCP_192_168_1_20, IP_10_1_2_30, "9#"}, "10.1.2.30"},
        {{"9#"}, ""},
    };
    for (const auto &a : answers) {
        SCOPED_TRACE(a.second);
        ldap_fake::edit([&](state &s) {
            s.searches = {{0, {user_entry("jsmith", "cn=jsmith,ou=sales,o=corp", a.first)}}};
        });
        userinfo_ptr found(GetUserDataFromNovellSearch(session, "jsmith", "ou=sales,o=corp"));
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(u8(found->User), "jsmith");
        EXPECT_EQ(found->WrkstIP == nullptr ? "" : u8(found->WrkstIP), a.second);
        EXPECT_NEAR(found->CreateTime, now_seconds(), 5); // loginTime itself is not read
        EXPECT_EQ(found->ExpireTime, found->CreateTime + 600);
    }
    EXPECT_EQ(ldap_fake::seen().search_calls.back().filter, "(&(uid=jsmith)(networkAddress=*))");
    EXPECT_EQ(ldap_fake::seen().search_calls.back().base, "ou=sales,o=corp");

    // A name cannot widen the filter.
    EXPECT_EQ(GetUserDataFromNovellSearch(session, "j*(x)\\", "o=corp"), nullptr);
    EXPECT_EQ(ldap_fake::seen().search_calls.back().filter,
              "(&(uid=j\\2a\\28x\\29\\5c)(networkAddress=*))");

    // An entry whose DN does not hold the name is not the user's.
    ldap_fake::edit([](state &s) {
        s.searches = {{0, {user_entry("jsmith", "cn=other,o=corp", {IP_10_1_2_30})}}};
    });
    EXPECT_EQ(GetUserDataFromNovellSearch(session, "jsmith", "o=corp"), nullptr);

    // Two time-outs are retried; fifty in a row mean the directory does not know the user.
    ldap_fake::edit([](state &s) {
        s.search_calls.clear();
        s.searches = {{PLATFORM_LDAP_TIMEOUT, {}},
                      {PLATFORM_LDAP_TIMEOUT, {}},
                      {0, {user_entry("jsmith", "cn=jsmith,o=corp", {IP_10_1_2_30})}}};
    });
    EXPECT_NE(userinfo_ptr(GetUserDataFromNovellSearch(session, "jsmith", "o=corp")), nullptr);
    EXPECT_EQ(ldap_fake::seen().search_calls.size(), 3u);
    ldap_fake::edit([](state &s) { s.searches.assign(60, {PLATFORM_LDAP_TIMEOUT, {}}); });
    EXPECT_EQ(GetUserDataFromNovellSearch(session, "jsmith", "o=corp"), nullptr);
    EXPECT_EQ(ldap_fake::seen().search_calls.size(), 3u + EDIR_SEARCH_TIMEOUT_TRIES);
    EXPECT_EQ(logged_count("ERROR", "GetUserDataFromNovellSearch: ldap_search_ext_s() failed.: 85"),
              1u);
    platform_ldap_close(session);
}

TEST_F(Edir, SetUpOpensSixTimesAndBacksOffAWrongPasswordLoggingItRarely)
{
    platform_ldap *session = nullptr;
    ldap_fake::edit([](state &s) { s.open_errors.assign(6, 111); });
    EXPECT_EQ(nd_init_ldap(u"127.0.0.1", u"cn=admin,o=corp", u"secret", 389, &session), -1);
    EXPECT_EQ(ldap_fake::seen().opens, 6u);
    EXPECT_EQ(
        logged_count("ERROR", "nd_init_ldap: LDAP session initialization failed Error is 111"), 6u);
    EXPECT_EQ(nd_init_ldap(nullptr, nullptr, u"secret", 389, &session), -1);
    std::u16string long_dn = u"cn=" + std::u16string(1021, u'a');
    EXPECT_EQ(nd_init_ldap(u"127.0.0.1", long_dn.c_str(), u"secret", 389, &session), -1);
    EXPECT_EQ(ldap_fake::seen().opens, 6u);

    // Thirty refusals: logged at the first and then once a minute of back-off (100 ms doubling
    // to 10 s: after 13, 19 and 25 refusals), not thirty times.
    ldap_fake::edit([](state &s) {
        s.open_errors = {111, 111};
        s.refused_binds = 30;
    });
    ASSERT_EQ(nd_init_ldap(u"127.0.0.1", u"cn=admin,o=corp", u"secret", 389, &session), 0);
    EXPECT_EQ(ldap_fake::seen().opens, 9u);
    EXPECT_EQ(ldap_fake::seen().binds, 31u);
    EXPECT_EQ(logged_count("ERROR", "nd_init_ldap: bind failed: 49, retrying"), 4u);
    EXPECT_EQ(logged_count("ERROR", "nd_init_ldap: Bind successful session id ="), 1u);
    EXPECT_EQ(ldap_fake::seen().time_limit, EDIR_TIME_LIMIT_START);
    platform_ldap_close(session);

    // A caller whose bind is refused for good ends with a stop, and leaves no session open.
    ldap_fake::edit([](state &s) { s.refused_binds = 1000000; });
    std::thread refused([&] {
        platform_ldap *never = nullptr;
        EXPECT_EQ(nd_init_ldap(u"127.0.0.1", u"cn=admin,o=corp", u"wrong", 389, &never), -1);
    });
    ASSERT_TRUE(nivo_test::eventually([] { return ldap_fake::seen().binds > 40; }));
    edir_stop();
    refused.join();
}

TEST_F(Edir, MonitorLogsEveryEndOfTheSubscriptionAndReconnects)
{
    wait_answer unreadable_end = monitor_end(0);
    unreadable_end.message.parse_result = -3;
    ldap_fake::edit([&](state &s) {
        s.subscribe_results = {-7};
        s.waits = {monitor_end(1, "busy"), monitor_end(11), monitor_end(53), monitor_end(0, "done"),
                   unreadable_end,
                   // These do not end the subscription.
                   event(1, {}), event(2, {}), event(55, {}), wait_answer{101, {}}};
    });
    start_monitor();
    drain_waits([this] {
        return logged_count("", "nd_login_event_listner: Error occured in listner of events") == 1;
    });
    stop_monitor();

    for (const char *line : {
             "nd_login_event_listner: ldap_monitor_event: -7",
             "nd_login_event_listner: Server operations error: busy",
             "nd_login_event_listner: Maximum number of active event monitors exceeded.",
             "nd_login_event_listner: Extension is currently disabled.",
             "nd_login_event_listner: 0, done.",
             "nd_login_event_listner: Error in ldap_parse_monitor_events_response: -3",
             "nd_login_event_listner: Unexpected event notification: 55",
         }) {
        EXPECT_EQ(logged_count("ERROR", line), 1u) << line;
    }
    EXPECT_EQ(logged_count("DEBUG", "nd_login_event_listner: Error occured in listner of events"),
              1u);
    // The failed subscription and each of the five ends rebuilt the connection.
    EXPECT_EQ(logged_count("ERROR", "nd_login_event_listner: reconnecting to ldap."), 6u);
    state seen = ldap_fake::seen();
    EXPECT_EQ(seen.subscribes, 7u);
    EXPECT_EQ(seen.opens, 7u);
    EXPECT_EQ(seen.time_limit, EDIR_TIME_LIMIT_EVENTS);
}

TEST_F(Edir, AServerThatEndsEverySubscriptionAtOnceIsAskedAgainOnlyAfterAPause)
{
    edir_reset(1); // the real 5 s pause
    ldap_fake::edit([](state &s) { s.waits.assign(200, monitor_end(53)); });
    start_monitor();
    ASSERT_TRUE(nivo_test::eventually([] { return ldap_fake::seen().waits.size() == 199; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(ldap_fake::seen().opens, 1u);
    stop_monitor();
}

TEST_F(Edir, LoginsBecomeLogonsAndLogoutsEndThemAndReachTheCollectors)
{
    ldap_fake::edit([](state &s) {
        s.searches = {{0, {user_entry("bob", "cn=bob,ou=it,o=corp", {TCP_192_168_1_20})}},
                      {0, {user_entry("carol", "cn=carol,o=corp", {})}}};
    });
    insert_logon("carol", "10.9.9.9", false);
    start_monitor();
    ldap_fake::edit([](state &s) {
        s.waits = {// The user DN's name, looked up below the event's base DN.
                   event(PLATFORM_LDAP_EVENT_LOGIN, "cn=admin,o=corp", "ou=it,o=corp",
                         "cn=bob,ou=it,o=corp"),
                   event(PLATFORM_LDAP_EVENT_LOGIN, {}),
                   // A login at an unknown address ends the stored logon.
                   event(PLATFORM_LDAP_EVENT_LOGIN, "cn=carol,o=corp", "o=corp")};
    });
    drain_waits([this] { return rows().size() == 1u && rows("user=='carol'").empty(); });
    std::vector<ldap_fake::search_call> calls = ldap_fake::seen().search_calls;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].filter, "(&(uid=bob)(networkAddress=*))");
    EXPECT_EQ(calls[0].base, "ou=it,o=corp");
    EXPECT_EQ(edir_get_search_base(), "o=corp");
    EXPECT_EQ(rows("user='bob' and wrkst_ip='192.168.1.20'").size(), 1u);
    EXPECT_EQ(sent(2), "bob/5 carol/4 ");

    // A logout of a stored user ends the logon here; either way the Collectors hear of it.
    ldap_fake::edit([](state &s) {
        s.waits = {event(PLATFORM_LDAP_EVENT_LOGOUT, "cn=bob,ou=it,o=corp", "ou=it,o=corp"),
                   event(PLATFORM_LDAP_EVENT_LOGOUT, "cn=admin,o=corp", {}, "cn=ghost,o=corp"),
                   event(PLATFORM_LDAP_EVENT_LOGOUT, {})};
    });
    drain_waits([this] {
        return logged_count("", "dca_remove_userinfo_dcaclient: DCA Client IO succeded") == 2;
    });
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(sent(1), "bob/4 ");
    EXPECT_EQ(edir_get_search_base(), "o=corp"); // logouts leave it
    for (auto [level, line] : std::initializer_list<std::pair<const char *, const char *>>{
             {"MSG", "Received a user login event but data is invalid, so ignoring."},
             {"ERROR", "nd_login_event_listner: Work station ip is not found"},
             {"MSG", "nd_login_event_listner: sending logout for user: bob"},
             {"ERROR", "nd_login_event_listner: could nto find username to logout"},
             {"MSG", "Sending logout Request to the remote Collector: bob"},
             {"MSG", "Sending logout Request to the remote Collector: ghost"},
             {"INFO", "Received a user logout event but data is invalid"}}) {
        EXPECT_EQ(logged_count(level, line), 1u) << line;
    }
}

TEST_F(Edir, DirectoryPollLogsOutWhomTheDirectoryDoesNotShowOrCannotBeReached)
{
    ASSERT_EQ(wrkstpoll_init(POLLING_MODE_LDAP, nullptr, nullptr), 0);
    insert_logon("bob", "10.0.1.2", true);
    UserInfo *due[5] = {};
    ASSERT_EQ(userinfo_db_select_expired(due, 5, 0), 1);
    wrkstpoll_dispatch(due[0]);
    // Both address forms asked for; before the first login the search base is empty.
    std::vector<ldap_fake::search_call> calls = ldap_fake::seen().search_calls;
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].filter, "(networkAddress=9#\\00\\00\\0a\\00\\01\\02)");
    EXPECT_EQ(calls[0].base + calls[1].base, "");
    EXPECT_EQ(sent(1), "bob/4 ");

    edir_set_search_base("o=corp");
    ldap_fake::edit([](state &s) { s.open_errors.assign(6, 111); });
    insert_logon("carol", "10.0.1.3", true);
    ASSERT_EQ(userinfo_db_select_expired(due, 5, 0), 1);
    EXPECT_EQ(wrkstpoll_workerthread_ldap(due[0]), 0);
    EXPECT_EQ(sent(1), "carol/4 ");
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(wrkstpoll_workerthread_ldap(nullptr), -1);
    EXPECT_EQ(logged_count("ERROR", "wrkstpoll_workerthread_ldap: User info not found in Novell. "
                                    "deleting user from db."),
              2u);
}

} // namespace
