// The user store and the two logoff handlers: duplicates, delete keys, due rows, the transit
// window, hostile names and damaged files.

#include <gtest/gtest.h>

#include <barrier>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "dca/filter/dca_filter.h"
#include "config/detector_settings.h"
#include "logoff/wrkstpoll_handlers.h"
#include "support/collector.h"
#include "support/test_support.h"
#include "userdb/dead_entry.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

using nivo_test::drain_update_queue;
using nivo_test::make_logon;
using nivo_test::now_seconds;
using nivo_test::read_file;
using nivo_test::u16;
using nivo_test::u8;

namespace {

using row = nivo_test::store_row;

class UserStore : public nivo_test::collector_fixture {
  protected:
    void SetUp() override
    {
        collector_fixture::SetUp();
        logoff_detector_init(1, 600);
    }

    int insert(const char16_t *user, const char16_t *domain, const char16_t *ip,
               std::int32_t create = 0, std::int32_t expire = 0)
    {
        userinfo_ptr record(make_logon(user, domain, ip, create, expire));
        return userinfo_db_insert(record.get());
    }

    // The store closed (its log folded into the file) and opened again, emptied first when
    // empty.
    void reopen(bool empty = true)
    {
        userinfo_db_fini();
        for (const char *name : {"nivo.db3", "nivo.db3-wal", "nivo.db3-shm"}) {
            if (empty) {
                std::filesystem::remove(dir.file(name));
            }
        }
        ASSERT_EQ(userinfo_db_init(dir.wpath("nivo.db3").c_str(), u"UserInfo"), 0);
    }
    // 400 logons of user, at 10.1.0.1 to 10.1.1.200, due in ten minutes (row 8 a while ago).
    void insert_400(const char16_t *user)
    {
        for (int i = 0; i < 400; ++i) {
            std::u16string ip =
                u16("10.1." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1));
            std::int32_t t = now_seconds();
            ASSERT_EQ(insert(user, u"corp.example", ip.c_str(), t, t + (i == 7 ? -100 : 600)), 0);
        }
        drain_update_queue();
    }

    // The one due row of ip, selected (flags 2) as the logoff detector hands it on.
    userinfo_ptr select_due(const char16_t *user, const char16_t *domain, const char16_t *ip)
    {
        EXPECT_EQ(insert(user, domain, ip, now_seconds() - 700, now_seconds() - 100), 0);
        UserInfo *records[5] = {};
        EXPECT_EQ(userinfo_db_select_expired(records, 5, 0), 1);
        return userinfo_ptr(records[0]);
    }

    // The updates queued for the appliances since the last look, as user@domain/flags.
    static std::string sent()
    {
        std::string out;
        for (const userinfo_ptr &update : drain_update_queue()) {
            std::string domain = update->Domain != nullptr ? u8(update->Domain) : "";
            out += u8(update->User) + "@" + domain + "/" + std::to_string(update->Flags) + " ";
        }
        return out;
    }
};

TEST_F(UserStore, LogonHandlerRenewsTheSameUserReplacesAnotherAndLeavesAForeignDomain)
{
    userinfo_ptr due = select_due(u"alice", u"corp.example", u"10.0.0.5");
    ASSERT_EQ(due->Flags, UI_FLAG_DETECTING);
    // A domain that is not the host's: no answer, the record stays with the caller.
    EXPECT_EQ(wrkstpoll_handle_logon_req(due.get(), u"bob", u"OTHER"), -2);
    EXPECT_EQ(rows()[0].flags, UI_FLAG_DETECTING);
    std::int32_t before = now_seconds();
    EXPECT_EQ(wrkstpoll_handle_logon_req(due.release(), u"ALICE", u"corp"), 0);
    std::vector<row> stored = rows();
    EXPECT_EQ(stored[0].flags, UI_FLAG_ACTIVE);
    EXPECT_GE(stored[0].expire, before + 600);
    EXPECT_LE(stored[0].expire, now_seconds() + 600);
    EXPECT_EQ(sent(), "");

    reopen();
    due = select_due(u"alice", u"corp.example", u"10.0.0.5");
    EXPECT_EQ(wrkstpoll_handle_logon_req(due.release(), u"bob", u"CORP"), 0);
    EXPECT_EQ(sent(), "alice@corp.example/4 bob@corp.example/5 ");
    stored = rows();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].user, "bob");
    EXPECT_EQ(stored[0].logon_type, UI_LOGON_POLLED);
}

TEST_F(UserStore, AnAddressExcludedFromLogoffsIsNeverLoggedOutAndTakesASecondUser)
{
    ASSERT_EQ(dca_addip_ipexcllist(u"10.0.0.5", DCA_IPLIST_LOGOFF), 0);
    ASSERT_EQ(dca_logoff_ipexc_addnet_authnetlist(u"10.9.0.0/16"), 0);
    ASSERT_EQ(insert(u"alice", u"corp.example", u"10.0.0.5"), 0);
    ASSERT_EQ(insert(u"carol", u"corp.example", u"10.9.3.4"), 0);
    ASSERT_EQ(insert(u"erin", u"corp.example", u"10.0.0.5"), 0); // joins alice
    EXPECT_EQ(logged_count("DEBUG", "userinfo not matched"), 1u);
    for (const auto &[user, ip] :
         {std::pair{u"alice", u"10.0.0.5"}, std::pair{u"carol", u"10.9.3.4"}}) {
        EXPECT_EQ(wrkstpoll_handle_logoff_req(make_logon(user, u"corp.example", ip), 1), 0);
    }
    EXPECT_EQ(rows().size(), 3u);
    EXPECT_TRUE(drain_update_queue().empty());

    // Elsewhere an appliance's poll request that found nobody is only released, and the logoff
    // deletes and queues the logout.
    ASSERT_EQ(insert(u"dave", u"corp.example", u"10.0.0.6"), 0);
    UserInfo *request = userdb_allocate_userinfo();
    userdb_set_text(&request->WrkstIP, u"10.0.0.6");
    request->Flags = UI_FLAG_POLL_REQUEST;
    EXPECT_EQ(wrkstpoll_handle_logoff_req(request, 1), 0);
    EXPECT_EQ(rows().size(), 4u);
    EXPECT_TRUE(drain_update_queue().empty());
    EXPECT_EQ(wrkstpoll_handle_logoff_req(make_logon(u"dave", u"corp.example", u"10.0.0.6"), 1), 0);
    EXPECT_EQ(rows("user=='dave'").size(), 0u);
    EXPECT_EQ(sent(), "dave@corp.example/4 ");
}

TEST_F(UserStore, ASecondLogonAtAnAddressIsADuplicateOnlyForTheSameUserAndDomain)
{
    dead_entry_set_timeout(1);
    const std::string entry = "alice+10.0.0.5";
    struct second_logon {
        const char16_t *user, *domain;
        int result;       // of the second insert
        const char *sent; // the logout of the user it replaced, "" for none
    };
    const second_logon cases[] = {
        {u"ALICE", u"CORP.EXAMPLE", 1, ""}, // case does not count, no second dead entry
        {u"alice", nullptr, 1, ""},         // a domain known on one side only
        {u"alice", u"other.example", 0, "alice@corp.example/4 "},
        {u"carol", u"corp.example", 0, "alice@corp.example/4 "},
    };
    for (const second_logon &c : cases) {
        SCOPED_TRACE(u8(c.user) + "@" + (c.domain != nullptr ? u8(c.domain) : "(none)"));
        reopen();
        userinfo_ptr first(make_logon(u"alice", u"corp.example", u"10.0.0.5"));
        ASSERT_EQ(userinfo_db_insert(first.get()), 0);
        EXPECT_EQ(first->Flags, UI_FLAG_ACTIVE);
        ASSERT_EQ(insert(u"bob", u"corp.example", u"10.0.0.6"), 0);
        ASSERT_TRUE(nivo_test::dead_entry_exists(entry));
        nivo_test::dead_entry_remove(entry);

        EXPECT_EQ(insert(c.user, c.domain, u"10.0.0.5"), c.result);
        std::vector<row> stored = rows();
        ASSERT_EQ(stored.size(), 2u);
        EXPECT_EQ(stored[0].user, c.result == 1 ? "alice" : "bob");
        EXPECT_EQ(nivo_test::dead_entry_exists(entry), c.result == 0 && u8(c.user) == "alice");
        EXPECT_EQ(sent(), c.sent);
    }
}

TEST_F(UserStore, LogonsRacingForOneAddressLeaveTheAppliancesWithTheStoredUser)
{
    // Three users log on at each address at once. Replacing a user lets go of the store's lock
    // while the logoff handler runs, and the address is checked again afterwards: each address
    // must end with one row, and an appliance replaying the queue must believe its user is there.
    log_set_loglevel(LOG_CRIT);
    constexpr int ADDRESSES = 3000;
    std::barrier start(3);
    std::vector<std::thread> threads;
    for (const char16_t *user : {u"alice", u"bob", u"carol"}) {
        threads.emplace_back([user, &start] {
            for (int i = 0; i < ADDRESSES; ++i) {
                start.arrive_and_wait();
                std::u16string ip =
                    u16("10.8." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1));
                userinfo_ptr record(make_logon(user, u"corp.example", ip.c_str()));
                if (userinfo_db_insert_and_queue(record.get()) == 0) {
                    (void)record.release();
                }
            }
        });
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    std::map<std::string, std::string> believed;
    for (const userinfo_ptr &update : drain_update_queue()) {
        std::string ip = u8(update->WrkstIP);
        if (update->Flags == UI_FLAG_LOGON) {
            believed[ip] = u8(update->User);
        } else if (believed[ip] == u8(update->User)) {
            believed.erase(ip);
        }
    }
    std::vector<row> stored = rows();
    EXPECT_EQ(stored.size(), static_cast<std::size_t>(ADDRESSES));
    int wrong = 0;
    for (const row &r : stored) {
        wrong += believed[r.ip] != r.user ? 1 : 0;
    }
    EXPECT_EQ(wrong, 0);
}

TEST_F(UserStore, DeleteKeysFollowDomainFlagsAndWorkstation)
{
    struct delete_case {
        const char16_t *domain;
        std::int32_t flags;
        int match_workstation;
        const char *left;
    };
    const delete_case cases[] = {
        {nullptr, UI_FLAG_LOGOUT, 0, "4 "},              // by user
        {u"corp.example", UI_FLAG_USER_LOGOUT, 0, "4 "}, // flags 10: by user alone
        {u"corp.example", UI_FLAG_LOGOUT, 0, "2 4 "},    // by user and domain
        {u"corp.example", UI_FLAG_LOGOUT, 1, "2 3 4 "},  // by user, domain and workstation
        {u"other.example", UI_FLAG_LOGOUT, 1, "1 2 3 4 "},
        {nullptr, UI_FLAG_LOGOUT, 1, "2 3 4 "}, // by user and workstation
    };
    for (const delete_case &c : cases) {
        SCOPED_TRACE("flags " + std::to_string(c.flags) + " match " +
                     std::to_string(c.match_workstation));
        reopen();
        insert(u"alice", u"corp.example", u"10.0.0.1");
        insert(u"alice", u"other.example", u"10.0.0.2");
        insert(u"alice", u"corp.example", u"10.0.0.3");
        insert(u"bob", u"corp.example", u"10.0.0.4");
        userinfo_ptr record(make_logon(u"alice", c.domain, u"10.0.0.1"));
        record->Flags = c.flags;
        EXPECT_EQ(userinfo_db_delete(record.get(), c.match_workstation), 0);
        std::string left;
        for (const row &r : rows()) {
            left += r.ip.substr(7) + " ";
        }
        EXPECT_EQ(left, c.left);
    }
}

TEST_F(UserStore, HostileNamesAndAddressListsMatchOnlyThemselves)
{
    const char16_t *names[] = {u"o'brien", u"100%", u"x--", u"' OR '1'='1", u"plain"};
    int n = 0;
    for (const char16_t *name : names) {
        std::u16string ip = u"10.0.1." + u16(std::to_string(++n));
        ASSERT_EQ(insert(name, u"corp.example", ip.c_str()), 0) << u8(name);
    }
    // "%" is no wildcard and the quotes stay inside their value.
    userinfo_ptr percent(make_logon(u"%", nullptr, nullptr));
    EXPECT_EQ(userinfo_db_delete(percent.get(), 0), 0);
    userinfo_ptr sneaky(make_logon(u"' OR '1'='1", u"corp.example", u"10.0.1.4"));
    EXPECT_EQ(userinfo_db_delete(sneaky.get(), 1), 0);
    std::vector<row> stored = rows();
    ASSERT_EQ(stored.size(), 4u);
    EXPECT_EQ(stored[0].user, "o'brien");
    EXPECT_EQ(stored[1].user, "100%");
    EXPECT_EQ(stored[2].user, "x--");

    UserInfo *found = nullptr;
    ASSERT_EQ(userinfo_db_get_user_info(u"o'brien", &found), 0);
    EXPECT_EQ(u8(found->WrkstIP), "10.0.1.1");
    userdb_free_userinfo(found);
    EXPECT_EQ(userinfo_db_get_user_info(u"' OR '1'='1", &found), -1);

    // A duplicate check on a hostile address text finds nothing and harms nothing.
    EXPECT_EQ(insert(u"eve", u"corp.example", u"' OR '1'='1"), 0);
    EXPECT_EQ(rows().size(), 5u);

    // An appliance's logout list must be quoted addresses.
    const char16_t *refused[] = {
        u"",
        u"10.0.1.1",
        u"'10.0.1.1') OR ('1'='1",
        u"'10.0.1.1' OR 1=1",
        u"'10.0.1.1';DELETE FROM UserInfo;--",
        u"'10.0.1.1',",
        u"'10.0.1.256'",
        u"'10.0.1'",
        u"'a.b.c.d'",
    };
    for (const char16_t *list : refused) {
        EXPECT_EQ(userinfo_db_delete_logout_users(list), -1) << u8(list);
    }
    EXPECT_EQ(rows().size(), 5u);
    EXPECT_TRUE(logged("userdb_delete_logout_users: address list refused"));
    EXPECT_EQ(userinfo_db_delete_logout_users(u"'10.0.1.1', '10.0.1.3' ,'10.9.9.9'"), 0);
    stored = rows();
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].ip, "10.0.1.2");
    EXPECT_EQ(stored[1].ip, "10.0.1.5");
    EXPECT_TRUE(logged("userdb_delete_logout_users: delete query: DELETE FROM UserInfo WHERE "
                       "wrkst_ip in ('10.0.1.1', '10.0.1.3' ,'10.9.9.9');"));
    EXPECT_TRUE(drain_update_queue().empty());
}

TEST_F(UserStore, DueRowsArePagedInBatchesAndMarked)
{
    std::int32_t t = now_seconds();
    for (int i = 1; i <= 14; ++i) {
        std::u16string ip = u"10.0.2." + u16(std::to_string(i));
        // Rows 4 and 9 are not due yet; row 14 falls due this very second.
        std::int32_t expire = i == 4 || i == 9 ? t + 3600 : i == 14 ? t : t - 10;
        ASSERT_EQ(insert(u"user", u"corp.example", ip.c_str(), t - 700, expire), 0);
    }
    std::vector<std::int32_t> pages;
    std::vector<int> counts;
    do {
        UserInfo *records[5] = {};
        int count = userinfo_db_select_expired(records, 5, pages.empty() ? 0 : pages.back());
        counts.push_back(count);
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(records[i]->Flags, UI_FLAG_DETECTING);
            pages.push_back(records[i]->RowID);
            userdb_free_userinfo(records[i]);
        }
    } while (counts.back() > 0 && counts.size() < 5);
    EXPECT_EQ(counts, (std::vector<int>{5, 5, 2, 0}));
    EXPECT_EQ(pages, (std::vector<std::int32_t>{1, 2, 3, 5, 6, 7, 8, 10, 11, 12, 13, 14}));
    EXPECT_EQ(rows("flags==2").size(), 12u);
    EXPECT_EQ(rows("flags==1").size(), 2u);
}

void
collect(userdb_callback_context *context)
{
    auto *seen = reinterpret_cast<std::vector<std::string> *>(context->gw);
    seen->push_back(u8(context->record->User));
    userdb_free_userinfo(context->record);
}
void
delete_from_callback(userdb_callback_context *context)
{
    EXPECT_EQ(userinfo_db_delete(context->record, 1), 0);
    userdb_free_userinfo(context->record);
}

TEST_F(UserStore, WalksTakeATransitWindowOfExactly150SecondsAndMayCallTheStore)
{
    // The window is measured from the second the walk runs; retry if the clock ticks between.
    std::vector<std::string> seen;
    for (int attempt = 0; attempt < 5; ++attempt) {
        reopen();
        std::int32_t t = now_seconds();
        insert(u"edge", u"corp.example", u"10.0.0.1", t - 150);
        insert(u"old", u"corp.example", u"10.0.0.2", t - 151);
        insert(u"new", u"corp.example", u"10.0.0.3", t);
        insert(u"marked", u"corp.example", u"10.0.0.4", t - 10, t - 5);
        UserInfo *records[5] = {};
        ASSERT_EQ(userinfo_db_select_expired(records, 5, 0), 1);
        userdb_free_userinfo(records[0]);
        seen.clear();
        userdb_callback_context context{reinterpret_cast<gw_node *>(&seen), nullptr};
        EXPECT_EQ(userinfo_db_process_transit_time_user(collect, &context), 0);
        if (now_seconds() == t) {
            break;
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"edge", "new"}));
    // A walk's callback may use the store again on the same thread.
    userdb_callback_context context{nullptr, nullptr};
    EXPECT_EQ(userinfo_db_process_all(delete_from_callback, &context), 0);
    std::vector<row> left = rows();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].user, "marked"); // a row under a logoff check is not live
}

// The validation at start-up makes every row active again and leaves no write-ahead log behind (a
// large table rewritten whole took seconds and left a log larger than itself).
TEST_F(UserStore, ValidationActivatesEveryRowAndLeavesNoLog)
{
    insert_400(u"a-user-name-long-enough-to-fill-pages");
    UserInfo *records[5] = {};
    ASSERT_EQ(userinfo_db_select_expired(records, 5, 0), 1);
    userdb_free_userinfo(records[0]);
    reopen(false);
    ASSERT_EQ(userinfo_db_validate_all(), 0);
    std::error_code none;
    EXPECT_EQ(std::filesystem::file_size(dir.file("nivo.db3-wal"), none), 0u);
    std::vector<row> stored = rows();
    ASSERT_EQ(stored.size(), 400u);
    for (const row &r : stored) {
        EXPECT_EQ(r.flags, UI_FLAG_ACTIVE);
    }
}

// Bytes that no database starts with, the same in every run.
std::string
garbage(std::size_t size, unsigned seed)
{
    std::string out(size, '\0');
    for (char &c : out) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 16);
    }
    return out;
}

class DamagedStore : public UserStore {
  protected:
    // The files moved aside, by name.
    std::set<std::string> damaged() const
    {
        std::set<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(dir.path())) {
            std::string name = entry.path().filename().string();
            if (name.rfind("nivo.db3.damaged-", 0) == 0) {
                names.insert(name);
            }
        }
        return names;
    }
};

TEST_F(DamagedStore, GarbageIsMovedAsideWithItsCompanionsAndAnEmptyStoreOpens)
{
    userinfo_db_fini();
    ASSERT_TRUE(nivo_test::write_file(dir.file("nivo.db3"), garbage(8192, 1)));
    ASSERT_TRUE(nivo_test::write_file(dir.file("nivo.db3-wal"), "the damaged file's log"));
    ASSERT_TRUE(nivo_test::write_file(dir.file("nivo.db3-shm"), "its index"));
    ASSERT_EQ(userinfo_db_init(dir.wpath("nivo.db3").c_str(), u"UserInfo"), 0);
    std::set<std::string> moved = damaged();
    ASSERT_EQ(moved.size(), 3u);
    std::string name = *moved.begin(); // the shortest: the file itself
    EXPECT_EQ(name.size(), std::string("nivo.db3.damaged-YYYYMMDD-HHMMSS").size()) << name;
    EXPECT_EQ(read_file(dir.file(name + "-wal")), "the damaged file's log");
    EXPECT_TRUE(moved.count(name + "-shm"));

    // Damaged again within the same second: a new name, the first copy untouched.
    userinfo_db_fini();
    ASSERT_TRUE(nivo_test::write_file(dir.file("nivo.db3"), garbage(4096, 2)));
    ASSERT_EQ(userinfo_db_init(dir.wpath("nivo.db3").c_str(), u"UserInfo"), 0);
    EXPECT_GE(damaged().size(), 4u);
    EXPECT_EQ(read_file(dir.file(name)), garbage(8192, 1));
}

TEST_F(DamagedStore, PagesOverwrittenInTheMiddleAreFoundByTheValidation)
{
    // The schema still reads, the rows do not.
    insert_400(u"user");
    userinfo_db_fini(); // the log folded into the file
    std::string bytes = read_file(dir.file("nivo.db3"));
    std::size_t pages = bytes.size() / 4096;
    bytes.replace(6 * 4096, (pages - 7) * 4096, garbage((pages - 7) * 4096, 3));
    ASSERT_TRUE(nivo_test::write_file(dir.file("nivo.db3"), bytes));
    ASSERT_EQ(userinfo_db_init(dir.wpath("nivo.db3").c_str(), u"UserInfo"), 0);
    EXPECT_EQ(userinfo_db_validate_all(), 0);
    ASSERT_EQ(damaged().size(), 1u);
    EXPECT_EQ(read_file(dir.file(*damaged().begin())), bytes);
    EXPECT_TRUE(rows().empty());
}

} // namespace
