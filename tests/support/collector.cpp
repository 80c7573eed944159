#include "support/collector.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <ctime>

#include "common/log.h"
#include "dca/filter/dca_filter.h"
#include "platform/registry.h"
#include "userdb/dead_entry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"

namespace nivo_test {

std::int32_t
now_seconds()
{
    return static_cast<std::int32_t>(std::time(nullptr));
}

UserInfo *
make_logon(const char16_t *user, const char16_t *domain, const char16_t *ip, std::int32_t create,
           std::int32_t expire, std::int32_t flags)
{
    UserInfo *record = userdb_allocate_userinfo();
    userdb_set_text(&record->User, user);
    userdb_set_text(&record->Domain, domain);
    userdb_set_text(&record->WrkstIP, ip);
    record->CreateTime = create != 0 ? create : now_seconds();
    record->ExpireTime = expire != 0 ? expire : record->CreateTime + 600;
    record->LogonType = UI_LOGON_DC;
    record->Flags = flags;
    return record;
}

std::vector<userinfo_ptr>
drain_update_queue()
{
    std::vector<userinfo_ptr> out;
    UserInfo *marker = userdb_allocate_userinfo();
    marker->Flags = 99;
    EXPECT_EQ(gw_update_queue_enqueue(marker), 0);
    for (;;) {
        UserInfo *record = gw_update_queue_dequeue();
        if (record == marker) {
            userdb_free_userinfo(record);
            return out;
        }
        if (record != nullptr) {
            out.emplace_back(record);
        }
    }
}

std::vector<userinfo_ptr>
take_update_queue(std::size_t count, int timeout_ms)
{
    std::vector<userinfo_ptr> out;
    eventually(
        [&] {
            for (userinfo_ptr &record : drain_update_queue()) {
                out.push_back(std::move(record));
            }
            return out.size() >= count;
        },
        timeout_ms);
    return out;
}

namespace {

// The rows of the store at db that match where; false when the store cannot be read.
bool
read_rows(const std::string &db, const std::string &where, std::vector<store_row> *out)
{
    sqlite3 *handle = nullptr;
    sqlite3_stmt *stmt = nullptr;
    std::string sql = "SELECT * FROM UserInfo WHERE " + where + " ORDER BY rowid";
    bool ok = sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
              sqlite3_busy_timeout(handle, 2000) == SQLITE_OK &&
              sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK;
    auto text = [stmt](int column) {
        const unsigned char *value = sqlite3_column_text(stmt, column);
        return value != nullptr ? std::string(reinterpret_cast<const char *>(value))
                                : std::string("<null>");
    };
    // The columns in the table's order: rowid, user, domain, group, workstation name,
    // workstation address, create time, expire time, logon type, flags.
    int step = SQLITE_DONE;
    while (ok && (step = sqlite3_step(stmt)) == SQLITE_ROW) {
        out->push_back({sqlite3_column_int(stmt, 0), text(1), text(2), text(5),
                        sqlite3_column_int(stmt, 6), sqlite3_column_int(stmt, 7),
                        sqlite3_column_int(stmt, 8), sqlite3_column_int(stmt, 9)});
    }
    sqlite3_finalize(stmt);
    sqlite3_close(handle);
    return ok && step == SQLITE_DONE;
}

} // namespace

std::vector<store_row>
store_rows(const std::string &db, const std::string &where)
{
    std::vector<store_row> out;
    EXPECT_TRUE(read_rows(db, where, &out)) << db << " cannot be read for " << where;
    return out;
}

int
store_count(const std::string &db, const std::string &where)
{
    std::vector<store_row> out;
    read_rows(db, where, &out);
    return static_cast<int>(out.size());
}

std::string
store_exec(const std::string &db, const std::string &sql)
{
    sqlite3 *handle = nullptr;
    int rc = sqlite3_open(db.c_str(), &handle);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(handle, 5000);
        rc = sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr);
    }
    std::string out = rc == SQLITE_OK ? "" : sqlite3_errmsg(handle);
    sqlite3_close(handle);
    return out;
}

std::string
store_logons(const std::string &db, const std::vector<std::pair<std::string, std::string>> &logons,
             int seconds)
{
    std::string times =
        std::to_string(now_seconds()) + ", " + std::to_string(now_seconds() + seconds) + ", 2, 1)";
    std::string sql = "INSERT INTO UserInfo (user, domain, wrkst_ip, create_time, expire_time, "
                      "logon_type, flags) VALUES ";
    const char *comma = "";
    for (const auto &[user, address] : logons) {
        sql += comma + ("('" + user + "', 'example.test', '" + address + "', ") + times;
        comma = ", ";
    }
    return store_exec(db, sql);
}

void
collector_fixture::SetUp()
{
    ASSERT_NO_FATAL_FAILURE(log_fixture::SetUp());
    log_set_loglevel(LOG_DEBUG);
    registry_set_location(dir.wpath("registry").c_str());
    dead_entries_clear(); // the real registry on Windows keeps them between tests
    dead_entry_set_timeout(0);
    dca_filter_reset();
    dca_set_hostdomain(domain_, fqdn_);
    ASSERT_EQ(gw_update_queue_init(), 0);
    ASSERT_EQ(userinfo_db_init(dir.wpath("nivo.db3").c_str(), u"UserInfo"), 0);
}

void
collector_fixture::TearDown()
{
    userinfo_db_fini(); // the store, then the queue (which frees what it still holds)
    gw_update_queue_fini();
    dca_filter_reset();
    dead_entry_set_timeout(0);
    dead_entries_clear();
    registry_set_location(nullptr);
    log_fini();
}

} // namespace nivo_test
