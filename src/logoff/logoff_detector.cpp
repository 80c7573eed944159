// The logoff detector's loop.

#include "logoff/logoff_detector.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common/log.h"
#include "common/stop_signal.h"
#include "common/threadpool.h"
#include "config/config.h"
#include "dca/filter/dca_filter.h"
#include "logoff/active_status.h"
#include "logoff/wrkstping.h"
#include "logoff/wrkstpoll.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

// How often a detector that waits for room looks at the pool again: other work frees workers
// without telling the detector; its own checks wake it when they end.
constexpr auto ROOM_RECHECK = std::chrono::milliseconds(10);

struct detector_state {
    stop_signal stop;
    std::mutex lock; // guards running
    std::condition_variable check_ended;
    int running = 0; // checks submitted and not yet ended
};
// Never destroyed: a check may end while the process ends.
detector_state &g_detector = *new detector_state;

threadpool_fn
detector_check_worker()
{
    // Only WORKSTATION-POLL asks the workstation; PING and LDAP both ping.
    return logoff_detector_get_mode() == DETECTION_MODE_WORKSTATION_POLL ? wrkstpoll_dispatch
                                                                         : wrkstping_workerthread;
}

// The pool job of one check: the mode's worker with the record, then counted off.
void
detector_check(void *record)
{
    detector_check_worker()(record);
    {
        std::lock_guard guard(g_detector.lock);
        --g_detector.running;
    }
    g_detector.check_ended.notify_all();
}

// Waits until the next check may go to the pool and counts it as running: at once when none
// is running, otherwise once more than the reserve of workers is free. False on a stop.
bool
reserve_check()
{
    std::unique_lock guard(g_detector.lock);
    bool waited = false;
    while (g_detector.running > 0 && threadpool_free_workers() <= LOGOFF_POOL_RESERVE) {
        if (!waited) {
            log_write(LOG_DEBUG, u"logoff_detector: %d checks running, waiting for a free worker",
                      g_detector.running);
            waited = true;
        }
        g_detector.check_ended.wait_for(guard, ROOM_RECHECK);
        if (g_detector.stop.stopping()) {
            return false;
        }
    }
    ++g_detector.running;
    return true;
}

void
unreserve_check()
{
    {
        std::lock_guard guard(g_detector.lock);
        --g_detector.running;
    }
    g_detector.check_ended.notify_all();
}

} // namespace

void
logoff_detector_stop()
{
    g_detector.stop.stop();
}

int
logoff_detector_checks_running()
{
    std::lock_guard guard(g_detector.lock);
    return g_detector.running;
}

void
logoff_detector(void *)
{
    stop_signal &stop = g_detector.stop;
    stop.reset();
    std::int32_t first_rowid = 0;
    bool selected_in_pass = false;
    std::vector<UserInfo *> batch;
    while (!stop.stopping()) {
        bool end_of_pass = false;
        std::uint16_t active = g_is_active_collector.load(std::memory_order_relaxed);
        if (active == 0) {
            log_write(LOG_DEBUG, u"logoff_detector: Passive Collector skipping logoff %d",
                      static_cast<int>(active));
            end_of_pass = true;
        } else {
            std::uint16_t size = logoff_detector_get_batch_size();
            batch.assign(size, nullptr);
            int count = userinfo_db_select_expired(batch.data(), size, first_rowid);
            log_write(LOG_DEBUG, u"logoff_detector: UserInfo Selected: %d", count);
            if (count <= 0) {
                end_of_pass = true;
            } else {
                selected_in_pass = true;
                bool stopped = false;
                for (int i = 0; i < count && i < size; ++i) {
                    userinfo_ptr record(batch[i]);
                    if (stopped) {
                        continue; // released; the row stays at flags 2 until the next start
                    }
                    if (record->RowID > first_rowid) {
                        first_rowid = record->RowID;
                    }
                    log_write(LOG_DEBUG, u"logoff_detector: USER: %s\\%s RowID: %d", record->Domain,
                              record->User, record->RowID);
                    if (dca_filter_by_logoff_ip(record.get()) == 1) {
                        continue; // released; the row stays at flags 2 until the next start
                    }
                    if (!reserve_check()) {
                        stopped = true;
                        continue;
                    }
                    if (threadpool_run(detector_check, record.get(), 1) != 0) {
                        unreserve_check();
                        log_write(LOG_ERROR, u"logoff_detector: callback submition failed");
                        continue;
                    }
                    (void)record.release(); // the check has it
                    log_write(LOG_DEBUG, u"logoff_detector: callback submitted");
                }
                if (stopped || stop.pause(1000UL * logoff_detector_get_batch_pause())) {
                    break;
                }
            }
        }
        if (end_of_pass) {
            if (!selected_in_pass && stop.pause(1000UL * logoff_detector_get_interval())) {
                break;
            }
            first_rowid = 0;
            selected_in_pass = false;
        }
    }
}
