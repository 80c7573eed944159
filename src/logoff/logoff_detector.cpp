// The logoff detector's loop.

#include "logoff/logoff_detector.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "common/log.h"
#include "common/threadpool.h"
#include "config/config.h"
#include "dca/filter/dca_filter.h"
#include "logoff/wrkstping.h"
#include "logoff/wrkstpoll.h"
#include "logoff/active_status.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

// The loop's pauses wait on this, so that a stop ends them at once.
struct detector_control {
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
};
detector_control g_control;

// Waits milliseconds or until a stop; true when the loop must end.
bool
detector_pause(unsigned long milliseconds)
{
    std::unique_lock guard(g_control.lock);
    g_control.wake.wait_for(guard, std::chrono::milliseconds(milliseconds),
                            [] { return g_control.stop; });
    return g_control.stop;
}

bool
detector_stopping()
{
    std::lock_guard guard(g_control.lock);
    return g_control.stop;
}

threadpool_fn
detector_check_worker()
{
    // Only WORKSTATION-POLL asks the workstation; PING and LDAP both ping.
    return logoff_detector_get_mode() == DETECTION_MODE_WORKSTATION_POLL ? wrkstpoll_dispatch
                                                                         : wrkstping_workerthread;
}

} // namespace

void
logoff_detector_stop()
{
    {
        std::lock_guard guard(g_control.lock);
        g_control.stop = true;
    }
    g_control.wake.notify_all();
}

void
logoff_detector(void *)
{
    {
        std::lock_guard guard(g_control.lock);
        g_control.stop = false;
    }
    std::int32_t first_rowid = 0;
    bool selected_in_pass = false;
    while (!detector_stopping()) {
        bool end_of_pass = false;
        std::uint16_t active = g_is_active_collector.load(std::memory_order_relaxed);
        if (active == 0) {
            log_write(LOG_DEBUG, u"logoff_detector: Passive Collector skipping logoff %d",
                      static_cast<int>(active));
            end_of_pass = true;
        } else {
            UserInfo *batch[LOGOFF_BATCH_SIZE] = {};
            int count = userinfo_db_select_expired(batch, LOGOFF_BATCH_SIZE, first_rowid);
            log_write(LOG_DEBUG, u"logoff_detector: UserInfo Selected: %d", count);
            if (count <= 0) {
                end_of_pass = true;
            } else {
                selected_in_pass = true;
                threadpool_fn worker = detector_check_worker();
                for (int i = 0; i < count && i < LOGOFF_BATCH_SIZE; ++i) {
                    userinfo_ptr record(batch[i]);
                    if (record->RowID > first_rowid) {
                        first_rowid = record->RowID;
                    }
                    log_write(LOG_DEBUG, u"logoff_detector: USER: %s\\%s RowID: %d", record->Domain,
                              record->User, record->RowID);
                    if (dca_filter_by_logoff_ip(record.get()) == 1) {
                        continue; // released; the row stays at flags 2 until the next start
                    }
                    if (threadpool_run(worker, record.get(), 1) != 0) {
                        log_write(LOG_ERROR, u"logoff_detector: callback submition failed");
                        continue;
                    }
                    (void)record.release(); // the worker has it
                    log_write(LOG_DEBUG, u"logoff_detector: callback submitted");
                }
                if (detector_pause(LOGOFF_BATCH_PAUSE_MS)) {
                    break;
                }
            }
        }
        if (end_of_pass) {
            if (!selected_in_pass && detector_pause(1000UL * logoff_detector_get_interval())) {
                break;
            }
            first_rowid = 0;
            selected_in_pass = false;
        }
    }
}
