// The active-status counter.

#include "logoff/active_status.h"

#include "common/log.h"

std::atomic<std::uint16_t> g_is_active_collector{0};

int
update_active_status(std::uint16_t old_state, std::uint16_t new_state)
{
    // Unsigned 16-bit arithmetic: a fall below the old value wraps, as the sum of states does.
    auto delta = static_cast<std::uint16_t>(new_state - old_state);
    std::uint16_t now = static_cast<std::uint16_t>(g_is_active_collector.fetch_add(delta) + delta);
    log_write(LOG_DEBUG, u"update_active_status: g_is_active_collector:%d", now);
    return 0;
}
