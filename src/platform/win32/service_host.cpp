// Windows side of service_host.h: the service control manager, or a console run.
//
// Under the service control manager the dispatcher runs the main routine on a thread it creates
// and delivers controls on the thread that called platform_service_dispatch(). The status
// record goes to SetServiceStatus field for field.
//
// With "--console" among the process's arguments the same main routine runs in the foreground
// without the service control manager, on a thread of its own: Ctrl-C and Ctrl-Break are the
// stop control, closing the console, logoff and shutdown the shutdown control, and every status
// report is printed to standard error as one line.
//
// Windows shows no note beside a service's state. The note is written to the debugger output
// when it is set, and again with every later status report (console runs print it on the status
// line), so that whoever watches the service sees it with the state it belongs to. The service's
// configuration (its description) is left alone: it outlives the process and the fault.

#include "platform/service_host.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/win32/win32_text.h"

struct service_status_handle {
    std::mutex lock;
    SERVICE_STATUS_HANDLE scm = nullptr; // null in a console run
    service_ctrl_fn handler = nullptr;
    bool failed = false; // a stop with an error code was reported
    std::wstring note;
};

namespace {

struct service_host {
    service_status_handle handle;
    service_main_fn main_routine = nullptr;
    std::wstring name;
    bool console = false;
    // Set when the main routine has returned: the dispatcher returns as soon as a stop is
    // reported, while the main routine may still be cleaning up.
    HANDLE main_done = nullptr;
    std::atomic<bool> main_started{false};
};

service_host g_host;

const wchar_t *
state_name(unsigned long state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return L"STOPPED";
    case SERVICE_START_PENDING:
        return L"START_PENDING";
    case SERVICE_STOP_PENDING:
        return L"STOP_PENDING";
    case SERVICE_RUNNING:
        return L"RUNNING";
    default:
        return L"UNKNOWN";
    }
}

// Whether the process's arguments ask for a console run.
bool
console_requested()
{
    std::vector<std::string> arguments;
    try {
        if (!win32::split_command_line(GetCommandLineW(), &arguments)) {
            return false;
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == "--console") {
            return true;
        }
    }
    return false;
}

void
run_main_routine(DWORD argc, wchar_t **argv)
{
    g_host.main_started.store(true);
    g_host.main_routine(argc, reinterpret_cast<char16_t **>(argv));
    SetEvent(g_host.main_done);
}

void WINAPI
service_main_entry(DWORD argc, LPWSTR *argv)
{
    run_main_routine(argc, argv);
}

void
deliver_control(unsigned long control)
{
    service_ctrl_fn handler;
    {
        std::lock_guard guard(g_host.handle.lock);
        handler = g_host.handle.handler;
    }
    if (handler != nullptr) {
        handler(control);
    }
}

DWORD WINAPI
service_ctrl_entry(DWORD control, DWORD type, void *data, void *context)
{
    (void)type;
    (void)data;
    (void)context;
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    case SERVICE_CONTROL_INTERROGATE:
        deliver_control(control);
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Runs on a thread the system creates for each console event.
BOOL WINAPI
console_ctrl_entry(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        deliver_control(SERVICE_CONTROL_STOP);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        deliver_control(SERVICE_CONTROL_SHUTDOWN);
        // The process ends when this returns: give the main routine the few seconds the
        // system allows to finish its stop.
        WaitForSingleObject(g_host.main_done, 4500);
        return TRUE;
    default:
        return FALSE;
    }
}

// Writes one line to standard error, whole, in UTF-8.
void
write_stderr_line(const std::wstring &line)
{
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) {
        return;
    }
    std::string text = win32::wide_to_utf8(line.c_str());
    DWORD written = 0;
    WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// The state report as a person reads it. Call with the handle's lock held.
std::wstring
describe(const service_status_handle *handle, const service_status *status)
{
    std::wstring line = g_host.name + L": " + state_name(status->current_state) + L" (exit code " +
                        std::to_wstring(status->win32_exit_code) + L", service exit code " +
                        std::to_wstring(status->service_specific_exit_code) + L")";
    if (!handle->note.empty()) {
        line += L"; " + handle->note;
    }
    line += L"\n";
    return line;
}

int
dispatch_console()
{
    // A process started in a group of its own begins with Ctrl-C ignored; here it is a control.
    SetConsoleCtrlHandler(nullptr, FALSE);
    if (!SetConsoleCtrlHandler(console_ctrl_entry, TRUE)) {
        return -1;
    }
    std::thread service;
    try {
        service = std::thread([] {
            wchar_t *argv[2] = {g_host.name.data(), nullptr};
            run_main_routine(1, argv);
        });
    } catch (const std::system_error &e) {
        SetConsoleCtrlHandler(console_ctrl_entry, FALSE);
        SetLastError(static_cast<DWORD>(e.code().value()));
        return -1;
    }
    service.join();
    SetConsoleCtrlHandler(console_ctrl_entry, FALSE);
    return 0;
}

} // namespace

int
platform_service_dispatch(const char16_t *name, service_main_fn main_routine)
{
    if (main_routine == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    try {
        g_host.name = name != nullptr ? win32::wide(name) : L"";
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    g_host.main_routine = main_routine;
    g_host.main_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_host.main_done == nullptr) {
        return -1;
    }
    g_host.console = console_requested();
    if (g_host.console) {
        return dispatch_console();
    }
    SERVICE_TABLE_ENTRYW table[2] = {{g_host.name.data(), service_main_entry}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        return -1; // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when not started as a service
    }
    // The dispatcher returns once the stop is reported; the main routine may still be
    // finishing.
    if (g_host.main_started.load()) {
        WaitForSingleObject(g_host.main_done, INFINITE);
    }
    return 0;
}

service_status_handle *
platform_service_register(const char16_t *name, service_ctrl_fn handler)
{
    service_status_handle *handle = &g_host.handle;
    if (g_host.console) {
        std::lock_guard guard(handle->lock);
        handle->handler = handler;
        return handle;
    }
    {
        // Set before the registration: a control may arrive as soon as it is done.
        std::lock_guard guard(handle->lock);
        handle->handler = handler;
    }
    SERVICE_STATUS_HANDLE scm = RegisterServiceCtrlHandlerExW(
        name != nullptr ? win32::wide(name) : g_host.name.c_str(), service_ctrl_entry, nullptr);
    if (scm == nullptr) {
        return nullptr;
    }
    std::lock_guard guard(handle->lock);
    handle->scm = scm;
    return handle;
}

int
platform_service_set_status(service_status_handle *handle, const service_status *status)
{
    if (handle == nullptr || status == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::lock_guard guard(handle->lock);
    // After a failed stop the service manager has the error; a later report (the running
    // state a failed start-up still reports, and the final stop without a code) would show
    // the failed service running, or erase its error.
    if (handle->failed) {
        return 0;
    }
    std::wstring line;
    try {
        line = describe(handle, status);
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    if (g_host.console) {
        write_stderr_line(line);
    } else {
        SERVICE_STATUS record{};
        record.dwServiceType = status->service_type;
        record.dwCurrentState = status->current_state;
        record.dwControlsAccepted = status->controls_accepted;
        record.dwWin32ExitCode = status->win32_exit_code;
        record.dwServiceSpecificExitCode = status->service_specific_exit_code;
        record.dwCheckPoint = status->check_point;
        record.dwWaitHint = status->wait_hint;
        if (!SetServiceStatus(handle->scm, &record)) {
            return -1;
        }
        if (!handle->note.empty()) {
            DWORD saved = GetLastError();
            OutputDebugStringW(line.c_str());
            SetLastError(saved);
        }
    }
    if (status->current_state == SERVICE_STOPPED && status->win32_exit_code != 0) {
        handle->failed = true;
    }
    return 0;
}

int
platform_service_set_status_text(service_status_handle *handle, const char16_t *text)
{
    if (handle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::lock_guard guard(handle->lock);
    try {
        handle->note = text != nullptr ? win32::wide(text) : L"";
        // One line: it is printed on the status line.
        for (wchar_t &c : handle->note) {
            if (c == L'\n' || c == L'\r') {
                c = L' ';
            }
        }
        if (!handle->note.empty()) {
            std::wstring line = g_host.name + L": " + handle->note + L"\n";
            DWORD saved = GetLastError();
            if (g_host.console) {
                write_stderr_line(line);
            } else {
                OutputDebugStringW(line.c_str());
            }
            SetLastError(saved);
        }
    } catch (const std::bad_alloc &) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    return 0;
}

int
platform_service_exit_status()
{
    std::lock_guard guard(g_host.handle.lock);
    return g_host.handle.failed ? 1 : 0;
}
