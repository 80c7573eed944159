// dead_entry: an upper bound on a logon's lifetime. Every stored logon gets a persistent entry
// (registry key "SOFTWARE\Vantelor\Vantelor Tessaline\DeadEntry\<user>+<address>", value "Time")
// holding a deadline DEAD-ENTRY-TIMEOUT hours after the insert; the timeout thread logs out every
// logon whose deadline has passed. Entries are never renewed and survive restarts.
//
// The deadline is a 64-bit count of 100-nanosecond intervals since 1601-01-01 on the local wall
// clock (the local date and time read as if they were UTC), written as the text "%u,%u": the
// high and the low 32-bit halves in unsigned decimal, without a terminator.
//
// All operations run under the store's own lock and may be called from any thread; the user
// store's lock may be held when they are called, never the other way round.
#pragma once

#include <cstdint>

struct UserInfo;

constexpr int DEAD_ENTRY_MAX_EXPIRED = 100;

// Writes (or rewrites) the record's entry with a new deadline; nothing while the timeout is 0 or
// without User or WrkstIP. 0, or -1 when the entry could not be made (logged at level 2: a name
// over the registry's limit, a name holding "\", a failed write).
int add_user_to_de_repositry(const UserInfo *record);

// Gives every live logon of the user store that has no entry one with a fresh deadline; entries
// that exist keep theirs. The timeout thread runs it once, when it has read its setting. The
// count of entries made, or -1 when the store could not be walked. The user store is walked in
// pages, its lock let go between them.
int dead_entry_restore_missing();
// Removes the record's entry whatever the timeout; a missing entry is no error. 0.
int remove_user_from_de_repositry(const UserInfo *record);

// One scan: fills the expired list with up to 100 records (User and WrkstIP only) whose deadline
// has passed. Returns the count found. The scan lets go of the store lock every 256 entries, so
// the inserts and deletes waiting for it are held up by one slice, not by the whole scan.
int dead_entry_findExpiredUsers();

// The timeout thread: restores missing entries, then every 300 seconds deletes and logs out the
// logons whose deadline has passed. Returns only after dead_entry_stop_thread().
void dead_entry_timeout_workerthread();

// Sets the timeout (DEAD-ENTRY-TIMEOUT, hours; 0 disables the store) and starts the timeout
// thread on a thread of its own. 0, or -1 (logged).
int dead_entry_start_thread(std::int32_t timeout_hours);
// Ends and joins the timeout thread (tests); the thread ends within its current round.
void dead_entry_stop_thread();

// One round of the timeout thread: scan, then delete and queue a logout for each expired
// logon. Returns the count handled.
int dead_entry_process_expired();

// The timeout in hours (0 disables the store) and the scan period; for the thread and tests.
void dead_entry_set_timeout(std::int32_t hours);
std::int32_t dead_entry_get_timeout();
void dead_entry_set_scan_period_ms(unsigned int milliseconds);

// The local wall clock as the 100-nanosecond count since 1601. Tests may replace the clock
// (null restores the system's).
std::uint64_t dead_entry_local_time_now();
// The 100-nanosecond count of a wall-clock date and time (month 1 to 12).
std::uint64_t dead_entry_ticks(int year, int month, int day, int hour, int minute, int second);
void dead_entry_set_clock(std::uint64_t (*clock)());

// The expired list of the last scan (owned by the module until the next scan).
int dead_entry_expired_count();
UserInfo *dead_entry_expired_record(int index);
