// bench-userdb: the user store's speed beside the bare SQLite limit.
//
// For tables of 1,000, 10,000 and 100,000 rows (or the sizes given as arguments) it prints:
//   - inserts per second through userinfo_db_insert (duplicate check included), at LOG-LEVEL 5
//     (the default) and at LOG-LEVEL 3, with new rows on addresses not yet stored, and at
//     LOG-LEVEL 3 with the dead-entry store on (one registry entry written per insert);
//   - the size of the store's write-ahead log after those inserts, which its checkpoints bound;
//   - the bare rate: the same two statements (the select on the address and the insert),
//     compiled once, on a bare connection to a database of the same size and settings, one
//     commit per insert as in the store;
//   - the ratio of the store's rate at LOG-LEVEL 3 to the bare rate;
//   - rows per second walked by userinfo_db_process_all;
//   - batches of 5 per second selected and marked by userinfo_db_select_expired.
// Everything runs in a temporary directory that is removed at the end. Run by hand:
//   build/bench-userdb [rows...]

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/registry.h"
#include "userdb/dead_entry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

using bench::address_of;
using bench::clock_type;
using bench::seconds_since;
using bench::to_u16;

constexpr double MEASURE_SECONDS = 2.0;
constexpr int MAX_MEASURED_INSERTS = 20000;

// Fills rows [0, count) on a second connection, in one transaction.
bool
fill_table(const std::string &path, int count, std::int32_t expire_time)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        return false;
    }
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO UserInfo (user,domain,wrkst_ip,create_time,expire_time,"
                       "logon_type,flags) VALUES (?,?,?,?,?,2,1)",
                       -1, &stmt, nullptr);
    for (int i = 0; i < count; ++i) {
        std::string user = "user" + std::to_string(i);
        std::string ip = address_of(10, i);
        sqlite3_bind_text(stmt, 1, user.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, "corp.example", -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt, 3, ip.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(stmt, 4, expire_time - 600);
        sqlite3_bind_int(stmt, 5, expire_time);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// Inserts through the store from address number `first` on, for about MEASURE_SECONDS.
double
store_insert_rate(int *next)
{
    auto start = clock_type::now();
    int done = 0;
    std::u16string domain = u"corp.example";
    while (done < MAX_MEASURED_INSERTS &&
           (done % 64 != 0 || seconds_since(start) < MEASURE_SECONDS)) {
        UserInfo *record = userdb_allocate_userinfo();
        std::u16string user = to_u16("new" + std::to_string(*next));
        std::u16string ip = to_u16(address_of(10, *next));
        record->User = tsso_string_dup_w(user.c_str());
        record->Domain = tsso_string_dup_w(domain.c_str());
        record->WrkstIP = tsso_string_dup_w(ip.c_str());
        record->CreateTime = 1000;
        record->ExpireTime = 1600;
        record->LogonType = 2;
        if (userinfo_db_insert(record) != 0) {
            std::fprintf(stderr, "insert failed\n");
            std::exit(1);
        }
        userdb_free_userinfo(record);
        ++*next;
        ++done;
    }
    return done / seconds_since(start);
}

// The same statements on a bare connection: the limit the store can approach.
double
bare_insert_rate(const std::string &path, int first, const char *synchronous)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open16(to_u16(path).c_str(), &db) != SQLITE_OK) {
        return 0;
    }
    std::string pragma = std::string("PRAGMA synchronous=") + synchronous;
    sqlite3_exec(db, pragma.c_str(), nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA wal_autocheckpoint=1000", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "PRAGMA journal_size_limit=4194304", nullptr, nullptr, nullptr);
    sqlite3_stmt *select = nullptr;
    sqlite3_stmt *insert = nullptr;
    sqlite3_prepare16_v2(db, u"SELECT * FROM UserInfo WHERE wrkst_ip==:wrkst_ip;", -1, &select,
                         nullptr);
    sqlite3_prepare16_v2(
        db,
        u"INSERT INTO UserInfo (rowid,user,domain,usergroup,wrkst_name,wrkst_ip, create_time, "
        u"expire_time,logon_type,flags) VALUES (NULL,:user,:domain,:usergroup,:wrkst_name,"
        u":wrkst_ip,:create_time,:expire_time,:logon_type,:flags);",
        -1, &insert, nullptr);
    std::u16string domain = u"corp.example";
    auto start = clock_type::now();
    int done = 0;
    for (int n = first;
         done < MAX_MEASURED_INSERTS && (done % 64 != 0 || seconds_since(start) < MEASURE_SECONDS);
         ++n, ++done) {
        std::u16string user = to_u16("bare" + std::to_string(n));
        std::u16string ip = to_u16(address_of(10, n));
        auto bytes = [](const std::u16string &s) { return static_cast<int>(s.size() * 2); };
        sqlite3_bind_text16(select, 1, ip.c_str(), bytes(ip), SQLITE_STATIC);
        sqlite3_step(select);
        sqlite3_reset(select);
        sqlite3_clear_bindings(select);
        sqlite3_bind_text16(insert, 1, user.c_str(), bytes(user), SQLITE_STATIC);
        sqlite3_bind_text16(insert, 2, domain.c_str(), bytes(domain), SQLITE_STATIC);
        sqlite3_bind_text16(insert, 5, ip.c_str(), bytes(ip), SQLITE_STATIC);
        sqlite3_bind_int(insert, 6, 1000);
        sqlite3_bind_int(insert, 7, 1600);
        sqlite3_bind_int(insert, 8, 2);
        sqlite3_bind_int(insert, 9, 1);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            std::fprintf(stderr, "bare insert failed: %s\n", sqlite3_errmsg(db));
            std::exit(1);
        }
        sqlite3_reset(insert);
        sqlite3_clear_bindings(insert);
    }
    double rate = done / seconds_since(start);
    sqlite3_finalize(select);
    sqlite3_finalize(insert);
    sqlite3_close(db);
    return rate;
}

std::string
pragma_text(const std::string &path, const char *pragma)
{
    sqlite3 *db = nullptr;
    std::string out;
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, pragma, -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            out = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return out;
}

void
count_and_free(userdb_callback_context *context)
{
    ++*reinterpret_cast<long *>(context->gw);
    userdb_free_userinfo(context->record);
}

struct figures {
    int rows;
    double insert_level5;
    double insert_level3;
    double insert_dead_entry;
    long long wal_bytes;
    double bare;
    double walk;
    double batches;
};

figures
measure(const std::filesystem::path &dir, int rows)
{
    figures out{};
    out.rows = rows;
    std::string store_path = (dir / ("store-" + std::to_string(rows) + ".db3")).string();
    std::string bare_path = (dir / ("bare-" + std::to_string(rows) + ".db3")).string();

    // Both files get the store's schema, indexes and journal mode; then the same rows.
    for (const std::string &path : {bare_path, store_path}) {
        if (userinfo_db_init(to_u16(path).c_str(), u"UserInfo") != 0) {
            std::fprintf(stderr, "store init failed\n");
            std::exit(1);
        }
        if (path == bare_path) {
            userinfo_db_fini();
        }
    }
    std::int32_t past = static_cast<std::int32_t>(std::time(nullptr)) - 10;
    if (!fill_table(store_path, rows, past) || !fill_table(bare_path, rows, past)) {
        std::fprintf(stderr, "fill failed\n");
        std::exit(1);
    }
    // The store sets synchronous=NORMAL on a WAL database and keeps SQLite's default (FULL)
    // otherwise; the bare connection does the same.
    const char *synchronous =
        pragma_text(store_path, "PRAGMA journal_mode") == "wal" ? "NORMAL" : "FULL";

    int next = 1 << 20;
    log_set_loglevel(LOG_DEBUG);
    out.insert_level5 = store_insert_rate(&next);
    log_set_loglevel(LOG_NOTICE);
    out.insert_level3 = store_insert_rate(&next);
    dead_entry_set_timeout(1);
    out.insert_dead_entry = store_insert_rate(&next);
    dead_entry_set_timeout(0);
    std::error_code no_wal;
    out.wal_bytes = static_cast<long long>(std::filesystem::file_size(store_path + "-wal", no_wal));
    out.bare = bare_insert_rate(bare_path, 1 << 21, synchronous);

    long walked = 0;
    userdb_callback_context context{reinterpret_cast<gw_node *>(&walked), nullptr};
    auto start = clock_type::now();
    userinfo_db_process_all(count_and_free, &context);
    out.walk = walked / seconds_since(start);

    // Every filled row is due; page through them in batches of 5 as the detector does.
    start = clock_type::now();
    int batches = 0;
    std::int32_t first = 0;
    while (seconds_since(start) < MEASURE_SECONDS) {
        UserInfo *records[5];
        int count = userinfo_db_select_expired(records, 5, first);
        if (count <= 0) {
            break;
        }
        for (int i = 0; i < count; ++i) {
            first = std::max(first, records[i]->RowID);
            userdb_free_userinfo(records[i]);
        }
        ++batches;
    }
    out.batches = batches / seconds_since(start);
    userinfo_db_fini();
    return out;
}

} // namespace

int
main(int argc, char **argv)
{
    std::vector<int> sizes;
    for (int i = 1; i < argc; ++i) {
        sizes.push_back(std::atoi(argv[i]));
    }
    if (sizes.empty()) {
        sizes = {1000, 10000, 100000};
    }
    std::filesystem::path dir = bench::make_temp_dir("bench-userdb");
    if (dir.empty()) {
        return 1;
    }
    std::u16string log_dir = to_u16(dir.string());
    std::u16string log_path = log_dir + u"/nivo.log";
    std::u16string log1 = log_dir + u"/nivo.log1";
    std::u16string events = log_dir + u"/logging_events.log";
    std::u16string events1 = log_dir + u"/logging_events.log1";
    if (log_int(log_path.c_str(), log1.c_str(), events.c_str(), events1.c_str()) != 0) {
        return 1;
    }
    gw_update_queue_init();
    dead_entry_set_timeout(0);
    std::u16string registry = log_dir + u"/registry";
    registry_set_location(registry.c_str());

    std::printf("%9s %12s %12s %12s %9s %12s %7s %12s %12s\n", "rows", "insert/s L5", "insert/s L3",
                "L3+entries", "wal KiB", "bare/s", "ratio", "walk rows/s", "expired b/s");
    for (int rows : sizes) {
        figures f = measure(dir, rows);
        std::printf("%9d %12.0f %12.0f %12.0f %9lld %12.0f %7.2f %12.0f %12.0f\n", f.rows,
                    f.insert_level5, f.insert_level3, f.insert_dead_entry, f.wal_bytes / 1024,
                    f.bare, f.bare > 0 ? f.insert_level3 / f.bare : 0.0, f.walk, f.batches);
        std::fflush(stdout);
    }
    log_fini();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return 0;
}
