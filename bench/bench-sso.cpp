// bench-sso: the appliance link's speed, over loopback, with a receiving appliance on 127.0.0.2.
//
// It prints, first with nivo.log at LOG-LEVEL 0 (the fewest lines an operator can choose: the
// level-0 lines of every record remain) and then at LOG-LEVEL 5 (the default):
//   (a) records per second from the update queue to logon datagrams received by the appliance,
//       beside the raw rate of sending the same datagram on a connected UDP socket in the same
//       run (the limit), measured in turns, and the ratio of their medians (target at least 0.3);
//   (b) the latency from enqueue to the datagram's arrival at 200 records per second: median,
//       p99 (target at most 1 s) and maximum;
//   (c) GetAllUsers over 100,000 stored logons: rows per second until the last datagram arrived
//       (target at least 25,000), the longest wait of another store user meanwhile, which is
//       the longest time the replay held the store's lock (target at most 0.5 s),
//       and how many datagrams arrived.
// Lost datagrams are counted, not hidden. Everything runs in a temporary directory that is
// removed at the end. Run by hand: build/bench-sso [records for (a)] [rows for (c)]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/log.h"
#include "common/net.h"
#include "common/text.h"
#include "common/threadpool.h"
#include "config/config_lists.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "sso/sso_client.h"
#include "sso/sso_server.h"
#include "sso/sso_wire.h"
#include "userdb/dead_entry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

using bench::address_of;
using bench::clock_type;
using bench::seconds_since;
using bench::to_u16;

// The appliance: counts every datagram; with `decode` set, it also reads the user name
// "lat<n>" and notes the arrival time of record n.
struct receiver {
    platform_socket_t socket = PLATFORM_INVALID_SOCKET;
    std::uint16_t port = 0;
    std::atomic<long> received{0};
    std::atomic<clock_type::rep> last_arrival{0};
    std::atomic<bool> decode{false};
    std::mutex lock;
    std::vector<clock_type::time_point> arrivals; // by record number, when decoding
    std::thread thread;

    bool start(std::uint32_t address)
    {
        socket = bench::open_receiver(address, &port);
        if (socket == PLATFORM_INVALID_SOCKET) {
            return false;
        }
        thread = std::thread([this] { run(); });
        return true;
    }

    void run()
    {
        // A blocking receive: one system call a datagram, so the appliance takes as little of
        // the machine's time from the sender as it can. The program ends without stopping it.
        std::uint8_t buffer[4096];
        for (;;) {
            long long n = platform_socket_recv(socket, buffer, sizeof buffer);
            if (n <= 0) {
                continue;
            }
            auto now = clock_type::now();
            if (decode) {
                sso_update update;
                if (sso_decode_update(buffer, static_cast<std::size_t>(n), &update, nullptr) == 0 &&
                    update.user.rfind("lat", 0) == 0) {
                    std::size_t seq = std::strtoul(update.user.c_str() + 3, nullptr, 10);
                    std::lock_guard guard(lock);
                    if (seq < arrivals.size()) {
                        arrivals[seq] = now;
                    }
                }
            }
            last_arrival = now.time_since_epoch().count();
            ++received;
        }
    }

    // Waits until `target` datagrams arrived in all, or nothing arrived for quiet_s seconds.
    void wait_for(long target, double quiet_s)
    {
        long seen = received;
        auto quiet_since = clock_type::now();
        while (received < target) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (received != seen) {
                seen = received;
                quiet_since = clock_type::now();
            } else if (seconds_since(quiet_since) > quiet_s) {
                return;
            }
        }
    }

    double seconds_to_last_arrival(clock_type::time_point start) const
    {
        clock_type::time_point last{clock_type::duration(last_arrival.load())};
        return std::chrono::duration<double>(last - start).count();
    }
};

UserInfo *
make_record(const std::string &user, int n)
{
    UserInfo *record = userdb_allocate_userinfo();
    record->User = tsso_string_dup_w(to_u16(user).c_str());
    record->Domain = tsso_string_dup_w(u"corp.example");
    record->Group = tsso_string_dup_w(u"Users");
    record->WrkstIP = tsso_string_dup_w(to_u16(address_of(10, n)).c_str());
    record->LogonType = 2;
    record->Flags = UI_FLAG_LOGON;
    return record;
}

// (a): queue to appliance, and the raw send rate of the same datagram. The machine is shared:
// the two are measured in turns, three rounds each, and the medians compared.
void
throughput(receiver *appliance, net_handle *raw_handle, int records)
{
    constexpr int ROUNDS = 3;
    int per_round = std::max(1, records / ROUNDS);
    userinfo_ptr sample(make_record("user1", 1));
    std::vector<std::uint8_t> datagram;
    SSOclient_build_update(sample.get(), &datagram);

    std::vector<double> queue_rates, raw_rates;
    long got = 0, raw_got = 0;
    for (int round = 0; round < ROUNDS; ++round) {
        long before = appliance->received;
        auto start = clock_type::now();
        for (int i = 0; i < per_round; ++i) {
            if (gw_update_queue_enqueue(make_record("user" + std::to_string(i), i)) != 0) {
                std::fprintf(stderr, "enqueue failed\n");
                std::exit(1);
            }
        }
        appliance->wait_for(before + per_round, 2.0);
        long arrived = appliance->received - before;
        got += arrived;
        queue_rates.push_back(arrived / appliance->seconds_to_last_arrival(start));

        before = appliance->received;
        start = clock_type::now();
        for (int i = 0; i < per_round; ++i) {
            net_send(raw_handle, datagram.data(), datagram.size());
        }
        raw_rates.push_back(per_round / seconds_since(start));
        appliance->wait_for(before + per_round, 1.0);
        raw_got += appliance->received - before;
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    double queue_rate = median(queue_rates);
    double raw_rate = median(raw_rates);
    int sent = per_round * ROUNDS;
    std::printf("  (a) queue to appliance: %9.0f records/s, median of %d rounds (%ld of %d "
                "arrived)\n",
                queue_rate, ROUNDS, got, sent);
    std::printf("      raw UDP send:       %9.0f datagrams/s, median of %d rounds (%ld of %d "
                "arrived)\n",
                raw_rate, ROUNDS, raw_got, sent);
    std::printf("      ratio:              %9.2f (target >= 0.30)\n", queue_rate / raw_rate);
}

// (b): 200 records per second for `seconds`.
void
latency(receiver *appliance, int seconds)
{
    int records = 200 * seconds;
    {
        std::lock_guard guard(appliance->lock);
        appliance->arrivals.assign(static_cast<std::size_t>(records), clock_type::time_point{});
    }
    appliance->decode = true;
    std::vector<clock_type::time_point> sent(static_cast<std::size_t>(records));
    auto start = clock_type::now();
    for (int i = 0; i < records; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(5000LL * i));
        sent[static_cast<std::size_t>(i)] = clock_type::now();
        gw_update_queue_enqueue(make_record("lat" + std::to_string(i), i));
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    appliance->decode = false;
    std::vector<double> ms;
    std::lock_guard guard(appliance->lock);
    for (int i = 0; i < records; ++i) {
        auto arrived = appliance->arrivals[static_cast<std::size_t>(i)];
        if (arrived != clock_type::time_point{}) {
            ms.push_back(std::chrono::duration<double, std::milli>(
                             arrived - sent[static_cast<std::size_t>(i)])
                             .count());
        }
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) {
        return ms.empty() ? 0.0
                          : ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))];
    };
    std::printf("  (b) latency at 200/s:   median %.3f ms, p99 %.3f ms (target <= 1000 ms), max "
                "%.3f ms (%zu of %d arrived)\n",
                at(0.5), at(0.99), ms.empty() ? 0.0 : ms.back(), ms.size(), records);
}

// (c): GetAllUsers over the stored rows, from the appliance gw.
void
get_all_users(receiver *appliance, gw_node *gw, int rows)
{
    // Another user of the store looks up an address without rows again and again meanwhile (the
    // lookup takes the store's lock): its longest wait is the longest time the replay held the
    // store's lock.
    std::atomic<bool> done{false};
    double held = 0;
    std::thread probe([&] {
        while (!done) {
            auto asked = clock_type::now();
            userdb_callback_context none{nullptr, nullptr};
            (void)userinfo_db_process_known(u"10.255.255.254", SSO_server_enqueue_update_req,
                                            &none);
            held = std::max(held, seconds_since(asked));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    long before = appliance->received;
    auto start = clock_type::now();
    SSO_server_handle_getallusers_req(u"127.0.0.2");
    // The replay runs on a pool worker until its last row is queued.
    while (gw->getall_pending) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    done = true;
    probe.join();
    appliance->wait_for(before + rows, 3.0);
    long got = appliance->received - before;
    double elapsed = appliance->seconds_to_last_arrival(start);
    std::printf("  (c) GetAllUsers:        %9.0f rows/s (target >= 25000), store locked %.3f s "
                "(target <= 0.5 s), %ld of %d arrived, %ld lost\n",
                got / elapsed, held, got, rows, rows - got);
}

} // namespace

int
main(int argc, char **argv)
{
    int records = argc > 1 ? std::atoi(argv[1]) : 50000;
    int rows = argc > 2 ? std::atoi(argv[2]) : 100000;
    if (records <= 0 || rows <= 0) {
        std::fprintf(stderr, "usage: bench-sso [records] [rows]\n");
        return 2;
    }
    std::random_device device;
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("bench-sso-" + std::to_string(device()) + std::to_string(device()));
    std::filesystem::create_directories(dir);
    std::u16string wdir = to_u16(dir.string());

    registry_set_location((wdir + u"/registry").c_str());
    dead_entry_set_timeout(0);
    if (gw_update_queue_init() != 0 ||
        userinfo_db_init((wdir + u"/nivo.db3").c_str(), u"UserInfo") != 0 ||
        threadpool_create(4, 1) != 0) {
        std::fprintf(stderr, "bench-sso: store or queue failed\n");
        return 1;
    }
    std::uint32_t appliance_address = 0;
    platform_ipv4_from_text(u"127.0.0.2", &appliance_address);
    static receiver appliance;
    if (!appliance.start(appliance_address)) {
        std::fprintf(stderr, "bench-sso: cannot bind 127.0.0.2\n");
        return 1;
    }
    auto *gw = new gw_node{};
    gw->name = tsso_string_dup_w(u"127.0.0.2");
    gw->port = appliance.port;
    SSOclient_init(gw, wdir.c_str());
    gw->active_state = 2;
    net_handle *raw = SSOclient_gw_init(u"127.0.0.2", appliance.port);
    std::thread(SSOclient_thread, nullptr).detach();

    std::printf("bench-sso: %d records, %d stored rows\n", records, rows);
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 0) {
            std::u16string log = wdir + u"/nivo.log";
            log_int(log.c_str(), (log + u"1").c_str(), (wdir + u"/ev.log").c_str(),
                    (wdir + u"/ev.log1").c_str());
        }
        log_set_loglevel(pass == 0 ? LOG_MSG : LOG_DEBUG);
        std::printf(pass == 0 ? "nivo.log at LOG-LEVEL 0:\n" : "nivo.log at LOG-LEVEL 5:\n");
        throughput(&appliance, raw, records);
        latency(&appliance, 5);
        if (pass == 0 && !bench::fill_logons(dir.string() + "/nivo.db3", rows)) {
            std::fprintf(stderr, "bench-sso: fill failed\n");
            return 1;
        }
        get_all_users(&appliance, gw, rows);
        std::fflush(stdout);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::fflush(stdout);
    // The update thread waits on the queue for good: end without unwinding it.
    std::_Exit(0);
}
