// The logoff detector's loop.

#include "logoff/logoff_detector.h"

#include <atomic>

#include "common/log.h"
#include "common/stop_signal.h"
#include "common/threadpool.h"
#include "config/config.h"
#include "dca/filter/dca_filter.h"
#include "logoff/wrkstping.h"
#include "logoff/wrkstpoll.h"
#include "logoff/active_status.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

stop_signal g_stop;

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
    g_stop.stop();
}

void
logoff_detector(void *)
{
    g_stop.reset();
    std::int32_t first_rowid = 0;
    bool selected_in_pass = false;
    while (!g_stop.stopping()) {
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
                if (g_stop.pause(LOGOFF_BATCH_PAUSE_MS)) {
                    break;
                }
            }
        }
        if (end_of_pass) {
            if (!selected_in_pass && g_stop.pause(1000UL * logoff_detector_get_interval())) {
                break;
            }
            first_rowid = 0;
            selected_in_pass = false;
        }
    }
}
