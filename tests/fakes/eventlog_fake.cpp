// The scripted event log (see eventlog_fake.h).

#include "fakes/eventlog_fake.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "platform/eventlog.h"
#include "platform/system.h"

namespace {

struct fake_record {
    std::uint32_t id;
    std::uint16_t type;
    std::uint32_t time;
    std::vector<std::u16string> strings;
};

struct fake_state {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<fake_record> records; // record n is records[n - 1]
    int fail_read = 0;
    bool fail_open = false;
    bool ended = false;
    int opens = 0;
    int reads = 0;
    std::uint64_t generation = 0; // counts additions
};
fake_state g_fake;

} // namespace

const bool platform_eventlog_has_source_file = true;

struct platform_eventlog {
    std::uint32_t next = 1; // the record a sequential read starts at
};

struct platform_eventlog_notification {
    bool registered = false;
    std::uint64_t seen = 0; // the generation at the last wake-up
};

namespace eventlog_fake {

void
add(std::uint32_t event_id, std::uint16_t type, std::uint32_t time,
    const std::vector<std::u16string> &strings)
{
    {
        std::lock_guard guard(g_fake.lock);
        g_fake.records.push_back({event_id, type, time, strings});
        ++g_fake.generation;
    }
    g_fake.changed.notify_all();
}

void
fail_next_read(int error)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.fail_read = error;
}

void
fail_next_open()
{
    std::lock_guard guard(g_fake.lock);
    g_fake.fail_open = true;
}

void
end()
{
    {
        std::lock_guard guard(g_fake.lock);
        g_fake.ended = true;
    }
    g_fake.changed.notify_all();
}

int
opens()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.opens;
}

int
reads()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.reads;
}

void
reset()
{
    std::lock_guard guard(g_fake.lock);
    g_fake.records.clear();
    g_fake.fail_read = 0;
    g_fake.fail_open = false;
    g_fake.ended = false;
    g_fake.opens = 0;
    g_fake.reads = 0;
    g_fake.generation = 0;
}

} // namespace eventlog_fake

platform_eventlog_notification *
platform_eventlog_notification_create()
{
    return new platform_eventlog_notification;
}

void
platform_eventlog_notification_close(platform_eventlog_notification *notification)
{
    delete notification;
}

platform_eventlog *
platform_eventlog_open(const char16_t *, const char16_t *, eventlog_report_fn)
{
    std::lock_guard guard(g_fake.lock);
    if (g_fake.fail_open) {
        g_fake.fail_open = false;
        platform_set_last_error(2);
        return nullptr;
    }
    ++g_fake.opens;
    auto *log = new platform_eventlog;
    log->next = static_cast<std::uint32_t>(g_fake.records.size()) + 1;
    return log;
}

void
platform_eventlog_close(platform_eventlog *log)
{
    delete log;
}

int
platform_eventlog_oldest(platform_eventlog *, std::uint32_t *record_number)
{
    *record_number = 1;
    return 0;
}

int
platform_eventlog_count(platform_eventlog *, std::uint32_t *count)
{
    std::lock_guard guard(g_fake.lock);
    *count = static_cast<std::uint32_t>(g_fake.records.size());
    return 0;
}

int
platform_eventlog_notify(platform_eventlog *, platform_eventlog_notification *notification)
{
    std::lock_guard guard(g_fake.lock);
    notification->registered = true;
    notification->seen = g_fake.generation;
    return 0;
}

int
platform_eventlog_wait(platform_eventlog_notification *notification, unsigned int timeout_ms)
{
    std::unique_lock guard(g_fake.lock);
    auto ready = [&] { return g_fake.ended || g_fake.generation != notification->seen; };
    if (timeout_ms == 0xFFFFFFFFu) {
        g_fake.changed.wait(guard, ready);
    } else if (!g_fake.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), ready)) {
        return 1;
    }
    if (g_fake.ended) {
        platform_set_last_error(6);
        return -1;
    }
    notification->seen = g_fake.generation;
    return 0;
}

int
platform_eventlog_read(platform_eventlog *log, unsigned int flags, std::uint32_t record_number,
                       void *buffer, std::size_t size, std::size_t *bytes_read,
                       std::size_t *bytes_needed)
{
    std::lock_guard guard(g_fake.lock);
    *bytes_read = 0;
    if (g_fake.fail_read != 0) {
        int error = g_fake.fail_read;
        g_fake.fail_read = 0;
        return error;
    }
    std::uint32_t at = (flags & EVENTLOG_SEEK_READ) != 0 ? record_number : log->next;
    if (at == 0 || at > g_fake.records.size() + 1) {
        return EVENTLOG_ERROR_INVALID_PARAMETER;
    }
    auto *out = static_cast<unsigned char *>(buffer);
    std::size_t used = 0;
    while (at <= g_fake.records.size()) {
        const fake_record &r = g_fake.records[at - 1];
        std::size_t units = 0;
        for (const auto &s : r.strings) {
            units += s.size() + 1;
        }
        std::size_t length = (sizeof(eventlog_record) + units * 2 + 3) & ~std::size_t{3};
        if (length > size - used) {
            if (used == 0) {
                if (bytes_needed != nullptr) {
                    *bytes_needed = length;
                }
                return EVENTLOG_ERROR_INSUFFICIENT_BUFFER;
            }
            break;
        }
        eventlog_record header{static_cast<std::uint32_t>(length),
                               at,
                               r.time,
                               r.id,
                               r.type,
                               static_cast<std::uint16_t>(r.strings.size()),
                               static_cast<std::uint32_t>(sizeof(eventlog_record))};
        std::memset(out + used, 0, length);
        std::memcpy(out + used, &header, sizeof header);
        std::size_t s = used + sizeof header;
        for (const auto &text : r.strings) {
            std::memcpy(out + s, text.c_str(), (text.size() + 1) * 2);
            s += (text.size() + 1) * 2;
        }
        used += length;
        ++at;
    }
    log->next = at;
    if (used == 0) {
        return EVENTLOG_ERROR_HANDLE_EOF;
    }
    ++g_fake.reads;
    *bytes_read = used;
    return 0;
}
