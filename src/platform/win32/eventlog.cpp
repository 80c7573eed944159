// Windows side of eventlog.h: the system's event log of the local machine.
//
// A read asks the system for its own records (EVENTLOGRECORD) straight into the caller's buffer
// and rewrites them there into the layout of eventlog.h. The system's record is larger: a
// 56-byte header with fields the reader does not use, then the insertion strings, the user's
// SID, the binary data, the source and computer names and the length again. The rewritten
// record keeps the header's first fields and the insertion strings only, padded to a multiple
// of 4 bytes, so it is never longer than the record it comes from and each one is written at or
// before where its source began: the rewrite goes front to back in one pass.
//
// The system numbers its records itself and keeps whole records in the log, so the report
// function has nothing to say here and the source of the log is the system's: the log is found
// by its name alone. The rewrite is eventlog_rewrite_records (eventlog_records.h).

#include "platform/eventlog.h"
#include "platform/win32/eventlog_records.h"

// After eventlog.h: the system headers define its constant names as macros with the same values.
#include <windows.h>

#include <cstddef>
#include <cstring>
#include <new>

const bool platform_eventlog_has_source_file = false;

struct platform_eventlog_notification {
    HANDLE event;
};

struct platform_eventlog {
    HANDLE handle;
};

namespace {

// The most the system reads in one call.
constexpr std::size_t MAX_READ = 0x7FFFF;

static_assert(sizeof(eventlog_record) == 24, "eventlog_record is packed without holes");

// A field of the system's record at offset in buffer; the buffer may have any alignment.
template <class T>
T
field_at(const unsigned char *buffer, std::size_t offset)
{
    T value;
    std::memcpy(&value, buffer + offset, sizeof value);
    return value;
}

} // namespace

std::size_t
eventlog_rewrite_records(unsigned char *buffer, std::size_t length)
{
    std::size_t from = 0; // the next system record
    std::size_t to = 0;   // where its rewrite goes
    while (length - from >= sizeof(EVENTLOGRECORD)) {
        const unsigned char *in = buffer + from;
        auto record_length = field_at<DWORD>(in, offsetof(EVENTLOGRECORD, Length));
        if (record_length < sizeof(EVENTLOGRECORD) || record_length > length - from) {
            break;
        }
        eventlog_record header{};
        header.record_number = field_at<DWORD>(in, offsetof(EVENTLOGRECORD, RecordNumber));
        header.time_generated = field_at<DWORD>(in, offsetof(EVENTLOGRECORD, TimeGenerated));
        header.event_id = field_at<DWORD>(in, offsetof(EVENTLOGRECORD, EventID));
        header.event_type = field_at<WORD>(in, offsetof(EVENTLOGRECORD, EventType));
        auto count = field_at<WORD>(in, offsetof(EVENTLOGRECORD, NumStrings));
        auto strings = field_at<DWORD>(in, offsetof(EVENTLOGRECORD, StringOffset));

        // The insertion strings that end inside the record, before the copy of its length
        // that closes it.
        std::size_t limit = record_length - sizeof(DWORD);
        std::size_t end = strings;
        std::uint16_t whole = 0;
        if (strings >= sizeof(EVENTLOGRECORD) && strings <= limit) {
            std::size_t at = strings;
            while (whole < count) {
                bool terminated = false;
                while (limit - at >= sizeof(WCHAR)) {
                    auto unit = field_at<WCHAR>(in, at);
                    at += sizeof(WCHAR);
                    if (unit == 0) {
                        terminated = true;
                        break;
                    }
                }
                if (!terminated) {
                    break;
                }
                end = at;
                ++whole;
            }
        } else {
            strings = sizeof(EVENTLOGRECORD);
            end = strings;
        }
        std::size_t text_bytes = end - strings;
        std::size_t rewritten = (sizeof(eventlog_record) + text_bytes + 3) & ~std::size_t{3};

        // The header's fields are in hand: the new header may cover the old one. The strings
        // move down to follow it; they start at least 56 bytes into the old record, past the
        // end of the new header.
        unsigned char *out = buffer + to;
        std::memmove(out + sizeof(eventlog_record), in + strings, text_bytes);
        std::memset(out + sizeof(eventlog_record) + text_bytes, 0,
                    rewritten - sizeof(eventlog_record) - text_bytes);
        header.length = static_cast<std::uint32_t>(rewritten);
        header.num_strings = whole;
        header.string_offset = sizeof(eventlog_record);
        std::memcpy(out, &header, sizeof header);

        to += rewritten;
        from += record_length;
    }
    return to;
}

platform_eventlog_notification *
platform_eventlog_notification_create()
{
    auto *notification = new (std::nothrow) platform_eventlog_notification{};
    if (notification == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    notification->event = CreateEventW(nullptr, FALSE, FALSE, nullptr); // auto-reset
    if (notification->event == nullptr) {
        delete notification; // never handed out
        return nullptr;
    }
    return notification;
}

void
platform_eventlog_notification_close(platform_eventlog_notification *notification)
{
    if (notification == nullptr) {
        return;
    }
    CloseHandle(notification->event);
    delete notification; // the notification's only owner
}

platform_eventlog *
platform_eventlog_open(const char16_t *log_name, const char16_t *source, eventlog_report_fn report)
{
    (void)source;
    (void)report;
    if (log_name == nullptr || log_name[0] == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto *log = new (std::nothrow) platform_eventlog{};
    if (log == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    log->handle = OpenEventLogW(nullptr, reinterpret_cast<const wchar_t *>(log_name));
    if (log->handle == nullptr) {
        delete log; // never handed out
        return nullptr;
    }
    return log;
}

void
platform_eventlog_close(platform_eventlog *log)
{
    if (log == nullptr) {
        return;
    }
    CloseEventLog(log->handle);
    delete log; // the log's only owner
}

int
platform_eventlog_oldest(platform_eventlog *log, std::uint32_t *record_number)
{
    DWORD oldest = 0;
    if (log == nullptr || record_number == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!GetOldestEventLogRecord(log->handle, &oldest)) {
        return -1;
    }
    *record_number = oldest;
    return 0;
}

int
platform_eventlog_count(platform_eventlog *log, std::uint32_t *count)
{
    DWORD records = 0;
    if (log == nullptr || count == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!GetNumberOfEventLogRecords(log->handle, &records)) {
        return -1;
    }
    *count = records;
    return 0;
}

int
platform_eventlog_notify(platform_eventlog *log, platform_eventlog_notification *notification)
{
    if (log == nullptr || notification == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    return NotifyChangeEventLog(log->handle, notification->event) ? 0 : -1;
}

int
platform_eventlog_wait(platform_eventlog_notification *notification, unsigned int timeout_ms)
{
    if (notification == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    switch (WaitForSingleObject(notification->event, timeout_ms)) {
    case WAIT_OBJECT_0:
        return 0;
    case WAIT_TIMEOUT:
        return 1;
    case WAIT_FAILED:
        return -1;
    default:
        SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
}

// The system's errors pass on as they are: end of log (38), no such record (87) and a record
// larger than the buffer (122) are the header's; any other (the log cleared, 1503, or damaged)
// is a failure the reader answers by opening the log again.
int
platform_eventlog_read(platform_eventlog *log, unsigned int flags, std::uint32_t record_number,
                       void *buffer, std::size_t size, std::size_t *bytes_read,
                       std::size_t *bytes_needed)
{
    if (log == nullptr || buffer == nullptr || bytes_read == nullptr || bytes_needed == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return EVENTLOG_ERROR_INVALID_PARAMETER;
    }
    *bytes_read = 0;
    *bytes_needed = 0;
    DWORD got = 0;
    DWORD needed = 0;
    // The header's flag values are the system's.
    if (!ReadEventLogW(log->handle, flags, record_number, buffer,
                       static_cast<DWORD>(size < MAX_READ ? size : MAX_READ), &got, &needed)) {
        DWORD code = GetLastError();
        if (code == ERROR_INSUFFICIENT_BUFFER) {
            // The system's size of the record: the rewrite is smaller, so it then fits.
            *bytes_needed = needed;
        }
        if (code == 0) {
            code = EVENTLOG_ERROR_READ_FAULT;
            SetLastError(code);
        }
        return static_cast<int>(code);
    }
    std::size_t converted = eventlog_rewrite_records(static_cast<unsigned char *>(buffer), got);
    if (converted == 0) {
        SetLastError(EVENTLOG_ERROR_READ_FAULT);
        return EVENTLOG_ERROR_READ_FAULT;
    }
    *bytes_read = converted;
    return 0;
}
