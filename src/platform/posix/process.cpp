// POSIX side of process.h, on posix_spawn.

#include "platform/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <new>
#include <string>
#include <vector>

extern char **environ;

struct platform_process {
    pid_t pid;
    bool reaped;
    int status;
};

namespace {

int
add_redirect(posix_spawn_file_actions_t *actions, int fd, const char *path, int flags)
{
    return posix_spawn_file_actions_addopen(actions, fd, path != nullptr ? path : "/dev/null",
                                            flags, 0640);
}

// The child starts with no blocked signals, whatever the caller's mask, and SIGPIPE at its
// default action; with own_group it leads a process group of its own.
void
init_spawn_attributes(posix_spawnattr_t *attributes, bool own_group)
{
    posix_spawnattr_init(attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(attributes, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(attributes, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
        posix_spawnattr_setpgroup(attributes, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(attributes, flags);
}

// The exit status of a reaped child: 128 + the signal number after a signal.
int
exit_status(int raw)
{
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : 255;
}

} // namespace

platform_process *
platform_process_start(const platform_process_options &options)
{
    if (options.argv == nullptr || options.argv[0] == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::vector<std::string> names;
    std::vector<char *> env;
    for (char **e = environ; *e != nullptr; ++e) {
        bool replaced = false;
        for (const char *const *s = options.env_set; s != nullptr && *s != nullptr; ++s) {
            const char *eq = std::strchr(*s, '=');
            std::size_t n = eq != nullptr ? static_cast<std::size_t>(eq - *s) + 1 : 0;
            if (n > 0 && std::strncmp(*e, *s, n) == 0) {
                replaced = true;
            }
        }
        if (!replaced) {
            env.push_back(*e);
        }
    }
    for (const char *const *s = options.env_set; s != nullptr && *s != nullptr; ++s) {
        env.push_back(const_cast<char *>(*s));
    }
    env.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    add_redirect(&actions, STDIN_FILENO, options.stdin_path, O_RDONLY);
    add_redirect(&actions, STDOUT_FILENO, options.stdout_path, O_WRONLY | O_CREAT | O_TRUNC);
    add_redirect(&actions, STDERR_FILENO, options.stderr_path, O_WRONLY | O_CREAT | O_TRUNC);

    posix_spawnattr_t attributes;
    init_spawn_attributes(&attributes, false);

    pid_t pid = -1;
    int rc = posix_spawn(&pid, options.argv[0], &actions, &attributes,
                         const_cast<char *const *>(options.argv), env.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        errno = rc;
        return nullptr;
    }
    auto *process = new (std::nothrow) platform_process{pid, false, 0};
    if (process == nullptr) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        errno = ENOMEM;
    }
    return process;
}

int
platform_process_wait(platform_process *process, unsigned int timeout_ms, int *status)
{
    // Polls in steps of 10 ms: bounded by the time limit, and free of SIGCHLD handling.
    unsigned int waited = 0;
    for (;;) {
        if (!process->reaped) {
            int raw = 0;
            pid_t done = waitpid(process->pid, &raw, WNOHANG);
            if (done < 0 && errno != EINTR) {
                return -1;
            }
            if (done == process->pid) {
                process->reaped = true;
                process->status = exit_status(raw);
            }
        }
        if (process->reaped) {
            if (status != nullptr) {
                *status = process->status;
            }
            return 0;
        }
        if (waited >= timeout_ms) {
            return 1;
        }
        struct timespec step {
            0, 10 * 1000000L
        };
        nanosleep(&step, nullptr);
        waited += 10;
    }
}

int
platform_process_signal(platform_process *process, int which)
{
    if (process->reaped) {
        errno = ESRCH;
        return -1;
    }
    int sig = which == PLATFORM_SIGNAL_KILL        ? SIGKILL
              : which == PLATFORM_SIGNAL_INTERRUPT ? SIGINT
                                                   : SIGTERM;
    return kill(process->pid, sig) == 0 ? 0 : -1;
}

void
platform_process_close(platform_process *process)
{
    if (process == nullptr) {
        return;
    }
    if (!process->reaped) {
        kill(process->pid, SIGKILL);
        int raw;
        while (waitpid(process->pid, &raw, 0) < 0 && errno == EINTR) {
        }
    }
    delete process; // the object's only owner
}

namespace {

struct fd_closer {
    int fd = -1;
    ~fd_closer()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
};

void
close_fd(fd_closer *file)
{
    if (file->fd >= 0) {
        close(file->fd);
        file->fd = -1;
    }
}

long long
monotonic_ms()
{
    struct timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Keeps the last capacity bytes of a stream in buffer.
void
keep_tail(char *buffer, std::size_t capacity, std::size_t *size, const char *chunk, std::size_t n)
{
    if (capacity == 0) {
        return;
    }
    if (n >= capacity) {
        std::memcpy(buffer, chunk + (n - capacity), capacity);
        *size = capacity;
        return;
    }
    if (*size + n > capacity) {
        std::size_t drop = *size + n - capacity;
        std::memmove(buffer, buffer + drop, *size - drop);
        *size -= drop;
    }
    std::memcpy(buffer + *size, chunk, n);
    *size += n;
}

// The input in anonymous memory, so that a secret in it touches no file system; rewound for the
// child. False on failure (errno set).
bool
write_input_file(const char *input, std::size_t size, fd_closer *file)
{
    file->fd = memfd_create("nivo-input", MFD_CLOEXEC);
    if (file->fd < 0) {
        return false;
    }
    for (std::size_t done = 0; done < size;) {
        ssize_t n = write(file->fd, input + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return lseek(file->fd, 0, SEEK_SET) == 0;
}

bool
open_pipe(fd_closer *reader, fd_closer *writer)
{
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return false;
    }
    reader->fd = pipe_fds[0];
    writer->fd = pipe_fds[1];
    return true;
}

// Starts argv with in, out and err (-1: /dev/null) as its standard streams, leading a group of
// its own, so that a time-out ends the helper's own children too. 0, or -1 (errno set).
int
spawn_captured(const char *const *argv, int in, int out, int err, pid_t *pid)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    if (err >= 0) {
        posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attributes;
    init_spawn_attributes(&attributes, true);
    int rc =
        posix_spawn(pid, argv[0], &actions, &attributes, const_cast<char *const *>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return 0;
}

// The child's standard output (kept whole in out) and, when asked for, its standard error (only
// the tail is kept: it holds the reason of a failure), while they are read.
struct captured_streams {
    fd_closer out_reader;
    fd_closer err_reader;
    char *out = nullptr;
    std::size_t capacity = 0;
    std::size_t *out_size = nullptr;
    char *err = nullptr;
    std::size_t err_capacity = 0;
    std::size_t err_kept = 0;
};

void
read_err_chunk(captured_streams *streams)
{
    char chunk[4096];
    ssize_t n = read(streams->err_reader.fd, chunk, sizeof chunk);
    if (n > 0) {
        keep_tail(streams->err, streams->err_capacity, &streams->err_kept, chunk,
                  static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
        close_fd(&streams->err_reader);
    }
}

// False when the output outgrows its buffer: more than any honest answer.
bool
read_out_chunk(captured_streams *streams)
{
    char chunk[4096];
    ssize_t n = read(streams->out_reader.fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
        return true;
    }
    if (n <= 0) {
        close_fd(&streams->out_reader);
        return true;
    }
    if (*streams->out_size + static_cast<std::size_t>(n) > streams->capacity) {
        return false;
    }
    std::memcpy(streams->out + *streams->out_size, chunk, static_cast<std::size_t>(n));
    *streams->out_size += static_cast<std::size_t>(n);
    return true;
}

// Reads both streams until they have ended. True when the child must be killed: the deadline
// passed or the output outgrew its buffer.
bool
read_streams(captured_streams *streams, long long deadline)
{
    while (streams->out_reader.fd >= 0 || streams->err_reader.fd >= 0) {
        long long left = deadline - monotonic_ms();
        if (left <= 0) {
            return true;
        }
        struct pollfd p[2] = {{streams->out_reader.fd, POLLIN, 0},
                              {streams->err_reader.fd, POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(left)) <= 0) {
            continue; // interrupted, or the deadline check above ends the wait
        }
        if (p[1].revents != 0) {
            read_err_chunk(streams);
        }
        if (p[0].revents != 0 && !read_out_chunk(streams)) {
            return true;
        }
    }
    return false;
}

// The output has ended; the child still gets the rest of its time to exit. 0 it exited
// (*status set), 1 the deadline passed, -1 waitpid failed.
int
wait_for_exit(pid_t pid, long long deadline, int *status)
{
    for (;;) {
        int raw = 0;
        pid_t done = waitpid(pid, &raw, WNOHANG);
        if (done == pid) {
            *status = exit_status(raw);
            return 0;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (monotonic_ms() >= deadline) {
            return 1;
        }
        struct timespec step {
            0, 5 * 1000000L
        };
        nanosleep(&step, nullptr);
    }
}

// Kills the child and its group and reaps it. Returns 1, the result for a killed child.
int
kill_child(pid_t pid, int *status)
{
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    *status = 128 + SIGKILL;
    return 1;
}

} // namespace

int
platform_process_run_captured(const char *const *argv, const char *input, std::size_t input_size,
                              char *out, std::size_t capacity, std::size_t *out_size,
                              unsigned int timeout_ms, int *status, char *err,
                              std::size_t err_capacity, std::size_t *err_size)
{
    *out_size = 0;
    if (err_size != nullptr) {
        *err_size = 0;
    }
    if (argv == nullptr || argv[0] == nullptr) {
        errno = EINVAL;
        return -1;
    }
    captured_streams streams;
    streams.out = out;
    streams.capacity = capacity;
    streams.out_size = out_size;
    streams.err = err;
    streams.err_capacity = err_capacity;
    fd_closer in;
    fd_closer out_writer;
    fd_closer err_writer;
    if (!write_input_file(input, input_size, &in) || !open_pipe(&streams.out_reader, &out_writer) ||
        (err != nullptr && !open_pipe(&streams.err_reader, &err_writer))) {
        return -1;
    }
    pid_t pid = -1;
    if (spawn_captured(argv, in.fd, out_writer.fd, err_writer.fd, &pid) != 0) {
        return -1;
    }
    close_fd(&out_writer);
    close_fd(&err_writer);

    long long deadline = monotonic_ms() + timeout_ms;
    bool killed = read_streams(&streams, deadline);
    if (err_size != nullptr) {
        *err_size = streams.err_kept;
    }
    if (!killed) {
        int exited = wait_for_exit(pid, deadline, status);
        if (exited <= 0) {
            return exited;
        }
    }
    return kill_child(pid, status);
}
