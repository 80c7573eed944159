// The benchmarks' agent with a local Collector, as the service runs it: the log at the default
// LOG-LEVEL, the registry, the store and the update queue in a base directory, the pool of 16
// threads and the pipeline, and a consumer that empties the update queue as the appliance
// client would.
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "bench_support.h"
#include "common/log.h"
#include "common/threadpool.h"
#include "dca/dca_pipeline.h"
#include "dca/filter/dca_filter.h"
#include "logoff/logoff_detector.h"
#include "platform/registry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"

namespace bench {

// Everything in base (its nivo.db3, logs and registry), for the host domain BENCH (bench.lan)
// with authnet as the one authorised network. false on failure, told on standard error.
inline bool
start_local_collector(const std::filesystem::path &base, const char16_t *authnet)
{
    if (log_int(to_u16((base / "nivo.log").string()).c_str(),
                to_u16((base / "nivo.log1").string()).c_str(),
                to_u16((base / "logging_events.log").string()).c_str(),
                to_u16((base / "logging_events.log1").string()).c_str()) != 0) {
        std::fprintf(stderr, "bench: cannot open the log in %s\n", base.c_str());
        return false;
    }
    log_set_loglevel(LOG_DEBUG); // the default LOG-LEVEL
    registry_set_location(to_u16((base / "registry").string()).c_str());
    logoff_detector_init(1, LOGOFF_DEFAULT_INTERVAL);
    dca_set_hostdomain(u"BENCH", u"bench.lan");
    dca_addnet_authnetlist(authnet);
    if (userinfo_db_init(to_u16((base / "nivo.db3").string()).c_str(), u"UserInfo") != 0 ||
        gw_update_queue_init() != 0 || threadpool_create(16, 1) != 0) {
        std::fprintf(stderr, "bench: set-up failed\n");
        return false;
    }
    dca_set_local_cidmgr();
    dca_client_init(nullptr);
    return true;
}

// A detached thread that takes records from the update queue and counts them in *queued until
// it has taken expected.
inline void
drain_update_queue(std::atomic<long long> *queued, long long expected)
{
    std::thread([queued, expected] {
        while (queued->load() < expected) {
            UserInfo *record = gw_update_queue_dequeue();
            if (record != nullptr) {
                queued->fetch_add(1);
                userdb_free_userinfo(record);
            }
        }
    }).detach();
}

} // namespace bench
