// The active-status counter of the appliance link.

#include "sso/active_status.h"

#include "common/log.h"

std::atomic<std::uint16_t> g_is_active_collector{0};

int
update_active_status(int old_state, int new_state)
{
    // Wraps like the 16-bit counter it is: a decrease below 0 comes back on the next increase.
    std::uint16_t delta = static_cast<std::uint16_t>(new_state - old_state);
    std::uint16_t now = static_cast<std::uint16_t>(g_is_active_collector.fetch_add(delta) + delta);
    log_write(LOG_DEBUG, u"update_active_status: g_is_active_collector:%d", static_cast<int>(now));
    return 0;
}
