// The logger: two UTF-16LE files, a level filter, and the size check with truncation or
// rotation to one older generation.
//
// A line is built on the caller's stack and appended to its file's pending buffer. A writer
// thread writes what is pending a few milliseconds after the first line arrived, so a burst
// costs one write instead of one per line; a caller that finds the buffer full writes it
// itself, and so does a caller of an outcome or a failure (levels 0 to 2). Closing, truncating,
// rotating and measuring a file write its pending lines first, and log_flush() (called at exit too)
// writes everything at once.

#include "common/log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/console.h"
#include "common/text.h"
#include "platform/file.h"
#include "platform/system.h"

namespace {

// Buffers of the line builders: 20479 bytes of UTF-16 for the wide calls, 5119 bytes of UTF-8
// (converted into as many UTF-16 units) for the narrow call.
constexpr std::size_t LINE_UNITS = 20479 / sizeof(char16_t);
constexpr std::size_t NARROW_LINE_BYTES = 5119;

constexpr const char16_t *LEVEL_NAMES_W[] = {u"MSG",  u"CRIT",  u"ERROR", u"NOTICE",
                                             u"INFO", u"DEBUG", u"MAX"};
constexpr const char *LEVEL_NAMES_A[] = {"MSG", "CRIT", "ERROR", "NOTICE", "INFO", "DEBUG", "MAX"};

constexpr const char16_t *DASHES =
    u"------------------------------------------------------------------\n";
constexpr const char16_t *BANNER_DASHES =
    u"--------------------------------------------------------------------\n";

// Twice the longest line; a line that does not fit behind the pending ones writes them first.
constexpr std::size_t PENDING_UNITS = 32768;
static_assert(PENDING_UNITS >= 2 * LINE_UNITS);

// How long the writer thread waits after the first pending line for others to join it.
constexpr auto COLLECT_WINDOW = std::chrono::milliseconds(5);

struct log_file {
    std::mutex lock; // guards everything below
    platform_file *handle = nullptr;
    char16_t *name = nullptr;
    char16_t *rotated_name = nullptr;
    std::size_t pending_units = 0;
    // The file's size as written through this logger, and whether it has reached its limit:
    // the writer thread then truncates or rotates it at once, not at the next size check.
    unsigned long long size = 0;
    bool over_limit = false;
    char16_t pending[PENDING_UNITS];
};

struct log_state {
    log_file log;
    log_file events;
    // Read by every thread on each line, changed at any time (a configuration push): atomic.
    std::atomic<unsigned int> level{LOG_DEBUG};
    std::uint32_t log_limit = 1073741824u;
    std::uint32_t events_limit = 1073741824u;
    std::uint8_t action = LOG_OVERFLOW_ROTATE;
};
log_state g_log;

// One size check at a time (the writer thread's and the maintenance loop's): two at once could
// rotate the same file twice and lose its older generation.
std::mutex g_check_lock;

// The writer thread's wake-up; created with the thread on the first log_int and never
// destroyed, since the thread outlives every log_fini and may still wait while the process ends.
struct log_writer {
    std::mutex lock;
    std::condition_variable wake;
    bool due = false; // some file received a line while its buffer was empty
};
std::atomic<log_writer *> g_writer{nullptr};

const char16_t *
level_name_w(unsigned int level)
{
    return level <= LOG_MAX ? LEVEL_NAMES_W[level] : u"";
}

const char *
level_name_a(unsigned int level)
{
    return level <= LOG_MAX ? LEVEL_NAMES_A[level] : "";
}

std::uint32_t
limit_of(const log_file *file)
{
    return file == &g_log.log ? g_log.log_limit : g_log.events_limit;
}

// Writes the pending lines; the caller holds the file's lock.
void
write_pending(log_file *file)
{
    static_assert(sizeof(char16_t) == 2);
    if (file->pending_units > 0 && file->handle != nullptr) {
        // Both targets are little-endian, so the units are already the file's bytes.
        (void)platform_file_write(file->handle, file->pending,
                                  file->pending_units * sizeof(char16_t));
        file->size += file->pending_units * sizeof(char16_t);
        if (g_log.action != LOG_OVERFLOW_NONE && file->size >= limit_of(file)) {
            file->over_limit = true;
        }
    }
    file->pending_units = 0;
}

// Asks the writer thread to write (and, for a file over its limit, to check it) at once.
void
wake_writer(log_writer *writer)
{
    {
        std::lock_guard guard(writer->lock);
        writer->due = true;
    }
    writer->wake.notify_one();
}

void
flush_file(log_file *file)
{
    std::lock_guard guard(file->lock);
    write_pending(file);
}

void check_files();
bool try_check_files();

// Lines of these levels (outcomes and failures) are in the file when the call returns, behind
// whatever was pending: a crash or a kill right after them must not take them along.
bool
level_is_written_at_once(unsigned int level)
{
    return level <= LOG_ERROR;
}

// Appends one whole line under the file's lock; false when the file is closed. Without a writer
// thread, or for a line that must not wait, the pending lines are written at once.
bool
write_line(log_file *file, unsigned int level, const char16_t *line, std::size_t units)
{
    log_writer *writer = g_writer.load(std::memory_order_acquire);
    bool wake = false;
    bool over = false;
    {
        std::lock_guard guard(file->lock);
        if (file->handle == nullptr) {
            return false;
        }
        if (file->pending_units + units > PENDING_UNITS) {
            write_pending(file);
        }
        // The writer thread is woken by the first line of a burst, never for a line written
        // here and now (that would cost it a wake-up per line for nothing to write).
        wake = file->pending_units == 0;
        std::memcpy(file->pending + file->pending_units, line, units * sizeof(char16_t));
        file->pending_units += units;
        if (writer == nullptr || level_is_written_at_once(level)) {
            write_pending(file);
            wake = false;
        }
        over = file->over_limit;
        wake = wake || over;
    }
    if (over && try_check_files()) {
        return true;
    }
    if (wake && writer != nullptr) {
        wake_writer(writer);
    }
    return true;
}

bool
over_limit(log_file *file)
{
    std::lock_guard guard(file->lock);
    return file->over_limit;
}

void
writer_loop(log_writer *writer)
{
    std::unique_lock guard(writer->lock);
    for (;;) {
        writer->wake.wait(guard, [writer] { return writer->due; });
        guard.unlock();
        // A file over its limit is handled at once; otherwise other lines may join the burst.
        if (!over_limit(&g_log.log) && !over_limit(&g_log.events)) {
            std::this_thread::sleep_for(COLLECT_WINDOW);
        }
        guard.lock();
        writer->due = false;
        guard.unlock();
        flush_file(&g_log.log);
        flush_file(&g_log.events);
        if (over_limit(&g_log.log) || over_limit(&g_log.events)) {
            check_files();
        }
        guard.lock();
    }
}

void
flush_at_exit()
{
    log_flush();
}

// Starts the writer thread once. When no thread can be made, every line is written by its
// caller as it comes.
void
start_writer()
{
    static std::once_flag once;
    std::call_once(once, [] {
        auto *writer = new log_writer;
        try {
            std::thread(writer_loop, writer).detach();
        } catch (const std::system_error &) {
            delete writer;
            return;
        }
        g_writer.store(writer, std::memory_order_release);
        std::atexit(flush_at_exit);
    });
}

// Builds "\r\n<LEVEL>\t[0x<tid>] <date> hh:mm:ss : <message>" into line; returns its length in
// units, or 0 when it does not fit the buffer.
std::size_t
build_line(char16_t *line, unsigned int level, const char16_t *format, const fmt_arg *args,
           std::size_t count)
{
    platform_clock now;
    platform_local_clock(&now);
    // The date text changes once a day: each thread keeps the last one it formatted.
    thread_local platform_clock dated{};
    thread_local char16_t date[64];
    if (now.day != dated.day || now.month != dated.month || now.year != dated.year) {
        platform_short_date_text(now, date, sizeof date / sizeof date[0]);
        dated = now;
    }
    std::size_t prefix =
        fmt_print_w(line, LINE_UNITS, u"\r\n%s\t[0x%x] %s %2.2d:%2.2d:%2.2d : ",
                    level_name_w(level), platform_thread_id(), static_cast<const char16_t *>(date),
                    now.hour, now.minute, now.second);
    if (prefix >= LINE_UNITS) {
        return 0;
    }
    // Arguments carry names from outside (users, domains, workstations): escaped, they cannot
    // start a line of their own or break the file's UTF-16.
    std::size_t message =
        fmt_format_w(line + prefix, LINE_UNITS - prefix, format, args, count, true);
    if (message >= LINE_UNITS - prefix) {
        return 0; // too long for the buffer: the line leaves no trace
    }
    return prefix + message;
}

int
open_file(log_file *file, const char16_t *path)
{
    if (file->handle != nullptr) {
        console_err(u"log_open_loggingfile: one loggingfile instance is already opened\n");
        return -1;
    }
    file->handle = platform_file_open(path, PLATFORM_FILE_WRITE | PLATFORM_FILE_CREATE);
    if (file->handle == nullptr) {
        console_err(u"log_open_loggingfile: Loggingfile '%s' couldn't open: %d\n", path,
                    platform_last_error());
        return -1;
    }
    return 0;
}

void
close_file(log_file *file)
{
    std::lock_guard guard(file->lock);
    write_pending(file);
    platform_file_close(file->handle);
    file->handle = nullptr;
}

void
truncate_file(log_file *file)
{
    std::lock_guard guard(file->lock);
    if (file->handle == nullptr) {
        return;
    }
    write_pending(file); // lines from before the truncation go with it, in their order
    platform_file_seek(file->handle, 0, PLATFORM_SEEK_SET);
    platform_file_truncate(file->handle);
    file->size = 0;
    file->over_limit = false;
}

// Close, rename to the rotated name, reopen, then truncate. Returns 0, or the platform error
// of a failed rename (the file then keeps its name and is truncated instead).
int
rotate_file(log_file *file, bool *reopened)
{
    int rename_error = 0;
    *reopened = false;
    {
        std::lock_guard guard(file->lock);
        if (file->handle == nullptr) {
            return 0;
        }
        write_pending(file);
        platform_file_close(file->handle);
        file->handle = nullptr;
        if (platform_file_rename(file->name, file->rotated_name) != 0) {
            rename_error = platform_last_error();
            if (rename_error == 0) {
                rename_error = -1;
            }
        }
        if (rename_error != 0) {
            if (file == &g_log.log) {
                console_err(u"log_rotate_logfile: Logfile '%s' couldn't Renamed to '%s': %d\n",
                            file->name, file->rotated_name, rename_error);
            } else {
                console_err(u"log_rotate_logging_events_file: Logging_events Logfile '%s' "
                            u"couldn't Renamed to '%s': %d\n",
                            file->name, file->rotated_name, rename_error);
            }
        }
        file->handle = platform_file_open(file->name, PLATFORM_FILE_WRITE | PLATFORM_FILE_CREATE);
        file->over_limit = false;
        if (file->handle == nullptr) {
            return rename_error; // the file stays closed; later writes skip it
        }
        long long size = platform_file_size(file->handle);
        file->size = size > 0 ? static_cast<unsigned long long>(size) : 0;
    }
    *reopened = true;
    // A failed rename loses the old content rather than letting the file grow without end.
    truncate_file(file);
    return rename_error;
}

void
replace_name(char16_t **slot, const char16_t *value)
{
    text_free(*slot);
    *slot = value != nullptr ? tsso_string_dup_w(value) : nullptr;
}

} // namespace

bool
log_is_enabled(unsigned int level)
{
    return level <= g_log.level;
}

unsigned int
log_get_loglevel()
{
    return g_log.level;
}

void
log_write_packed(unsigned int level, const char16_t *format, const fmt_arg *args, std::size_t count)
{
    if (level > g_log.level) {
        return;
    }
    int saved = platform_last_error(); // logging a failure must not change its error code
    char16_t line[LINE_UNITS];
    std::size_t units = build_line(line, level, format, args, count);
    if (units > 0) {
        (void)write_line(&g_log.log, level, line, units);
    }
    platform_set_last_error(saved);
}

void
log_write_a_packed(unsigned int level, const char *format, const fmt_arg *args, std::size_t count)
{
    if (level > g_log.level) {
        return;
    }
    int saved = platform_last_error();
    platform_clock now;
    platform_local_clock(&now);
    char16_t date[64];
    char16_t time[64];
    platform_short_date_text(now, date, sizeof date / sizeof date[0]);
    platform_time_text(now, time, sizeof time / sizeof time[0]);
    char narrow[NARROW_LINE_BYTES];
    std::size_t prefix =
        fmt_print_n(narrow, sizeof narrow, "\n\r%s\t%S %S [0x%x]: ", level_name_a(level),
                    static_cast<const char16_t *>(date), static_cast<const char16_t *>(time),
                    platform_thread_id());
    if (prefix < sizeof narrow) {
        std::size_t message =
            fmt_format_n(narrow + prefix, sizeof narrow - prefix, format, args, count, true);
        if (message < sizeof narrow - prefix) {
            char16_t line[NARROW_LINE_BYTES];
            int units = convert_ascii_to_unicode(narrow, line, NARROW_LINE_BYTES);
            if (units > 1) {
                (void)write_line(&g_log.log, level, line, static_cast<std::size_t>(units - 1));
            }
        }
    }
    platform_set_last_error(saved);
}

void
log_write_event_packed(unsigned int level, const char16_t *format, const fmt_arg *args,
                       std::size_t count)
{
    int saved = platform_last_error();
    char16_t line[LINE_UNITS];
    std::size_t units = build_line(line, level, format, args, count);
    // An event goes to nivo.log only as the copy of a line of the events file: with that file
    // closed, nothing is written.
    if (units > 0 && write_line(&g_log.events, level, line, units)) {
        (void)write_line(&g_log.log, level, line, units);
    }
    platform_set_last_error(saved);
}

int
log_int(const char16_t *log_path, const char16_t *rotated_log_path, const char16_t *events_path,
        const char16_t *rotated_events_path)
{
    if (log_path == nullptr) {
        console_err(u"log_int: Invalid Arguments\n");
        return -1;
    }
    {
        std::lock_guard guard(g_log.log.lock);
        if (open_file(&g_log.log, log_path) != 0) {
            return -1;
        }
        platform_file_seek(g_log.log.handle, 0, PLATFORM_SEEK_END);
        long long size = platform_file_size(g_log.log.handle);
        g_log.log.size = size > 0 ? static_cast<unsigned long long>(size) : 0;
        g_log.log.over_limit = false;
    }
    {
        std::lock_guard guard(g_log.events.lock);
        if (open_file(&g_log.events, events_path) != 0) {
            return -1;
        }
        platform_file_seek(g_log.events.handle, 0, PLATFORM_SEEK_END);
        long long size = platform_file_size(g_log.events.handle);
        g_log.events.size = size > 0 ? static_cast<unsigned long long>(size) : 0;
        g_log.events.over_limit = false;
    }
    start_writer();
    log_write(LOG_MSG, BANNER_DASHES);
    log_write(LOG_MSG, u"----------- %s TESSALINE --------------\n", u"Vantelor");
    log_write(LOG_MSG, BANNER_DASHES);
    log_write_event(LOG_MSG, BANNER_DASHES);
    log_write_event(LOG_MSG,
                    u"-------------------------- Logging Events --------------------------\n");
    log_write_event(LOG_MSG, BANNER_DASHES);

    replace_name(&g_log.log.name, log_path);
    replace_name(&g_log.log.rotated_name, rotated_log_path);
    replace_name(&g_log.events.name, events_path);
    replace_name(&g_log.events.rotated_name, rotated_events_path);
    return 0;
}

void
log_flush()
{
    flush_file(&g_log.log);
    flush_file(&g_log.events);
}

void
log_fini()
{
    close_file(&g_log.log);
    close_file(&g_log.events);
    replace_name(&g_log.log.name, nullptr);
    replace_name(&g_log.log.rotated_name, nullptr);
    replace_name(&g_log.events.name, nullptr);
    replace_name(&g_log.events.rotated_name, nullptr);
}

int
log_set_loglevel(unsigned int level)
{
    if (level > LOG_MAX) {
        console_out(u"log_set_loglevel: invalid loglevel: %d\n", level);
        console_out(u"log_set_loglevel: maximum loglevel: %d\n", static_cast<int>(LOG_MAX));
        return -1;
    }
    g_log.level = level;
    console_out(u"log_set_loglevel: %d\n", level);
    return 0;
}

int
log_set_overflow_action(unsigned int action)
{
    if (action > LOG_OVERFLOW_ROTATE) {
        console_out(u"log_set_overflow_action: invalid overflow action: %d\n", action);
        return -1;
    }
    g_log.action = static_cast<std::uint8_t>(action);
    console_out(u"log_set_overflow_action: %d\n", action);
    return 0;
}

void
log_set_logfile_maxsize(std::uint32_t bytes)
{
    g_log.log_limit = bytes;
    console_out(u"log_set_logfile_maxsize: Max Log Size: %d\n", bytes);
}

void
log_set_loggingfile_maxsize(std::uint32_t bytes)
{
    g_log.events_limit = bytes;
    console_out(u"log_set_loggingfile_maxsize: Max Log Size: %d\n", bytes);
}

namespace {

// The file's size, or -1 when it is closed or cannot be read.
long long
file_size(log_file *file)
{
    std::lock_guard guard(file->lock);
    write_pending(file);
    return file->handle != nullptr ? platform_file_size(file->handle) : -1;
}

void
check_log_file()
{
    long long size = file_size(&g_log.log);
    // The whole size is compared: a file past 4 GiB must not look small again.
    if (size < 0 || static_cast<unsigned long long>(size) < g_log.log_limit) {
        return;
    }
    if (g_log.action == LOG_OVERFLOW_TRUNCATE) {
        truncate_file(&g_log.log);
        log_write(LOG_DEBUG, DASHES);
        log_write(LOG_DEBUG,
                  u"---------------------- LOG FILE TRUNCATED ------------------------\n");
        log_write(LOG_DEBUG, DASHES);
    } else if (g_log.action == LOG_OVERFLOW_ROTATE) {
        log_write(LOG_DEBUG, DASHES);
        log_write(LOG_DEBUG,
                  u"----------------------- ROTATING LOG FILE ------------------------\n");
        log_write(LOG_DEBUG, DASHES);
        bool reopened;
        int rename_error = rotate_file(&g_log.log, &reopened);
        if (rename_error != 0) {
            log_write(LOG_ERROR, u"log_rotate_logfile: Logfile '%s' couldn't Renamed to '%s': %d\n",
                      g_log.log.name, g_log.log.rotated_name, rename_error);
        }
        log_write(LOG_DEBUG, DASHES);
        log_write(LOG_DEBUG,
                  u"------------------------ LOG FILE ROTATED ------------------------\n");
        log_write(LOG_DEBUG, DASHES);
    }
}

void
check_events_file()
{
    long long size = file_size(&g_log.events);
    if (size < 0 || static_cast<unsigned long long>(size) < g_log.events_limit) {
        return;
    }
    if (g_log.action == LOG_OVERFLOW_TRUNCATE) {
        constexpr const char16_t *truncated =
            u"------------------- LOGGING EVENTS FILE TRUNCATED ----------------\n";
        truncate_file(&g_log.events);
        log_write(LOG_DEBUG, truncated);
        log_write_event(LOG_DEBUG, DASHES);
        log_write_event(LOG_DEBUG, truncated);
        log_write_event(LOG_DEBUG, DASHES);
    } else if (g_log.action == LOG_OVERFLOW_ROTATE) {
        constexpr const char16_t *rotating =
            u"----------------------- ROTATING LOGGING EVENTS FILE ------------------------\n";
        log_write_event(LOG_DEBUG, DASHES);
        log_write_event(LOG_DEBUG, rotating);
        log_write_event(LOG_DEBUG, DASHES);
        bool reopened;
        int rename_error = rotate_file(&g_log.events, &reopened);
        if (rename_error != 0) {
            log_write_event(LOG_ERROR,
                            u"log_rotate_loggingfile: Logging events file '%s' couldn't Renamed "
                            u"to '%s': %d\n",
                            g_log.events.name, g_log.events.rotated_name, rename_error);
        }
        log_write(LOG_DEBUG, rotating);
        log_write_event(LOG_DEBUG, DASHES);
        log_write_event(
            LOG_DEBUG,
            u"------------------------ LOGGING EVENTS FILE ROTATED ------------------------\n");
        log_write_event(LOG_DEBUG, DASHES);
    }
}

} // namespace

void
log_check_overflow()
{
    {
        std::lock_guard guard(g_log.log.lock);
        if (g_log.log.handle == nullptr) {
            return;
        }
    }
    check_files();
}

namespace {

// Set while this thread runs a size check: the lines the check writes itself must not start
// another one.
thread_local bool t_checking = false;

void
run_checks()
{
    t_checking = true;
    check_log_file();
    check_events_file();
    t_checking = false;
}

void
check_files()
{
    std::lock_guard guard(g_check_lock);
    run_checks();
}

// The thread whose write took a file over its limit checks it at once, so that a flood of
// lines cannot outrun the writer thread; when another check runs already, that one will do.
bool
try_check_files()
{
    if (t_checking || !g_check_lock.try_lock()) {
        return false;
    }
    std::lock_guard guard(g_check_lock, std::adopt_lock);
    run_checks();
    return true;
}

} // namespace
