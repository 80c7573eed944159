// bench-logoff: how fast the workstation ping checks due logons, beside the ceiling that the
// logoff detector's default batches put on it (5 rows, then a 5-second pause: 1 row a second),
// and how long the real detector takes over one pass of a large site.
//
// With 1,000 due rows (or the count given as the first argument) it prints checks per second:
//   - where every workstation answers (addresses in 127.0.0.0/8, real ICMP on loopback);
//   - where none does (10.99.0.0/16, routed to a permanent fake neighbour that never answers),
//     with 3 attempts of 100 ms each;
// the checks are selected 5 at a time from the real store and run by the real ping worker on
// a pool of 16 threads, as the detector submits them, but without its pauses. Each figure is
// shown beside the detector's ceiling and as a ratio of it.
//
// "pass" runs the detector itself (logoff_detector with its batches, pauses and reserve of
// workers) over 100,000 due rows (or the count given after it), one in ten of them on a silent
// workstation, 3 attempts per silent check:
//   - with the default settings (5 rows every 5 s, PING-TIMEOUT 5000, a pool of 16) it times 13
//     batches and extrapolates the whole pass, which would take more than a day;
//   - with the large-site settings of the README (BATCH-SIZE 250, BATCH-PAUSE 1, PING-TIMEOUT
//     1000, THREADPOOL-SIZE 128) it times the whole pass (about 7 minutes);
// or with "pass ROWS BATCH PAUSE POOL TIMEOUT-MS" one pass with those settings.
//
// It needs root: it re-runs itself in a network namespace of its own (unshare -n) with a veth
// pair, so that no packet leaves the machine. Run by hand: build/bench-logoff [rows], or
// build/bench-logoff pass [rows [batch pause pool timeout-ms]]

#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/log.h"
#include "common/threadpool.h"
#include "logoff/active_status.h"
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
        UserInfo *batch[LOGOFF_DEFAULT_BATCH_SIZE] = {};
        int count = userinfo_db_select_expired(batch, LOGOFF_DEFAULT_BATCH_SIZE, 0);
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

// The settings of one pass.
struct pass_settings {
    int batch;
    int pause;      // seconds
    int pool;       // threads
    int timeout_ms; // per attempt
};

// A pass's rows: the n-th answers at 127.0.0.0/8, except every tenth, which is silent in
// 10.99.16.0 onward. Written in one transaction, due since 100 seconds.
bool
fill_pass(const std::string &db_path, int rows)
{
    auto address = [](int i) {
        if (i % 10 != 9) {
            return bench::address_of(127, static_cast<unsigned>(i + 256));
        }
        int silent = i / 10;
        return "10.99." + std::to_string(16 + silent / 250) + "." +
               std::to_string(silent % 250 + 1);
    };
    sqlite3 *db = nullptr;
    bool cleared = sqlite3_open(db_path.c_str(), &db) == SQLITE_OK &&
                   sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
                   sqlite3_exec(db, "DELETE FROM UserInfo", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    std::int64_t now = std::time(nullptr);
    return cleared && bench::fill_logons(db_path, rows, address, now - 700, now - 100);
}

// Rows not yet handed to a check (still due and live).
long long
due_rows(const std::string &db_path)
{
    return count_rows(db_path,
                      "flags = 1 AND expire_time <= " + std::to_string(std::time(nullptr)));
}

// Runs the detector over rows due rows with settings. With sample_batches 0 it times the whole
// pass (until no row is due or under check); otherwise it times that many batches and
// extrapolates. The seconds of the pass.
double
run_pass(const std::string &db_path, int rows, const pass_settings &settings, int sample_batches)
{
    if (!fill_pass(db_path, rows) || threadpool_create(settings.pool, 1) != 0) {
        std::fprintf(stderr, "bench-logoff: pass set-up failed\n");
        return -1;
    }
    logoff_detector_set_batches(static_cast<std::uint16_t>(settings.batch),
                                static_cast<std::uint16_t>(settings.pause));
    wrkstping_set_timeout(settings.timeout_ms);
    std::printf("pass over %d due rows (%d silent), batch %d, pause %d s, pool %d, "
                "PING-TIMEOUT %d ms, 3 attempts:\n",
                rows, rows / 10, settings.batch, settings.pause, settings.pool,
                settings.timeout_ms);
    std::fflush(stdout);
    auto start = clock_type::now();
    threadpool_run(logoff_detector, nullptr, 1);
    double seconds = 0;
    if (sample_batches > 0) {
        // The time of the first batch and of the sample's last, from the rows handed on.
        double first = -1;
        long long target = static_cast<long long>(sample_batches) * settings.batch;
        long long handed = 0;
        while ((handed = rows - due_rows(db_path)) < target) {
            if (first < 0 && handed >= settings.batch) {
                first = bench::seconds_since(start);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        double last = bench::seconds_since(start);
        double period = (last - first) / (sample_batches - 1);
        double batches = std::ceil(static_cast<double>(rows) / settings.batch);
        seconds = first + (batches - 1) * period;
        std::printf("  %d batches in %.1f s (%.2f s apart): the pass would take %.0f s (%.1f h), "
                    "%.2f rows/s (extrapolated)\n",
                    sample_batches, last, period, seconds, seconds / 3600, rows / seconds);
    } else {
        while (due_rows(db_path) > 0 || count_rows(db_path, "flags = 2") > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        seconds = bench::seconds_since(start);
        long long renewed = count_rows(db_path, "flags = 1");
        std::printf("  done in %.1f s (%.1f min), %.1f rows/s: %lld renewed, %lld logged out\n",
                    seconds, seconds / 60, rows / seconds, renewed, rows - count_rows(db_path));
    }
    std::fflush(stdout);
    logoff_detector_stop();
    while (logoff_detector_checks_running() > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    threadpool_destroy();
    return seconds;
}

// The rates of the ping worker fed as fast as the store selects, without the detector's pauses.
void
run_rates(const std::string &db_path, int rows)
{
    const double ceiling =
        static_cast<double>(LOGOFF_DEFAULT_BATCH_SIZE) / LOGOFF_DEFAULT_BATCH_PAUSE;
    std::printf("rows: %d, pool: 16 threads, attempts: 3\n", rows);
    std::printf("detector ceiling: %.2f checks/s (%u rows per %u s)\n", ceiling,
                static_cast<unsigned>(LOGOFF_DEFAULT_BATCH_SIZE),
                static_cast<unsigned>(LOGOFF_DEFAULT_BATCH_PAUSE));

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
        std::vector<char *> args = {const_cast<char *>("unshare"),       const_cast<char *>("-n"),
                                    const_cast<char *>("/bin/sh"),       const_cast<char *>("-c"),
                                    const_cast<char *>(NAMESPACE_SETUP), self.data()};
        for (int i = 1; i < argc; ++i) {
            args.push_back(argv[i]);
        }
        args.push_back(nullptr);
        execv("/usr/bin/unshare", args.data());
        std::perror("bench-logoff: unshare");
        return 2;
    }
    bool pass = argc > 1 && std::string(argv[1]) == "pass";
    int rows = pass       ? (argc > 2 ? std::atoi(argv[2]) : 100000)
               : argc > 1 ? std::atoi(argv[1])
                          : 1000;
    if (rows <= 0 || rows > (pass ? 500000 : 60000)) {
        std::fprintf(stderr, "bench-logoff: rows 1..60000 (pass: 1..500000)\n");
        return 2;
    }
    pass_settings custom{};
    if (pass && argc > 6) {
        custom = {std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6])};
        if (custom.batch < 1 || custom.batch > 10000 || custom.pause < 0 || custom.pause > 3600 ||
            custom.pool < 2 || custom.pool > 1024 || custom.timeout_ms < 1) {
            std::fprintf(stderr, "bench-logoff: pass rows batch pause pool timeout-ms\n");
            return 2;
        }
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
        (!pass && threadpool_create(16, 1) != 0)) {
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
    if (pass) {
        g_is_active_collector = 2; // an appliance holds this Collector active
        if (custom.batch != 0) {
            run_pass(db_path, rows, custom, 0);
        } else {
            run_pass(db_path, rows,
                     {LOGOFF_DEFAULT_BATCH_SIZE, LOGOFF_DEFAULT_BATCH_PAUSE, 16, 5000}, 13);
            run_pass(db_path, rows, {250, 1, 128, 1000}, 0);
        }
    } else {
        run_rates(db_path, rows);
    }

    UserInfo *stop = userdb_allocate_userinfo();
    stop->Flags = 99;
    gw_update_queue_enqueue(stop);
    drain.join();
    if (!pass) {
        threadpool_destroy();
    }
    userinfo_db_fini();
    log_fini();
    std::filesystem::remove_all(dir);
    return 0;
}
