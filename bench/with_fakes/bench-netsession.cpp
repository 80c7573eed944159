// bench-netsession: the session poller's road into the local store, and what a repeat costs.
//
// A scripted session list reports 10,000 open sessions (or the count given), users user0.. at
// clients "\\127.0.x.y", in portions of 1,000. Each pass is one dca_netsession_poll(): every
// session goes through the logon pipeline (resolution, filters, the local store with its dead
// entries, the update queue) on a pool of 16 threads, the Collector being in the same service.
// After the pass the update client's record handler sends what was queued to one live appliance
// at 127.0.0.1, so the rate is the pipeline's own. For the first pass (new sessions) and each
// repeat pass (the same sessions unchanged) it prints records per second, from the first call
// of the pass until every record's job has ended; the store writes (UserInfo rows inserted,
// updated or deleted, counted by triggers the benchmark adds to the store file) and the change
// in the number of dead entries (written and removed only with a row); the updates queued and the
// appliance datagrams; and each repeat's rate as a ratio of the first's. A repeat that writes or
// sends anything is a fault: the program then ends with 1.
//
// With the fakes at the platform seam, sockets and resolver are fakes too: no packet leaves the
// process. A datagram is one send call on the appliance's socket, counted by the fake socket
// (the update client sends each datagram in one call). The resolver answers an address text
// with its address, as the system's resolver does without asking DNS; every name looked up is
// checked to be an address text. nivo.log is at LOG-LEVEL 5 (the default), in a temporary
// directory removed at the end. Run by hand: build/bench-netsession [sessions] [repeats]

#include <sqlite3.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bench_support.h"
#include "common/log.h"
#include "common/text.h"
#include "common/threadpool.h"
#include "config/config_lists.h"
#include "dca/dca_netsession.h"
#include "dca/dca_pipeline.h"
#include "dca/filter/dca_filter.h"
#include "fakes/resolver_fake.h"
#include "fakes/sessions_fake.h"
#include "fakes/socket_fake.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "sso/sso_client.h"
#include "userdb/dead_entry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"

namespace {

using bench::clock_type;
using bench::seconds_since;
using bench::to_u16;

constexpr int POOL_THREADS = 16; // THREADPOOL-SIZE's default
constexpr int PORTION = 1000;
constexpr const char16_t *DC = u"\\\\DC1";
constexpr const char16_t *DEAD_ENTRY_KEY = u"SOFTWARE\\Vantelor\\Vantelor Tessaline\\DeadEntry";

// Every UserInfo row written is counted in bench_writes, whichever connection writes it.
constexpr const char *COUNT_WRITES =
    "CREATE TABLE bench_writes(n INTEGER NOT NULL); INSERT INTO bench_writes VALUES(0);"
    "CREATE TRIGGER bench_i AFTER INSERT ON UserInfo BEGIN UPDATE bench_writes SET n=n+1; END;"
    "CREATE TRIGGER bench_u AFTER UPDATE ON UserInfo BEGIN UPDATE bench_writes SET n=n+1; END;"
    "CREATE TRIGGER bench_d AFTER DELETE ON UserInfo BEGIN UPDATE bench_writes SET n=n+1; END;";

// Waits until every pool job submitted before it has ended: it occupies all workers at once,
// and the pool takes its jobs in order. It returns once every worker has let go of the barrier.
void
wait_for_pool()
{
    static struct {
        std::mutex lock;
        std::condition_variable changed;
        int arrived, left;
    } b;
    b.arrived = b.left = 0;
    auto arrive = [](void *) {
        std::unique_lock guard(b.lock);
        ++b.arrived;
        b.changed.notify_all();
        b.changed.wait(guard, [] { return b.arrived >= POOL_THREADS; });
        ++b.left;
        b.changed.notify_all();
    };
    for (int i = 0; i < POOL_THREADS; ++i) {
        threadpool_run(arrive, nullptr, 1);
    }
    std::unique_lock guard(b.lock);
    b.changed.wait(guard, [] { return b.left >= POOL_THREADS; });
}

// The appliance update client's work on what the pass queued: each record sent to every live
// appliance whose networks hold its address. The count of records taken.
long long
send_queued()
{
    long long taken = 0;
    for (; gw_update_queue_count() > 0; ++taken) {
        SSOclient_process_record(gw_update_queue_dequeue()); // takes the record
    }
    return taken;
}

struct counters {
    long long writes, dead_entries, updates, datagrams;
};

counters
read_counters(sqlite3 *db)
{
    counters out{};
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT n FROM bench_writes", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
        out.writes = sqlite3_column_int64(stmt, 0);
    }
    sqlite3_finalize(stmt);
    registry_key *key = nullptr;
    char16_t name[512];
    if (registry_open_key(REGISTRY_LOCAL_MACHINE, DEAD_ENTRY_KEY, &key) == 0) {
        while (registry_enum_key(key, static_cast<std::uint32_t>(out.dead_entries), name, 512) ==
               0) {
            ++out.dead_entries;
        }
        registry_close_key(key);
    }
    out.datagrams = static_cast<long long>(socket_fake::send_requests().size());
    return out;
}

// The Collector's parts and the agent's pipeline as a service with both roles has them, in dir;
// *db is a connection of the benchmark's own to the store, with the write counter.
bool
set_up(const std::filesystem::path &dir, sqlite3 **db)
{
    auto w = [&](const char *name) { return (dir / name).u16string(); };
    if (log_int(w("nivo.log").c_str(), w("nivo.log1").c_str(), w("logging_events.log").c_str(),
                w("logging_events.log1").c_str()) != 0) {
        return false;
    }
    log_set_loglevel(LOG_DEBUG);
    registry_set_location(w("registry").c_str());
    dead_entry_set_timeout(1); // DEAD-ENTRY-TIMEOUT's default: one entry per stored logon
    dca_set_hostdomain(u"CORP", u"corp.example");
    dca_addnet_authnetlist(u"127.0.0.0/8");
    if (gw_update_queue_init() != 0 || userinfo_db_init(w("nivo.db3").c_str(), u"UserInfo") != 0 ||
        sqlite3_open((dir / "nivo.db3").c_str(), db) != SQLITE_OK ||
        sqlite3_exec(*db, COUNT_WRITES, nullptr, nullptr, nullptr) != SQLITE_OK ||
        threadpool_create(POOL_THREADS, 1) != 0) {
        return false;
    }
    sqlite3_busy_timeout(*db, 5000);
    dca_set_local_cidmgr();
    dca_client_init(nullptr);
    static gw_node gw{};
    gw.name = tsso_string_dup_w(u"127.0.0.1");
    SSOclient_init(&gw, dir.u16string().c_str());
    SSOclient_set_active_state(&gw, 1);
    return true;
}

// The session list: users user0.. at clients "\\127.0.x.y" (127.0.0.1 upward, 250 a block), in
// portions; the resolver answers each address text with its address.
std::vector<sessions_fake::answer>
make_sessions(int sessions)
{
    std::vector<sessions_fake::answer> script;
    for (int n = 0; n < sessions; ++n) {
        if (n % PORTION == 0) {
            script.push_back({PLATFORM_SESSIONS_MORE_DATA,
                              std::vector<std::optional<sessions_fake::session>>{},
                              static_cast<std::uint32_t>(n + PORTION)});
        }
        unsigned block = static_cast<unsigned>(n / 250), host = static_cast<unsigned>(n % 250 + 1);
        std::string address = "127.0." + std::to_string(block) + "." + std::to_string(host);
        script.back().entries->push_back(
            sessions_fake::session{to_u16("\\\\" + address), to_u16("user" + std::to_string(n))});
        resolver_fake::answer(address, {resolver_fake::ipv4(127, 0, block, host)});
    }
    script.back().result = 0; // the last portion, which leaves the token at the start again
    script.back().token_after = 0;
    return script;
}

} // namespace

int
main(int argc, char **argv)
{
    int sessions = argc > 1 ? std::atoi(argv[1]) : 10000;
    int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    if (sessions <= 0 || sessions > 60000 || repeats <= 0) {
        std::fprintf(stderr, "bench-netsession: sessions 1..60000, repeats 1 or more\n");
        return 2;
    }
    std::filesystem::path dir = bench::make_temp_dir("bench-ns");
    if (dir.empty()) {
        return 1;
    }
    sqlite3 *db = nullptr;
    std::string db_path = (dir / "nivo.db3").string();
    if (!set_up(dir, &db)) {
        std::fprintf(stderr, "bench-netsession: set-up failed\n");
        return 1;
    }
    std::vector<sessions_fake::answer> script = make_sessions(sessions);
    std::printf("bench-netsession: %d sessions, %d repeat passes, pool of %d threads, nivo.log at "
                "LOG-LEVEL %u\n",
                sessions, repeats, POOL_THREADS, log_get_loglevel());
    std::printf("%-10s %10s %8s %13s %13s %9s %10s %7s\n", "pass", "records/s", "seconds",
                "store writes", "dead entries", "updates", "datagrams", "ratio");
    counters before = read_counters(db);
    double first_rate = 0;
    bool fault = false;
    long long stored = 0;
    std::uint32_t token = 0;
    for (int pass = 0; pass <= repeats; ++pass) {
        sessions_fake::script(DC, script);
        auto start = clock_type::now();
        dca_netsession_poll(DC, &token);
        wait_for_pool();
        double seconds = seconds_since(start);
        long long queued = send_queued();
        counters after = read_counters(db);
        counters c{after.writes - before.writes, after.dead_entries - before.dead_entries, queued,
                   after.datagrams - before.datagrams};
        before = after;
        double rate = sessions / seconds;
        if (pass == 0) {
            first_rate = rate;
            stored = bench::count_rows(db_path);
        } else {
            fault =
                fault || c.writes != 0 || c.dead_entries != 0 || c.updates != 0 || c.datagrams != 0;
        }
        std::string name = pass == 0 ? "first" : "repeat " + std::to_string(pass);
        std::printf("%-10s %10.0f %8.2f %13lld %13lld %9lld %10lld", name.c_str(), rate, seconds,
                    c.writes, c.dead_entries, c.updates, c.datagrams);
        std::printf(pass == 0 ? "\n" : " %7.2f\n", rate / first_rate);
        std::fflush(stdout);
    }
    std::size_t not_addresses = 0;
    const std::vector<std::string> &names = resolver_fake::lookups();
    for (const std::string &name : names) {
        std::uint32_t address = 0;
        not_addresses += platform_ipv4_from_text(to_u16(name).c_str(), &address) != 0;
    }
    std::printf("rows stored: %lld; resolver: %zu lookups, %zu of names that are not address "
                "texts\n",
                stored, names.size(), not_addresses);
    if (fault) {
        std::printf("FAULT: a repeat of an unchanged session wrote to the store or sent\n");
    }
    fault = fault || stored != sessions || not_addresses != 0;

    threadpool_destroy();
    SSOclient_fini();
    sqlite3_close(db);
    userinfo_db_fini();
    gw_update_queue_fini();
    log_fini();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return fault ? 1 : 0;
}
