// bench-dcalink: records per second from agents to stored rows in a Collector, over loopback.
//
// It prints, in one run:
//   - the store's own rate: records inserted through userinfo_db_insert and queued for the
//     appliances, in this process, at LOG-LEVEL 3 — what the Collector does with each record,
//     without the network: the limit;
//   - the link's rate with 1 and with 8 agent connections: a Collector-only nivo (LOG-LEVEL 3,
//     THREADPOOL-SIZE 32, on 127.0.0.1 and a free port) is fed by nivo-agentsim, and the time
//     runs from the start of the load generator until the last row is in nivo.db3;
//   - each link rate as a ratio of the store's rate, and the records lost (sent but never
//     stored);
//   - the agent's backlog replay after a Collector restart: this process plays the agent through
//     the agent client itself, connected to the Collector; the Collector stops, the agent keeps
//     the records made meanwhile (as many as the backlog holds, at most the records asked for),
//     the Collector starts again, and the time runs from the monitor pass that connects it until
//     the last row is in nivo.db3 (the replay rate, also as a ratio of the store's rate), and
//     until that pass has written the whole backlog to the connection.
// Targets: a ratio of at least 0.6, and at least 5,000 records per second with 8 connections.
// Everything runs in a temporary directory that is removed at the end. Run by hand from the
// build directory (nivo and nivo-agentsim are found beside this program):
//   build/bench-dcalink [records]        (default 20000 per measurement)

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "bench_support.h"
#include "common/log.h"
#include "common/net.h"
#include "common/text.h"
#include "config/config.h"
#include "config/config_lists.h"
#include "dcalink/dcaclient.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "userdb/dead_entry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

using bench::address_of;
using bench::clock_type;
using bench::count_rows;
using bench::free_port;
using bench::seconds_since;
using bench::to_u16;

// A made-up logon of user prefix<i> at the address-th address of 127.0.0.0/8.
UserInfo *
sim_logon(const char *prefix, unsigned i, unsigned address, std::int32_t create)
{
    UserInfo *record = userdb_allocate_userinfo();
    std::u16string user = to_u16(prefix + std::to_string(i));
    std::u16string ip = to_u16(address_of(127, address));
    userdb_set_text(&record->User, user.c_str());
    userdb_set_text(&record->Domain, u"SIM");
    userdb_set_text(&record->WrkstName, u"SIMWS");
    userdb_set_text(&record->WrkstIP, ip.c_str());
    record->CreateTime = create;
    record->ExpireTime = create + 600;
    record->LogonType = 2;
    record->Flags = 1;
    return record;
}

// The store's rate for count new logons, as the Collector handles each record.
double
store_rate(const std::string &dir, unsigned count)
{
    std::u16string db = to_u16(dir + "/store.db3");
    if (userinfo_db_init(db.c_str(), u"UserInfo") != 0 || gw_update_queue_init() != 0) {
        std::fprintf(stderr, "bench-dcalink: the store cannot be opened\n");
        std::exit(1);
    }
    auto start = clock_type::now();
    for (unsigned i = 0; i < count; ++i) {
        UserInfo *record = sim_logon("store", i, (1u << 16) + i, 1000);
        if (userinfo_db_insert(record) != 0) {
            std::fprintf(stderr, "bench-dcalink: insert failed\n");
            std::exit(1);
        }
        record->Flags = UI_FLAG_LOGON;
        if (gw_update_queue_enqueue(record) != 0) {
            userdb_free_userinfo(record);
        }
    }
    double rate = count / seconds_since(start);
    userinfo_db_fini();
    gw_update_queue_fini(); // releases what was queued
    return rate;
}

// Waits until the store at db holds expected rows, giving up when nothing has arrived for 10
// seconds: the rows it holds.
long long
wait_for_rows(const std::string &db, long long expected)
{
    long long now = count_rows(db);
    long long last_count = now;
    auto last_progress = clock_type::now();
    while (now < expected && seconds_since(last_progress) <= 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        now = count_rows(db);
        if (now != last_count) {
            last_count = now;
            last_progress = clock_type::now();
        }
    }
    return now;
}

struct link_result {
    double rate = 0;
    long long lost = 0;
};

// Sends count records on the given connections and waits for the rows. The rows already in the
// table are `before`.
link_result
link_rate(const std::string &tools, const std::string &dir, const std::string &db,
          std::uint16_t port, unsigned connections, unsigned count, unsigned first_address,
          long long before)
{
    std::string sim = tools + "/nivo-agentsim";
    std::string p = std::to_string(port);
    std::string c = std::to_string(connections);
    std::string n = std::to_string(count);
    std::string ip = address_of(127, first_address);
    std::string user = "sim" + c + "c";
    const char *argv[] = {sim.c_str(), "-p", p.c_str(),    "-c", c.c_str(), "-n", n.c_str(), "-i",
                          ip.c_str(),  "-u", user.c_str(), "-q", nullptr};
    const char *env[] = {nullptr};
    std::string out = dir + "/agentsim.out";
    platform_process_options options{argv, env, nullptr, out.c_str(), out.c_str()};
    auto start = clock_type::now();
    platform_process *sender = platform_process_start(options);
    if (sender == nullptr) {
        std::fprintf(stderr, "bench-dcalink: %s cannot be started\n", sim.c_str());
        std::exit(1);
    }
    long long expected = before + count;
    long long now = wait_for_rows(db, expected);
    link_result r;
    r.rate = (now - before) / seconds_since(start);
    r.lost = expected - now;
    int status = -1;
    platform_process_wait(sender, 60000, &status);
    platform_process_close(sender);
    if (status != 0) {
        std::fprintf(stderr, "bench-dcalink: nivo-agentsim failed (%d), see %s\n", status,
                     out.c_str());
    }
    return r;
}

// Starts the Collector-only service in base and waits until it serves agents; null when it did
// not start.
platform_process *
start_collector(const std::string &nivo, const std::string &base, const std::string &out)
{
    std::filesystem::remove(base + "/nivo.log"); // its start line must be this start's
    std::string home = "NIVO_HOME=" + base;
    const char *nivo_argv[] = {nivo.c_str(), nullptr};
    const char *nivo_env[] = {home.c_str(), nullptr};
    platform_process_options options{nivo_argv, nivo_env, nullptr, out.c_str(), out.c_str()};
    platform_process *collector = platform_process_start(options);
    auto started = clock_type::now();
    while (!bench::log_contains(base + "/nivo.log", "nivo_init: Initialization Finished") &&
           seconds_since(started) < 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (collector == nullptr ||
        !bench::log_contains(base + "/nivo.log", "DC Agent Server started")) {
        std::fprintf(stderr, "bench-dcalink: the Collector did not start (see %s)\n", out.c_str());
        platform_process_close(collector);
        return nullptr;
    }
    return collector;
}

void
stop_collector(platform_process *collector)
{
    platform_process_signal(collector, PLATFORM_SIGNAL_STOP);
    int status = 0;
    platform_process_wait(collector, 10000, &status);
    platform_process_close(collector);
}

struct replay_result {
    unsigned kept = 0;
    double sent_rate = 0;   // records per second sent by the replaying monitor pass
    double stored_rate = 0; // records per second from that pass's start to the last row
    long long lost = 0;
};

// The agent's backlog replay after a restart of the Collector (which runs at the start and runs
// again at the end; *collector is replaced).
replay_result
replay_rate(const std::string &nivo, const std::string &base, const std::string &out,
            std::uint16_t port, unsigned count, platform_process **collector)
{
    replay_result r;
    config_record config{};
    std::u16string entry = to_u16("127.0.0.1:" + std::to_string(port));
    if (config_add_coll_list(entry.c_str(), &config) != 0 ||
        dcaclient_init(config.coll_list) != 0 || dcaclient_monitor_pass() != 1) {
        std::fprintf(stderr, "bench-dcalink: the agent client cannot connect\n");
        std::exit(1);
    }
    stop_collector(*collector);
    *collector = nullptr;
    for (unsigned i = 0; i < count; ++i) {
        UserInfo *record =
            sim_logon("replay", i, (4u << 16) + i, static_cast<std::int32_t>(std::time(nullptr)));
        (void)dcaclient_send_userinfo(record);
        userdb_free_userinfo(record);
    }
    r.kept = static_cast<unsigned>(dcaclient_node_backlog(0));
    *collector = start_collector(nivo, base, out);
    if (*collector == nullptr) {
        std::exit(1);
    }
    std::string db = base + "/nivo.db3";
    long long before = count_rows(db);
    auto start = clock_type::now();
    if (dcaclient_monitor_pass() != 1) {
        std::fprintf(stderr, "bench-dcalink: the agent client did not reconnect\n");
        std::exit(1);
    }
    r.sent_rate = r.kept / seconds_since(start);
    long long now = wait_for_rows(db, before + r.kept);
    r.stored_rate = (now - before) / seconds_since(start);
    r.lost = before + r.kept - now;
    dcaclient_reset();
    config_free_lists(&config);
    return r;
}

} // namespace

int
main(int argc, char **argv)
{
    unsigned count = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 20000;
    if (count == 0 || count > 60000) {
        std::fprintf(stderr, "usage: bench-dcalink [records, 1 to 60000]\n");
        return 2;
    }
    std::string tools = std::filesystem::absolute(argv[0]).parent_path().string();
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("bench-dcalink-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "collector");
    std::string d = dir.string();

    // The store's own rate, with the Collector's log level and without dead entries (as below).
    std::u16string log = to_u16(d + "/bench.log");
    std::u16string log1 = to_u16(d + "/bench.log1");
    std::u16string ev = to_u16(d + "/events.log");
    std::u16string ev1 = to_u16(d + "/events.log1");
    log_int(log.c_str(), log1.c_str(), ev.c_str(), ev1.c_str());
    log_set_loglevel(LOG_NOTICE);
    std::u16string registry = to_u16(d + "/registry");
    registry_set_location(registry.c_str());
    dead_entry_set_timeout(0);
    double store = store_rate(d, count);

    // The Collector.
    std::uint16_t port = free_port();
    std::string base = d + "/collector";
    {
        std::ofstream ini(base + "/nivo.ini");
        ini << "[SETTINGS]\nTHREADPOOL-SIZE=32\n"
               "HOST-DOMAIN=83'0'73'0'77'0'\nHOST-DOMAIN-FQDN=115'0'105'0'109'0'\n"
               "[NIV-AGENT]\nENABLED=FALSE\n"
               "[NIV-COLLECTOR]\nENABLED=TRUE\nDCASERVER-PORT="
            << port << "\nTSSO-SERVER-PORT=" << free_port()
            << "\nDEAD-ENTRY-TIMEOUT=0\n[LOGGING]\nLOG-LEVEL=3\n";
    }
    std::string nivo = tools + "/nivo";
    std::string nivo_out = d + "/nivo.out";
    platform_process *collector = start_collector(nivo, base, nivo_out);
    if (collector == nullptr) {
        std::filesystem::remove_all(dir);
        return 1;
    }
    std::string db = base + "/nivo.db3";
    link_result one = link_rate(tools, d, db, port, 1, count, 2u << 16, 0);
    link_result eight = link_rate(tools, d, db, port, 8, count, 3u << 16, count - one.lost);
    unsigned replay_count = std::min<unsigned>(count, DCACLIENT_BACKLOG_RECORDS);
    replay_result replay = replay_rate(nivo, base, nivo_out, port, replay_count, &collector);

    stop_collector(collector);
    log_fini();
    std::filesystem::remove_all(dir);

    std::printf("bench-dcalink: %u records per measurement, LOG-LEVEL 3, loopback\n", count);
    std::printf("  store, insert and queue (the limit)   %10.0f records/s\n", store);
    std::printf("  1 agent connection                    %10.0f records/s  ratio %.2f  lost %lld\n",
                one.rate, one.rate / store, one.lost);
    std::printf("  8 agent connections                   %10.0f records/s  ratio %.2f  lost %lld\n",
                eight.rate, eight.rate / store, eight.lost);
    std::printf("  backlog replay after a restart        %10.0f records/s  ratio %.2f  lost %lld\n"
                "    (%u records kept; the replaying pass wrote them out at %.0f records/s)\n",
                replay.stored_rate, replay.stored_rate / store, replay.lost, replay.kept,
                replay.sent_rate);
    std::printf("  targets: ratio >= 0.60, >= 5000 records/s with 8 connections, nothing lost: "
                "%s\n",
                eight.rate / store >= 0.6 && eight.rate >= 5000 && one.lost == 0 && eight.lost == 0
                    ? "met"
                    : "NOT met");
    return 0;
}
