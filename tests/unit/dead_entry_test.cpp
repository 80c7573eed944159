// The dead-entry store and the registry tree under it: deadlines, expiry whatever the renewals,
// timeout 0, foreign and damaged entries, the 100-entry bound, the thread, and the tree's names.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/system.h"
#include "support/collector.h"
#include "support/test_support.h"
#include "userdb/dead_entry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

using nivo_test::dead_entry_exists;
using nivo_test::dead_entry_time;
using nivo_test::u16;
using nivo_test::u8;

namespace {

constexpr std::uint64_t HOUR = 3600ull * 10000000ull;
constexpr const char16_t *DEAD_ENTRY_KEY = u"SOFTWARE\\Vantelor\\Vantelor Tessaline\\DeadEntry";

std::uint64_t g_now = 0;
std::uint64_t
test_clock()
{
    return g_now;
}

std::string
deadline_text(std::uint64_t ticks)
{
    return std::to_string(ticks >> 32) + "," + std::to_string(ticks & 0xFFFFFFFFu);
}

class DeadEntry : public nivo_test::collector_fixture {
  protected:
    void SetUp() override
    {
        collector_fixture::SetUp();
        g_now = dead_entry_ticks(2024, 3, 1, 10, 0, 0);
        dead_entry_set_clock(test_clock);
        dead_entry_set_timeout(2);
    }
    void TearDown() override
    {
        dead_entry_stop_thread();
        dead_entry_set_scan_period_ms(300 * 1000);
        dead_entry_set_clock(nullptr);
        collector_fixture::TearDown();
    }
    // An entry written straight into the tree.
    void put_entry(const std::u16string &name, const std::string &time)
    {
        registry_key *key = nullptr;
        std::u16string path = std::u16string(DEAD_ENTRY_KEY) + u"\\" + name;
        ASSERT_EQ(registry_create_key(REGISTRY_LOCAL_MACHINE, path.c_str(), &key), 0);
        ASSERT_EQ(registry_set_value_a(key, u"Time", time.data(), time.size()), 0);
        registry_close_key(key);
    }
    int insert(const char16_t *user, const char16_t *ip)
    {
        userinfo_ptr record(nivo_test::make_logon(user, u"corp.example", ip, 1000, 1600));
        return userinfo_db_insert(record.get());
    }
    // Deletes user's logon at ip, matched by user and workstation address.
    int remove(const char16_t *user, const char16_t *ip)
    {
        userinfo_ptr record(nivo_test::make_logon(user, nullptr, ip));
        return userinfo_db_delete(record.get(), 1);
    }
};

TEST(DeadEntryClock, TicksCountFrom1601)
{
    EXPECT_EQ(dead_entry_ticks(1601, 1, 1, 0, 0, 0), 0u);
    EXPECT_EQ(dead_entry_ticks(1970, 1, 1, 0, 0, 0), 116444736000000000ull);
    EXPECT_EQ(dead_entry_ticks(2024, 2, 29, 23, 59, 59) + 10000000ull,
              dead_entry_ticks(2024, 3, 1, 0, 0, 0));
    // The system's clock is the local wall clock: within a day of UTC now.
    long long local =
        static_cast<long long>(dead_entry_local_time_now() / 10000000ull) - 11644473600ll;
    EXPECT_LE(std::llabs(local - static_cast<long long>(std::time(nullptr))), 15 * 3600);
}

TEST_F(DeadEntry, InsertWritesTheDeadlineAndExpiryLogsOutDespiteRenewals)
{
    ASSERT_EQ(insert(u"alice", u"10.0.0.5"), 0);
    std::uint64_t deadline = g_now + 2 * HOUR;
    EXPECT_EQ(dead_entry_time("alice+10.0.0.5"), deadline_text(deadline)); // no terminator

    // Renewals by the logoff checks do not move the deadline.
    UserInfo *found = nullptr;
    ASSERT_EQ(userinfo_db_get_user_info(u"alice", &found), 0);
    found->RowID = 1;
    found->Flags = UI_FLAG_ACTIVE;
    found->ExpireTime += 600;
    EXPECT_EQ(userinfo_db_update(found), 0);
    userdb_free_userinfo(found);

    g_now = deadline - 10000000ull;
    EXPECT_EQ(dead_entry_process_expired(), 0);
    g_now = deadline + 10000000ull;
    EXPECT_EQ(dead_entry_process_expired(), 1);

    EXPECT_EQ(userinfo_db_get_user_info(u"alice", &found), -1);
    EXPECT_FALSE(dead_entry_exists("alice+10.0.0.5"));
    userinfo_ptr logout(gw_update_queue_dequeue());
    ASSERT_NE(logout, nullptr);
    EXPECT_EQ(u8(logout->User), "alice");
    EXPECT_EQ(u8(logout->WrkstIP), "10.0.0.5");
    EXPECT_EQ(logout->Flags, UI_FLAG_LOGOUT);
}

TEST_F(DeadEntry, ANewInsertRewritesTheDeadlineTimeoutZeroWritesNoneButADeleteStillRemoves)
{
    ASSERT_EQ(insert(u"alice", u"10.0.0.5"), 0);
    ASSERT_EQ(remove(u"alice", u"10.0.0.5"), 0);
    EXPECT_FALSE(dead_entry_exists("alice+10.0.0.5"));
    g_now += HOUR;
    ASSERT_EQ(insert(u"alice", u"10.0.0.5"), 0);
    EXPECT_EQ(dead_entry_time("alice+10.0.0.5"), deadline_text(g_now + 2 * HOUR));

    dead_entry_set_timeout(0);
    ASSERT_EQ(insert(u"bob", u"10.0.0.6"), 0);
    EXPECT_FALSE(dead_entry_exists("bob+10.0.0.6"));
    g_now += 100 * HOUR;
    EXPECT_EQ(dead_entry_findExpiredUsers(), 0);
    EXPECT_EQ(dead_entry_process_expired(), 0);
    // The row gone by another way (an appliance's logout list), the delete still succeeds.
    ASSERT_EQ(userinfo_db_delete_logout_users(u"'10.0.0.5'"), 0);
    ASSERT_EQ(remove(u"alice", u"10.0.0.5"), 0);
    EXPECT_FALSE(dead_entry_exists("alice+10.0.0.5"));
}

TEST_F(DeadEntry, ForeignAndDamagedEntriesAreHandledSoundly)
{
    std::string past = deadline_text(g_now - HOUR);
    put_entry(u"noplus", past);
    put_entry(u"nocomma+10.0.0.1", "12345");
    put_entry(u"letters+10.0.0.2", "abc,def");
    put_entry(u"toobig+10.0.0.3", "4294967296,1");
    put_entry(u"three+10.0.0.4", "1,2,3");
    put_entry(u"due+10.0.0.5", past);
    EXPECT_EQ(dead_entry_findExpiredUsers(), 1);
    EXPECT_EQ(u8(dead_entry_expired_record(0)->User), "due");
    EXPECT_EQ(u8(dead_entry_expired_record(0)->WrkstIP), "10.0.0.5");
    // A damaged deadline gets a full timeout from now: bounded again, not cut short.
    for (const char *name :
         {"nocomma+10.0.0.1", "letters+10.0.0.2", "toobig+10.0.0.3", "three+10.0.0.4"}) {
        EXPECT_EQ(dead_entry_time(name), deadline_text(g_now + 2 * HOUR)) << name;
    }
    EXPECT_EQ(dead_entry_time("noplus"), past);
}

TEST_F(DeadEntry, AScanTakesAtMostOneHundred)
{
    std::string past = deadline_text(g_now - HOUR);
    for (int i = 0; i < 130; ++i) {
        put_entry(u"u" + u16(std::to_string(i)) + u"+10.0.0.1", past);
    }
    EXPECT_EQ(dead_entry_process_expired(), 100);
    EXPECT_EQ(dead_entry_process_expired(), 30);
    EXPECT_EQ(dead_entry_process_expired(), 0);
}

// An insert that arrives while a scan walks a large store waits for one slice of it, not for the
// whole scan: started at the scan's first entry, it is done before the scan reads its last.
TEST_F(DeadEntry, AScanLetsAnInsertInBetweenItsSlices)
{
    constexpr int ENTRIES = 600;
    std::string later = deadline_text(g_now + HOUR);
    for (int i = 0; i < ENTRIES; ++i) {
        put_entry(u"u" + u16(std::to_string(i)) + u"+10.0.0.1", later);
    }
    static std::thread::id scanner;
    static std::thread inserter;
    static std::atomic<int> reads;
    static std::atomic<bool> started;
    static std::atomic<bool> stored;
    static bool stored_before_last;
    scanner = std::this_thread::get_id();
    reads = 0;
    started = false;
    stored = false;
    stored_before_last = false;
    // The scan reads the clock once per entry, under the store lock. Within the first slice the
    // insert starts and is given time to reach the lock, however slow the machine.
    dead_entry_set_clock([]() -> std::uint64_t {
        if (std::this_thread::get_id() == scanner) {
            int read = ++reads;
            if (read == 1) {
                inserter = std::thread([] {
                    userinfo_ptr record(
                        nivo_test::make_logon(u"zed", u"corp.example", u"10.0.1.1", 1000, 1600));
                    started = true;
                    stored = userinfo_db_insert(record.get()) == 0;
                });
            } else if (read == 2) {
                nivo_test::eventually([] { return started.load(); }, 5000);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            } else if (read == ENTRIES) {
                stored_before_last = stored;
            }
        }
        return g_now;
    });
    EXPECT_EQ(dead_entry_findExpiredUsers(), 0);
    inserter.join();
    EXPECT_GE(reads, ENTRIES); // a registry listed by index also reads the entry added meanwhile
    EXPECT_TRUE(stored_before_last);
    EXPECT_TRUE(dead_entry_exists("zed+10.0.1.1"));
}

TEST_F(DeadEntry, TheThreadReadsItsTimeoutRestoresMissingEntriesAndScans)
{
    ASSERT_EQ(insert(u"alice", u"10.0.0.5"), 0);
    ASSERT_EQ(insert(u"bob", u"10.0.0.6"), 0);
    std::u16string long_user(250, u'c');
    ASSERT_EQ(insert(long_user.c_str(), u"10.0.0.7"), 0);
    // A kill between the row's commit and its entry, as the registry shows it afterwards.
    nivo_test::dead_entry_remove("bob+10.0.0.6");
    std::string alice_deadline = dead_entry_time("alice+10.0.0.5");
    put_entry(u"carol+10.0.0.8", deadline_text(g_now - HOUR));

    g_now += HOUR;
    dead_entry_set_timeout(0);
    dead_entry_set_scan_period_ms(50);
    ASSERT_EQ(dead_entry_start_thread(3), 0);
    std::vector<userinfo_ptr> logouts = nivo_test::take_update_queue(1);
    ASSERT_EQ(logouts.size(), 1u);
    EXPECT_EQ(u8(logouts[0]->User), "carol");
    dead_entry_stop_thread();
    EXPECT_EQ(dead_entry_get_timeout(), 3);
    EXPECT_EQ(dead_entry_time("bob+10.0.0.6"), deadline_text(g_now + 3 * HOUR));
    EXPECT_EQ(dead_entry_time("alice+10.0.0.5"), alice_deadline); // never renewed
    EXPECT_TRUE(logged("dead_entry_timeout_workerthread: DEAD-ENTRY-TIMEOUT = 3"));
    EXPECT_TRUE(logged("dead_entry_restore_missing: 1 logons without a dead entry got one"));
}

TEST_F(DeadEntry, AnEntryThatCannotBeMadeIsReportedNotLoggedAsAdded)
{
    // The registry refuses a key name over 255 units: user, "+" and address together.
    std::u16string user(250, u'a');
    const std::string name = u8(user);
    ASSERT_EQ(insert(user.c_str(), u"10.0.0.5"), 0);
    EXPECT_FALSE(dead_entry_exists(name + "+10.0.0.5"));
    EXPECT_EQ(logged_count("ERROR", "add_user_to_de_repositry: user " + name +
                                        " with ip 10.0.0.5 couldnt added to DE: "),
              1u);
    EXPECT_FALSE(logged(name + " with ip 10.0.0.5 and expiretime"));

    ASSERT_EQ(insert(u"dom\\bob", u"10.0.0.6"), 0);
    EXPECT_TRUE(logged("add_user_to_de_repositry: user dom\\bob with ip 10.0.0.6 "
                       "couldnt added to DE: the name holds a backslash"));
}

// ---- the registry tree ----

TEST_F(DeadEntry, RegistryNamesStayInsideTheirKeyAndIgnoreCase)
{
    registry_key *key = nullptr;
    ASSERT_EQ(registry_create_key(REGISTRY_LOCAL_MACHINE, u"Software\\Test", &key), 0);
    registry_key *sub = nullptr;
    for (const char16_t *name : {u"../../escape+1", u"b/c+2", u"%41+3", u".hidden+4", u"Zed"}) {
        std::u16string path = std::u16string(u"SOFTWARE\\TEST\\") + name;
        ASSERT_EQ(registry_create_key(REGISTRY_LOCAL_MACHINE, path.c_str(), &sub), 0) << u8(name);
        registry_close_key(sub);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("registry/escape+1")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("registry/HKEY_LOCAL_MACHINE/escape+1")));

    // Enumeration gives the names back as created, ordered without regard to case.
    std::vector<std::string> names;
    char16_t name[256];
    for (std::uint32_t i = 0; registry_enum_key(key, i, name, 256) == 0; ++i) {
        names.push_back(u8(name));
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"%41+3", "../../escape+1", ".hidden+4", "b/c+2", "Zed"}));
    EXPECT_EQ(registry_enum_key(key, 5, name, 256), 1);

    // Opening and deleting ignore case; a key with subkeys is not deleted.
    ASSERT_EQ(registry_open_key(REGISTRY_LOCAL_MACHINE, u"software\\test\\zED", &sub), 0);
    registry_close_key(sub);
    EXPECT_EQ(registry_delete_key(key, u"zed"), 0);
    EXPECT_EQ(registry_open_key(REGISTRY_LOCAL_MACHINE, u"software\\test\\zED", &sub), -1);
    registry_close_key(key);
    ASSERT_EQ(registry_open_key(REGISTRY_LOCAL_MACHINE, u"SOFTWARE", &key), 0);
    EXPECT_EQ(registry_delete_key(key, u"Test"), -1);
    registry_close_key(key);

    // Without a stored value the home value answers the base directory.
    char home[1024];
    std::size_t size = sizeof home;
    ASSERT_EQ(registry_get_value(REGISTRY_LOCAL_MACHINE, u"SOFTWARE\\Vantelor\\Vantelor Tessaline",
                                 u"NIVOHome", home, &size),
              0);
    char16_t base[1024];
    ASSERT_EQ(platform_base_directory(base, 1024), 0);
    EXPECT_EQ(std::string(home, size), u8(base));
}

} // namespace
