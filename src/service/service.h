// service: the service's main routine and control handler, the status reports, the start-up
// sequence and the stop. This is the only module that knows the order in which the others start.
//
// Service_Main runs on the thread the service host gives it; Service_Ctrl on the host's
// dispatching thread. nivo_init runs before any other thread of the program exists.
#pragma once

// The service's main routine: start pending, nivo_init, running, the maintenance loop until the
// stop event, nivo_shutdown, stopped.
void Service_Main(unsigned long argc, char16_t **argv);

// The control handler: stop and shutdown signal the stop event; every code reports a status.
void Service_Ctrl(unsigned long control);

// Sends a status report; returns the host's result (0, or -1 after the error report).
int SetTheServiceStatus(unsigned long state, unsigned long win32_exit_code,
                        unsigned long check_point, unsigned long wait_hint);

// Reports a failed platform call (label such as "CreateEvent()"): debugger output, stop event,
// stopped with the last error.
void Service_ErrorReport(const char16_t *label);

// Starts every configured part in order: 0, or -1 on the first failure.
int nivo_init();

// Once a second: the log size check. Returns 0.
int nivo_maintenance();

void nivo_shutdown();

// The process entry's work: runs the service under the platform's host; returns the process's
// exit status.
int service_run();
