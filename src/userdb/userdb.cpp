// The user store on SQLite.
//
// Statement texts keep the shape of the table's documented queries; where a query used to carry
// a value inside quotes it now carries a named parameter in the same place, so a name holding a
// quote, "%" or "--" matches exactly what it says and nothing more. The statements that run for
// every logon (the INSERT, the duplicate check, updates and deletes) are compiled once and kept
// in the handle; they are only used under the store lock and reset before the lock is released,
// so that a nested call on the same thread never finds one of them half-stepped. The row walks
// and the user lookup compile their own statement each time, because a walk's callback may call
// the store again and the lookup runs without the lock.

#include "userdb/userdb.h"
#include "userdb/gw_update_queue.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/format.h"
#include "common/log.h"
#include "common/text.h"
#include "logoff/wrkstpoll_handlers.h"
#include "platform/file.h"
#include "platform/system.h"
#include "userdb/dead_entry.h"

namespace {

// Statements compiled once per store.
enum userdb_stmt_kind : int {
    STMT_DUPLICATE,
    STMT_UPDATE,
    STMT_DELETE_USER,
    STMT_DELETE_USER_DOMAIN,
    STMT_DELETE_USER_WRKST,
    STMT_DELETE_USER_DOMAIN_WRKST,
    STMT_COUNT,
};

constexpr const char16_t *SCHEMA_COLUMNS =
    u"rowid INTEGER PRIMARY KEY AUTOINCREMENT, user TEXT DEFAULT NULL, domain TEXT DEFAULT "
    u"NULL, usergroup TEXT DEFAULT NULL, wrkst_name TEXT DEFAULT NULL, wrkst_ip TEXT DEFAULT "
    u"NULL, create_time NUMERIC, expire_time NUMERIC, logon_type INTEGER, flags INTEGER";

constexpr const char16_t *INSERT_COLUMNS =
    u"(rowid,user,domain,usergroup,wrkst_name,wrkst_ip, create_time, expire_time,logon_type,"
    u"flags) VALUES (NULL,:user,:domain,:usergroup,:wrkst_name,:wrkst_ip,:create_time,"
    u":expire_time,:logon_type,:flags)";

// Statement texts hold 1023 UTF-16 units and the terminator.
constexpr std::size_t QUERY_UNITS = 1024;

} // namespace

struct userdb_handle {
    sqlite3 *db;
    sqlite3_stmt *insert_stmt;
    char16_t *db_name;
    char16_t *table_name;
    std::recursive_mutex lock;
    userdb_handle *self;
    sqlite3_stmt *cached[STMT_COUNT];
};

namespace {

// The process's store. Readers load it without a lock (they may hold the store's own lock,
// which init takes while it opens the file); init and fini serialise on g_init_lock.
std::mutex g_init_lock;
std::atomic<userdb_handle *> g_store{nullptr};

// Why opening or validating the store failed: SQLite's extended result code, the system's error
// behind it (0 when there was none) and SQLite's own text.
struct userdb_failure {
    int code = SQLITE_OK;
    int system_error = 0;
    char16_t message[256] = {};
};
userdb_failure g_failure; // the last failure of init or validation; guarded by g_init_lock

// Inserts that failed since the store was opened, for the service's report; counted under the
// store lock, read by the service's main thread.
struct userdb_write_failures {
    std::mutex lock;
    std::uint64_t unstored = 0;
    bool failing = false;
    const char *reason = nullptr;
};
userdb_write_failures g_failures;

userdb_handle *
store()
{
    return g_store.load(std::memory_order_acquire);
}

bool
handle_ok(const userdb_handle *handle)
{
    return handle != nullptr && handle->self == handle;
}

const char16_t *
errmsg(const userdb_handle *handle)
{
    const void *message = sqlite3_errmsg16(handle->db);
    return message != nullptr ? static_cast<const char16_t *>(message) : u"";
}

std::int32_t
now_seconds()
{
    return static_cast<std::int32_t>(std::time(nullptr));
}

// The statement as SQLite would run it with its values inlined, for the trace lines only.
std::string
expanded_text(sqlite3_stmt *stmt)
{
    std::string out;
    char *text = sqlite3_expanded_sql(stmt);
    if (text != nullptr) {
        out = text;
        sqlite3_free(text);
    }
    return out;
}

// Binds text (absent: NULL) to a named parameter. The text must outlive the step.
int
bind_text(sqlite3_stmt *stmt, const char *name, const char16_t *text)
{
    int index = sqlite3_bind_parameter_index(stmt, name);
    if (index == 0) {
        return SQLITE_RANGE;
    }
    if (text == nullptr) {
        return sqlite3_bind_null(stmt, index);
    }
    return sqlite3_bind_text16(
        stmt, index, text, static_cast<int>(wtext_length(text) * sizeof(char16_t)), SQLITE_STATIC);
}

int
bind_int(sqlite3_stmt *stmt, const char *name, std::int32_t value)
{
    int index = sqlite3_bind_parameter_index(stmt, name);
    if (index == 0) {
        return SQLITE_RANGE;
    }
    return sqlite3_bind_int(stmt, index, value);
}

// Formats a statement text with the table name; false when it does not fit.
template <class... Args>
bool
format_query(char16_t (&buffer)[QUERY_UNITS], wfmt<const char16_t *, Args...> format,
             const userdb_handle *handle, const Args &...args)
{
    const char16_t *table = handle->table_name;
    return string_printf_w(buffer, sizeof buffer, format, table, args...) == STRING_S_OK;
}

// A compiled statement of the handle's cache, compiled on first use. Call under the lock.
sqlite3_stmt *
cached_stmt(userdb_handle *handle, userdb_stmt_kind kind)
{
    if (handle->cached[kind] != nullptr) {
        return handle->cached[kind];
    }
    char16_t text[QUERY_UNITS];
    bool fits = false;
    switch (kind) {
    case STMT_DUPLICATE:
        fits = format_query(text, u"SELECT * FROM %s WHERE wrkst_ip==:wrkst_ip;", handle);
        break;
    case STMT_UPDATE:
        fits = format_query(
            text, u"UPDATE %s SET flags=:flags,expire_time=:expire_time WHERE rowid==:rowid;",
            handle);
        break;
    case STMT_DELETE_USER:
        fits = format_query(text, u"DELETE FROM %s WHERE user==:user;", handle);
        break;
    case STMT_DELETE_USER_DOMAIN:
        fits = format_query(text, u"DELETE FROM %s WHERE user==:user AND domain==:domain;", handle);
        break;
    case STMT_DELETE_USER_WRKST:
        fits = format_query(text, u"DELETE FROM %s WHERE user==:user AND wrkst_ip==:wrkst_ip;",
                            handle);
        break;
    case STMT_DELETE_USER_DOMAIN_WRKST:
        fits = format_query(
            text, u"DELETE FROM %s WHERE user==:user AND domain==:domain AND wrkst_ip==:wrkst_ip;",
            handle);
        break;
    case STMT_COUNT:
        break;
    }
    if (!fits) {
        return nullptr;
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare16_v2(handle->db, text, -1, &stmt, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    handle->cached[kind] = stmt;
    return stmt;
}

// Returns a cached statement to its unused state: no row pending, no value bound.
void
release_stmt(sqlite3_stmt *stmt)
{
    sqlite3_reset(stmt);
    sqlite3_clear_bindings(stmt);
}

// Steps a statement that yields no rows to its end, with the trace lines of the store. The count
// of rows stepped, or -1 (logged).
int
userdb_step_query(userdb_handle *handle, sqlite3_stmt *stmt)
{
    if (log_is_enabled(LOG_DEBUG)) {
        log_write_a(LOG_DEBUG, "userdb_exec_query: Query:'%s'", expanded_text(stmt));
    }
    int count = 0;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        log_write_a(LOG_DEBUG, "userdb_exec_query: Query Executed, ret:%d", rc);
        ++count;
    }
    log_write_a(LOG_DEBUG, "userdb_exec_query: Query Executed, ret:%d", rc);
    log_write(LOG_DEBUG, u"userdb_exec_query: query execution step count: %d", count);
    if (rc != SQLITE_DONE) {
        log_write(LOG_ERROR, u"userdb_exec_query: query execution failed: %s", errmsg(handle));
        return -1;
    }
    return count;
}

// Compiles and runs a statement text without rows. The count of rows stepped, or -1 (logged).
int
userdb_exec_query(userdb_handle *handle, const char16_t *text)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare16_v2(handle->db, text, -1, &stmt, nullptr) != SQLITE_OK) {
        log_write(LOG_ERROR, u"userdb_exec_query: prepare statement failed: %s", errmsg(handle));
        sqlite3_finalize(stmt);
        return -1;
    }
    int result = userdb_step_query(handle, stmt);
    sqlite3_finalize(stmt);
    return result;
}

// A new record from the current row: columns in the table's order.
UserInfo *
userdb_fetch_data_from_queryresult(sqlite3_stmt *stmt)
{
    userinfo_ptr record(userdb_allocate_userinfo());
    if (record == nullptr) {
        log_write(LOG_ERROR, u"userdb_fetch_data_from_queryresult: userinfo allocation failed");
        return nullptr;
    }
    record->RowID = sqlite3_column_int(stmt, 0);
    char16_t **texts[] = {&record->User, &record->Domain, &record->Group, &record->WrkstName,
                          &record->WrkstIP};
    for (int column = 1; column <= 5; ++column) {
        const void *value = sqlite3_column_text16(stmt, column);
        if (value != nullptr &&
            userdb_set_text(texts[column - 1], static_cast<const char16_t *>(value)) != 0) {
            log_write(LOG_ERROR, u"userdb_fetch_data_from_queryresult: userinfo allocation failed");
            return nullptr;
        }
    }
    record->CreateTime = sqlite3_column_int(stmt, 6);
    record->ExpireTime = sqlite3_column_int(stmt, 7);
    record->LogonType = sqlite3_column_int(stmt, 8);
    record->Flags = sqlite3_column_int(stmt, 9);
    return record.release();
}

// Steps a compiled statement and hands every row to the callback. 1 when the callback ran, 0
// when not, -1 on a failed step (logged).
int
userdb_exec_query_with_callback(userdb_handle *handle, sqlite3_stmt *stmt, userdb_callback callback,
                                userdb_callback_context *context)
{
    bool called = false;
    for (;;) {
        int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) {
            break;
        }
        if (rc != SQLITE_ROW) {
            log_write(LOG_ERROR, u"userdb_exec_query_with_callback: query execution failed: %s",
                      errmsg(handle));
            return -1;
        }
        UserInfo *record = userdb_fetch_data_from_queryresult(stmt);
        if (record == nullptr) {
            log_write(LOG_ERROR, u"userdb_exec_query_with_callback: userinfo data fetch failed");
            break;
        }
        context->record = record;
        callback(context);
        called = true;
    }
    return called ? 1 : 0;
}

// Compiles a walk's statement; null (logged with the walk's own message) on failure.
sqlite3_stmt *
prepare_walk(userdb_handle *handle, const char16_t *text)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare16_v2(handle->db, text, -1, &stmt, nullptr) != SQLITE_OK) {
        log_write(LOG_ERROR, u"userdb_exec_query_with_callback: prepare statement failed: %s",
                  errmsg(handle));
        sqlite3_finalize(stmt);
        return nullptr;
    }
    return stmt;
}

// Runs statements of a text one after the other (settings and indexes). 0, or -1 (logged).
int
userdb_exec_script(userdb_handle *handle, const char16_t *text)
{
    const void *rest = text;
    while (rest != nullptr && *static_cast<const char16_t *>(rest) != 0) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare16_v2(handle->db, rest, -1, &stmt, &rest) != SQLITE_OK) {
            log_write(LOG_ERROR, u"userdb_exec_query: prepare statement failed: %s",
                      errmsg(handle));
            sqlite3_finalize(stmt);
            return -1;
        }
        if (stmt == nullptr) {
            break; // only blanks were left
        }
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE) {
            log_write(LOG_ERROR, u"userdb_exec_query: query execution failed: %s", errmsg(handle));
            return -1;
        }
    }
    return 0;
}

// Connection settings. A new file stores its text as UTF-16 little-endian whatever the
// machine's byte order. The write-ahead log commits each statement with one append and no wait
// for the disk, and a crash of the process loses nothing that was committed (synchronous=NORMAL
// gives up only the last commits before a power failure). A logon appends about four pages
// (the table, its two indexes and the rowid counter), so the log is folded back into the file
// every 1,000 pages (about 4 MB, some 250 logons) and then written again from its start: the
// disk must hold that much beside the table, not ten times as much. After a larger transaction
// (a validation of a big table) the log file is cut back to 4 MiB, just over its working size,
// so that the regular cycle never truncates it. The busy wait covers a second reader, such as
// an operator's shell, holding the file for a moment.
int
userdb_configure_db(userdb_handle *handle)
{
    sqlite3_busy_timeout(handle->db, 5000);
    if (userdb_exec_script(handle, u"PRAGMA encoding='UTF-16le';"
                                   u"PRAGMA journal_mode=WAL;"
                                   u"PRAGMA synchronous=NORMAL;"
                                   u"PRAGMA wal_autocheckpoint=1000;"
                                   u"PRAGMA journal_size_limit=4194304;") != 0) {
        log_write(LOG_ERROR, u"userdb_open_db: USERDB '%s' couldnt configured: %s", handle->db_name,
                  errmsg(handle));
        return -1;
    }
    return 0;
}

void
userdb_close_db(userdb_handle *handle)
{
    if (handle == nullptr) {
        return;
    }
    for (sqlite3_stmt *&stmt : handle->cached) {
        sqlite3_finalize(stmt);
        stmt = nullptr;
    }
    if (handle->insert_stmt != nullptr) {
        sqlite3_finalize(handle->insert_stmt);
        handle->insert_stmt = nullptr;
        log_write(LOG_DEBUG, u"userdb_close_db: Prepared Statement destroyed");
    }
    if (handle->db != nullptr) {
        sqlite3_close(handle->db);
        handle->db = nullptr;
        log_write(LOG_DEBUG, u"userdb_close_db: handle to USERDB '%s' closed", handle->db_name);
    }
    text_free(handle->db_name);
    text_free(handle->table_name);
    handle->self = nullptr;
    delete handle;
}

int
userdb_create_table(userdb_handle *handle)
{
    if (!handle_ok(handle)) {
        log_write(LOG_ERROR, u"userdb_create_table: Invalid handle");
        return -1;
    }
    char16_t text[QUERY_UNITS];
    if (string_printf_w(text, sizeof text, u"CREATE TABLE IF NOT EXISTS %s (%s);",
                        handle->table_name, SCHEMA_COLUMNS) != STRING_S_OK) {
        log_write(LOG_ERROR, u"userdb_create_table: string preparation failed");
        return -1;
    }
    std::lock_guard guard(handle->lock);
    if (userdb_exec_query(handle, text) < 0) {
        log_write(LOG_ERROR, u"userdb_create_table: create table query failed");
        return -1;
    }
    // Indexes for the lookups that run for every logon: the duplicate check (by address) and the
    // deletes (by user). The due-row selection keeps to the rowid order it pages in: it runs
    // once per detector pass, and an index on state and expiry cost every insert a quarter of
    // its rate while making a backlog's batches sort every due row again.
    const char16_t *table = handle->table_name;
    if (string_printf_w(text, sizeof text,
                        u"CREATE INDEX IF NOT EXISTS %s_wrkst_ip ON %s (wrkst_ip);"
                        u"CREATE INDEX IF NOT EXISTS %s_user ON %s (user);",
                        table, table, table, table) != STRING_S_OK) {
        log_write(LOG_ERROR, u"userdb_create_table: string preparation failed");
        return -1;
    }
    if (userdb_exec_script(handle, text) != 0) {
        log_write(LOG_ERROR, u"userdb_create_table: create index query failed");
        return -1;
    }
    return 0;
}

int
userdb_prepare_insertstmt(userdb_handle *handle)
{
    if (!handle_ok(handle)) {
        log_write(LOG_ERROR, u"userdb_prepare_insertstmt: Invalid handle");
        return -1;
    }
    char16_t text[QUERY_UNITS];
    if (string_printf_w(text, sizeof text, u"INSERT INTO %s %s;", handle->table_name,
                        INSERT_COLUMNS) != STRING_S_OK) {
        log_write(LOG_ERROR, u"userdb_prepare_insertstmt: string preparation failed");
        return -1;
    }
    log_write(LOG_DEBUG, u"userdb_prepare_insertstmt: insert statement: %s",
              static_cast<const char16_t *>(text));
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare16_v2(handle->db, text, -1, &stmt, nullptr) != SQLITE_OK) {
        log_write(LOG_ERROR, u"userdb_prepare_insertstmt: prepare insert statement failed: %s",
                  errmsg(handle));
        sqlite3_finalize(stmt);
        return -1;
    }
    std::lock_guard guard(handle->lock);
    handle->insert_stmt = stmt;
    return 0;
}

// The file is not a database, or its pages contradict each other. A permission error or a full
// disk is not damage: the file may be sound, and it stays where it is.
bool
userdb_is_damaged(const userdb_failure &failure)
{
    int primary = failure.code & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

userdb_failure
userdb_note_failure(const userdb_handle *handle)
{
    userdb_failure failure;
    if (handle->db == nullptr) {
        failure.code = SQLITE_NOMEM;
        fmt_print_w(failure.message, 256, u"out of memory");
        return failure;
    }
    failure.code = sqlite3_extended_errcode(handle->db);
    fmt_print_w(failure.message, 256, u"%s", errmsg(handle));
    // Damage has no system error behind it; what SQLite kept then is from an earlier call.
    if (!userdb_is_damaged(failure)) {
        failure.system_error = sqlite3_system_errno(handle->db);
    }
    return failure;
}

userdb_handle *
userdb_open_db(const char16_t *db_path, const char16_t *table_name, userdb_failure *failure)
{
    auto *handle = new (std::nothrow) userdb_handle{};
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userdb_open_db: unable to allocate userdb handle");
        return nullptr;
    }
    handle->self = handle;
    handle->db_name = tsso_string_dup_w(db_path);
    handle->table_name = tsso_string_dup_w(table_name);
    if (sqlite3_open16(db_path, &handle->db) != SQLITE_OK) {
        log_write(LOG_ERROR, u"userdb_open_db: USERDB '%s' couldnt open: %s", db_path,
                  handle->db != nullptr ? errmsg(handle) : u"out of memory");
        *failure = userdb_note_failure(handle);
        userdb_close_db(handle);
        return nullptr;
    }
    log_write(LOG_DEBUG, u"userdb_open_db: USERDB '%s' opened successfully", db_path);
    // Until the file has proved sound, closing it must not fold a write-ahead log into it and
    // delete the log: a damaged file is moved aside whole, with its log.
    sqlite3_db_config(handle->db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (userdb_configure_db(handle) != 0 || userdb_create_table(handle) != 0 ||
        userdb_prepare_insertstmt(handle) != 0) {
        *failure = userdb_note_failure(handle);
        userdb_close_db(handle);
        return nullptr;
    }
    sqlite3_db_config(handle->db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
    return handle;
}

// Moves a damaged database file aside to "<file>.damaged-YYYYMMDD-HHMMSS" (local time), with
// its write-ahead log, the log's index and a rollback journal under the same name and their own
// suffix: they belong to the damaged file, and left behind they would be applied to a new one.
// A name in use is never overwritten ("-2", "-3" and so on follow). 0, or -1 (logged) when
// something could not be moved; the file is never deleted.
int
userdb_move_damaged_db(const char16_t *db_path, const userdb_failure &damage)
{
    static constexpr const char16_t *COMPANIONS[] = {u"-wal", u"-shm", u"-journal"};
    platform_clock now{};
    platform_local_clock(&now);
    char16_t stamp[64];
    fmt_print_w(stamp, 64, u".damaged-%04d%02d%02d-%02d%02d%02d", now.year, now.month, now.day,
                now.hour, now.minute, now.second);
    std::u16string path(db_path);
    std::u16string target;
    for (int attempt = 1; attempt <= 100 && target.empty(); ++attempt) {
        char16_t serial[16] = {};
        if (attempt > 1) {
            fmt_print_w(serial, 16, u"-%d", attempt);
        }
        std::u16string candidate = path + stamp + serial;
        bool free = platform_file_exists(candidate.c_str()) == 0;
        for (const char16_t *suffix : COMPANIONS) {
            free = free && platform_file_exists((candidate + suffix).c_str()) == 0;
        }
        if (free) {
            target = candidate;
        }
    }
    if (target.empty()) {
        log_write(LOG_ERROR, u"userdb_move_damaged_db: no free name to move USERDB '%s' to",
                  db_path);
        return -1;
    }
    auto move = [](const std::u16string &from, const std::u16string &to) {
        if (platform_file_move_new(from.c_str(), to.c_str()) == 0) {
            return true;
        }
        char16_t reason[256];
        platform_error_text(platform_last_error(), reason, 256);
        log_write(LOG_ERROR, u"userdb_move_damaged_db: '%s' couldnt moved to '%s': %s",
                  from.c_str(), to.c_str(), static_cast<const char16_t *>(reason));
        return false;
    };
    if (!move(path, target)) {
        return -1;
    }
    for (const char16_t *suffix : COMPANIONS) {
        if (platform_file_exists((path + suffix).c_str()) != 0 &&
            !move(path + suffix, target + suffix)) {
            return -1;
        }
    }
    log_write(LOG_ERROR,
              u"userdb_move_damaged_db: USERDB '%s' is damaged (%s); moved to '%s', starting with "
              u"an empty store",
              db_path, static_cast<const char16_t *>(damage.message), target.c_str());
    return 0;
}

// Opens the store; a damaged file is moved aside and a new one opened in its place. Null with
// *failure filled when no store could be opened. Call under g_init_lock.
userdb_handle *
userdb_open_or_replace_db(const char16_t *db_path, const char16_t *table_name,
                          userdb_failure *failure)
{
    userdb_handle *handle = userdb_open_db(db_path, table_name, failure);
    if (handle == nullptr && userdb_is_damaged(*failure)) {
        try {
            if (userdb_move_damaged_db(db_path, *failure) == 0) {
                handle = userdb_open_db(db_path, table_name, failure);
            }
        } catch (const std::exception &) {
            log_write(LOG_ERROR, u"userdb_move_damaged_db: out of memory");
        }
    }
    return handle;
}

// Reads the first row on the record's address. 0 nothing stored there, or only the row handed
// (the row the caller already handed to the logoff handler, which kept it); 1 the same user and
// domain; 2 a different user, whose row is in *displaced; -1 error.
int
userdb_handle_duplicate_userinfo(userdb_handle *handle, const UserInfo *record, std::int32_t handed,
                                 userinfo_ptr *displaced)
{
    sqlite3_stmt *stmt = cached_stmt(handle, STMT_DUPLICATE);
    if (stmt == nullptr) {
        log_write(LOG_ERROR, u"userdb_handle_duplicate_userinfo: string preparation failed");
        return -1;
    }
    if (bind_text(stmt, ":wrkst_ip", record->WrkstIP) != SQLITE_OK) {
        log_write(LOG_ERROR, u"userdb_handle_duplicate_userinfo: select query failed: %s",
                  errmsg(handle));
        release_stmt(stmt);
        return -1;
    }
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) {
        release_stmt(stmt);
        return 0;
    }
    if (rc != SQLITE_ROW) {
        log_write(LOG_ERROR, u"userdb_handle_duplicate_userinfo: select query failed: %s",
                  errmsg(handle));
        release_stmt(stmt);
        return -1;
    }
    userinfo_ptr stored(userdb_fetch_data_from_queryresult(stmt));
    release_stmt(stmt);
    if (stored == nullptr) {
        log_write(LOG_ERROR, u"userdb_handle_duplicate_userinfo: userinfo data fetch failed");
        return -1;
    }
    if (handed != 0 && stored->RowID == handed) {
        return 0; // an address excluded from logoffs keeps its logon
    }
    log_write(LOG_DEBUG, u"userdb_handle_duplicate_userinfo: User '%s\\%s' found on '%s'",
              stored->Domain, stored->User, stored->WrkstIP);
    // The same user: equal names, and equal domains where both sides know one.
    bool same_user = wtext_equal_nocase(stored->User, record->User);
    bool same_domain = stored->Domain == nullptr || record->Domain == nullptr ||
                       wtext_equal_nocase(stored->Domain, record->Domain);
    if (same_user && same_domain) {
        log_write(LOG_DEBUG, u"userdb_handle_duplicate_userinfo: userinfo matched");
        return 1;
    }
    log_write(LOG_DEBUG, u"userdb_handle_duplicate_userinfo: userinfo not matched");
    *displaced = std::move(stored);
    return 2;
}

// The duplicate check before an insert: 1 the same user is already stored on the address, 0 the
// address is free, 2 a different user is stored there (in *displaced), -1 the check failed.
int
userdb_check_before_insert(userdb_handle *handle, const UserInfo *record, std::int32_t handed,
                           userinfo_ptr *displaced)
{
    int found = userdb_handle_duplicate_userinfo(handle, record, handed, displaced);
    if (found < 0) {
        log_write(LOG_ERROR, u"userdb_insert_userinfo: userinfo existance check failed");
        return -1;
    }
    if (found == 1) {
        log_write(LOG_DEBUG, u"userdb_insert_userinfo: matching userinfo found");
        return 1;
    }
    if (found == 2) {
        return 2;
    }
    log_write(LOG_DEBUG, u"userdb_insert_userinfo: no matching userinfo found");
    return 0;
}

// Readies the kept INSERT for new values. 0, or -1.
int
userdb_reset_insert(userdb_handle *handle, sqlite3_stmt *stmt)
{
    if (sqlite3_reset(stmt) != SQLITE_OK) {
        log_write(LOG_ERROR, u"userdb_insert_userinfo: prepared statement reset failed: %s",
                  errmsg(handle));
        return -1;
    }
    if (sqlite3_clear_bindings(stmt) != SQLITE_OK) {
        log_write(LOG_ERROR, u"userdb_insert_userinfo: parameter binding couldn't cleared: %s",
                  errmsg(handle));
        return -1;
    }
    return 0;
}

// Binds the record's texts; an absent one stays NULL. 0, or -1 with the bindings cleared.
int
userdb_bind_insert_texts(userdb_handle *handle, sqlite3_stmt *stmt, const UserInfo *record)
{
    struct text_param {
        const char *name;
        const char16_t *value;
        wfmt<const char16_t *> failure;
    };
    const text_param texts[] = {
        {":user", record->User, u"userdb_insert_userinfo: parameter 'user' binding fail: %s"},
        {":domain", record->Domain, u"userdb_insert_userinfo: parameter 'domain' binding fail: %s"},
        {":usergroup", record->Group,
         u"userdb_insert_userinfo: parameter 'usergroup' binding fail: %s"},
        {":wrkst_name", record->WrkstName,
         u"userdb_insert_userinfo: parameter 'wrkst_name' binding fail: %s"},
        {":wrkst_ip", record->WrkstIP,
         u"userdb_insert_userinfo: parameter 'wrkst_ip' binding fail: %s"},
    };
    for (const text_param &param : texts) {
        if (param.value != nullptr && bind_text(stmt, param.name, param.value) != SQLITE_OK) {
            log_write(LOG_ERROR, param.failure, errmsg(handle));
            sqlite3_clear_bindings(stmt);
            return -1;
        }
    }
    return 0;
}

// Binds the record's numbers; a stored logon is always active. 0, or -1 with the bindings
// cleared.
int
userdb_bind_insert_numbers(userdb_handle *handle, sqlite3_stmt *stmt, const UserInfo *record)
{
    struct int_param {
        const char *name;
        std::int32_t value;
        wfmt<const char16_t *> failure;
    };
    const int_param ints[] = {
        {":create_time", record->CreateTime,
         u"userdb_insert_userinfo: parameter 'create_time' binding fail: %s"},
        {":expire_time", record->ExpireTime,
         u"userdb_insert_userinfo: parameter 'expire_time' binding fail: %s"},
        {":logon_type", record->LogonType,
         u"userdb_insert_userinfo: parameter 'logon_type' binding fail: %s"},
        {":flags", UI_FLAG_ACTIVE, u"userdb_insert_userinfo: parameter 'flags' binding fail: %s"},
    };
    for (const int_param &param : ints) {
        if (bind_int(stmt, param.name, param.value) != SQLITE_OK) {
            log_write(LOG_ERROR, param.failure, errmsg(handle));
            sqlite3_clear_bindings(stmt);
            return -1;
        }
    }
    return 0;
}

// Runs the bound INSERT and leaves the statement reset and unbound. 0, or -1.
int
userdb_step_insert(userdb_handle *handle, sqlite3_stmt *stmt)
{
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_DONE) {
        log_write(LOG_ERROR, u"userdb_insert_userinfo: UserInfo couldnt inserted:%d : %s", rc,
                  errmsg(handle));
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        return -1;
    }
    log_write(LOG_DEBUG, u"userdb_insert_userinfo: UserInfo Successfully Inserted");
    // Reset as well as clear: the bound texts belong to the caller's record, and a statement
    // left unreset would keep its read of the table open.
    sqlite3_reset(stmt);
    if (sqlite3_clear_bindings(stmt) != SQLITE_OK) {
        log_write(LOG_ERROR, u"userdb_insert_userinfo: parameter binding couldn't cleared: %s",
                  errmsg(handle));
        return -1;
    }
    return 0;
}

// Times the store lets go of its lock to hand a replaced user to the logoff handler before it
// keeps the lock for the handler too (other logons at the address kept replacing each other).
constexpr int REPLACE_PASSES = 4;

// Frees the record's address of a different user: each one found goes to the logoff handler
// (which deletes the row and queues the logout, or keeps an address excluded from logoffs), with
// the store's lock let go meanwhile, and the address is checked again. 0 free, 1 the same user
// holds it, -1 error.
int
userdb_free_address(userdb_handle *handle, std::unique_lock<std::recursive_mutex> &guard,
                    const UserInfo *record)
{
    std::int32_t handed = 0;
    for (int pass = 0;; ++pass) {
        userinfo_ptr displaced;
        int found = userdb_check_before_insert(handle, record, handed, &displaced);
        if (found != 2) {
            return found;
        }
        handed = displaced->RowID;
        bool let_go = pass < REPLACE_PASSES;
        if (let_go) {
            guard.unlock();
        }
        (void)wrkstpoll_handle_logoff_req(displaced.release(), 1);
        if (let_go) {
            guard.lock();
        }
    }
}

// The insert proper, with the store lock held by guard (let go only while freeing the address).
int
userdb_insert_locked(userdb_handle *handle, std::unique_lock<std::recursive_mutex> &guard,
                     UserInfo *record)
{
    int found = userdb_free_address(handle, guard, record);
    if (found != 0) {
        return found;
    }
    sqlite3_stmt *stmt = handle->insert_stmt;
    if (userdb_reset_insert(handle, stmt) != 0 ||
        userdb_bind_insert_texts(handle, stmt, record) != 0) {
        return -1;
    }
    record->Flags = UI_FLAG_ACTIVE;
    if (userdb_bind_insert_numbers(handle, stmt, record) != 0) {
        return -1;
    }
    return userdb_step_insert(handle, stmt);
}

// Counts a failed insert, or clears the failing state after a stored one. Called under the
// store lock, so that the connection's last error is this insert's.
void
userdb_note_insert(userdb_handle *handle, int result)
{
    if (result == 1) {
        return; // the duplicate check only read the table
    }
    const char *reason = nullptr;
    if (result < 0) {
        int code = sqlite3_extended_errcode(handle->db);
        // Only an allocation of this module fails without an error of SQLite's.
        reason = code != SQLITE_OK ? sqlite3_errstr(code) : "out of memory";
    }
    std::lock_guard guard(g_failures.lock);
    g_failures.failing = result < 0;
    if (result < 0) {
        ++g_failures.unstored;
        g_failures.reason = reason;
    }
}

// Stores the record (its row, then its dead entry) and, with queue, hands it to the update queue
// as a logon: userinfo_db_insert and userinfo_db_insert_and_queue. All under the store lock, but
// for the hand-over of a replaced user to the logoff handler.
int
userdb_insert_userinfo(userdb_handle *handle, UserInfo *record, bool queue, userdb_queue_when when)
{
    if (!handle_ok(handle) || record == nullptr) {
        log_write(LOG_ERROR, u"userdb_insert_userinfo: Invalid Input Parameters");
        return -1;
    }
    std::unique_lock guard(handle->lock);
    int result = userdb_insert_locked(handle, guard, record);
    userdb_note_insert(handle, result);
    if (result == 0) {
        add_user_to_de_repositry(record);
    }
    if (!queue || result < 0 || (result == 1 && when == QUEUE_WHEN_DONE)) {
        return result;
    }
    record->Flags = UI_FLAG_LOGON;
    return gw_update_queue_enqueue(record) == 0 ? 0 : -2;
}

int
userdb_update_userinfo(userdb_handle *handle, const UserInfo *record)
{
    if (!handle_ok(handle) || record == nullptr) {
        log_write(LOG_ERROR, u"userdb_update_userinfo: Invalid Input Parameters");
        return -1;
    }
    std::lock_guard guard(handle->lock);
    sqlite3_stmt *stmt = cached_stmt(handle, STMT_UPDATE);
    if (stmt == nullptr) {
        log_write(LOG_ERROR, u"userdb_update_userinfo: update query preparation failed");
        return -1;
    }
    bind_int(stmt, ":flags", record->Flags);
    bind_int(stmt, ":expire_time", record->ExpireTime);
    bind_int(stmt, ":rowid", record->RowID);
    if (log_is_enabled(LOG_DEBUG)) {
        log_write(LOG_DEBUG, u"userdb_update_userinfo: update query: %S", expanded_text(stmt));
    }
    int result = userdb_step_query(handle, stmt);
    release_stmt(stmt);
    if (result < 0) {
        log_write(LOG_ERROR, u"userdb_update_userinfo: update query failed");
        return -1;
    }
    return 0;
}

int
userdb_validate_all_userinfo(userdb_handle *handle)
{
    if (!handle_ok(handle)) {
        log_write(LOG_ERROR, u"userdb_validate_all_userinfo: Invalid handle");
        return -1;
    }
    char16_t text[QUERY_UNITS];
    if (!format_query(text, u"UPDATE %s SET flags='%d' WHERE flags IS NOT %d;", handle,
                      int{UI_FLAG_ACTIVE}, int{UI_FLAG_ACTIVE})) {
        log_write(LOG_ERROR, u"userdb_validate_all_userinfo: validate query preparation failed");
        return -1;
    }
    // Every row is read (the first pass over the rows, which finds damage that opening the file
    // did not), but only the rows left in another state are written: rewriting every row of a
    // large table took seconds at start-up and left a write-ahead log as large as the table.
    log_write(LOG_DEBUG, u"userdb_validate_all_userinfo: validate query: %s",
              static_cast<const char16_t *>(text));
    std::lock_guard guard(handle->lock);
    if (userdb_exec_query(handle, text) < 0) {
        log_write(LOG_ERROR, u"userdb_validate_all_userinfo: validate query failed");
        return -1;
    }
    // Whatever the last run left in the write-ahead log (a large transaction spills pages into
    // it more than once) is folded into the file and the log cut to nothing, rather than left
    // at its largest until the next write. A reader of another process (an operator's shell)
    // is not waited for: the log is then cut at a later start.
    sqlite3_busy_timeout(handle->db, 0);
    (void)sqlite3_wal_checkpoint_v2(handle->db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                    nullptr);
    sqlite3_busy_timeout(handle->db, 5000);
    return 0;
}

int
userdb_delete_userinfo(userdb_handle *handle, const UserInfo *record, int match_workstation)
{
    if (!handle_ok(handle) || record == nullptr) {
        log_write(LOG_ERROR, u"userdb_delete_userinfo: Invalid Input Parameters");
        return -1;
    }
    userdb_stmt_kind kind;
    if (match_workstation == 0) {
        kind = record->Domain == nullptr || record->Flags == UI_FLAG_USER_LOGOUT
                   ? STMT_DELETE_USER
                   : STMT_DELETE_USER_DOMAIN;
    } else {
        kind = record->Domain != nullptr ? STMT_DELETE_USER_DOMAIN_WRKST : STMT_DELETE_USER_WRKST;
    }
    std::lock_guard guard(handle->lock);
    sqlite3_stmt *stmt = cached_stmt(handle, kind);
    if (stmt == nullptr) {
        log_write(LOG_ERROR, u"userdb_delete_userinfo: delete query preparation failed");
        return -1;
    }
    // An absent value binds NULL, which matches no row, as the quoted text of an absent value
    // never matched a stored one either.
    bind_text(stmt, ":user", record->User);
    if (kind == STMT_DELETE_USER_DOMAIN || kind == STMT_DELETE_USER_DOMAIN_WRKST) {
        bind_text(stmt, ":domain", record->Domain);
    }
    if (kind == STMT_DELETE_USER_WRKST || kind == STMT_DELETE_USER_DOMAIN_WRKST) {
        bind_text(stmt, ":wrkst_ip", record->WrkstIP);
    }
    if (log_is_enabled(LOG_DEBUG)) {
        log_write(LOG_DEBUG, u"userdb_delete_userinfo: delete query: %S", expanded_text(stmt));
    }
    int result = userdb_step_query(handle, stmt);
    release_stmt(stmt);
    if (result < 0) {
        log_write(LOG_ERROR, u"userdb_delete_userinfo: delete query failed");
        return -1;
    }
    return 0;
}

// Splits an appliance's logout list into its addresses. The list must be one or more IPv4
// addresses in dotted decimal, each in single quotes, separated by commas; blanks around the
// items are allowed. Anything else yields false.
bool
split_address_list(const char16_t *text, std::vector<std::u16string> *addresses)
{
    const char16_t *p = text;
    auto skip_blanks = [&p] {
        while (*p == u' ' || *p == u'\t') {
            ++p;
        }
    };
    for (;;) {
        skip_blanks();
        if (*p != u'\'') {
            return false;
        }
        ++p;
        std::u16string address;
        int groups = 0;
        for (;;) {
            int digits = 0;
            int value = 0;
            while (*p >= u'0' && *p <= u'9' && digits < 3) {
                value = value * 10 + (*p - u'0');
                address.push_back(*p);
                ++p;
                ++digits;
            }
            if (digits == 0 || value > 255) {
                return false;
            }
            ++groups;
            if (groups == 4) {
                break;
            }
            if (*p != u'.') {
                return false;
            }
            address.push_back(*p);
            ++p;
        }
        if (*p != u'\'') {
            return false;
        }
        ++p;
        addresses->push_back(std::move(address));
        skip_blanks();
        if (*p == 0) {
            return true;
        }
        if (*p != u',') {
            return false;
        }
        ++p;
    }
}

int
userdb_delete_logout_users(userdb_handle *handle, const char16_t *list_text)
{
    if (!handle_ok(handle) || list_text == nullptr) {
        log_write_a(LOG_ERROR, "userdb_delete_userinfo: Invalid Input Parameters");
        return -1;
    }
    std::vector<std::u16string> addresses;
    try {
        if (!split_address_list(list_text, &addresses)) {
            log_write_a(LOG_ERROR,
                        "userdb_delete_logout_users: address list refused, not a list of quoted "
                        "IPv4 addresses: %S",
                        list_text);
            return -1;
        }
    } catch (const std::exception &) {
        log_write_a(LOG_ERROR, "userdb_delete_logout_users: delete query preparation failed");
        return -1;
    }
    // One parameter per address: "?,?,...,?". The list came from one datagram of at most 255
    // bytes, so it holds at most 23 addresses and the text stays far within its bound.
    std::u16string marks;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        marks += i == 0 ? u"?" : u",?";
    }
    char16_t text[QUERY_UNITS];
    char16_t shown[QUERY_UNITS];
    if (!format_query(text, u"DELETE FROM %s WHERE wrkst_ip in (%s);", handle, marks) ||
        !format_query(shown, u"DELETE FROM %s WHERE wrkst_ip in (%s);", handle, list_text)) {
        log_write_a(LOG_ERROR, "userdb_delete_logout_users: delete query preparation failed");
        return -1;
    }
    log_write_a(LOG_DEBUG, "userdb_delete_logout_users: delete query: %S",
                static_cast<const char16_t *>(shown));
    std::lock_guard guard(handle->lock);
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare16_v2(handle->db, text, -1, &stmt, nullptr) != SQLITE_OK) {
        log_write_a(LOG_ERROR, "userdb_delete_logout_users: delete query preparation failed");
        sqlite3_finalize(stmt);
        return -1;
    }
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        sqlite3_bind_text16(stmt, static_cast<int>(i + 1), addresses[i].c_str(),
                            static_cast<int>(addresses[i].size() * sizeof(char16_t)),
                            SQLITE_STATIC);
    }
    int result = userdb_step_query(handle, stmt);
    sqlite3_finalize(stmt);
    if (result < 0) {
        log_write_a(LOG_ERROR, "userdb_delete_logout_users: delete query failed");
        return -1;
    }
    return 0;
}

int
userdb_process_all_userinfo(userdb_handle *handle, userdb_callback callback,
                            userdb_callback_context *context)
{
    if (!handle_ok(handle) || callback == nullptr || context == nullptr) {
        log_write(LOG_ERROR, u"userdb_process_all_userinfo: Invalid Input Parameters");
        return -1;
    }
    char16_t text[QUERY_UNITS];
    if (!format_query(text, u"SELECT * FROM %s WHERE flags==%d;", handle, int{UI_FLAG_ACTIVE})) {
        log_write(LOG_ERROR, u"userdb_process_all_userinfo: string preparation failed");
        return -1;
    }
    log_write(LOG_DEBUG, u"userdb_process_all_userinfo: select query: %s",
              static_cast<const char16_t *>(text));
    std::lock_guard guard(handle->lock);
    sqlite3_stmt *stmt = prepare_walk(handle, text);
    if (stmt == nullptr || userdb_exec_query_with_callback(handle, stmt, callback, context) < 0) {
        log_write(LOG_ERROR, u"userdb_process_all_userinfo: select query failed");
    }
    sqlite3_finalize(stmt);
    return 0;
}

int
userdb_process_transit_time_userinfo(userdb_handle *handle, userdb_callback callback,
                                     userdb_callback_context *context)
{
    if (!handle_ok(handle) || callback == nullptr || context == nullptr) {
        log_write(LOG_ERROR, u"userdb_process_transit_time_userinfo: Invalid Input Parameters");
        return -1;
    }
    char16_t text[QUERY_UNITS];
    if (!format_query(text, u"SELECT * FROM %s WHERE flags==%d AND create_time >= %d;", handle,
                      int{UI_FLAG_ACTIVE}, now_seconds() - USERDB_TRANSIT_TIME)) {
        log_write(LOG_ERROR, u"uuserdb_process_transit_time_userinfo: string preparation failed");
        return -1;
    }
    std::lock_guard guard(handle->lock);
    sqlite3_stmt *stmt = prepare_walk(handle, text);
    if (stmt == nullptr || userdb_exec_query_with_callback(handle, stmt, callback, context) < 0) {
        log_write(LOG_ERROR, u"userdb_process_transit_time_userinfo: select query failed");
    }
    sqlite3_finalize(stmt);
    return 0;
}

int
userdb_process_live_page(userdb_handle *handle, std::int32_t after_rowid,
                         std::int32_t created_since, int limit, userdb_callback callback,
                         userdb_callback_context *context)
{
    if (!handle_ok(handle) || limit <= 0 || callback == nullptr || context == nullptr) {
        log_write(LOG_ERROR, u"userdb_process_live_page: Invalid Input Parameters");
        return -1;
    }
    // Every live row for INT32_MIN, as the whole walk takes them (a row without a time too).
    char16_t text[QUERY_UNITS];
    bool formatted =
        created_since == INT32_MIN
            ? format_query(text,
                           u"SELECT * FROM %s WHERE flags==%d AND rowid > %d ORDER BY rowid ASC "
                           u"LIMIT %d;",
                           handle, int{UI_FLAG_ACTIVE}, after_rowid, limit)
            : format_query(text,
                           u"SELECT * FROM %s WHERE flags==%d AND create_time >= %d AND rowid > "
                           u"%d ORDER BY rowid ASC LIMIT %d;",
                           handle, int{UI_FLAG_ACTIVE}, created_since, after_rowid, limit);
    if (!formatted) {
        log_write(LOG_ERROR, u"userdb_process_live_page: string preparation failed");
        return -1;
    }
    std::lock_guard guard(handle->lock);
    sqlite3_stmt *stmt = prepare_walk(handle, text);
    int result =
        stmt == nullptr ? -1 : userdb_exec_query_with_callback(handle, stmt, callback, context);
    if (result < 0) {
        log_write(LOG_ERROR, u"userdb_process_live_page: select query failed");
    }
    sqlite3_finalize(stmt);
    return result;
}

int
userdb_process_known_userinfo(userdb_handle *handle, const char16_t *wrkst_ip,
                              userdb_callback callback, userdb_callback_context *context)
{
    if (!handle_ok(handle) || wrkst_ip == nullptr || callback == nullptr || context == nullptr) {
        log_write(LOG_ERROR, u"userdb_process_known_userinfo: Invalid Input Parameters");
        return -1;
    }
    char16_t text[QUERY_UNITS];
    if (!format_query(text, u"SELECT * FROM %s WHERE wrkst_ip==?;", handle)) {
        log_write(LOG_ERROR, u"userdb_process_known_userinfo: string preparation failed");
        return -1;
    }
    std::lock_guard guard(handle->lock);
    sqlite3_stmt *stmt = prepare_walk(handle, text);
    int result = -1;
    if (stmt != nullptr) {
        sqlite3_bind_text16(stmt, 1, wrkst_ip,
                            static_cast<int>(wtext_length(wrkst_ip) * sizeof(char16_t)),
                            SQLITE_STATIC);
        result = userdb_exec_query_with_callback(handle, stmt, callback, context);
    }
    if (result < 0) {
        log_write(LOG_ERROR, u"userdb_process_known_userinfo: select query failed");
    }
    sqlite3_finalize(stmt);
    return result;
}

int
userdb_select_expired_userinfo(userdb_handle *handle, UserInfo **records, std::uint16_t batch_size,
                               std::int32_t first_rowid)
{
    if (!handle_ok(handle) || records == nullptr) {
        log_write(LOG_ERROR, u"userdb_select_expired_userinfo: Invalid Input Parameters");
        return -1;
    }
    char16_t text[QUERY_UNITS];
    if (!format_query(text,
                      u"SELECT * FROM %s WHERE expire_time<=%d AND flags==%d AND rowid>=%d ORDER "
                      u"BY rowid ASC LIMIT %d;",
                      handle, now_seconds(), int{UI_FLAG_ACTIVE}, first_rowid,
                      static_cast<int>(batch_size))) {
        log_write(LOG_ERROR, u"userdb_select_expired_userinfo: string preparation failed");
        return -1;
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare16_v2(handle->db, text, -1, &stmt, nullptr) != SQLITE_OK) {
        log_write(LOG_ERROR, u"userdb_select_expired_userinfo: select query prepare failed: %s",
                  errmsg(handle));
        sqlite3_finalize(stmt);
        return -1;
    }
    std::lock_guard guard(handle->lock);
    int count = 0;
    while (count < batch_size) {
        int rc = sqlite3_step(stmt);
        if (rc == SQLITE_DONE) {
            break;
        }
        if (rc != SQLITE_ROW) {
            log_write(LOG_ERROR, u"userdb_select_expired_userinfo: select query failed: %s",
                      errmsg(handle));
            break;
        }
        UserInfo *record = userdb_fetch_data_from_queryresult(stmt);
        if (record == nullptr) {
            log_write(LOG_ERROR, u"userdb_select_expired_userinfo: userinfo data fetch failed");
            break;
        }
        log_write(LOG_DEBUG, u"userdb_select_expired_userinfo: --- SELECTED USER INFO FOR LOGOFF "
                             u"DETECTION ---");
        userdb_log_userinfo(record);
        log_write(LOG_DEBUG, u"userdb_select_expired_userinfo: "
                             u"-----------------------------------------------");
        records[count++] = record;
        if (count == batch_size) {
            log_write(LOG_DEBUG, u"userdb_select_expired_userinfo: userinfo array overflowed");
        }
    }
    sqlite3_finalize(stmt);
    log_write(LOG_DEBUG, u"userdb_select_expired_userinfo: %d records selected", count);
    for (int i = 0; i < count; ++i) {
        records[i]->Flags = UI_FLAG_DETECTING;
        (void)userdb_update_userinfo(handle, records[i]);
    }
    return count;
}

int
userdb_get_user_info_from_db(userdb_handle *handle, const char16_t *user_name, UserInfo **out)
{
    if (!handle_ok(handle)) {
        log_write(LOG_ERROR, u"userdb_get_user_info_from_db: Invalid handle");
        return -1;
    }
    if (user_name == nullptr || out == nullptr) {
        log_write(LOG_ERROR, u"userdb_get_user_info_from_db: Invalid Input Parameters");
        return -1;
    }
    log_write(LOG_ERROR, u"userdb_get_user_info_from_db: get user info for user name: %s ",
              user_name);
    char16_t text[QUERY_UNITS];
    if (!format_query(text, u"SELECT * FROM %s WHERE user ==?;", handle)) {
        log_write(LOG_ERROR,
                  u"userdb_get_user_info_from_db: string preparation failed, User name: ");
        return -1;
    }
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare16_v2(handle->db, text, -1, &stmt, nullptr) != SQLITE_OK) {
        log_write(LOG_ERROR, u"userdb_get_user_info_from_db: select query prepare failed: %s",
                  errmsg(handle));
        sqlite3_finalize(stmt);
        return -1;
    }
    sqlite3_bind_text16(stmt, 1, user_name,
                        static_cast<int>(wtext_length(user_name) * sizeof(char16_t)),
                        SQLITE_STATIC);
    int rc = sqlite3_step(stmt);
    int result = -1;
    if (rc == SQLITE_ROW) {
        userinfo_ptr row(userdb_fetch_data_from_queryresult(stmt));
        if (row == nullptr) {
            log_write(LOG_ERROR, u"userdb_get_user_info_from_db: userinfo data fetch failed");
        } else {
            *out = userdb_duplicate_userinfo(row.get());
            result = *out != nullptr ? 0 : -1;
        }
    } else if (rc != SQLITE_DONE) {
        log_write(LOG_ERROR, u"userdb_get_user_info_from_db: select query failed: %s",
                  errmsg(handle));
    }
    sqlite3_finalize(stmt);
    return result;
}

} // namespace

int
userinfo_db_init(const char16_t *db_path, const char16_t *table_name)
{
    if (db_path == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_init: DatabaseName is NULL");
        return -1;
    }
    if (table_name == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_init: TableName is NULL");
        return -1;
    }
    std::lock_guard guard(g_init_lock);
    if (store() != nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_init: USERDB already Initialized");
        return -1;
    }
    userdb_failure failure;
    userdb_handle *handle = userdb_open_or_replace_db(db_path, table_name, &failure);
    if (handle == nullptr) {
        g_failure = failure;
        log_write(LOG_ERROR, u"userinfo_db_init: USERDB couldn't Initialized");
        return -1;
    }
    {
        std::lock_guard failures(g_failures.lock);
        g_failures.unstored = 0;
        g_failures.failing = false;
        g_failures.reason = nullptr;
    }
    g_store.store(handle, std::memory_order_release);
    log_write(LOG_DEBUG, u"userinfo_db_init: USERDB Successfully Initialized");
    return 0;
}

void
userinfo_db_fini()
{
    std::lock_guard guard(g_init_lock);
    userdb_close_db(g_store.exchange(nullptr));
}

int
userinfo_db_insert(UserInfo *record)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_insert: USERDB not Initialized yet");
        return -1;
    }
    return userdb_insert_userinfo(handle, record, false, QUEUE_WHEN_DONE);
}

void
userinfo_db_write_state(userdb_write_state *out)
{
    std::lock_guard guard(g_failures.lock);
    *out = userdb_write_state{g_failures.unstored, g_failures.failing, g_failures.reason};
}

int
userinfo_db_insert_and_queue(UserInfo *record, userdb_queue_when when)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_insert: USERDB not Initialized yet");
        return -1;
    }
    // The lock is held from the last check of the address to the enqueue: another logon at the
    // same address cannot store itself and queue its logout of this user before this logon is
    // queued.
    return userdb_insert_userinfo(handle, record, true, when);
}

int
userinfo_db_delete_and_queue(UserInfo *record, int match_workstation, userdb_queue_when when)
{
    // Held across the enqueue, for the same order as above (the delete takes it again; without
    // a store the delete says so).
    std::unique_lock<std::recursive_mutex> guard;
    if (userdb_handle *handle = store(); handle != nullptr) {
        guard = std::unique_lock(handle->lock);
    }
    int result = userinfo_db_delete(record, match_workstation);
    if (result != 0 && when == QUEUE_WHEN_DONE) {
        return -1;
    }
    record->Flags = UI_FLAG_LOGOUT;
    return gw_update_queue_enqueue(record) == 0 ? 0 : -2;
}

int
userinfo_db_get_user_info(const char16_t *user_name, UserInfo **out)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_get_user_info: USERDB not Initialized yet");
        return -1;
    }
    // Under the store's lock: a logon that is stored is then also queued for the appliances
    // (userinfo_db_insert_and_queue), never seen half done.
    std::lock_guard guard(handle->lock);
    return userdb_get_user_info_from_db(handle, user_name, out);
}

int
userinfo_db_delete_logout_users(const char16_t *list_text)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write_a(LOG_ERROR, "userinfo_db_delete_logout_users: USERDB not Initialized yet");
        return -1;
    }
    return userdb_delete_logout_users(handle, list_text);
}

int
userinfo_db_delete(const UserInfo *record, int match_workstation)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_delete: USERDB not Initialized yet");
        return -1;
    }
    int result = userdb_delete_userinfo(handle, record, match_workstation);
    if (result == 0) {
        remove_user_from_de_repositry(record);
    }
    return result;
}

int
userinfo_db_update(const UserInfo *record)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_update: USERDB not Initialized yet");
        return -1;
    }
    return userdb_update_userinfo(handle, record);
}

int
userinfo_db_validate_all()
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_validate_all: USERDB not Initialized yet");
        return -1;
    }
    if (userdb_validate_all_userinfo(handle) == 0) {
        return 0;
    }
    // The first pass over every row may find damage that opening the file did not. Validation
    // runs at start-up before any other thread uses the store, so the store can be replaced.
    std::lock_guard guard(g_init_lock);
    g_failure = userdb_note_failure(handle);
    if (!userdb_is_damaged(g_failure)) {
        return -1;
    }
    try {
        std::u16string path(handle->db_name);
        std::u16string table(handle->table_name);
        g_store.store(nullptr, std::memory_order_release);
        userdb_close_db(handle);
        handle = nullptr;
        if (userdb_move_damaged_db(path.c_str(), g_failure) == 0) {
            handle = userdb_open_db(path.c_str(), table.c_str(), &g_failure);
        }
    } catch (const std::exception &) {
        handle = nullptr;
    }
    if (handle == nullptr) {
        return -1;
    }
    g_store.store(handle, std::memory_order_release);
    return userdb_validate_all_userinfo(handle);
}

int
userinfo_db_last_failure(char16_t *message, std::size_t capacity)
{
    std::lock_guard guard(g_init_lock);
    if (message != nullptr && capacity > 0) {
        fmt_print_w(message, capacity, u"%s", static_cast<const char16_t *>(g_failure.message));
    }
    return g_failure.system_error;
}

int
userinfo_db_process_all(userdb_callback callback, userdb_callback_context *context)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_process_all: USERDB not Initialized yet");
        return -1;
    }
    return userdb_process_all_userinfo(handle, callback, context);
}

int
userinfo_db_process_transit_time_user(userdb_callback callback, userdb_callback_context *context)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_process_transit_time_user: USERDB not Initialized yet");
        return -1;
    }
    return userdb_process_transit_time_userinfo(handle, callback, context);
}

int
userinfo_db_process_live_page(std::int32_t after_rowid, std::int32_t created_since, int limit,
                              userdb_callback callback, userdb_callback_context *context)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_process_live_page: USERDB not Initialized yet");
        return -1;
    }
    return userdb_process_live_page(handle, after_rowid, created_since, limit, callback, context);
}

int
userinfo_db_process_known(const char16_t *wrkst_ip, userdb_callback callback,
                          userdb_callback_context *context)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_process_known: USERDB not Initialized yet");
        return -1;
    }
    return userdb_process_known_userinfo(handle, wrkst_ip, callback, context);
}

int
userinfo_db_select_expired(UserInfo **records, std::uint16_t batch_size, std::int32_t first_rowid)
{
    userdb_handle *handle = store();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"userinfo_db_select_expired: USERDB not Initialized yet");
        return -1;
    }
    return userdb_select_expired_userinfo(handle, records, batch_size, first_rowid);
}
