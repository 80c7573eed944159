// POSIX side of eventlog.h: the authentication events of a Samba domain controller, read from
// its JSON audit log (one object per line, see audit_line.h).
//
// Record numbers are line numbers: the first line of the file that was found at open is record
// 1. Only complete lines (ended by a line break) are records; a line still being written waits
// for its end. When the log is rotated (the path names another file, or the file was cut
// shorter than what was read), the rest of the old file is read first and numbering goes on
// in the new file, so numbers stay stable for the life of the handle.
//
// The change notification is inotify on the log's directory, filtered by the log's file name,
// so that a log created or replaced under the same name is noticed as well. A directory that
// takes the place of the watched one is watched instead; removing the directory for good ends
// the watch: the wait then fails.

#include "platform/eventlog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <new>
#include <poll.h>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/audit_line.h"
#include "platform/posix/utf8_path.h"

namespace {

constexpr const char *DEFAULT_SOURCE = "/var/log/samba/auth_json.log";
// The read window: larger than the longest line the parser takes, so that any acceptable line
// is found whole in one window.
constexpr std::size_t WINDOW = 4 * posix::AUDIT_LINE_MAX;

} // namespace

const bool platform_eventlog_has_source_file = true;

struct platform_eventlog_notification {
    int fd = -1;
    int dir_watch = -1;
    std::string name;      // the log's file name inside the watched directory
    std::string directory; // the watched directory
    dev_t dir_dev = 0;     // and the directory that is watched under that path
    ino_t dir_ino = 0;
    bool gone = false; // the directory was removed: after the last change, waits fail
};

struct platform_eventlog {
    std::string path;
    std::string directory;
    std::string name;
    eventlog_report_fn report = nullptr;

    int fd = -1; // the current file, or -1 while it does not exist
    dev_t dev = 0;
    ino_t ino = 0;
    std::uint32_t base = 1;        // record number of the current file's first line
    std::uint32_t next_record = 1; // record number of the line at offset
    off_t offset = 0;              // where the next unread line starts

    std::vector<char> window; // file bytes from window_offset on
    off_t window_offset = 0;
    std::size_t window_length = 0;
};

namespace {

void
report(platform_eventlog *log, std::uint32_t record, const char *why)
{
    if (log->report == nullptr) {
        return;
    }
    char text[512];
    std::snprintf(text, sizeof text, "platform_eventlog_read: record %u of '%s' skipped: %s\n",
                  static_cast<unsigned>(record), log->path.c_str(), why);
    log->report(text);
}

void
forget_window(platform_eventlog *log)
{
    log->window_offset = 0;
    log->window_length = 0;
}

// Opens the file at the log's path as the current file; false when it does not exist.
bool
open_current(platform_eventlog *log)
{
    int fd = open(log->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        return false;
    }
    if (log->fd >= 0) {
        close(log->fd);
    }
    log->fd = fd;
    log->dev = st.st_dev;
    log->ino = st.st_ino;
    log->offset = 0;
    forget_window(log);
    return true;
}

// Reads the file from offset on into the window. The bytes read, or -1 on a read error.
long long
fill_window(platform_eventlog *log, off_t offset)
{
    ssize_t n = pread(log->fd, log->window.data(), WINDOW, offset);
    if (n < 0) {
        forget_window(log);
        return -1;
    }
    log->window_offset = offset;
    log->window_length = static_cast<std::size_t>(n);
    return n;
}

enum line_result { LINE_OK, LINE_TOO_LONG, LINE_NONE, LINE_ERROR };

// The complete line at the log's offset: its bytes (without the line break) in *data and
// *length and the offset behind it in *after. LINE_TOO_LONG for a complete line longer than
// the window (*after set), LINE_NONE when no complete line is there yet.
line_result
line_at(platform_eventlog *log, const char **data, std::size_t *length, off_t *after)
{
    if (log->fd < 0) {
        return LINE_NONE;
    }
    // Complete lines never change, so a line found whole in the window is good; anything
    // else is read again, since the file may have grown.
    const char *start = nullptr;
    const char *end = nullptr;
    long long available = 0;
    if (log->offset >= log->window_offset &&
        log->offset < log->window_offset + static_cast<off_t>(log->window_length)) {
        start = log->window.data() + (log->offset - log->window_offset);
        available = static_cast<long long>(log->window_length) - (log->offset - log->window_offset);
        end = static_cast<const char *>(
            std::memchr(start, '\n', static_cast<std::size_t>(available)));
    }
    if (end == nullptr) {
        available = fill_window(log, log->offset);
        if (available < 0) {
            return LINE_ERROR;
        }
        start = log->window.data();
        end = static_cast<const char *>(
            std::memchr(start, '\n', static_cast<std::size_t>(available)));
    }
    if (end != nullptr) {
        *data = start;
        *length = static_cast<std::size_t>(end - start);
        *after = log->offset + (end - start) + 1;
        return LINE_OK;
    }
    if (static_cast<std::size_t>(available) < WINDOW) {
        return LINE_NONE;
    }
    // Longer than the window: find its end without keeping it.
    std::vector<char> chunk(WINDOW);
    off_t at = log->offset + static_cast<off_t>(available);
    for (;;) {
        ssize_t n = pread(log->fd, chunk.data(), chunk.size(), at);
        if (n < 0) {
            return LINE_ERROR;
        }
        if (n == 0) {
            return LINE_NONE;
        }
        const char *nl =
            static_cast<const char *>(std::memchr(chunk.data(), '\n', static_cast<size_t>(n)));
        if (nl != nullptr) {
            *after = at + (nl - chunk.data()) + 1;
            return LINE_TOO_LONG;
        }
        at += n;
    }
}

// At the end of the current file: moves to the file that now has the log's name when the log
// was rotated or cut. true when reading should go on in another file.
bool
follow_rotation(platform_eventlog *log)
{
    struct stat st {};
    if (stat(log->path.c_str(), &st) != 0) {
        return false; // moved away and not yet created again: keep the old file
    }
    if (log->fd < 0) {
        if (!open_current(log)) {
            return false;
        }
        log->base = log->next_record;
        return true;
    }
    bool replaced = st.st_dev != log->dev || st.st_ino != log->ino;
    bool cut = !replaced && st.st_size < log->offset;
    if (!replaced && !cut) {
        return false;
    }
    if (replaced) {
        // A line left unfinished in the old file will never be finished.
        struct stat old {};
        if (fstat(log->fd, &old) == 0 && old.st_size > log->offset) {
            report(log, log->next_record, "the line was cut off when the log was rotated");
            ++log->next_record;
        }
    }
    if (!open_current(log)) {
        return false;
    }
    log->base = log->next_record;
    return true;
}

// Writes one record into out (capacity bytes). The record's size; more than capacity when it
// does not fit (nothing written then).
std::size_t
build_record(std::uint32_t number, const posix::audit_event &event, unsigned char *out,
             std::size_t capacity)
{
    std::u16string strings[posix::AUDIT_MAX_STRINGS];
    std::size_t units = 0;
    for (std::size_t i = 0; i < event.num_strings; ++i) {
        char16_t buffer[posix::AUDIT_FIELD_MAX + 1];
        const std::string &text = event.strings[i];
        std::size_t n = posix::from_utf8(text.data(), text.size(), buffer, std::size(buffer));
        if (n == SIZE_MAX) {
            n = 0;
            buffer[0] = 0;
        }
        strings[i].assign(buffer, n);
        units += n + 1;
    }
    std::size_t size = sizeof(eventlog_record) + units * sizeof(char16_t);
    size = (size + 3) & ~static_cast<std::size_t>(3);
    if (size > capacity) {
        return size;
    }
    eventlog_record header{};
    header.length = static_cast<std::uint32_t>(size);
    header.record_number = number;
    header.time_generated = event.time_generated;
    header.event_id = event.event_id;
    header.event_type = event.event_type;
    header.num_strings = event.num_strings;
    header.string_offset = sizeof(eventlog_record);
    std::memset(out, 0, size);
    std::memcpy(out, &header, sizeof header);
    unsigned char *at = out + sizeof header;
    for (std::size_t i = 0; i < event.num_strings; ++i) {
        std::size_t bytes = (strings[i].size() + 1) * sizeof(char16_t);
        std::memcpy(at, strings[i].c_str(), bytes);
        at += bytes;
    }
    return size;
}

// Skips complete lines until the line at offset has the number record. 0, or an
// EVENTLOG_ERROR_*.
int
seek_record(platform_eventlog *log, std::uint32_t record)
{
    if (record < log->base) {
        return EVENTLOG_ERROR_INVALID_PARAMETER;
    }
    if (record < log->next_record) {
        log->offset = 0;
        log->next_record = log->base;
    }
    while (log->next_record < record) {
        const char *data;
        std::size_t length;
        off_t after = 0;
        line_result r = line_at(log, &data, &length, &after);
        if (r == LINE_ERROR) {
            return EVENTLOG_ERROR_READ_FAULT;
        }
        if (r == LINE_NONE) {
            return EVENTLOG_ERROR_INVALID_PARAMETER;
        }
        log->offset = after;
        ++log->next_record;
    }
    return 0;
}

} // namespace

platform_eventlog_notification *
platform_eventlog_notification_create()
{
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    auto *notification = new (std::nothrow) platform_eventlog_notification;
    if (notification == nullptr) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    notification->fd = fd;
    return notification;
}

void
platform_eventlog_notification_close(platform_eventlog_notification *notification)
{
    if (notification == nullptr) {
        return;
    }
    close(notification->fd);
    delete notification;
}

platform_eventlog *
platform_eventlog_open(const char16_t *log_name, const char16_t *source, eventlog_report_fn report)
{
    (void)log_name; // a domain controller writes only one audit log
    auto *log = new (std::nothrow) platform_eventlog;
    if (log == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    log->path = source != nullptr && source[0] != 0 ? posix::to_utf8(source) : DEFAULT_SOURCE;
    std::size_t slash = log->path.rfind('/');
    log->directory = slash == std::string::npos ? "."
                     : slash == 0               ? "/"
                                                : log->path.substr(0, slash);
    log->name = slash == std::string::npos ? log->path : log->path.substr(slash + 1);
    log->report = report;
    try {
        log->window.resize(WINDOW);
    } catch (const std::bad_alloc &) {
        delete log;
        errno = ENOMEM;
        return nullptr;
    }

    struct stat st {};
    if (log->name.empty() || stat(log->directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        int saved = log->name.empty() ? EINVAL : errno;
        delete log;
        errno = saved;
        return nullptr;
    }
    if (!open_current(log) && errno != ENOENT) {
        int saved = errno;
        delete log;
        errno = saved;
        return nullptr;
    }
    // Count the complete lines that are there now; reading starts behind the last one.
    if (log->fd >= 0) {
        off_t position = 0;
        for (;;) {
            ssize_t n = pread(log->fd, log->window.data(), WINDOW, position);
            if (n < 0) {
                int saved = errno;
                platform_eventlog_close(log);
                errno = saved;
                return nullptr;
            }
            if (n == 0) {
                break;
            }
            const char *start = log->window.data();
            for (ssize_t i = 0; i < n; ++i) {
                if (start[i] == '\n') {
                    ++log->next_record;
                    log->offset = position + i + 1;
                }
            }
            position += n;
        }
        forget_window(log);
    }
    return log;
}

void
platform_eventlog_close(platform_eventlog *log)
{
    if (log == nullptr) {
        return;
    }
    if (log->fd >= 0) {
        close(log->fd);
    }
    delete log;
}

int
platform_eventlog_oldest(platform_eventlog *log, std::uint32_t *record_number)
{
    if (log == nullptr || record_number == nullptr) {
        errno = EINVAL;
        return -1;
    }
    *record_number = log->base;
    return 0;
}

int
platform_eventlog_count(platform_eventlog *log, std::uint32_t *count)
{
    if (log == nullptr || count == nullptr) {
        errno = EINVAL;
        return -1;
    }
    *count = log->next_record - log->base;
    return 0;
}

namespace {

constexpr std::uint32_t WATCH_MASK = IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_MOVED_FROM |
                                     IN_DELETE | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF |
                                     IN_ONLYDIR;

// Compares the directory now at the watched path with the one watched: 0 the same one, 1 a new
// directory took its place (it is watched from now on), -1 there is none any longer.
int
recheck_directory(platform_eventlog_notification *notification)
{
    struct stat st {};
    if (stat(notification->directory.c_str(), &st) != 0) {
        return errno == ENOENT || errno == ENOTDIR ? -1 : 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        return -1;
    }
    if (st.st_dev == notification->dir_dev && st.st_ino == notification->dir_ino) {
        return 0;
    }
    int wd = inotify_add_watch(notification->fd, notification->directory.c_str(), WATCH_MASK);
    if (wd < 0) {
        return -1;
    }
    if (wd != notification->dir_watch) {
        inotify_rm_watch(notification->fd, notification->dir_watch); // may be gone already
    }
    notification->dir_watch = wd;
    notification->dir_dev = st.st_dev;
    notification->dir_ino = st.st_ino;
    return 1;
}

} // namespace

int
platform_eventlog_notify(platform_eventlog *log, platform_eventlog_notification *notification)
{
    if (log == nullptr || notification == nullptr) {
        errno = EINVAL;
        return -1;
    }
    struct stat st {};
    if (stat(log->directory.c_str(), &st) != 0) {
        return -1;
    }
    int wd = inotify_add_watch(notification->fd, log->directory.c_str(), WATCH_MASK);
    if (wd < 0) {
        return -1;
    }
    notification->dir_watch = wd;
    notification->dir_dev = st.st_dev;
    notification->dir_ino = st.st_ino;
    notification->name = log->name;
    notification->directory = log->directory;
    return 0;
}

namespace {

// What is left of a wait of timeout_ms that began at start, in milliseconds (0 when none is
// left); -1 for the endless wait (0xFFFFFFFF).
int
remaining_ms(const timespec &start, unsigned int timeout_ms)
{
    if (timeout_ms == 0xFFFFFFFFu) {
        return -1;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    long long spent =
        (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000LL;
    return spent >= timeout_ms ? 0 : static_cast<int>(timeout_ms - spent);
}

// Reads every queued event: the notification resets itself with this wait. Sets *moved when
// the watched directory went away or was moved; true when the log's file name changed.
bool
drain_events(platform_eventlog_notification *notification, bool *moved)
{
    bool signalled = false;
    alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
    for (;;) {
        ssize_t n = read(notification->fd, buffer, sizeof buffer);
        if (n <= 0) {
            return signalled;
        }
        for (char *at = buffer; at < buffer + n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(at);
            if (event->wd == notification->dir_watch) {
                if ((event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT)) !=
                    0) {
                    *moved = true;
                } else if (event->len > 0 && notification->name == event->name) {
                    signalled = true;
                }
            }
            at += sizeof(inotify_event) + event->len;
        }
    }
}

// The queued events: true when the log changed or a new directory took the watched one's
// place. A directory gone for good marks the notification gone, after the changes seen with it
// are told: a reader takes what was written before it learns that the log is gone.
bool
read_changes(platform_eventlog_notification *notification)
{
    bool moved = false;
    bool signalled = drain_events(notification, &moved);
    if (moved) {
        int now_there = recheck_directory(notification);
        if (now_there < 0) {
            notification->gone = true;
        } else if (now_there > 0) {
            signalled = true;
        }
    }
    return signalled;
}

} // namespace

int
platform_eventlog_wait(platform_eventlog_notification *notification, unsigned int timeout_ms)
{
    if (notification == nullptr || notification->dir_watch < 0) {
        errno = EINVAL;
        return -1;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (notification->gone) {
            errno = ENOENT;
            return -1;
        }
        int wait_ms = remaining_ms(start, timeout_ms);
        // The directory's own removal is told by inotify only once nothing holds it open (our
        // open log file does), so the directory is also looked at once a second; one that
        // took the old one's place is watched instead.
        int directory = recheck_directory(notification);
        if (directory < 0) {
            notification->gone = true;
            continue;
        }
        if (directory > 0) {
            return 0;
        }
        bool slice = wait_ms < 0 || wait_ms > 1000;
        pollfd p{notification->fd, POLLIN, 0};
        int ready = poll(&p, 1, slice ? 1000 : wait_ms);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (ready == 0) {
            if (slice) {
                continue;
            }
            return 1;
        }
        if (read_changes(notification)) {
            return 0;
        }
    }
}

int
platform_eventlog_read(platform_eventlog *log, unsigned int flags, std::uint32_t record_number,
                       void *buffer, std::size_t size, std::size_t *bytes_read,
                       std::size_t *bytes_needed)
{
    if (log == nullptr || buffer == nullptr || bytes_read == nullptr ||
        ((flags & EVENTLOG_SEEK_READ) != 0) == ((flags & EVENTLOG_SEQUENTIAL_READ) != 0) ||
        (flags & EVENTLOG_FORWARDS_READ) == 0) {
        return EVENTLOG_ERROR_INVALID_PARAMETER;
    }
    *bytes_read = 0;
    if (bytes_needed != nullptr) {
        *bytes_needed = 0;
    }
    if ((flags & EVENTLOG_SEEK_READ) != 0) {
        int rc = seek_record(log, record_number);
        if (rc == EVENTLOG_ERROR_INVALID_PARAMETER && record_number >= log->base &&
            follow_rotation(log)) {
            // The record may lie in a file that replaced this one.
            rc = seek_record(log, record_number);
        }
        if (rc != 0) {
            return rc;
        }
    }

    auto *out = static_cast<unsigned char *>(buffer);
    std::size_t used = 0;
    for (;;) {
        const char *data = nullptr;
        std::size_t length = 0;
        off_t after = 0;
        line_result r = line_at(log, &data, &length, &after);
        if (r == LINE_ERROR) {
            return used > 0 ? 0 : EVENTLOG_ERROR_READ_FAULT;
        }
        if (r == LINE_NONE) {
            if (follow_rotation(log)) {
                continue;
            }
            break;
        }
        if (r == LINE_TOO_LONG) {
            report(log, log->next_record, "the line is too long");
            log->offset = after;
            ++log->next_record;
            continue;
        }
        if (length > 0 && data[length - 1] == '\r') {
            --length;
        }
        posix::audit_event event;
        const char *why = nullptr;
        if (length == 0) {
            // An empty line is a record without an event.
            event.event_type = EVENTLOG_INFORMATION_TYPE;
        } else if (posix::audit_line_parse(data, length, &event, &why) != 0) {
            report(log, log->next_record, why);
            log->offset = after;
            ++log->next_record;
            continue;
        }
        std::size_t need = build_record(log->next_record, event, out + used, size - used);
        if (need > size - used) {
            if (used == 0) {
                if (bytes_needed != nullptr) {
                    *bytes_needed = need;
                }
                return EVENTLOG_ERROR_INSUFFICIENT_BUFFER;
            }
            break;
        }
        used += need;
        log->offset = after;
        ++log->next_record;
    }
    *bytes_read = used;
    return used > 0 ? 0 : EVENTLOG_ERROR_HANDLE_EOF;
}
