// Fuzz target: any bytes as audit log text. They are parsed as one line, and written to a log
// that the event source has open and then read back as records, whose layout is checked.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "platform/eventlog.h"
#include "platform/posix/audit_line.h"

namespace {

void
ignore_report(const char *)
{
}

void
check_records(const unsigned char *buffer, std::size_t length)
{
    std::size_t at = 0;
    while (at < length) {
        eventlog_record header;
        if (length - at < sizeof header) {
            std::abort();
        }
        std::memcpy(&header, buffer + at, sizeof header);
        if (header.length < sizeof header || header.length > length - at ||
            header.string_offset > header.length) {
            std::abort();
        }
        // Every string ends inside its record.
        std::size_t s = at + header.string_offset;
        for (int i = 0; i < header.num_strings; ++i) {
            for (;;) {
                if (s + 2 > at + header.length) {
                    std::abort();
                }
                char16_t unit;
                std::memcpy(&unit, buffer + s, 2);
                s += 2;
                if (unit == 0) {
                    break;
                }
            }
        }
        at += header.length;
    }
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    posix::audit_event event;
    const char *why = nullptr;
    if (posix::audit_line_parse(reinterpret_cast<const char *>(data), size, &event, &why) != 0 &&
        why == nullptr) {
        std::abort(); // a refusal always says why
    }

    std::u16string path = nivo_fuzz::scratch_file("auth_json.log", nullptr, 0);
    platform_eventlog *log = platform_eventlog_open(u"security", path.c_str(), ignore_report);
    if (log == nullptr) {
        return 0;
    }
    nivo_fuzz::scratch_file("auth_json.log", data, size);
    alignas(8) unsigned char buffer[4096];
    std::size_t got = 0;
    std::size_t needed = 0;
    unsigned int flags = EVENTLOG_SEEK_READ | EVENTLOG_FORWARDS_READ;
    for (int reads = 0; reads < 10000; ++reads) {
        int rc = platform_eventlog_read(log, flags, 1, buffer, sizeof buffer, &got, &needed);
        if (rc != 0) {
            break;
        }
        check_records(buffer, got);
        flags = EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ;
    }
    platform_eventlog_close(log);
    return 0;
}
