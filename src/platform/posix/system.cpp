// POSIX side of system.h.

#include "platform/system.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <locale.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>

#include "platform/posix/utf8_path.h"

const char16_t platform_path_separator = u'/';

int
platform_last_error()
{
    return errno;
}

void
platform_set_last_error(int code)
{
    errno = code;
}

std::size_t
platform_error_text(int code, char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    char buffer[256];
    // The GNU strerror_r returns its text, which need not be in the buffer.
    const char *text = strerror_r(code, buffer, sizeof buffer);
    std::size_t n = posix::from_utf8(text, std::strlen(text), out, capacity);
    return n == SIZE_MAX ? 0 : n;
}

int
platform_error_startup_failed()
{
    return ECANCELED;
}

int
platform_os_version(unsigned long *major, unsigned long *minor)
{
    // The portable core's version checks were written for Windows. A current Windows server
    // reports 6.2 to a program without a compatibility manifest, and so does this system: every
    // check then takes the branch it takes on a current server.
    *major = 6;
    *minor = 2;
    return 0;
}

int
platform_base_directory(char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return -1;
    }
    out[0] = 0;
    const char *home = std::getenv("NIVO_HOME");
    std::string path;
    if (home != nullptr && home[0] != 0) {
        path = home;
        while (path.size() > 1 && path.back() == '/') {
            path.pop_back();
        }
    } else {
        char buffer[4096];
        ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buffer) {
            return -1;
        }
        path.assign(buffer, static_cast<std::size_t>(n));
        std::size_t slash = path.rfind('/');
        if (slash == std::string::npos) {
            return -1;
        }
        path.resize(slash == 0 ? 1 : slash);
    }
    if (path.empty()) {
        return -1;
    }
    std::size_t n = posix::from_utf8(path.data(), path.size(), out, capacity);
    if (n == SIZE_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

unsigned long
platform_thread_id()
{
    // Asked for on every log line: the id never changes for a thread, so one system call each.
    thread_local const unsigned long id = static_cast<unsigned long>(syscall(SYS_gettid));
    return id;
}

void
platform_local_clock(platform_clock *now)
{
    // Asked for on every log line: each thread converts a second only once.
    thread_local std::time_t converted = -1;
    thread_local platform_clock clock{};
    std::time_t t = std::time(nullptr);
    if (t != converted) {
        struct tm parts {};
        localtime_r(&t, &parts);
        clock.year = parts.tm_year + 1900;
        clock.month = parts.tm_mon + 1;
        clock.day = parts.tm_mday;
        clock.hour = parts.tm_hour;
        clock.minute = parts.tm_min;
        clock.second = parts.tm_sec;
        converted = t;
    }
    *now = clock;
}

namespace {

// The time locale of the environment (LC_ALL, LC_TIME, LANG), read once; the process itself
// stays in the "C" locale.
locale_t
environment_time_locale()
{
    static std::once_flag once;
    static locale_t locale = nullptr;
    std::call_once(once, [] {
        locale = newlocale(LC_TIME_MASK, "", nullptr);
        if (locale == nullptr) {
            locale = newlocale(LC_TIME_MASK, "C", nullptr);
        }
    });
    return locale;
}

std::size_t
format_clock(const platform_clock &when, bool date, char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    struct tm parts {};
    parts.tm_year = when.year - 1900;
    parts.tm_mon = when.month - 1;
    parts.tm_mday = when.day;
    parts.tm_hour = when.hour;
    parts.tm_min = when.minute;
    parts.tm_sec = when.second;
    parts.tm_isdst = -1;
    char buffer[128];
    locale_t locale = environment_time_locale();
    std::size_t n;
    if (locale != nullptr) {
        n = date ? strftime_l(buffer, sizeof buffer, "%x", &parts, locale)
                 : strftime_l(buffer, sizeof buffer, "%X", &parts, locale);
    } else {
        n = date ? std::strftime(buffer, sizeof buffer, "%m/%d/%Y", &parts)
                 : std::strftime(buffer, sizeof buffer, "%H:%M:%S", &parts);
    }
    std::size_t written = posix::from_utf8(buffer, n, out, capacity);
    return written == SIZE_MAX ? 0 : written;
}

} // namespace

std::size_t
platform_short_date_text(const platform_clock &when, char16_t *out, std::size_t capacity)
{
    return format_clock(when, true, out, capacity);
}

std::size_t
platform_time_text(const platform_clock &when, char16_t *out, std::size_t capacity)
{
    return format_clock(when, false, out, capacity);
}

void
platform_debug_output(const char16_t *text)
{
    std::string line = posix::to_utf8(text);
    int saved = errno; // the caller's last error survives the debug output
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    errno = saved;
}

void
platform_sleep_ms(unsigned int milliseconds)
{
    struct timespec left {
        static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L
    };
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

int
platform_raise_descriptor_limit(std::size_t *limit)
{
    rlimit now{};
    if (getrlimit(RLIMIT_NOFILE, &now) != 0) {
        *limit = 0;
        return -1;
    }
    auto as_size = [](rlim_t value) {
        return value == RLIM_INFINITY || value > SIZE_MAX ? SIZE_MAX
                                                          : static_cast<std::size_t>(value);
    };
    if (now.rlim_cur == now.rlim_max) {
        *limit = as_size(now.rlim_cur);
        return 0;
    }
    // The hard limit is the most an unprivileged process may ask for.
    rlimit raised = now;
    raised.rlim_cur = now.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
        *limit = as_size(now.rlim_cur);
        return -1;
    }
    *limit = as_size(raised.rlim_cur);
    return 0;
}
