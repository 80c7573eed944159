// The poll flag shared by the poll jobs, start-up and the HA backup: one word, stored and loaded
// without a lock.

#include <atomic>

#include "common/log.h"
#include "dca/dca_ha.h"

namespace {
std::atomic<int> g_poll_dc{1};
} // namespace

int
dca_get_poll_dc()
{
    return g_poll_dc.load(std::memory_order_relaxed);
}

void
dca_set_poll_dc(int value)
{
    g_poll_dc.store(value, std::memory_order_relaxed);
    log_write(LOG_DEBUG, u"dca_set_poll_dc: g_poll_dc set to %d\n", value);
}
