// event: manual-reset and auto-reset events with time-limited waits, the signalling objects the
// service's threads share (the stop event, wake-ups of worker threads and queues).
//
// Events with the same name are one object: a second event_create with a name already in use
// returns a handle to the existing event (its reset mode and initial state are ignored).
// A handle is valid from event_create until event_close; set, reset and wait may run on any
// thread.
#pragma once

struct event_handle;

constexpr unsigned int EVENT_INFINITE = 0xFFFFFFFFu;

enum : int {
    EVENT_SIGNALED = 0,
    EVENT_TIMEOUT = 1,
    EVENT_FAILED = -1,
};

// Null on failure. name may be null (an unnamed event).
event_handle *event_create(bool manual_reset, bool initially_signaled, const char16_t *name);
int event_set(event_handle *event);   // 0, or -1 for an invalid handle
int event_reset(event_handle *event); // 0, or -1
// Waits up to timeout_ms (EVENT_INFINITE: without limit). An auto-reset event is reset by the
// wait it wakes.
int event_wait(event_handle *event, unsigned int timeout_ms);
int event_close(event_handle *event); // 0, or -1
