// active_status: whether any appliance holds this Collector live.
//
// Every change of an appliance's active state (0 not live, 1 live-off, 2 active) is reported
// through update_active_status(), which adds the difference to g_is_active_collector; the
// counter is thus the sum of all appliances' states, and 0 means this Collector is passive for
// every one of them. Written by the request server's thread, read by the logoff detector without
// a lock: a stale read only delays the effect by one pass.
#pragma once

#include <atomic>
#include <cstdint>

// Sum of the active states of all registered appliances (16-bit wrap-around).
extern std::atomic<std::uint16_t> g_is_active_collector;

// Adds new_state - old_state to the counter and logs the result at level 5. Returns 0.
int update_active_status(std::uint16_t old_state, std::uint16_t new_state);
