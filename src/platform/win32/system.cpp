// Windows side of system.h.

#include "platform/system.h"

#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <new>
#include <string>

#include "platform/win32/win32_text.h"

const char16_t platform_path_separator = u'\\';

namespace {

using win32::wide;

// Copies n units and a terminator when they fit; otherwise leaves an empty text. Returns the
// units copied, or SIZE_MAX when they did not fit.
std::size_t
copy_units(const wchar_t *text, std::size_t n, char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return SIZE_MAX;
    }
    if (n + 1 > capacity) {
        out[0] = 0;
        return SIZE_MAX;
    }
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<char16_t>(text[i]);
    }
    out[n] = 0;
    return n;
}

SYSTEMTIME
to_systemtime(const platform_clock &when)
{
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(when.year);
    t.wMonth = static_cast<WORD>(when.month);
    t.wDay = static_cast<WORD>(when.day);
    t.wHour = static_cast<WORD>(when.hour);
    t.wMinute = static_cast<WORD>(when.minute);
    t.wSecond = static_cast<WORD>(when.second);
    return t;
}

} // namespace

int
platform_last_error()
{
    return static_cast<int>(GetLastError());
}

void
platform_set_last_error(int code)
{
    SetLastError(static_cast<DWORD>(code));
}

std::size_t
platform_error_text(int code, char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    out[0] = 0;
    DWORD saved = GetLastError();
    DWORD size = capacity > 0xFFFF ? 0xFFFF : static_cast<DWORD>(capacity);
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(code), 0, wide(out), size, nullptr);
    SetLastError(saved);
    if (n == 0 || n >= capacity) {
        out[0] = 0; // unknown code, or a text that did not fit
        return 0;
    }
    // The system's texts end in a line break (CR LF), sometimes after a blank.
    while (n > 0 && (out[n - 1] == u'\r' || out[n - 1] == u'\n' || out[n - 1] == u' ')) {
        --n;
    }
    out[n] = 0;
    return n;
}

int
platform_error_startup_failed()
{
    // The equivalent of the POSIX side's ECANCELED. The status record's service-specific exit
    // code is always 0, so ERROR_SERVICE_SPECIFIC_ERROR would point the reader at nothing.
    return ERROR_CANCELLED;
}

int
platform_os_version(unsigned long *major, unsigned long *minor)
{
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    // Deprecated for programs with a compatibility manifest; this program has none, which is
    // what the header asks for.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    BOOL ok = GetVersionExW(&info);
#pragma GCC diagnostic pop
    if (!ok) {
        return -1;
    }
    *major = info.dwMajorVersion;
    *minor = info.dwMinorVersion;
    return 0;
}

int
platform_base_directory(char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return -1;
    }
    out[0] = 0;
    const wchar_t *home = _wgetenv(L"NIVO_HOME");
    if (home != nullptr && home[0] != 0) {
        std::size_t n = std::wcslen(home);
        // A trailing separator would double the one the callers put between directory and
        // file; a drive root ("C:\") keeps its own.
        while (n > 1 && (home[n - 1] == L'\\' || home[n - 1] == L'/') &&
               !(n == 3 && home[1] == L':')) {
            --n;
        }
        if (copy_units(home, n, out, capacity) == SIZE_MAX) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return -1;
        }
        return 0;
    }
    // Long paths reach 32767 units; the caller's buffer decides what fits.
    std::wstring buffer;
    try {
        buffer.resize(32768);
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    const wchar_t *path = buffer.data();
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), 32768);
    if (n == 0) {
        return -1;
    }
    if (n >= 32768) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    std::size_t cut = n;
    while (cut > 0 && path[cut - 1] != L'\\') {
        --cut;
    }
    if (cut == 0) {
        SetLastError(ERROR_BAD_PATHNAME);
        return -1;
    }
    --cut; // the directory without its last backslash
    if (cut == 0 || copy_units(path, cut, out, capacity) == SIZE_MAX) {
        out[0] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    return 0;
}

unsigned long
platform_thread_id()
{
    return GetCurrentThreadId();
}

void
platform_local_clock(platform_clock *now)
{
    SYSTEMTIME t{};
    GetLocalTime(&t);
    now->year = t.wYear;
    now->month = t.wMonth;
    now->day = t.wDay;
    now->hour = t.wHour;
    now->minute = t.wMinute;
    now->second = t.wSecond;
}

std::size_t
platform_short_date_text(const platform_clock &when, char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    SYSTEMTIME t = to_systemtime(when);
    int size = capacity > 0x7FFF ? 0x7FFF : static_cast<int>(capacity);
    DWORD saved = GetLastError();
    int n = GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &t, nullptr, wide(out), size);
    SetLastError(saved);
    if (n <= 0) {
        out[0] = 0; // an invalid date, or a text that does not fit
        return 0;
    }
    return static_cast<std::size_t>(n - 1); // the count includes the terminator
}

std::size_t
platform_time_text(const platform_clock &when, char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return 0;
    }
    SYSTEMTIME t = to_systemtime(when);
    int size = capacity > 0x7FFF ? 0x7FFF : static_cast<int>(capacity);
    DWORD saved = GetLastError();
    int n = GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &t, nullptr, wide(out), size);
    SetLastError(saved);
    if (n <= 0) {
        out[0] = 0;
        return 0;
    }
    return static_cast<std::size_t>(n - 1);
}

void
platform_debug_output(const char16_t *text)
{
    if (text == nullptr) {
        return;
    }
    DWORD saved = GetLastError(); // the caller's last error survives the debug output
    OutputDebugStringW(wide(text));
    // A run in a console (nivo.exe --console, the tools) shows it on standard error as well; a
    // service has no standard error.
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err != nullptr && err != INVALID_HANDLE_VALUE) {
        std::size_t units = std::char_traits<char16_t>::length(text);
        int bytes = units > INT_MAX / 4
                        ? 0
                        : WideCharToMultiByte(CP_UTF8, 0, wide(text), static_cast<int>(units),
                                              nullptr, 0, nullptr, nullptr);
        if (bytes > 0) {
            std::string utf8(static_cast<std::size_t>(bytes), '\0');
            WideCharToMultiByte(CP_UTF8, 0, wide(text), static_cast<int>(units), utf8.data(), bytes,
                                nullptr, nullptr);
            DWORD written = 0;
            WriteFile(err, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
        }
    }
    SetLastError(saved);
}

void
platform_sleep_ms(unsigned int milliseconds)
{
    Sleep(milliseconds);
}

int
platform_raise_descriptor_limit(std::size_t *limit)
{
    // Windows sets no per-process count of handles or sockets to raise.
    *limit = SIZE_MAX;
    return 0;
}
