// bench-logoff: how fast the workstation ping checks due logons, beside the ceiling that the
// logoff detector's fixed batches put on it (5 rows, then a 5-second pause: 1 row a second).
//
// With 1,000 due rows (or the count given as the first argument) it prints checks per second:
//   - where every workstation answers (addresses in 127.0.0.0/8, real ICMP on loopback);
//   - where none does (10.99.0.0/16, routed to a permanent fake neighbour that never answers),
//     with 3 attempts of 100 ms each;
// the checks are selected 5 at a time from the real store and run by the real ping worker on
// a pool of 16 threads, as the detector submits them, but without its pauses. Each figure is
// shown beside the detector's ceiling and as a ratio of it.
//
// It needs root: it re-runs itself in a network namespace of its own (unshare -n) with a veth
// pair, so that no packet leaves the machine. Run by hand: build/bench-logoff [rows]

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "bench_support.h"
#include "common/log.h"
#include "common/threadpool.h"
#include "logoff/logoff_detector.h"
#include "logoff/wrkstping.h"
#include "platform/registry.h"
#include "userdb/dead_entry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

using bench::clock_type;
using bench::count_rows;
using bench::to_u16;

constexpr const char *NAMESPACE_SETUP =
    "set -e; ip link set lo up; ip link add nv0 type veth peer name nv1; "
    "ip addr add 10.99.5.1/24 dev nv0; ip link set nv0 up; ip link set nv1 up; "
    "ip neigh replace 10.99.5.7 lladdr 02:00:00:00:00:01 dev nv0 nud permanent; "
    "ip route add 10.99.0.0/16 via 10.99.5.7 dev nv0; "
    "NIVO_BENCH_NETNS=1 exec \"$0\" \"$@\"";

void
insert_due(int rows, bool answering)
{
    std::int32_t now = static_cast<std::int32_t>(std::time(nullptr));
    for (int i = 0; i < rows; ++i) {
        std::string ip =
            answering ? "127.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1)
                      : "10.99." + std::to_string(10 + i / 250) + "." + std::to_string(i % 250 + 1);
        userinfo_ptr record(userdb_allocate_userinfo());
        userdb_set_text(&record->User, to_u16("user" + std::to_string(i)).c_str());
        userdb_set_text(&record->Domain, u"corp.example");
        userdb_set_text(&record->WrkstIP, to_u16(ip).c_str());
        record->CreateTime = now - 700;
        record->ExpireTime = now - 100;
        record->LogonType = UI_LOGON_DC;
        userinfo_db_insert(record.get());
    }
}

// Selects every due row in batches of 5 and hands each to the ping worker; returns the
// seconds until no row is under check any more.
double
check_all(const std::string &db_path)
{
    auto start = clock_type::now();
    for (;;) {
        UserInfo *batch[LOGOFF_BATCH_SIZE] = {};
        int count = userinfo_db_select_expired(batch, LOGOFF_BATCH_SIZE, 0);
        if (count <= 0) {
            break;
        }
        for (int i = 0; i < count; ++i) {
            if (threadpool_run(wrkstping_workerthread, batch[i], 1) != 0) {
                userdb_free_userinfo(batch[i]);
            }
        }
    }
    while (count_rows(db_path, "flags = 2") > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

} // namespace

int
main(int argc, char **argv)
{
    if (std::getenv("NIVO_BENCH_NETNS") == nullptr) {
        if (geteuid() != 0) {
            std::fprintf(stderr, "bench-logoff: needs root for a network namespace of its own\n");
            return 2;
        }
        std::string self = std::filesystem::canonical("/proc/self/exe").string();
        std::string rows = argc > 1 ? argv[1] : "1000";
        execl("/usr/bin/unshare", "unshare", "-n", "/bin/sh", "-c", NAMESPACE_SETUP, self.c_str(),
              rows.c_str(), static_cast<char *>(nullptr));
        std::perror("bench-logoff: unshare");
        return 2;
    }
    int rows = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (rows <= 0 || rows > 60000) {
        std::fprintf(stderr, "bench-logoff: rows 1..60000\n");
        return 2;
    }
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("bench-logoff-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    auto w = [&](const char *name) { return (dir / name).u16string(); };
    log_int(w("nivo.log").c_str(), w("nivo.log1").c_str(), w("ev.log").c_str(),
            w("ev.log1").c_str());
    log_set_loglevel(3);
    registry_set_location(w("registry").c_str());
    dead_entry_set_timeout(0);
    gw_update_queue_init();
    std::string db_path = (dir / "nivo.db3").string();
    if (userinfo_db_init(w("nivo.db3").c_str(), u"UserInfo") != 0 ||
        threadpool_create(16, 1) != 0) {
        std::fprintf(stderr, "bench-logoff: set-up failed\n");
        return 1;
    }
    // The appliances' side: the logouts are taken off the queue as the update client would.
    std::thread drain([] {
        for (;;) {
            UserInfo *record = gw_update_queue_dequeue();
            if (record != nullptr && record->Flags == 99) {
                userdb_free_userinfo(record);
                return;
            }
            userdb_free_userinfo(record);
        }
    });
    logoff_detector_init(1, 600);
    wrkstping_set_retry(3);
    const double ceiling = LOGOFF_BATCH_SIZE / (LOGOFF_BATCH_PAUSE_MS / 1000.0);
    std::printf("rows: %d, pool: 16 threads, attempts: 3\n", rows);
    std::printf("detector ceiling: %.2f checks/s (%u rows per %.0f s)\n", ceiling,
                static_cast<unsigned>(LOGOFF_BATCH_SIZE), LOGOFF_BATCH_PAUSE_MS / 1000.0);

    wrkstping_set_timeout(1000);
    insert_due(rows, true);
    double answering = check_all(db_path);
    long long renewed = count_rows(db_path, "flags = 1");
    std::printf("every workstation answers: %8.1f checks/s (%lld renewed in %.2f s), %.0fx the "
                "ceiling\n",
                rows / answering, renewed, answering, rows / answering / ceiling);

    wrkstping_set_timeout(100);
    insert_due(rows, false);
    double silent = check_all(db_path);
    long long left = count_rows(db_path);
    std::printf("no workstation answers:    %8.1f checks/s (%lld logged out in %.2f s, 3 x 100 "
                "ms each), %.0fx the ceiling\n",
                rows / silent, renewed + rows - left, silent, rows / silent / ceiling);

    UserInfo *stop = userdb_allocate_userinfo();
    stop->Flags = 99;
    gw_update_queue_enqueue(stop);
    drain.join();
    threadpool_destroy();
    userinfo_db_fini();
    log_fini();
    std::filesystem::remove_all(dir);
    return 0;
}
