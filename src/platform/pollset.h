// pollset: one thread's wait on many sockets at once, for readability.
//
// platform_pollset_create() makes an empty set; sockets are added and removed while they are
// open (remove before close); platform_pollset_wait() blocks until at least one socket of the set
// is readable, has been closed by its peer or has failed, or until the time limit passes. A set
// belongs to one thread: all calls on it come from that thread. Failures return -1 and leave the
// error in platform_socket_error().
#pragma once

#include <cstddef>

#include "platform/socket.h"

struct platform_pollset;

// A new empty set, or nullptr.
platform_pollset *platform_pollset_create();
void platform_pollset_destroy(platform_pollset *set);

// Watches s for readability: 0, or -1 (also when s is in the set already).
int platform_pollset_add(platform_pollset *set, platform_socket_t s);
// Stops watching s: 0, or -1 when it is not in the set.
int platform_pollset_remove(platform_pollset *set, platform_socket_t s);

// Waits at most timeout_ms milliseconds and writes up to capacity ready sockets to ready: their
// count (0 when the time passed), or -1. A socket whose peer closed or which failed counts as
// ready: its next receive tells which.
int platform_pollset_wait(platform_pollset *set, platform_socket_t *ready, std::size_t capacity,
                          int timeout_ms);
