// The dead-entry store over the registry.

#include "userdb/dead_entry.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "base/civil_date.h"
#include "common/log.h"
#include "common/text.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

constexpr const char16_t *DEAD_ENTRY_KEY = u"SOFTWARE\\Vantelor\\Vantelor Tessaline\\DeadEntry";
constexpr const char16_t *TIME_VALUE = u"Time";
constexpr std::uint64_t TICKS_PER_SECOND = 10000000; // 100-nanosecond intervals
constexpr unsigned int DEFAULT_SCAN_PERIOD_MS = 300 * 1000;
// A scan reads this many entries, then lets go of the store lock so that the inserts and deletes
// waiting for it go first; the restore walks the user store in pages of the same size.
constexpr std::uint32_t SCAN_SLICE = 256;

struct dead_entry_state {
    std::mutex lock;             // the store lock: every registry operation of this module
    std::atomic<int> waiting{0}; // threads other than a scan waiting for the lock
    std::atomic<std::int32_t> timeout_hours{0};
    std::atomic<std::uint64_t (*)()> clock{nullptr};
    UserInfo *expired[DEAD_ENTRY_MAX_EXPIRED] = {};
    int expired_count = 0;
    int restored = 0; // entries made by the running restore

    std::mutex thread_lock; // guards the fields below
    std::condition_variable wake;
    bool stop = false;
    unsigned int scan_period_ms = DEFAULT_SCAN_PERIOD_MS;
    std::thread thread;
};
// Never destroyed: the timeout thread may still wait on it while the process ends.
dead_entry_state &g_de = *new dead_entry_state;

// Takes the store lock for anything but a scan, announced in `waiting` so that a scan lets the
// caller in at its next pause.
std::unique_lock<std::mutex>
lock_store()
{
    g_de.waiting.fetch_add(1);
    std::unique_lock guard(g_de.lock);
    g_de.waiting.fetch_sub(1);
    return guard;
}

// A scan's pause between slices: the lock is let go until the threads that announced their wait
// have had it (at most about 10 ms, should one of them be slow to wake).
void
pause_scan(std::unique_lock<std::mutex> &guard)
{
    guard.unlock();
    for (int round = 0; round < 200 && g_de.waiting.load() > 0; ++round) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    guard.lock();
}

std::uint64_t
system_local_time()
{
    platform_clock now{};
    platform_local_clock(&now);
    return dead_entry_ticks(now.year, now.month, now.day, now.hour, now.minute, now.second);
}

// "%u,%u": high half, low half.
void
format_deadline(std::uint64_t deadline, char *text, std::size_t size)
{
    fmt_print_n(text, size, "%u,%u", static_cast<std::uint32_t>(deadline >> 32),
                static_cast<std::uint32_t>(deadline & 0xFFFFFFFFu));
}

// Reads "high,low" strictly: two unsigned 32-bit decimal numbers and one comma, nothing else.
bool
parse_deadline(const char *text, std::size_t size, std::uint64_t *deadline)
{
    std::uint64_t halves[2] = {0, 0};
    int half = 0;
    bool digits = false;
    for (std::size_t i = 0; i < size; ++i) {
        char c = text[i];
        if (c >= '0' && c <= '9') {
            halves[half] = halves[half] * 10 + static_cast<std::uint64_t>(c - '0');
            if (halves[half] > 0xFFFFFFFFu) {
                return false;
            }
            digits = true;
        } else if (c == ',' && half == 0 && digits) {
            half = 1;
            digits = false;
        } else if (c == 0 && i + 1 == size) {
            break; // a terminator written with the text
        } else {
            return false;
        }
    }
    if (half != 1 || !digits) {
        return false;
    }
    *deadline = (halves[0] << 32) | halves[1];
    return true;
}

// "User+WrkstIP", or empty when the record lacks either.
std::u16string
entry_name(const UserInfo *record)
{
    if (record == nullptr || record->User == nullptr || record->WrkstIP == nullptr) {
        return {};
    }
    return std::u16string(record->User) + u"+" + record->WrkstIP;
}

// A "\" would split the name into a key path: such an entry is never made.
bool
entry_name_usable(const std::u16string &name)
{
    return name.find(u'\\') == std::u16string::npos;
}

void
clear_expired()
{
    for (int i = 0; i < g_de.expired_count; ++i) {
        userdb_free_userinfo(g_de.expired[i]);
        g_de.expired[i] = nullptr;
    }
    g_de.expired_count = 0;
}

// Writes a deadline of now plus the timeout into the entry. Call under the store lock.
int
write_deadline(const std::u16string &name, char *text, std::size_t size)
{
    std::uint64_t deadline =
        dead_entry_local_time_now() +
        static_cast<std::uint64_t>(g_de.timeout_hours.load()) * 3600 * TICKS_PER_SECOND;
    format_deadline(deadline, text, size);
    std::u16string path = std::u16string(DEAD_ENTRY_KEY) + u"\\" + name;
    registry_key *key = nullptr;
    if (registry_create_key(REGISTRY_LOCAL_MACHINE, path.c_str(), &key) != 0) {
        return -1;
    }
    int result = registry_set_value_a(key, TIME_VALUE, text, std::strlen(text));
    registry_close_key(key);
    return result;
}

// Gives the record's logon an entry with a fresh deadline and logs the outcome. An entry that
// cannot be made (a name over the registry's limit of 255 units, a full disk) leaves the logon
// without an upper bound, which an operator must hear of. 0, or -1. Call under the store lock.
int
add_entry(const UserInfo *record, const std::u16string &name)
{
    if (!entry_name_usable(name)) {
        log_write(LOG_ERROR,
                  u"add_user_to_de_repositry: user %s with ip %s couldnt added to DE: the name "
                  u"holds a backslash",
                  record->User, record->WrkstIP);
        return -1;
    }
    char text[32];
    if (write_deadline(name, text, sizeof text) != 0) {
        char16_t reason[256];
        platform_error_text(platform_last_error(), reason, 256);
        log_write(LOG_ERROR,
                  u"add_user_to_de_repositry: user %s with ip %s couldnt added to DE: %s",
                  record->User, record->WrkstIP, static_cast<const char16_t *>(reason));
        return -1;
    }
    log_write(LOG_INFO,
              u"add_user_to_de_repositry: user %s with ip %s and expiretime %S added to DE",
              record->User, record->WrkstIP, static_cast<const char *>(text));
    return 0;
}

bool
entry_exists(const std::u16string &name)
{
    std::u16string path = std::u16string(DEAD_ENTRY_KEY) + u"\\" + name;
    registry_key *key = nullptr;
    if (registry_open_key(REGISTRY_LOCAL_MACHINE, path.c_str(), &key) != 0) {
        return false;
    }
    registry_close_key(key);
    return true;
}

// A row walk's callback: gives a live logon that has no entry one. It runs under the user
// store's lock, so no delete can remove the row between the look and the write. The walk runs on
// the thread that asked for it, which reads the last rowid handed on to start the next page.
thread_local std::int32_t t_restore_last_rowid = 0;

void
restore_entry(userdb_callback_context *context)
{
    userinfo_ptr record(context->record);
    context->record = nullptr;
    t_restore_last_rowid = record->RowID;
    try {
        std::u16string name = entry_name(record.get());
        if (name.empty()) {
            return;
        }
        auto guard = lock_store();
        if (!entry_exists(name) && add_entry(record.get(), name) == 0) {
            ++g_de.restored;
        }
    } catch (const std::exception &) {
        log_write(LOG_ERROR, u"dead_entry_restore_missing: out of memory");
    }
}

} // namespace

std::uint64_t
dead_entry_ticks(int year, int month, int day, int hour, int minute, int second)
{
    constexpr std::int64_t DAYS_1601_TO_1970 = 134774;
    std::int64_t days =
        days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) +
        DAYS_1601_TO_1970;
    std::int64_t seconds = days * 86400 + hour * 3600 + minute * 60 + second;
    return static_cast<std::uint64_t>(seconds) * TICKS_PER_SECOND;
}

std::uint64_t
dead_entry_local_time_now()
{
    std::uint64_t (*clock)() = g_de.clock.load();
    return clock != nullptr ? clock() : system_local_time();
}

void
dead_entry_set_clock(std::uint64_t (*clock)())
{
    g_de.clock = clock;
}

void
dead_entry_set_timeout(std::int32_t hours)
{
    g_de.timeout_hours = hours;
}

std::int32_t
dead_entry_get_timeout()
{
    return g_de.timeout_hours;
}

void
dead_entry_set_scan_period_ms(unsigned int milliseconds)
{
    std::lock_guard guard(g_de.thread_lock);
    g_de.scan_period_ms = milliseconds;
}

int
add_user_to_de_repositry(const UserInfo *record)
{
    if (g_de.timeout_hours == 0) {
        return 0;
    }
    try {
        std::u16string name = entry_name(record);
        if (name.empty()) {
            return 0;
        }
        auto guard = lock_store();
        return add_entry(record, name);
    } catch (const std::exception &) {
        log_write(LOG_ERROR, u"add_user_to_de_repositry: out of memory");
        return -1;
    }
}

int
dead_entry_restore_missing()
{
    if (g_de.timeout_hours == 0) {
        return 0;
    }
    {
        auto guard = lock_store();
        g_de.restored = 0;
    }
    // Page by page: the user store's lock is let go between pages, so that a large store does
    // not hold up the logons arriving meanwhile. A row stored during the walk got its entry
    // with its insert.
    t_restore_last_rowid = 0;
    userdb_callback_context context{nullptr, nullptr};
    for (;;) {
        int result = userinfo_db_process_live_page(
            t_restore_last_rowid, INT32_MIN, static_cast<int>(SCAN_SLICE), restore_entry, &context);
        if (result < 0) {
            return -1;
        }
        if (result == 0) {
            break;
        }
    }
    int restored;
    {
        auto guard = lock_store();
        restored = g_de.restored;
    }
    log_write(LOG_NOTICE, u"dead_entry_restore_missing: %d logons without a dead entry got one",
              restored);
    return restored;
}

int
remove_user_from_de_repositry(const UserInfo *record)
{
    try {
        std::u16string name = entry_name(record);
        if (name.empty() || !entry_name_usable(name)) {
            return 0;
        }
        auto guard = lock_store();
        registry_key *key = nullptr;
        if (registry_open_key(REGISTRY_LOCAL_MACHINE, DEAD_ENTRY_KEY, &key) == 0) {
            (void)registry_delete_key(key, name.c_str());
            registry_close_key(key);
        }
        log_write(LOG_INFO, u"remove_user_from_de_repositry: user %s with ip %s removed from DE",
                  record->User, record->WrkstIP);
    } catch (const std::exception &) {
        log_write(LOG_ERROR, u"remove_user_from_de_repositry: out of memory");
    }
    return 0;
}

int
dead_entry_findExpiredUsers()
{
    if (g_de.timeout_hours == 0) {
        return 0;
    }
    // The walk reads the names once and then their deadlines in slices of SCAN_SLICE, pausing
    // between slices (a large store would otherwise hold up every insert for the whole scan). An
    // entry deleted during a pause is passed over; one made during a pause waits for the next
    // scan. The list is published at the end.
    UserInfo *found[DEAD_ENTRY_MAX_EXPIRED];
    int count = 0;
    std::unique_lock guard(g_de.lock);
    clear_expired();
    registry_key *key = nullptr;
    if (registry_open_key(REGISTRY_LOCAL_MACHINE, DEAD_ENTRY_KEY, &key) != 0) {
        log_write(LOG_ERROR, u"dead_entry_findExpiredUsers: DeadEntry key not found in HKLM...");
        return 0;
    }
    char16_t name[512];
    for (std::uint32_t index = 0; count < DEAD_ENTRY_MAX_EXPIRED; ++index) {
        if (index > 0 && index % SCAN_SLICE == 0) {
            pause_scan(guard);
        }
        int rc = registry_enum_key(key, index, name, 512);
        if (rc == 1) {
            break;
        }
        if (rc != 0) {
            continue; // a name that does not fit is none of ours
        }
        try {
            std::u16string entry(static_cast<const char16_t *>(name));
            std::u16string path = std::u16string(DEAD_ENTRY_KEY) + u"\\" + entry;
            char value[64];
            std::size_t size = sizeof value;
            std::uint64_t now = dead_entry_local_time_now();
            std::uint64_t deadline = 0;
            if (registry_get_value(REGISTRY_LOCAL_MACHINE, path.c_str(), TIME_VALUE, value,
                                   &size) != 0 ||
                !parse_deadline(value, size, &deadline)) {
                if (!entry_exists(entry)) {
                    continue; // deleted during a pause
                }
                // Without a readable deadline the entry's start is lost; it gets a full timeout
                // from now, so the logon is bounded again without being cut short.
                char text[32];
                (void)write_deadline(entry, text, sizeof text);
                log_write(LOG_ERROR,
                          u"dead_entry_findExpiredUsers: invalid Time value of %s, new deadline "
                          u"%S",
                          static_cast<const char16_t *>(name), static_cast<const char *>(text));
                continue;
            }
            log_write(LOG_DEBUG,
                      u"dead_entry_findExpiredUsers: Username %s, CurrentTime %15I64d, Stored "
                      u"Time %15I64d",
                      static_cast<const char16_t *>(name), static_cast<long long>(now),
                      static_cast<long long>(deadline));
            const char16_t *plus = name;
            while (*plus != 0 && *plus != u'+') {
                ++plus;
            }
            if (now > deadline && *plus == u'+') {
                UserInfo *record = userdb_allocate_userinfo();
                if (record == nullptr) {
                    break;
                }
                record->User = tsso_string_dup_w(
                    std::u16string(static_cast<const char16_t *>(name), plus).c_str());
                record->WrkstIP = tsso_string_dup_w(plus + 1);
                found[count++] = record;
            }
        } catch (const std::exception &) {
            break;
        }
    }
    registry_close_key(key);
    // Another scan may have run during a pause (tests): its list gives way to this one.
    clear_expired();
    for (int i = 0; i < count; ++i) {
        g_de.expired[i] = found[i];
    }
    g_de.expired_count = count;
    log_write(LOG_DEBUG, u"dead_entry_findExpiredUsers: %d expired users found...",
              g_de.expired_count);
    return g_de.expired_count;
}

int
dead_entry_expired_count()
{
    auto guard = lock_store();
    return g_de.expired_count;
}

UserInfo *
dead_entry_expired_record(int index)
{
    auto guard = lock_store();
    return index >= 0 && index < g_de.expired_count ? g_de.expired[index] : nullptr;
}

int
dead_entry_process_expired()
{
    if (g_de.timeout_hours == 0) {
        return 0;
    }
    log_write(LOG_DEBUG, u"dead_entry_timeout_workerthread: Checking for expired users...");
    dead_entry_findExpiredUsers();
    // Take the list over and release the store lock before deleting: the delete removes the
    // entry under that lock again.
    UserInfo *records[DEAD_ENTRY_MAX_EXPIRED];
    int count;
    {
        auto guard = lock_store();
        count = g_de.expired_count;
        for (int i = 0; i < count; ++i) {
            records[i] = g_de.expired[i];
            g_de.expired[i] = nullptr;
        }
        g_de.expired_count = 0;
    }
    for (int i = 0; i < count; ++i) {
        UserInfo *record = records[i];
        log_write(LOG_DEBUG,
                  u"dead_entry_timeout_workerthread: DeadEntry time expired for the user %s "
                  u"Workstation IP %s",
                  record->User, record->WrkstIP);
        // A failed delete leaves the entry for the next scan; the logout goes out regardless.
        if (userinfo_db_delete_and_queue(record, 1, QUEUE_ALWAYS) != 0) {
            userdb_free_userinfo(record);
        }
    }
    return count;
}

void
dead_entry_timeout_workerthread()
{
    log_write(LOG_DEBUG, u"dead_entry_timeout_workerthread: DEAD-ENTRY-TIMEOUT = %d",
              static_cast<int>(g_de.timeout_hours));
    // A logon stored while no entry could be written (the process killed between the two, the
    // setting not read yet) would otherwise never be bounded.
    (void)dead_entry_restore_missing();

    for (;;) {
        {
            std::unique_lock guard(g_de.thread_lock);
            g_de.wake.wait_for(guard, std::chrono::milliseconds(g_de.scan_period_ms),
                               [] { return g_de.stop; });
            if (g_de.stop) {
                return;
            }
        }
        if (g_de.timeout_hours == 0) {
            continue;
        }
        dead_entry_process_expired();
    }
}

int
dead_entry_start_thread(std::int32_t timeout_hours)
{
    std::lock_guard guard(g_de.thread_lock);
    if (g_de.thread.joinable()) {
        return 0;
    }
    g_de.timeout_hours = timeout_hours;
    g_de.stop = false;
    try {
        g_de.thread = std::thread(dead_entry_timeout_workerthread);
    } catch (const std::exception &) {
        log_write(LOG_ERROR, u"dead_entry_start_thread: thread couldn't created");
        return -1;
    }
    return 0;
}

void
dead_entry_stop_thread()
{
    std::thread thread;
    {
        std::lock_guard guard(g_de.thread_lock);
        g_de.stop = true;
        thread = std::move(g_de.thread);
    }
    g_de.wake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}
