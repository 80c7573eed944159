// POSIX side of service_host.h: a foreground daemon under a service manager.
//
// Signals are blocked in every thread (the mask is set before the main routine's thread starts
// and is inherited by every thread after it); the dispatching thread alone takes them with
// sigtimedwait and turns them into control requests. Status reports become systemd
// notifications: start pending is a STATUS line, running is READY=1, stop pending is STOPPING=1,
// a stop with an error carries ERRNO=. Every STATUS line carries the note, when one is set, after
// the state. sd_notify does nothing outside systemd.

#include "platform/service_host.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "platform/posix/utf8_path.h"

struct service_status_handle {
    std::mutex lock;
    service_ctrl_fn handler = nullptr;
    bool failed = false; // a stop with an error code was reported
    unsigned long state = 0;
    std::string state_text; // the state as the STATUS line names it
    std::string note;       // UTF-8, one line; empty for none
};

namespace {

service_status_handle g_handle;
std::atomic<bool> g_main_returned{false};

} // namespace

int
platform_service_dispatch(const char16_t *name, service_main_fn main_routine)
{
    sigset_t controls;
    sigemptyset(&controls);
    sigaddset(&controls, SIGINT);
    sigaddset(&controls, SIGTERM);
    sigaddset(&controls, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &controls, nullptr) != 0) {
        return -1;
    }
    // A peer that closes a socket must not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    std::u16string service_name = name != nullptr ? name : u"";
    std::thread service;
    try {
        service = std::thread([&service_name, main_routine] {
            char16_t *argv[2] = {service_name.data(), nullptr};
            main_routine(1, argv);
            g_main_returned.store(true);
        });
    } catch (const std::system_error &e) {
        errno = e.code().value();
        return -1;
    }

    // Bounded by the main routine: once it has returned, the loop ends within one wait.
    struct timespec wait {
        0, 200 * 1000000L
    };
    while (!g_main_returned.load()) {
        int sig = sigtimedwait(&controls, nullptr, &wait);
        if (sig < 0) {
            continue;
        }
        unsigned long control = sig == SIGINT    ? SERVICE_CONTROL_STOP
                                : sig == SIGTERM ? SERVICE_CONTROL_SHUTDOWN
                                                 : SERVICE_CONTROL_INTERROGATE;
        service_ctrl_fn handler;
        {
            std::lock_guard guard(g_handle.lock);
            handler = g_handle.handler;
        }
        if (handler != nullptr) {
            handler(control);
        }
    }
    service.join();
    return 0;
}

service_status_handle *
platform_service_register(const char16_t *name, service_ctrl_fn handler)
{
    (void)name;
    std::lock_guard guard(g_handle.lock);
    g_handle.handler = handler;
    return &g_handle;
}

namespace {

// Sends the fields (each ending in a newline) and the STATUS line: the state's text, then the
// note after a semicolon. Call with the handle's lock held.
void
notify_status(const service_status_handle *handle, const std::string &fields)
{
    std::string message = fields + "STATUS=" + handle->state_text;
    if (!handle->note.empty()) {
        message += "; " + handle->note;
    }
    int saved = errno;
    sd_notify(0, message.c_str()); // < 0 only for a broken socket; = 0 outside systemd
    errno = saved;
}

} // namespace

int
platform_service_set_status(service_status_handle *handle, const service_status *status)
{
    if (handle == nullptr || status == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard guard(handle->lock);
    char fields[128] = "";
    const char *text;
    switch (status->current_state) {
    case SERVICE_START_PENDING:
        if (status->wait_hint > 0) {
            std::snprintf(fields, sizeof fields, "EXTEND_TIMEOUT_USEC=%lu\n",
                          status->wait_hint * 1000UL);
        }
        text = "Starting";
        break;
    case SERVICE_RUNNING:
        // A service that has reported a failed stop does not become ready again.
        if (handle->failed) {
            return 0;
        }
        std::snprintf(fields, sizeof fields, "READY=1\n");
        text = "Running";
        break;
    case SERVICE_STOP_PENDING:
        std::snprintf(fields, sizeof fields, "STOPPING=1\n");
        text = "Stopping";
        break;
    case SERVICE_STOPPED:
        if (status->win32_exit_code != 0) {
            handle->failed = true;
            std::snprintf(fields, sizeof fields, "STOPPING=1\nERRNO=%lu\n",
                          status->win32_exit_code);
        } else {
            std::snprintf(fields, sizeof fields, "STOPPING=1\n");
        }
        text = "Stopped";
        break;
    default:
        errno = EINVAL;
        return -1;
    }
    handle->state = status->current_state;
    try {
        handle->state_text = text;
        if (status->current_state == SERVICE_STOPPED && status->win32_exit_code != 0) {
            handle->state_text += ": error " + std::to_string(status->win32_exit_code);
        }
        notify_status(handle, fields);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

int
platform_service_set_status_text(service_status_handle *handle, const char16_t *text)
{
    if (handle == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard guard(handle->lock);
    try {
        // One line: a line break would start another field of the notification.
        handle->note = posix::to_utf8(text);
        for (char &c : handle->note) {
            if (c == '\n' || c == '\r') {
                c = ' ';
            }
        }
        if (handle->state != 0) {
            notify_status(handle, "");
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return -1;
    }
    return 0;
}

int
platform_service_exit_status()
{
    std::lock_guard guard(g_handle.lock);
    return g_handle.failed ? 1 : 0;
}
