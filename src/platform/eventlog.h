// eventlog: the domain controller's log of authentication events, read forward by record number,
// with a change notification that wakes a reader when records are added.
//
// Records are numbered from 1 in the order they were written; a number, once given, always names
// the same record while the log stays open. A read fills the caller's buffer with as many whole
// records as fit, each an eventlog_record header followed by its insertion strings (terminated
// UTF-16 texts, one after the other), padded to a multiple of 4 bytes.
//
// On POSIX the log is a Samba domain controller's JSON authentication audit log: one JSON object
// per line, the line number is the record number (counted on from the previous file when the log
// is rotated). A successful Kerberos ticket request is event 4768, an NTLM logon event 4776;
// failures are the same events with type AuditFail; every other line is a record with no
// strings that a reader ignores. Lines that cannot be read (malformed, truncated, too long,
// invalid UTF-8, a null where a value is needed) are told to the report function and skipped;
// their record numbers stay unused.
//
// Life cycle: platform_eventlog_notification_create(), platform_eventlog_open(),
// platform_eventlog_notify() to register the notification for the log, then waits and reads;
// platform_eventlog_close() and platform_eventlog_notification_close() in any order. One thread
// uses a log and its notification at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// The header of one record in the read buffer.
struct eventlog_record {
    std::uint32_t length; // bytes of the whole record, header and strings included
    std::uint32_t record_number;
    std::uint32_t time_generated; // seconds since 1970-01-01 UTC
    std::uint32_t event_id;
    std::uint16_t event_type; // EVENTLOG_* below
    std::uint16_t num_strings;
    std::uint32_t string_offset; // from the start of the record to the first string
};

enum : std::uint16_t {
    EVENTLOG_ERROR_TYPE = 1,
    EVENTLOG_WARNING_TYPE = 2,
    EVENTLOG_INFORMATION_TYPE = 4,
    EVENTLOG_AUDIT_SUCCESS = 8,
    EVENTLOG_AUDIT_FAILURE = 16,
};

// Read flags: one of sequential or seek, with forwards.
enum : unsigned int {
    EVENTLOG_SEQUENTIAL_READ = 1,
    EVENTLOG_SEEK_READ = 2,
    EVENTLOG_FORWARDS_READ = 4,
};

// Errors of the read, as the platform numbers them.
enum : int {
    EVENTLOG_ERROR_HANDLE_EOF = 38,           // nothing more to read
    EVENTLOG_ERROR_INVALID_PARAMETER = 87,    // no such record, or bad arguments
    EVENTLOG_ERROR_INSUFFICIENT_BUFFER = 122, // the next record does not fit the buffer
    EVENTLOG_ERROR_READ_FAULT = 30,           // the log could not be read
};

// Receives one UTF-8 line (with its line break) about a record that was skipped.
using eventlog_report_fn = void (*)(const char *message);

struct platform_eventlog;
struct platform_eventlog_notification;

// Whether the log lives in a file that the configuration names (EVENTLOG-FILE).
extern const bool platform_eventlog_has_source_file;

// The notification: an auto-reset signal raised when records are added to the log it is
// registered for. Null on failure (last error set).
platform_eventlog_notification *platform_eventlog_notification_create();
void platform_eventlog_notification_close(platform_eventlog_notification *notification);

// Opens the named log. source names where it lives (on POSIX the audit log file; null or empty
// gives "/var/log/samba/auth_json.log"); report may be null. A log file that does not exist yet
// is an empty log as long as its directory exists. Null on failure (last error set).
platform_eventlog *platform_eventlog_open(const char16_t *log_name, const char16_t *source,
                                          eventlog_report_fn report);
void platform_eventlog_close(platform_eventlog *log);

// The number of the oldest record, and the number of records. 0, or -1.
int platform_eventlog_oldest(platform_eventlog *log, std::uint32_t *record_number);
int platform_eventlog_count(platform_eventlog *log, std::uint32_t *count);

// Registers the notification for the log. 0, or -1 (last error set).
int platform_eventlog_notify(platform_eventlog *log, platform_eventlog_notification *notification);

// Waits up to timeout_ms (0xFFFFFFFF: without limit) for the notification. 0 when it was raised,
// 1 on time-out, -1 when the log can no longer be watched (last error set).
int platform_eventlog_wait(platform_eventlog_notification *notification, unsigned int timeout_ms);

// Reads forward: with EVENTLOG_SEEK_READ from record_number, with EVENTLOG_SEQUENTIAL_READ from
// behind the last record read. 0 with *bytes_read set, or an EVENTLOG_ERROR_* (for
// EVENTLOG_ERROR_INSUFFICIENT_BUFFER, *bytes_needed holds the size of the next record).
int platform_eventlog_read(platform_eventlog *log, unsigned int flags, std::uint32_t record_number,
                           void *buffer, std::size_t size, std::size_t *bytes_read,
                           std::size_t *bytes_needed);
