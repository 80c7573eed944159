// Logoff detection against fakes at the platform seam: the detector's batches, pauses and passive
// skip, the ping's attempts, and the WMI and registry polls with their failures and exclusions.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "common/threadpool.h"
#include "config/config.h"
#include "dca/filter/dca_filter.h"
#include "fakes/icmp_fake.h"
#include "logoff/logoff_detector.h"
#include "logoff/wrkstping.h"
#include "logoff/wrkstpoll.h"
#include "logoff/active_status.h"
#include "support/collector.h"
#include "support/test_support.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

using nivo_test::drain_update_queue;
using nivo_test::log_lines;
using nivo_test::now_seconds;
using nivo_test::u16;
using nivo_test::u8;

namespace {

using row = nivo_test::store_row;

// Workstations as the nivo-wrkst helper answers for them: a stand-in helper (a shell script)
// reads the answer of each address from the test's directory and records every run.
struct lookup {
    std::string sid;
    int type;
    std::string domain, name;
};
struct workstation {
    int failed_connects = 0; // runs that fail before the first that answers
    // The answer to the WMI query: "user\tDOMAIN\\user", the step that fails with its code
    // ("query\t80041017"), "empty" or "null".
    std::string wmi;
    std::vector<std::string> keys;
    std::vector<lookup> lookups;
};

class Logoff : public nivo_test::collector_fixture {
  protected:
    // The answers of address to the helper's commands.
    void script(const std::string &ip, const workstation &w)
    {
        nivo_test::write_file(stations + "/" + ip + ".wmi", w.wmi + "\nend\n");
        std::string keys;
        for (const std::string &key : w.keys) {
            keys += "key\t" + key + "\n";
        }
        nivo_test::write_file(stations + "/" + ip + ".hku", keys + "end\n");
        for (const lookup &l : w.lookups) {
            nivo_test::write_file(stations + "/" + ip + ".lookup." + l.sid,
                                  "sid\t" + l.sid + "\t" + std::to_string(l.type) + "\t" +
                                      l.domain + "\t" + l.name + "\nend\n");
        }
        nivo_test::write_file(stations + "/" + ip + ".refuse", std::to_string(w.failed_connects));
    }
    // The helper's runs so far, one line each: its arguments.
    std::vector<std::string> runs() const
    {
        std::vector<std::string> out;
        std::istringstream lines(nivo_test::read_file(stations + "/args"));
        for (std::string line; std::getline(lines, line);) {
            out.push_back(line);
        }
        return out;
    }
    long connects(const std::string &ip) const
    {
        std::vector<std::string> all = runs();
        return std::count(all.begin(), all.end(), "wmi " + ip) +
               std::count(all.begin(), all.end(), "hku " + ip);
    }
    std::vector<std::string> looked_up() const
    {
        std::vector<std::string> out;
        for (const std::string &run : runs()) {
            if (run.rfind("lookup ", 0) == 0) {
                out.push_back(run.substr(run.rfind(' ') + 1));
            }
        }
        return out;
    }

    void SetUp() override
    {
        collector_fixture::SetUp();
        logoff_detector_init(DETECTION_MODE_PING, 600);
        wrkstping_set_retry(3);
        wrkstping_set_timeout(100);
        icmp_fake::edit([](icmp_fake::state &s) { s = {}; });
        stations = dir.file("stations");
        std::filesystem::create_directory(stations);
        std::string path = stations + "/helper";
        ASSERT_TRUE(nivo_test::write_file(path, R"(#!/bin/sh
d=$(dirname "$0")
echo "$@" >> "$d/args"
cat > /dev/null
[ "$1" = probe ] && { printf 'ready\nend\n'; exit 0; }
n=$(cat "$d/$2.refuse" 2>/dev/null || echo 0)
if [ "$1" != lookup ] && [ "$n" -gt 0 ]; then
  echo $((n - 1)) > "$d/$2.refuse"; exit 1
fi
f=$d/$2.$1; [ "$1" = lookup ] && f=$f.$3
[ -f "$f" ] && exec cat "$f"
[ "$1" = lookup ] && { printf 'nosid\t%s\t1332\nend\n' "$3"; exit 0; }
exit 1
)"));
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        nivo_test::set_env("NIVO_WRKST_HELPER", path);
        g_is_active_collector = 2;
        ASSERT_EQ(threadpool_create(8, 1), 0);
    }
    void TearDown() override
    {
        logoff_detector_stop();
        threadpool_destroy();
        logoff_detector_set_batches(LOGOFF_DEFAULT_BATCH_SIZE, LOGOFF_DEFAULT_BATCH_PAUSE);
        nivo_test::set_env("NIVO_WRKST_HELPER", "");
        g_is_active_collector = 0;
        collector_fixture::TearDown();
    }

    std::vector<std::string> log_matching(const std::string &text)
    {
        std::vector<std::string> out;
        for (const std::string &line : log_lines(dir.file("nivo.log"))) {
            if (line.find(text) != std::string::npos) {
                out.push_back(line.substr(line.find(text)));
            }
        }
        return out;
    }

    // The RowIDs of the rows the detector handed on, in its order.
    void run_pass(int count, std::uint16_t size, std::uint16_t pause, const int (&batches)[3]);
    std::vector<int> handed_rowids()
    {
        std::vector<int> out;
        for (const std::string &line : log_matching("logoff_detector: USER: ")) {
            out.push_back(std::atoi(line.c_str() + line.find("RowID: ") + 7));
        }
        return out;
    }
    static std::vector<int> rowids(int count) // 1 to count
    {
        std::vector<int> out(count);
        std::iota(out.begin(), out.end(), 1);
        return out;
    }

    void insert_due(const std::string &user, const std::string &ip)
    {
        userinfo_ptr record(nivo_test::make_logon(u16(user).c_str(), u"corp.example",
                                                  ip.empty() ? nullptr : u16(ip).c_str(),
                                                  now_seconds() - 700, now_seconds() - 100));
        ASSERT_EQ(userinfo_db_insert(record.get()), 0);
    }

    // The one due row of ip, selected (flags 2) as the detector hands it to a check.
    UserInfo *select_due(const std::string &user, const std::string &ip)
    {
        insert_due(user, ip);
        UserInfo *records[5] = {};
        EXPECT_EQ(userinfo_db_select_expired(records, 5, 0), 1);
        return records[0];
    }

    // The updates queued for the appliances since the last look, as user/flags.
    static std::string sent()
    {
        std::string out;
        for (const userinfo_ptr &update : drain_update_queue()) {
            out += u8(update->User) + "/" + std::to_string(update->Flags) + " ";
        }
        return out;
    }

    std::string stations; // the helper and the answers of each address
};

TEST_F(Logoff, PingRenewsOnTheSecondAttemptAndLogsOutWhatNeverAnswers)
{
    icmp_fake::script("10.0.0.5", {-1, 0});
    wrkstping_workerthread(select_due("alice", "10.0.0.5"));
    std::vector<row> stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].flags, UI_FLAG_ACTIVE);
    EXPECT_GE(stored[0].expire, now_seconds() + 598);
    EXPECT_EQ(icmp_fake::seen().echoes.size(), 2u);
    EXPECT_TRUE(drain_update_queue().empty());

    // A reply with a non-zero status is no answer, and says why.
    icmp_fake::script("10.0.0.6", {11003});
    wrkstping_workerthread(select_due("bob", "10.0.0.6"));
    EXPECT_EQ(icmp_fake::seen().echoes.size(), 5u);
    std::vector<std::string> errors = log_matching("wrkstping_ping: Ping Error: ");
    ASSERT_EQ(errors.size(), 4u); // alice's first attempt, then bob's three
    EXPECT_EQ(errors[1], "wrkstping_ping: Ping Error: Destination Host Unreachable");
    EXPECT_EQ(errors[3], "wrkstping_ping: Ping Error: Request Timeout");
    EXPECT_EQ(sent(), "bob/4 ");
    EXPECT_EQ(icmp_fake::seen().open, 0);
}

TEST_F(Logoff, PingWithoutAttemptsOrAddressLogsOutWithoutAnEcho)
{
    wrkstping_set_retry(0); // DETECTION-RETRY 0: the setter is never called
    icmp_fake::script("10.0.0.5", {0});
    wrkstping_workerthread(select_due("alice", "10.0.0.5"));
    wrkstping_set_retry(3);
    wrkstping_workerthread(select_due("bob", ""));
    EXPECT_TRUE(icmp_fake::seen().echoes.empty());
    std::vector<row> stored = rows();
    ASSERT_EQ(stored.size(), 1u); // a row without address matches no delete by workstation
    EXPECT_EQ(stored[0].user, "bob");
    EXPECT_EQ(sent(), "alice/4 bob/4 ");
    EXPECT_EQ(log_matching("wrkstping_workerthread: Workstation to be Pinged is unknown").size(),
              1u);

    // A text that is no address is never sent to; nor is a failed handle.
    EXPECT_EQ(wrkstping_ping(u"10.0.0.300"), 0);
    icmp_fake::edit([](icmp_fake::state &s) { s.fail_open = true; });
    EXPECT_EQ(wrkstping_ping(u"10.0.0.5"), 0);
    EXPECT_TRUE(icmp_fake::seen().echoes.empty());
}

// rows silent workstations worked in batches of size with pauses of pause seconds: the selects
// give three batches, then an empty select that starts a fresh pass at once, an empty pass, and
// only then the interval's sleep (2 s) before the next.
void
Logoff::run_pass(int count, std::uint16_t size, std::uint16_t pause, const int (&batches)[3])
{
    for (int i = 1; i <= count; ++i) {
        insert_due("user" + std::to_string(i), "10.0.2." + std::to_string(i)); // never answers
    }
    logoff_detector_init(DETECTION_MODE_LDAP, 2); // LDAP checks by ping too
    logoff_detector_set_batches(size, pause);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(threadpool_run(logoff_detector, nullptr, 1), 0);
    ASSERT_TRUE(nivo_test::eventually(
        [&] { return log_matching("UserInfo Selected: 0").size() >= 3; }, 60000));
    logoff_detector_stop();
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(3000 * pause + 2000 - 200));

    std::vector<std::string> selected = log_matching("logoff_detector: UserInfo Selected:");
    ASSERT_GE(selected.size(), 6u);
    const int counts[] = {batches[0], batches[1], batches[2], 0, 0};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(selected[i], "logoff_detector: UserInfo Selected: " + std::to_string(counts[i]));
    }
    EXPECT_EQ(handed_rowids(), rowids(count));
    EXPECT_EQ(nivo_test::take_update_queue(count).size(), static_cast<std::size_t>(count));
    EXPECT_TRUE(nivo_test::eventually([&] { return rows().empty(); }));
    // Three attempts each; batch b is handed on after b pauses.
    std::vector<icmp_fake::echo> echoes = icmp_fake::seen().echoes;
    ASSERT_EQ(echoes.size(), 3u * count);
    long long start_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(start.time_since_epoch()).count();
    for (const icmp_fake::echo &e : echoes) {
        long long batch = ((e.address & 255) - 1) / size;
        EXPECT_GE(e.at_ms - start_ms, 1000 * pause * batch) << "row " << (e.address & 255);
    }
}

TEST_F(Logoff, WithoutBatchKeysTheDetectorWorksFiveRowsEveryFiveSeconds)
{
    config_record defaults{};
    config_preinit(&defaults); // no BATCH-SIZE, no BATCH-PAUSE
    run_pass(12, defaults.logoff_batch_size, defaults.logoff_batch_pause, {5, 5, 2});
}

TEST_F(Logoff, BatchesOfFiftyASecondApartAreWorkedInRowidOrder)
{
    run_pass(120, 50, 1, {50, 50, 20});
}

TEST_F(Logoff, ChecksOfALargeBatchLeaveTheReserveOfWorkersFree)
{
    // 20 silent workstations, 3 attempts of 100 ms each, on a pool of 8 of which the detector
    // holds one: at most 8 - 1 - 2 checks at a time, still in rowid order.
    icmp_fake::edit([](icmp_fake::state &s) { s.wait_timeouts = true; });
    for (int i = 1; i <= 20; ++i) {
        insert_due("user" + std::to_string(i), "10.0.5." + std::to_string(i));
    }
    logoff_detector_set_batches(20, 0);
    ASSERT_EQ(threadpool_run(logoff_detector, nullptr, 1), 0);
    ASSERT_TRUE(nivo_test::eventually([&] { return rows().empty(); }, 30000));
    EXPECT_LE(icmp_fake::seen().most_open, 8 - 1 - LOGOFF_POOL_RESERVE);
    EXPECT_GE(icmp_fake::seen().most_open, 2); // and yet in parallel
    EXPECT_EQ(handed_rowids(), rowids(20));
    EXPECT_FALSE(log_matching("waiting for a free worker").empty());
    logoff_detector_stop();
}

TEST_F(Logoff, PassiveCollectorChecksNothingAndExcludedAddressesStayMarked)
{
    insert_due("alice", "10.0.0.5");
    insert_due("carol", "10.0.0.9");
    icmp_fake::script("10.0.0.5", {0});
    dca_addip_ipexcllist(u"10.0.0.9", DCA_IPLIST_LOGOFF);
    g_is_active_collector = 0;
    logoff_detector_init(DETECTION_MODE_PING, 1);
    ASSERT_EQ(threadpool_run(logoff_detector, nullptr, 1), 0);
    ASSERT_TRUE(nivo_test::eventually(
        [&] { return log_matching("Passive Collector skipping logoff 0").size() >= 2; }, 10000));
    EXPECT_TRUE(icmp_fake::seen().echoes.empty());
    for (const row &r : rows()) {
        EXPECT_EQ(r.flags, UI_FLAG_ACTIVE);
    }

    // Once an appliance holds it live, the due rows are checked, except the excluded one,
    // which stays marked and is never pinged.
    update_active_status(0, 2);
    ASSERT_TRUE(nivo_test::eventually(
        [&] { return rows()[0].flags == UI_FLAG_ACTIVE && !icmp_fake::seen().echoes.empty(); },
        10000));
    std::vector<row> stored = rows();
    EXPECT_EQ(stored[1].user, "carol");
    EXPECT_EQ(stored[1].flags, UI_FLAG_DETECTING);
    for (const icmp_fake::echo &e : icmp_fake::seen().echoes) {
        EXPECT_EQ(e.address, 0x0A000005u); // 10.0.0.5
    }
}

TEST_F(Logoff, WmiPollRenewsReplacesAndLogsOut)
{
    const struct {
        const char *ip, *wmi;
        const char *sent; // the updates queued, as user/flags
    } answers[] = {
        {"10.0.1.1", "user\tCORP\\alice", ""},
        {"10.0.1.2", "user\tCORP\\bob", "alice/4 bob/5 "},
        {"10.0.1.3", "user\tOTHER\\bob", "alice/4 "}, // another domain: nobody is added
        {"10.0.1.4", "user\talice", ""},              // no domain: the user is there
        // After the connection, every failed step and an absent name mean nobody is there.
        {"10.0.1.10", "query\t80041017", "alice/4 "},
        {"10.0.1.11", "next\t80041032", "alice/4 "},
        {"10.0.1.12", "empty", "alice/4 "},
        {"10.0.1.13", "get\t80041002", "alice/4 "},
        {"10.0.1.14", "null", "alice/4 "},
        {"10.0.1.15", "blanket\t80070005", "alice/4 "},
    };
    for (const auto &a : answers) {
        SCOPED_TRACE(a.wmi);
        script(a.ip, {0, a.wmi, {}, {}});
        EXPECT_EQ(wrkstpoll_workerthread_wmi(select_due("alice", a.ip)), 0);
        EXPECT_EQ(sent(), a.sent);
    }
    EXPECT_EQ(rows().size(), 3u);
    EXPECT_EQ(rows("flags==1").size(), 3u);
}

TEST_F(Logoff, WmiConnectionRefusedThreeTimesLogsTheUserOut)
{
    // Three refused connections a second apart, then the logout.
    script("10.0.1.1", {5, "user\tCORP\\alice", {}, {}});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wrkstpoll_workerthread_wmi(select_due("alice", "10.0.1.1")), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
    EXPECT_EQ(connects("10.0.1.1"), 3);
    EXPECT_EQ(
        log_matching("WMI Namespace Connect Retry Exceeded for '\\\\10.0.1.1\\root\\cimv2'").size(),
        1u);
    EXPECT_TRUE(rows().empty());
    EXPECT_EQ(sent(), "alice/4 ");
}

TEST_F(Logoff, PollsLeaveExcludedAddressesAlone)
{
    dca_addip_ipexcllist(u"10.0.1.1", DCA_IPLIST_LOGIN);
    ASSERT_EQ(dca_logoff_ipexc_addnet_authnetlist(u"10.0.3.0/24"), 0);
    script("10.0.1.1", {0, "null", {}, {}});
    script("10.0.3.7", {0, "null", {}, {}});
    EXPECT_EQ(wrkstpoll_workerthread_wmi(select_due("alice", "10.0.1.1")), 0);
    EXPECT_EQ(connects("10.0.1.1"), 0);
    EXPECT_EQ(wrkstpoll_workerthread_wmi(select_due("bob", "10.0.3.7")), 0);
    EXPECT_EQ(connects("10.0.3.7"), 0);
    EXPECT_EQ(rows("flags==2").size(), 2u);
    EXPECT_TRUE(drain_update_queue().empty());
}

TEST_F(Logoff, RegistryPollPicksTheFirstUserHiveAndLogsOutAForeignUserOrNoConnection)
{
    const std::string domain_sid = "S-1-5-21-1004336348-1177238915-682003330";
    script("10.0.1.1",
           {0,
            "",
            {".DEFAULT", "S-1-5-18", domain_sid + "-513_Classes", "S-1-5-19_Classes_x",
             domain_sid + "-1001", domain_sid + "-1001_Classes", domain_sid + "-1002_Classes"},
            {{domain_sid + "-513", 2, "CORP", "Domain Users"},
             {domain_sid + "-1001", 1, "CORP", "alice"},
             {domain_sid + "-1002", 1, "CORP", "bob"}}});
    EXPECT_EQ(wrkstpoll_workerthread_reg(select_due("alice", "10.0.1.1")), 0);
    // The group is passed over, S-1-5-19 has no account, alice is the first user.
    EXPECT_EQ(looked_up(),
              (std::vector<std::string>{domain_sid + "-513", "S-1-5-19", domain_sid + "-1001"}));
    EXPECT_EQ(rows()[0].flags, UI_FLAG_ACTIVE);
    EXPECT_TRUE(drain_update_queue().empty());
    EXPECT_EQ(log_matching("wrkstpoll_workerthread_reg: Logged-In USER:").back(),
              "wrkstpoll_workerthread_reg: Logged-In USER: 'alice' on '\\\\10.0.1.1'");

    const std::string sid = domain_sid + "-1002";
    script("10.0.1.2", {0, "", {sid + "_Classes"}, {{sid, 1, "OTHER", "bob"}}});
    EXPECT_EQ(wrkstpoll_workerthread_reg(select_due("bob", "10.0.1.2")), 0);
    script("10.0.1.3", {3, "", {sid + "_Classes"}, {{sid, 1, "CORP", "carol"}}});
    EXPECT_EQ(wrkstpoll_workerthread_reg(select_due("carol", "10.0.1.3")), -1);
    EXPECT_EQ(rows().size(), 1u);
    EXPECT_EQ(sent(), "bob/4 carol/4 ");
}

TEST(WrkstpollSid, ParsesTheFormAndStopsAtWhatDoesNotFit)
{
    platform_sid sid;
    EXPECT_EQ(wrkstpoll_parse_sid(u"S-1-5-21-1-2-3-1001", &sid), 7);
    EXPECT_EQ(sid.authority[5], 5);
    EXPECT_EQ(sid.sub_authority[4], 1001u);
    // The authority is hexadecimal and fills the low 32 bits.
    EXPECT_EQ(wrkstpoll_parse_sid(u"S-1-0x10-4294967295", &sid), 3);
    EXPECT_EQ(sid.authority[5], 0x10);
    EXPECT_EQ(sid.sub_authority[0], 4294967295u);
    // A sub-authority of 2^32 is not read (no wrap-around into a different account).
    EXPECT_EQ(wrkstpoll_parse_sid(u"S-1-5-21-4294967296-7", &sid), 3);
    // At most 8 sub-authorities.
    EXPECT_EQ(wrkstpoll_parse_sid(u"S-1-5-1-2-3-4-5-6-7-8-9-10", &sid), 10);
    EXPECT_EQ(wrkstpoll_parse_sid(u"X-1-5", &sid), 0);
    EXPECT_EQ(wrkstpoll_parse_sid(u"S-1", &sid), 1);
    EXPECT_EQ(wrkstpoll_parse_sid(u"S--1-5", &sid), 0);
}

} // namespace
