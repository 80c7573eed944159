// system: the operating system's process-wide services that the portable core needs: the last
// error and its message text, the system's version, the base directory, thread ids, the local
// clock and its date and time texts, the debugger output channel, and sleeping.
//
// Every function may be called from any thread. Texts are UTF-16; capacities count UTF-16 units
// with the terminator.
#pragma once

#include <cstddef>
#include <cstdint>

// The character that joins a directory and a file name.
extern const char16_t platform_path_separator;

// The calling thread's last error (errno on POSIX, GetLastError on Windows).
int platform_last_error();
void platform_set_last_error(int code);

// The system's message text for an error code, without a trailing line break. Always terminated;
// returns the units written without the terminator.
std::size_t platform_error_text(int code, char16_t *out, std::size_t capacity);

// The error code reported for a start-up that failed without a platform error of its own.
int platform_error_startup_failed();

// The operating system's version as a Windows server reports it to a program without a
// compatibility manifest. Returns 0, or -1 with the last error set.
int platform_os_version(unsigned long *major, unsigned long *minor);

// The base directory: the directory named by the environment variable NIVO_HOME when it is set
// and not empty, otherwise the directory of the running executable. Returns 0, or -1 when the
// path is unknown or does not fit (the buffer then holds an empty text).
int platform_base_directory(char16_t *out, std::size_t capacity);

// The calling thread's id as the system numbers it.
unsigned long platform_thread_id();

// The local wall clock, broken down.
struct platform_clock {
    int year;
    int month; // 1 to 12
    int day;
    int hour;
    int minute;
    int second;
};
void platform_local_clock(platform_clock *now);

// The date in the user's short date format and the time in the user's time format (the locale
// of the environment). Always terminated; return the units written without the terminator.
std::size_t platform_short_date_text(const platform_clock &when, char16_t *out,
                                     std::size_t capacity);
std::size_t platform_time_text(const platform_clock &when, char16_t *out, std::size_t capacity);

// Writes a text to the debugger output channel (standard error where there is no debugger).
void platform_debug_output(const char16_t *text);

void platform_sleep_ms(unsigned int milliseconds);

// Raises the number of descriptors (files and sockets) the process may hold open to the most the
// system allows it, and writes that number to *limit: 0, or -1 (*limit then holds the limit as
// it stands, 0 when even that is unknown). Where the system sets no such per-process number,
// *limit is SIZE_MAX.
int platform_raise_descriptor_limit(std::size_t *limit);
