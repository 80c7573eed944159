// userdb: the Collector's store of current logons, one SQLite table in nivo.db3.
//
// The process holds one store, opened by userinfo_db_init() during start-up and kept open until
// the process ends (userinfo_db_fini() exists for tests and tools). Every operation may run on
// any thread: all of them share the one connection under one recursive lock, which makes the
// insert with its duplicate check and the select-and-mark of due rows single steps for other
// threads. Code that runs under the lock on the same thread (the logoff handler called by the
// duplicate check, the callbacks of the row walks) may call the store again; it must not wait
// for another thread that needs the store.
//
// Every value from outside (names, domains, addresses) reaches SQLite as a bound parameter,
// never as SQL text. Each statement commits by itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "userdb/userinfo.h"

// The context of the row walks: the first field belongs to the caller; the store puts each row
// into `record` just before it calls the callback, which then owns that record.
struct userdb_callback_context {
    gw_node *gw;
    UserInfo *record;
};
using userdb_callback = void (*)(userdb_callback_context *context);

// Window of the transit-time walk, in seconds.
constexpr std::int32_t USERDB_TRANSIT_TIME = 150;

// Opens (creating when missing) the database at path and its table. A file that SQLite finds
// damaged (not a database, or malformed) is moved aside with its companion files to
// "<path>.damaged-YYYYMMDD-HHMMSS", never deleted, and an empty store is opened in its place.
// 0, or -1 (logged; also for a second call).
int userinfo_db_init(const char16_t *db_path, const char16_t *table_name);
// Closes the store so that userinfo_db_init() may open another (tests, tools).
void userinfo_db_fini();

// Stores the record with Flags 1 (the caller's record reads Flags 1 afterwards); the caller keeps
// the record. 0 stored (and a dead entry written); 1 the same user and domain (ignoring case)
// already hold this address, nothing stored; -1 error. A different user stored on the address
// is logged out first (wrkstpoll_handle_logoff_req).
int userinfo_db_insert(UserInfo *record);

// The Collector's intake: a logon is stored and queued for the appliances, a logoff deleted and
// queued as a logout, each under the store's lock, so that the updates of one address reach the
// queue in the order the store saw them (a logon behind the logout of the user it replaced).
// Whether the record goes to the queue when the store did nothing (the user already held the
// address, or the delete failed):
enum userdb_queue_when : int {
    QUEUE_WHEN_DONE = 0, // only when the store changed
    QUEUE_ALWAYS = 1,    // also then: an appliance asked and hears the answer; a logon past its
                         // dead-entry deadline is logged out on the appliances whatever the
                         // store says
};

// userinfo_db_insert, and the record handed to the update queue as a logon (Flags 5).
// Ownership: 0 the record was queued and belongs to the queue; in every other case the caller
// keeps it: 1 already stored and not queued (QUEUE_WHEN_DONE), -1 not stored, -2 the queue
// refused it.
int userinfo_db_insert_and_queue(UserInfo *record, userdb_queue_when when = QUEUE_WHEN_DONE);

// userinfo_db_delete, and the record handed to the update queue as a logout (Flags 4).
// Ownership: 0 the record was queued and belongs to the queue; otherwise the caller keeps it:
// -1 the delete failed and nothing was queued (QUEUE_WHEN_DONE), -2 the queue refused it.
int userinfo_db_delete_and_queue(UserInfo *record, int match_workstation,
                                 userdb_queue_when when = QUEUE_WHEN_DONE);

// Logons the store could not write since it was opened, for the service's report: inserts that
// failed (result -1), whether the latest insert failed, and SQLite's text for the latest
// failure ("database or disk is full"; a static text, or null when none failed).
struct userdb_write_state {
    std::uint64_t unstored;
    bool failing;
    const char *reason;
};
void userinfo_db_write_state(userdb_write_state *out);

// The first row of user_name as a new record owned by the caller (RowID 0). 0, or -1 when there
// is no such row (not logged) or on error.
int userinfo_db_get_user_info(const char16_t *user_name, UserInfo **out);

// Deletes the rows of the addresses in list_text, which must be a comma-separated list of
// IPv4 addresses in single quotes ('10.0.0.5','10.0.0.6'); anything else is refused. 0, or -1.
int userinfo_db_delete_logout_users(const char16_t *list_text);

// Deletes the record's logon: by user; by user and domain (with Domain, unless Flags is 10);
// with match_workstation also by workstation address. 0 also when no row matched (the dead
// entry is then removed too), -1 on error. The caller keeps the record.
int userinfo_db_delete(const UserInfo *record, int match_workstation);

// Writes the record's Flags and ExpireTime into the row RowID. 0, or -1.
int userinfo_db_update(const UserInfo *record);

// Sets every row's flags to 1. 0, or -1. Runs at start-up, before any other thread uses the
// store: when this first pass over the rows finds the file damaged, the store is replaced as
// userinfo_db_init() does it.
int userinfo_db_validate_all();

// Why the last failed userinfo_db_init() or userinfo_db_validate_all() failed: SQLite's own
// text into message (capacity in UTF-16 units, always terminated; empty when nothing failed).
// Returns the system's error code behind it, or 0 when there was none.
int userinfo_db_last_failure(char16_t *message, std::size_t capacity);

// Hand every live row / every live row created within the last 150 seconds to the callback,
// under the store lock. 0 (also when the select failed), -1 for an unusable store.
int userinfo_db_process_all(userdb_callback callback, userdb_callback_context *context);
int userinfo_db_process_transit_time_user(userdb_callback callback,
                                          userdb_callback_context *context);
// One page of a long walk over the live rows: at most limit rows whose rowid is above
// after_rowid and whose CreateTime is at or after created_since (every live row for INT32_MIN),
// in rowid order, handed to the
// callback under the store lock, which is released between pages. 1 when at least one row was
// handed on, 0 when none (the walk is over), -1 on error.
int userinfo_db_process_live_page(std::int32_t after_rowid, std::int32_t created_since, int limit,
                                  userdb_callback callback, userdb_callback_context *context);
// Hands the rows of one workstation address to the callback: 1 when at least one row was
// handed on, 0 when none, -1 on error.
int userinfo_db_process_known(const char16_t *wrkst_ip, userdb_callback callback,
                              userdb_callback_context *context);

// Selects up to batch_size live rows whose ExpireTime is due (at or before now), from rowid
// first_rowid upward in rowid order, marks them 2 and places them in records (owned by the
// caller). The count placed, or -1.
int userinfo_db_select_expired(UserInfo **records, std::uint16_t batch_size,
                               std::int32_t first_rowid);
