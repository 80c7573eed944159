// Windows side of process.h.
//
// Every child starts suspended, is put into a job object of its own that kills its processes
// when the job's last handle closes, and only then runs: whatever it starts itself stays in the
// job, so closing the object (or a time-out) ends the child and its children together.
//
// Children lead a process group of their own, so that a console control event (CTRL_BREAK) can
// be sent to them alone; Windows has no other way to ask a console program to stop. Both the
// stop and the interrupt request are sent as CTRL_BREAK (CTRL_C cannot be aimed at one group),
// which works when the child shares this process's console; a process without a console cannot
// signal (ERROR_INVALID_ACCESS). A kill ends the child with exit
// code 137, the status the POSIX side reports after SIGKILL (128 + 9).
//
// Only the standard handles meant for the child are inherited (an explicit handle list), so
// that a child started on one thread never holds pipes or files opened on another.

#include "platform/process.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

#include "platform/win32/win32_text.h"

struct platform_process {
    HANDLE process;
    HANDLE job; // null when the job could not be joined (nested jobs before Windows 8)
    bool exited;
    int status;
};

namespace {

constexpr DWORD KILLED_EXIT_CODE = 128 + 9;

// Closes a handle once; null and INVALID_HANDLE_VALUE are no handles.
void
close_handle(HANDLE *handle)
{
    if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) {
        CloseHandle(*handle);
    }
    *handle = nullptr;
}

struct handle_closer {
    HANDLE handle = nullptr;
    ~handle_closer()
    {
        close_handle(&handle);
    }
};

// Opens a file the child inherits as one of its standard handles; null path: the null device.
HANDLE
open_inheritable(const char *path, bool output)
{
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    std::wstring name = path != nullptr ? win32::utf8_to_wide(path) : std::wstring(L"NUL");
    return CreateFileW(name.c_str(), output ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                       output && path != nullptr ? CREATE_ALWAYS : OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The environment block for the child: this process's environment with the entries of env_set
// added or replaced (names compare without regard to case, as Windows does). An empty block
// when nothing is to be set: the child then inherits the environment as it is.
std::wstring
environment_block(const char *const *env_set)
{
    std::wstring block;
    if (env_set == nullptr || env_set[0] == nullptr) {
        return block;
    }
    std::vector<std::wstring> added;
    for (const char *const *s = env_set; *s != nullptr; ++s) {
        added.push_back(win32::utf8_to_wide(*s));
    }
    wchar_t *current = GetEnvironmentStringsW();
    for (const wchar_t *e = current; e != nullptr && *e != 0; e += std::wcslen(e) + 1) {
        // "=C:=C:\dir" entries hold the current directories of drives; their names start after
        // the first character.
        const wchar_t *eq = std::wcschr(e + 1, L'=');
        std::size_t n = eq != nullptr ? static_cast<std::size_t>(eq - e) + 1 : 0;
        bool replaced = false;
        for (const std::wstring &a : added) {
            if (n > 0 && a.size() >= n && _wcsnicmp(a.c_str(), e, n) == 0) {
                replaced = true;
                break;
            }
        }
        if (!replaced) {
            block.append(e);
            block += L'\0';
        }
    }
    if (current != nullptr) {
        FreeEnvironmentStringsW(current);
    }
    for (const std::wstring &a : added) {
        block += a;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

// Starts the command line with the three standard handles, inside a new job. On success the
// process runs and *process, *job hold its handles (*job may be null, see platform_process).
bool
create_child(std::wstring command, const std::wstring &environment, HANDLE in, HANDLE out,
             HANDLE err, HANDLE *process, HANDLE *job)
{
    HANDLE handles[3] = {in, out, err};
    DWORD count = err == out ? 2 : 3;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<unsigned char> storage;
    try {
        storage.resize(size);
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) {
        return false;
    }
    bool ok = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                        count * sizeof(HANDLE), nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = in;
    startup.StartupInfo.hStdOutput = out;
    startup.StartupInfo.hStdError = err;
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION info{};
    DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_NEW_PROCESS_GROUP |
                  EXTENDED_STARTUPINFO_PRESENT;
    ok = ok &&
         CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, flags,
                        environment.empty() ? nullptr : const_cast<wchar_t *>(environment.data()),
                        nullptr, &startup.StartupInfo, &info);
    DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    if (!ok) {
        SetLastError(error);
        return false;
    }

    *job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (*job == nullptr ||
        !SetInformationJobObject(*job, JobObjectExtendedLimitInformation, &limits, sizeof limits) ||
        !AssignProcessToJobObject(*job, info.hProcess)) {
        // Only a job this process sits in that forbids nesting gets here; the child then
        // runs on its own, and a kill reaches the child alone.
        close_handle(job);
    }
    if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
        error = GetLastError();
        TerminateProcess(info.hProcess, KILLED_EXIT_CODE);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
        close_handle(job);
        SetLastError(error);
        return false;
    }
    CloseHandle(info.hThread);
    *process = info.hProcess;
    return true;
}

// Ends the child and everything in its job, and waits until the child is gone.
void
kill_child(HANDLE process, HANDLE job)
{
    if (job != nullptr) {
        TerminateJobObject(job, KILLED_EXIT_CODE);
    }
    TerminateProcess(process, KILLED_EXIT_CODE);
    WaitForSingleObject(process, INFINITE);
}

int
exit_code(HANDLE process, int *status)
{
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code)) {
        return -1;
    }
    *status = static_cast<int>(code);
    return 0;
}

} // namespace

platform_process *
platform_process_start(const platform_process_options &options)
{
    if (options.argv == nullptr || options.argv[0] == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        std::wstring command = win32::command_line(options.argv);
        std::wstring environment = environment_block(options.env_set);
        handle_closer in{open_inheritable(options.stdin_path, false)};
        if (in.handle == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
        handle_closer out{open_inheritable(options.stdout_path, true)};
        if (out.handle == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
        handle_closer err{open_inheritable(options.stderr_path, true)};
        if (err.handle == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
        auto *child = new platform_process{nullptr, nullptr, false, 0};
        if (!create_child(std::move(command), environment, in.handle, out.handle, err.handle,
                          &child->process, &child->job)) {
            delete child; // NOLINT: never handed out
            return nullptr;
        }
        return child;
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

int
platform_process_wait(platform_process *process, unsigned int timeout_ms, int *status)
{
    if (!process->exited) {
        DWORD done = WaitForSingleObject(process->process, timeout_ms);
        if (done == WAIT_TIMEOUT) {
            return 1;
        }
        if (done != WAIT_OBJECT_0 || exit_code(process->process, &process->status) != 0) {
            return -1;
        }
        process->exited = true;
    }
    if (status != nullptr) {
        *status = process->status;
    }
    return 0;
}

int
platform_process_signal(platform_process *process, int which)
{
    if (process->exited || WaitForSingleObject(process->process, 0) == WAIT_OBJECT_0) {
        SetLastError(ERROR_PROCESS_ABORTED); // nothing left to signal
        return -1;
    }
    if (which == PLATFORM_SIGNAL_KILL) {
        return TerminateProcess(process->process, KILLED_EXIT_CODE) ? 0 : -1;
    }
    // The child leads its own group, whose id is the child's process id.
    DWORD group = GetProcessId(process->process);
    if (group == 0) {
        return -1;
    }
    if (GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, group)) {
        return 0;
    }
    // Some console hosts (wine's among them) deliver only CTRL_C, and then to the group named.
    // Where CTRL_BREAK fails for want of a console, CTRL_C fails the same way.
    if (GetLastError() == ERROR_INVALID_HANDLE && GenerateConsoleCtrlEvent(CTRL_C_EVENT, group)) {
        return 0;
    }
    return -1;
}

void
platform_process_close(platform_process *process)
{
    if (process == nullptr) {
        return;
    }
    if (!process->exited) {
        kill_child(process->process, process->job);
    }
    // Closing the job ends what the child left running.
    close_handle(&process->job);
    close_handle(&process->process);
    delete process; // NOLINT: the object's only owner
}

namespace {

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

// One pipe end served by a thread of its own: the child's input written, or its output or
// error read. The thread owns nothing; run_captured joins it before the buffers go away.
struct pipe_worker {
    HANDLE pipe = nullptr;
    HANDLE thread = nullptr;
    HANDLE overflow = nullptr; // set by the output reader when the output outgrows its buffer
    const char *input = nullptr;
    std::size_t input_size = 0;
    char *buffer = nullptr;
    std::size_t capacity = 0;
    std::size_t size = 0;
    bool tail = false; // keep the last bytes instead of failing on too many

    ~pipe_worker()
    {
        close_handle(&thread);
        close_handle(&pipe);
    }
};

DWORD WINAPI
write_input(void *argument)
{
    auto *worker = static_cast<pipe_worker *>(argument);
    const char *p = worker->input;
    std::size_t left = worker->input_size;
    while (left > 0) {
        DWORD chunk = left > 65536 ? 65536 : static_cast<DWORD>(left);
        DWORD done = 0;
        if (!WriteFile(worker->pipe, p, chunk, &done, nullptr) || done == 0) {
            break; // the child closed its input or ended: the rest is not wanted
        }
        p += done;
        left -= done;
    }
    close_handle(&worker->pipe); // the end of the input
    return 0;
}

DWORD WINAPI
read_output(void *argument)
{
    auto *worker = static_cast<pipe_worker *>(argument);
    char chunk[4096];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(worker->pipe, chunk, sizeof chunk, &n, nullptr) || n == 0) {
            return 0; // every writer has closed its end, or the read was cancelled
        }
        if (worker->tail) {
            keep_tail(worker->buffer, worker->capacity, &worker->size, chunk, n);
            continue;
        }
        // More than any honest answer: the caller kills the child.
        if (worker->size + n > worker->capacity) {
            SetEvent(worker->overflow);
            return 0;
        }
        std::memcpy(worker->buffer + worker->size, chunk, n);
        worker->size += n;
    }
}

bool
start_worker(pipe_worker *worker, LPTHREAD_START_ROUTINE routine)
{
    worker->thread = CreateThread(nullptr, 0, routine, worker, 0, nullptr);
    return worker->thread != nullptr;
}

// A pipe whose child end is inheritable and whose own end is not.
bool
open_pipe(HANDLE *own, HANDLE *child, bool child_reads)
{
    HANDLE reader = nullptr;
    HANDLE writer = nullptr;
    if (!CreatePipe(&reader, &writer, nullptr, 0)) {
        return false;
    }
    *own = child_reads ? writer : reader;
    *child = child_reads ? reader : writer;
    return SetHandleInformation(*child, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT) != 0;
}

// Waits until the thread has ended; a thread still blocked in a read or write after the child
// and its job were killed (a pipe end held outside the job) has its call cancelled.
void
join_worker(pipe_worker *worker)
{
    if (worker->thread == nullptr) {
        return;
    }
    if (WaitForSingleObject(worker->thread, 2000) != WAIT_OBJECT_0) {
        while (WaitForSingleObject(worker->thread, 100) == WAIT_TIMEOUT) {
            CancelSynchronousIo(worker->thread);
        }
    }
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
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    ULONGLONG deadline = GetTickCount64() + timeout_ms;
    std::wstring command;
    try {
        command = win32::command_line(argv);
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }

    pipe_worker writer;
    writer.input = input;
    writer.input_size = input != nullptr ? input_size : 0;
    pipe_worker reader;
    reader.buffer = out;
    reader.capacity = capacity;
    pipe_worker err_reader;
    err_reader.buffer = err;
    err_reader.capacity = err_capacity;
    err_reader.tail = true;
    handle_closer overflow{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    reader.overflow = overflow.handle;
    handle_closer child_in;
    handle_closer child_out;
    handle_closer child_err;
    if (overflow.handle == nullptr || !open_pipe(&writer.pipe, &child_in.handle, true) ||
        !open_pipe(&reader.pipe, &child_out.handle, false)) {
        return -1;
    }
    if (err != nullptr) {
        if (!open_pipe(&err_reader.pipe, &child_err.handle, false)) {
            return -1;
        }
    } else {
        child_err.handle = open_inheritable(nullptr, true);
        if (child_err.handle == INVALID_HANDLE_VALUE) {
            return -1;
        }
    }

    handle_closer process;
    handle_closer job;
    if (!create_child(std::move(command), std::wstring(), child_in.handle, child_out.handle,
                      child_err.handle, &process.handle, &job.handle)) {
        return -1;
    }
    // The pipes end when the child (and whatever inherited them from it) closes its ends.
    close_handle(&child_in.handle);
    close_handle(&child_out.handle);
    close_handle(&child_err.handle);

    bool started = start_worker(&writer, write_input) && start_worker(&reader, read_output) &&
                   (err == nullptr || start_worker(&err_reader, read_output));
    DWORD start_error = GetLastError();

    // Until the child has exited and both streams have ended, or the output overflowed, or the
    // time is up.
    // waits[0] is the overflow sign; the others are removed as they finish.
    bool killed = !started;
    HANDLE waits[4] = {overflow.handle, process.handle, reader.thread, err_reader.thread};
    DWORD count = !started ? 1 : err_reader.thread != nullptr ? 4 : 3;
    while (count > 1) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            killed = true;
            break;
        }
        DWORD done =
            WaitForMultipleObjects(count, waits, FALSE, static_cast<DWORD>(deadline - now));
        if (done == WAIT_OBJECT_0) {
            killed = true; // the output outgrew its buffer
            break;
        }
        if (done > WAIT_OBJECT_0 && done < WAIT_OBJECT_0 + count) {
            waits[done - WAIT_OBJECT_0] = waits[count - 1];
            --count;
        } else if (done != WAIT_TIMEOUT) {
            killed = true; // a failed wait: end the child rather than leave it running
            break;
        }
    }
    if (killed) {
        kill_child(process.handle, job.handle);
    }
    // Closing the job ends what the child left running, and with it the pipes' last writers.
    close_handle(&job.handle);
    join_worker(&writer);
    join_worker(&reader);
    join_worker(&err_reader);
    *out_size = reader.size;
    if (err_size != nullptr) {
        *err_size = err_reader.size;
    }
    if (!started) {
        SetLastError(start_error);
        return -1;
    }
    if (killed) {
        *status = static_cast<int>(KILLED_EXIT_CODE);
        return 1;
    }
    return exit_code(process.handle, status);
}
