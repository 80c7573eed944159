// active_status: whether any registered appliance holds this Collector live.
//
// g_is_active_collector is the sum of the active states (0 not live, 1 live-off, 2 active) of
// every registered appliance, kept by update_active_status() as the states change, with 16-bit
// wrap-around arithmetic. It is written on the appliance request server's thread and read by
// the logoff detector without a lock; a stale read only delays the effect by one pass.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<std::uint16_t> g_is_active_collector;

// Adds new_state minus old_state to the counter and logs it. Returns 0.
int update_active_status(int old_state, int new_state);
