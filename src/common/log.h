// log: the diagnostic log (nivo.log) and the logging-events file (logging_events.log).
//
// Both files are UTF-16 little-endian text without a byte-order mark. A line of log_write and
// log_write_event is "\r\n<LEVEL>\t[0x<thread id>] <short date> hh:mm:ss : " and the message; a
// line of log_write_a is "\n\r<LEVEL>\t<short date> <time> [0x<thread id>]: " and the message.
// The line break comes first, so a file starts with an empty line.
//
// Life cycle: log_int() opens both files during start-up (before it every write is a no-op);
// log_fini() closes them, after which log_int() may open other files. The setters are called
// during start-up only. Any thread may write: each file has its own lock, held for one append,
// write, truncation or rotation, and the two locks are never held together.
//
// The formats are checked against their arguments when the program is compiled (format.h);
// a line is built on the caller's stack without allocation and appended whole to its file's
// pending lines, which a writer thread writes within a few milliseconds (log_flush() at once;
// at exit, close, truncation and rotation they are written first). Lines of levels MSG, CRIT
// and ERROR are in the file, behind what was pending, when the call returns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/format.h"

enum : unsigned int {
    LOG_MSG = 0,
    LOG_CRIT = 1,
    LOG_ERROR = 2,
    LOG_NOTICE = 3,
    LOG_INFO = 4,
    LOG_DEBUG = 5,
    LOG_MAX = 6,
};

enum : std::uint8_t {
    LOG_OVERFLOW_NONE = 0,
    LOG_OVERFLOW_TRUNCATE = 1,
    LOG_OVERFLOW_ROTATE = 2,
};

// Opens (or creates) both files, appending, and writes the banners. 0, or -1 when the log path
// is missing, a file cannot be opened or the files are already open (told on standard error).
int log_int(const char16_t *log_path, const char16_t *rotated_log_path, const char16_t *events_path,
            const char16_t *rotated_events_path);
void log_fini();
// Writes the pending lines of both files now.
void log_flush();

// Level filter, size limits (bytes) and overflow action. The setters tell on standard output.
int log_set_loglevel(unsigned int level);         // 0, or -1 above LOG_MAX
int log_set_overflow_action(unsigned int action); // 0, or -1 above 2
void log_set_logfile_maxsize(std::uint32_t bytes);
void log_set_loggingfile_maxsize(std::uint32_t bytes);
unsigned int log_get_loglevel();

// Once a second: truncates or rotates a file that has reached its size limit.
void log_check_overflow();

// The untyped writers behind the templates below.
void log_write_packed(unsigned int level, const char16_t *format, const fmt_arg *args,
                      std::size_t count);
void log_write_a_packed(unsigned int level, const char *format, const fmt_arg *args,
                        std::size_t count);
void log_write_event_packed(unsigned int level, const char16_t *format, const fmt_arg *args,
                            std::size_t count);

// Whether a log_write line of this level would be written.
bool log_is_enabled(unsigned int level);

// A line in nivo.log when level is at most the configured level.
template <class... Args>
void
log_write(unsigned int level, wfmt<Args...> format, const Args &...args)
{
    if (!log_is_enabled(level)) {
        return;
    }
    const fmt_arg packed[sizeof...(Args) + 1] = {fmt_detail::make_arg(args)..., fmt_arg{}};
    log_write_packed(level, format.text, packed, sizeof...(Args));
}

// The same with a UTF-8 format (%s takes UTF-8 text, %S UTF-16).
template <class... Args>
void
log_write_a(unsigned int level, nfmt<Args...> format, const Args &...args)
{
    if (!log_is_enabled(level)) {
        return;
    }
    const fmt_arg packed[sizeof...(Args) + 1] = {fmt_detail::make_arg(args)..., fmt_arg{}};
    log_write_a_packed(level, format.text, packed, sizeof...(Args));
}

// A logging event: written to logging_events.log and then to nivo.log, whatever the level;
// nothing while logging_events.log is not open.
template <class... Args>
void
log_write_event(unsigned int level, wfmt<Args...> format, const Args &...args)
{
    const fmt_arg packed[sizeof...(Args) + 1] = {fmt_detail::make_arg(args)..., fmt_arg{}};
    log_write_event_packed(level, format.text, packed, sizeof...(Args));
}
