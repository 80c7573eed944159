// service_host: the host that runs the service's main routine and delivers control requests to
// its handler, and the status reports.
//
// platform_service_dispatch() is called once from the process entry before any other thread
// exists. It runs the main routine on a thread of its own and, on its own thread, hands control
// requests to the registered handler until the main routine returns.
//
// On POSIX the process runs in the foreground under a service manager: SIGINT is the stop
// control, SIGTERM the shutdown control (a service manager sends it for both), SIGHUP asks for
// the status (interrogate). Status reports and the note go to systemd's notification socket
// when there is one.
#pragma once

using service_main_fn = void (*)(unsigned long argc, char16_t **argv);
using service_ctrl_fn = void (*)(unsigned long control);

// Control codes.
enum : unsigned long {
    SERVICE_CONTROL_STOP = 1,
    SERVICE_CONTROL_INTERROGATE = 4,
    SERVICE_CONTROL_SHUTDOWN = 5,
};

// States.
enum : unsigned long {
    SERVICE_STOPPED = 1,
    SERVICE_START_PENDING = 2,
    SERVICE_STOP_PENDING = 3,
    SERVICE_RUNNING = 4,
};

enum : unsigned long {
    SERVICE_WIN32_OWN_PROCESS = 16,
    SERVICE_ACCEPT_STOP = 1,
    SERVICE_ACCEPT_SHUTDOWN = 4,
};

// The status record, field for field as the service manager receives it.
struct service_status {
    unsigned long service_type;
    unsigned long current_state;
    unsigned long controls_accepted;
    unsigned long win32_exit_code;
    unsigned long service_specific_exit_code;
    unsigned long check_point;
    unsigned long wait_hint;
};

struct service_status_handle;

// Runs the service: returns 0 after the main routine has returned, or -1 with the last error set
// when this process cannot run as a service.
int platform_service_dispatch(const char16_t *name, service_main_fn main_routine);

// Registers the control handler; returns the handle for the status reports (null on failure).
service_status_handle *platform_service_register(const char16_t *name, service_ctrl_fn handler);

// Sends a status report: 0, or -1 with the last error set.
int platform_service_set_status(service_status_handle *handle, const service_status *status);

// Sets the note that the service manager shows beside the state, for a fault the service lives
// with (logons it cannot store): it stays with every later status report until it is replaced.
// Null or empty clears it. UTF-16 text of one line. 0, or -1 with the last error set.
int platform_service_set_status_text(service_status_handle *handle, const char16_t *text);

// The exit status for the process entry: 0 after a clean stop, non-zero when the service
// reported a stop with an error code.
int platform_service_exit_status();
