// The session poller over a scripted session list.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "common/threadpool.h"
#include "config/detector_settings.h"
#include "dca/dca_netsession.h"
#include "dca/dca_pipeline.h"
#include "dca/filter/dca_filter.h"
#include "fakes/resolver_fake.h"
#include "fakes/sessions_fake.h"
#include "support/collector.h"
#include "support/test_support.h"

using nivo_test::u16;
using sessions_fake::answer;
using sessions_fake::session;

namespace {

using entries = std::vector<std::optional<session>>;

// Sessions of users "<prefix><n>" at clients "\\<prefix>-ws<n>", each resolving to its own address.
entries
sessions(const std::string &prefix, int first, int count)
{
    entries out;
    for (int n = first; n < first + count; ++n) {
        std::string name = prefix + std::to_string(n);
        out.push_back(session{u"\\\\" + u16(name + "-ws"), u16(name)});
        resolver_fake::answer(name + "-ws", {resolver_fake::ipv4(10, 0, n / 250, n % 250 + 1)});
    }
    return out;
}

class Poller : public nivo_test::collector_fixture {
  protected:
    Poller() : collector_fixture(u"NIVOTEST", u"nivotest.lan")
    {
    }
    void SetUp() override
    {
        collector_fixture::SetUp();
        ASSERT_EQ(dca_addnet_authnetlist(u"10.0.0.0/8"), 0);
        ASSERT_EQ(threadpool_create(4, 1), 0);
        resolver_fake::reset();
        sessions_fake::reset();
        dca_netsession_reset();
        dca_pipeline_reset();
        dca_set_local_cidmgr();
        ASSERT_EQ(dca_client_init(nullptr), 0);
    }
    void TearDown() override
    {
        dca_netsession_stop();
        for (std::thread &job : jobs_) {
            job.join();
        }
        threadpool_destroy();
        dca_pipeline_reset();
        dca_netsession_reset();
        logoff_detector_init(1, LOGOFF_DEFAULT_INTERVAL);
        collector_fixture::TearDown();
    }
    // A poll job for dc (a text that outlives the test).
    void start(const char16_t *dc)
    {
        jobs_.emplace_back(dca_netsession, const_cast<char16_t *>(dc));
    }
    std::vector<std::string> users() const
    {
        std::vector<std::string> out;
        for (const nivo_test::store_row &r : rows()) {
            out.push_back(r.user + "@" + r.ip);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    std::vector<std::thread> jobs_;
};

} // namespace

TEST_F(Poller, PortionsOfOnePassFollowTheResumeToken)
{
    sessions_fake::script(u"\\\\DC1",
                          {answer{PLATFORM_SESSIONS_MORE_DATA, sessions("u", 0, 100), 0x1111},
                           answer{0, sessions("u", 100, 20), 0x2222}});
    std::uint32_t token = 0;
    dca_netsession_poll(u"\\\\DC1", &token);

    std::vector<std::uint32_t> calls = sessions_fake::calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], 0u);
    EXPECT_EQ(calls[1], 0x1111u);
    EXPECT_EQ(sessions_fake::outstanding(), 0u);
    EXPECT_TRUE(logged("dca_netsession: Polling DC: '\\\\DC1'\n"));
    ASSERT_TRUE(nivo_test::eventually([this] { return rows().size() == 120; }));

    // A complete listing leaves the token at the start, whatever the server left in it; a
    // failed one keeps the server's place for the next pass.
    EXPECT_EQ(token, 0u);
    sessions_fake::script(u"\\\\DC1", {answer{PLATFORM_SESSIONS_MORE_DATA, std::nullopt, 0x3333},
                                       answer{53, std::nullopt, 0x3333}});
    dca_netsession_poll(u"\\\\DC1", &token);
    dca_netsession_poll(u"\\\\DC1", &token);
    calls = sessions_fake::calls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[2], 0u);
    EXPECT_EQ(calls[4], 0x3333u);

    // A server that has "more data" without end holds the pass for 1024 portions at most.
    sessions_fake::reset();
    sessions_fake::script(u"\\\\DC1", std::vector<answer>(1500, answer{PLATFORM_SESSIONS_MORE_DATA,
                                                                       std::nullopt, 9}));
    dca_netsession_poll(u"\\\\DC1", &token);
    EXPECT_EQ(sessions_fake::calls().size(), 1024u);
    EXPECT_TRUE(logged("dca_netsession: DC '\\\\DC1' still has more sessions after 1024 portions; "
                       "the rest waits for the next pass\n"));
}

TEST_F(Poller, EachSessionWithAUserBecomesALogonAtItsClient)
{
    logoff_detector_init(1, 900);
    resolver_fake::answer("PC17", {resolver_fake::ipv4(10, 0, 0, 17)});
    resolver_fake::answer("10.1.2.3", {resolver_fake::ipv4(10, 1, 2, 3)});
    resolver_fake::answer("PC18", {resolver_fake::ipv4(10, 0, 0, 18)});
    sessions_fake::script(u"\\\\DC1", {answer{0,
                                              entries{
                                                  session{u"\\\\PC17", u"alice"},
                                                  session{u"\\\\10.1.2.3", u"bob"},
                                                  session{u"PC18", u"carol"},
                                                  session{u"\\\\PC19", u""},
                                                  session{u"\\\\PC20", std::nullopt},
                                                  session{std::nullopt, u"dave"},
                                              },
                                              0}});
    std::uint32_t token = 0;
    dca_netsession_poll(u"\\\\DC1", &token);

    ASSERT_TRUE(nivo_test::eventually([this] {
        return rows().size() == 3 && logged("dca_resolve_wrkstip: WorkstationName is NULL\n");
    }));
    EXPECT_EQ(users(),
              (std::vector<std::string>{"alice@10.0.0.17", "bob@10.1.2.3", "carol@10.0.0.18"}));
    // Only the sessions with a user name were taken: dave too, whose client is unknown.
    EXPECT_EQ(logged_count("DEBUG", "dca_netsession: Logged-in USER-1: "), 4u);
    EXPECT_EQ(logged_count("DEBUG", "dca_log_userinfo: SourceDC: \\\\DC1\n"), 3u);
    for (const nivo_test::store_row &r : rows()) {
        EXPECT_EQ(r.logon_type, 2);
        EXPECT_EQ(r.expire - r.create, 900);
    }
}

TEST_F(Poller, UnreadableEntryEndsTheWalkOfItsPortionOnly)
{
    resolver_fake::answer("A1", {resolver_fake::ipv4(10, 0, 0, 1)});
    resolver_fake::answer("A3", {resolver_fake::ipv4(10, 0, 0, 3)});
    sessions_fake::script(u"\\\\DC1", {answer{PLATFORM_SESSIONS_MORE_DATA,
                                              entries{session{u"\\\\A1", u"first"}, std::nullopt,
                                                      session{u"\\\\A2", u"skipped"}},
                                              7},
                                       answer{0, entries{session{u"\\\\A3", u"next"}}, 0}});
    std::uint32_t token = 0;
    dca_netsession_poll(u"\\\\DC1", &token);

    EXPECT_EQ(logged_count("ERROR", "dca_netsession: Access Violation\n"), 1u);
    EXPECT_TRUE(logged("dca_netsession: Logged-in USER: first\n"));
    EXPECT_FALSE(logged("dca_netsession: Logged-in USER: skipped"));
    EXPECT_TRUE(logged("dca_netsession: Logged-in USER: next\n"));
    EXPECT_EQ(sessions_fake::outstanding(), 0u);
    // The pipeline's jobs end before the pool does.
    EXPECT_TRUE(nivo_test::eventually([this] { return rows().size() == 2; }));
}

TEST_F(Poller, NothingWhileSwitchedOffThenAFailedQueryIsPolledAgainWhileOthersGoOn)
{
    dca_netsession_set_poll_interval(1);
    dca_set_poll_dc(0);
    EXPECT_TRUE(logged("dca_set_poll_dc: g_poll_dc set to 0\n"));
    resolver_fake::answer("PC1", {resolver_fake::ipv4(10, 0, 0, 1)});
    resolver_fake::answer("PC2", {resolver_fake::ipv4(10, 0, 0, 2)});
    sessions_fake::script(u"\\\\DC9", {answer{53, std::nullopt, 0},
                                       answer{0, entries{session{u"\\\\PC1", u"erin"}}, 0}});
    sessions_fake::script(u"\\\\DC2", {answer{0, entries{session{u"\\\\PC2", u"frank"}}, 0}});
    start(u"\\\\DC9");
    start(u"\\\\DC2");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(sessions_fake::calls().empty());

    dca_set_poll_dc(1); // read at every pass
    ASSERT_TRUE(nivo_test::eventually([this] { return rows().size() == 2; }));
    EXPECT_EQ(users(), (std::vector<std::string>{"erin@10.0.0.1", "frank@10.0.0.2"}));
    EXPECT_EQ(logged_count("ERROR", "dca_netsession: Unable to Query DC: '\\\\DC9': Error: 53\n"),
              1u);
    EXPECT_EQ(logged_count("ERROR", "Unable to Query DC: '\\\\DC2'"), 0u);
}

TEST_F(Poller, PollIntervalIsKeptBetweenOneAndFifteenSeconds)
{
    for (auto [given, stored] : {std::pair{0, 5}, {10, 10}, {20, 15}, {-1, 15}, {15, 15}, {1, 1}}) {
        dca_netsession_reset();
        dca_netsession_set_poll_interval(given);
        EXPECT_EQ(dca_netsession_get_poll_interval(), stored) << given;
        EXPECT_TRUE(logged("dca_netsession_set_poll_interval: DC Poll Interval set to '" +
                           std::to_string(stored) + "' seconds\n"))
            << given;
    }
}
