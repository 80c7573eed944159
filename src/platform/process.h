// process: child processes with a hard time limit, for helper programs and for the tests that
// drive the real service.
//
// A platform_process belongs to whoever started it; platform_process_close() kills a child that
// is still running and reaps it. One thread at a time per process object.
#pragma once

#include <cstddef>

struct platform_process;

struct platform_process_options {
    const char *const *argv;    // program path and arguments, null-terminated; UTF-8
    const char *const *env_set; // "NAME=value" entries added to the environment, null-terminated
    const char *stdin_path;     // file for standard input, or null for an empty input
    const char *stdout_path;    // file that receives standard output, or null to discard it
    const char *stderr_path;    // file that receives standard error, or null to discard it
};

// Starts the program; null on failure (last error set).
platform_process *platform_process_start(const platform_process_options &options);

// Waits up to timeout_ms for the child to end. 0: it ended and *status holds its exit status
// (128 + the signal number after a signal); 1: still running; -1: failure.
int platform_process_wait(platform_process *process, unsigned int timeout_ms, int *status);

enum : int {
    PLATFORM_SIGNAL_STOP = 1,      // SIGTERM
    PLATFORM_SIGNAL_INTERRUPT = 2, // SIGINT
    PLATFORM_SIGNAL_KILL = 3,      // SIGKILL
};
int platform_process_signal(platform_process *process, int which);

// Kills the child if it still runs, reaps it and releases the object.
void platform_process_close(platform_process *process);

// Runs argv (UTF-8, null-terminated) to its end with input as its standard input (an anonymous
// in-memory file, never a named file or an argument) and captures its standard output into
// out (capacity bytes). The child is killed when it runs longer than timeout_ms or writes more
// than capacity bytes. When err is not null, the last err_capacity bytes (at most) of its
// standard error land there (*err_size); otherwise standard error is discarded.
// 0: it ended by itself; *out_size holds the bytes written and *status its exit status.
// 1: it was killed (time limit or too much output). -1: it could not be run (last error set).
int platform_process_run_captured(const char *const *argv, const char *input,
                                  std::size_t input_size, char *out, std::size_t capacity,
                                  std::size_t *out_size, unsigned int timeout_ms, int *status,
                                  char *err = nullptr, std::size_t err_capacity = 0,
                                  std::size_t *err_size = nullptr);
