// POSIX side of service_host.h: a foreground daemon under a service manager.
//
// Signals are blocked in every thread (the mask is set before the main routine's thread starts
// and is inherited by every thread after it); the dispatching thread alone takes them with
// sigtimedwait and turns them into control requests. Status reports become systemd
// notifications: start pending is a STATUS line, running is READY=1, stop pending is STOPPING=1,
// a stop with an error carries ERRNO=. sd_notify does nothing outside systemd.

#include "platform/service_host.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/posix/utf8_path.h"

struct service_status_handle {
    std::mutex lock;
    service_ctrl_fn handler = nullptr;
    bool failed = false;       // a stop with an error code was reported
    unsigned long state = 0;
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
    struct timespec wait{0, 200 * 1000000L};
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

int
platform_service_set_status(service_status_handle *handle, const service_status *status)
{
    if (handle == nullptr || status == nullptr) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard guard(handle->lock);
    char message[256];
    switch (status->current_state) {
    case SERVICE_START_PENDING:
        if (status->wait_hint > 0) {
            std::snprintf(message, sizeof message, "STATUS=Starting\nEXTEND_TIMEOUT_USEC=%lu",
                          status->wait_hint * 1000UL);
        } else {
            std::snprintf(message, sizeof message, "STATUS=Starting");
        }
        break;
    case SERVICE_RUNNING:
        // A service that has reported a failed stop does not become ready again.
        if (handle->failed) {
            return 0;
        }
        std::snprintf(message, sizeof message, "READY=1\nSTATUS=Running");
        break;
    case SERVICE_STOP_PENDING:
        std::snprintf(message, sizeof message, "STOPPING=1\nSTATUS=Stopping");
        break;
    case SERVICE_STOPPED:
        if (status->win32_exit_code != 0) {
            handle->failed = true;
            std::snprintf(message, sizeof message, "STOPPING=1\nSTATUS=Stopped: error %lu\nERRNO=%lu",
                          status->win32_exit_code, status->win32_exit_code);
        } else {
            std::snprintf(message, sizeof message, "STOPPING=1\nSTATUS=Stopped");
        }
        break;
    default:
        errno = EINVAL;
        return -1;
    }
    handle->state = status->current_state;
    int saved = errno;
    sd_notify(0, message); // < 0 only for a broken socket; = 0 outside systemd
    errno = saved;
    return 0;
}

int
platform_service_exit_status()
{
    std::lock_guard guard(g_handle.lock);
    return g_handle.failed ? 1 : 0;
}
