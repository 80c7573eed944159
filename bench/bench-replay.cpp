// bench-replay: the memory of a Collector that receives forged GetAllUsers requests.
//
// A Collector-only nivo (LOG-LEVEL 3, dead entries off) starts on a store of 100,000 live
// logons with one appliance, 127.0.0.2, in gw-list.ini. From that address this program sends
// 1,000 GetAllUsers datagrams (five bytes each, as anyone can forge them), one every 5 ms, to
// the request server, and receives on 127.0.0.2 what the Collector sends the appliance. It prints
// the Collector's resident memory (VmRSS) before the first datagram, when the last logon
// datagram has arrived, and ten seconds later, and its peak (VmHWM) over the whole run, against
// the target: under 64 MB. It also prints how many logon datagrams arrived, as whole replays of
// the store. The counts are arguments: build/bench-replay [rows] [datagrams].
//
// The Collector binds its fixed ports, so the program runs itself again in a network namespace
// of its own (unshare -n, root) where every packet stays on the loopback device. Everything runs
// in a temporary directory that is removed at the end.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "bench_support.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "sso/sso_wire.h"
#include "userdb/dead_entry.h"
#include "userdb/userdb.h"

namespace {

using bench::clock_type;
using bench::seconds_since;
using bench::to_u16;

constexpr std::uint16_t REQUEST_PORT = 6677;

// The appliance: counts the datagrams that arrive on its socket.
struct appliance {
    platform_socket_t socket = PLATFORM_INVALID_SOCKET;
    std::uint16_t port = 0;
    std::atomic<long> received{0};

    bool start(std::uint32_t address)
    {
        socket = bench::open_receiver(address, &port);
        if (socket == PLATFORM_INVALID_SOCKET) {
            return false;
        }
        // The program ends without stopping it.
        std::thread([this] {
            std::uint8_t buffer[4096];
            for (;;) {
                if (platform_socket_recv(socket, buffer, sizeof buffer) > 0) {
                    ++received;
                }
            }
        }).detach();
        return true;
    }

    // Waits until nothing has arrived for quiet_s seconds.
    void wait_quiet(double quiet_s) const
    {
        long seen = received;
        auto since = clock_type::now();
        while (seconds_since(since) < quiet_s) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (received != seen) {
                seen = received;
                since = clock_type::now();
            }
        }
    }
};

// A field of /proc/<pid>/status in kB ("VmRSS", "VmHWM"); -1 when it cannot be read.
long
status_kb(const std::string &pid, const std::string &field)
{
    std::ifstream in("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

bool
fill_store(const std::string &base, int rows)
{
    std::u16string db = to_u16(base + "/nivo.db3");
    registry_set_location(to_u16(base + "/registry").c_str());
    dead_entry_set_timeout(0);
    if (userinfo_db_init(db.c_str(), u"UserInfo") != 0) { // creates the table as nivo does
        return false;
    }
    userinfo_db_fini();
    return bench::fill_logons(base + "/nivo.db3", rows);
}

// The whole measurement, inside the namespace.
int
measure(const std::string &tools, int rows, int datagrams)
{
    std::random_device device;
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("bench-replay-" + std::to_string(device()));
    std::filesystem::create_directories(dir);
    std::string base = dir.string();
    auto finish = [&dir](int status) {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
        std::fflush(stdout);
        // The appliance thread receives for good: end without unwinding it.
        std::_Exit(status);
    };

    std::uint32_t gw_address = 0, server_address = 0;
    platform_ipv4_from_text(u"127.0.0.2", &gw_address);
    platform_ipv4_from_text(u"127.0.0.1", &server_address);
    static appliance gw;
    if (!fill_store(base, rows) || !gw.start(gw_address)) {
        std::fprintf(stderr, "bench-replay: set-up failed\n");
        finish(1);
    }
    {
        std::ofstream ini(base + "/nivo.ini");
        ini << "[SETTINGS]\nHOST-DOMAIN=83'0'73'0'77'0'\nHOST-DOMAIN-FQDN=115'0'105'0'109'0'\n"
               "[NIV-AGENT]\nENABLED=FALSE\n"
               "[NIV-COLLECTOR]\nENABLED=TRUE\nDEAD-ENTRY-TIMEOUT=0\n"
               "[LOGGING]\nLOG-LEVEL=3\n";
        std::ofstream(base + "/gw-list.ini") << "127.0.0.2:" << gw.port << "\n";
    }
    // The shell writes its process id, then becomes nivo: that id is the Collector's.
    std::string nivo = tools + "/nivo";
    std::string pid_file = base + "/nivo.pid";
    std::string script = "echo $$ > '" + pid_file + "'; exec \"$0\"";
    std::string home = "NIVO_HOME=" + base;
    const char *argv[] = {"/bin/sh", "-c", script.c_str(), nivo.c_str(), nullptr};
    const char *env[] = {home.c_str(), nullptr};
    std::string out = base + "/nivo.out";
    platform_process *collector =
        platform_process_start({argv, env, nullptr, out.c_str(), out.c_str()});
    std::string pid;
    auto started = clock_type::now();
    while (collector != nullptr && seconds_since(started) < 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ifstream(pid_file) >> pid;
        if (!pid.empty() &&
            bench::log_contains(base + "/nivo.log", "nivo_init: Initialization Finished")) {
            break;
        }
    }
    if (pid.empty() || status_kb(pid, "VmRSS") < 0) {
        std::fprintf(stderr, "bench-replay: the Collector did not start (see %s)\n", out.c_str());
        platform_process_close(collector);
        finish(1);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    long before = status_kb(pid, "VmRSS");

    platform_socket_t forger = platform_socket_open(false);
    if (platform_socket_bind(forger, gw_address, 0) != 0 ||
        platform_socket_connect(forger, server_address, REQUEST_PORT) != 0) {
        std::fprintf(stderr, "bench-replay: cannot send from 127.0.0.2\n");
        platform_process_close(collector);
        finish(1);
    }
    std::vector<std::uint8_t> request = sso_build_request(SSO_CODE_GETALLUSERS);
    auto start = clock_type::now();
    long highest = before;
    for (int i = 0; i < datagrams; ++i) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(5000LL * i));
        (void)platform_socket_send(forger, request.data(), request.size());
        if (i % 20 == 0) {
            highest = std::max(highest, status_kb(pid, "VmRSS"));
        }
    }
    double sending = seconds_since(start);
    // Until the answers stop, sampling the resident memory meanwhile.
    long seen = gw.received;
    auto quiet_since = clock_type::now();
    while (seconds_since(quiet_since) < 3.0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        highest = std::max(highest, status_kb(pid, "VmRSS"));
        if (gw.received != seen) {
            seen = gw.received;
            quiet_since = clock_type::now();
        }
    }
    double answering = seconds_since(start);
    long after = status_kb(pid, "VmRSS");
    std::this_thread::sleep_for(std::chrono::seconds(10));
    long later = status_kb(pid, "VmRSS");
    long peak = status_kb(pid, "VmHWM");
    platform_socket_close(forger);
    platform_process_signal(collector, PLATFORM_SIGNAL_STOP);
    int status = 0;
    platform_process_wait(collector, 10000, &status);
    platform_process_close(collector);

    long arrived = gw.received;
    std::printf("bench-replay: Collector with %d stored logons, %d forged GetAllUsers datagrams "
                "from the appliance's address, one every 5 ms (%.1f s)\n",
                rows, datagrams, sending);
    std::printf("  RSS before the first datagram      %8.1f MB\n", before / 1024.0);
    std::printf("  RSS when the answers stopped       %8.1f MB  (%.1f s after the first)\n",
                after / 1024.0, answering);
    std::printf("  RSS ten seconds later              %8.1f MB\n", later / 1024.0);
    std::printf("  peak RSS over the run (VmHWM)      %8.1f MB  (highest sample %.1f MB)\n",
                peak / 1024.0, highest / 1024.0);
    std::printf("  logon datagrams to the appliance   %8ld  (%.2f replays of the store)\n", arrived,
                static_cast<double>(arrived) / rows);
    std::printf("  target: peak under 64 MB: %s\n", peak < 64 * 1024 ? "met" : "NOT met");
    finish(0);
    return 0;
}

} // namespace

int
main(int argc, char **argv)
{
    int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
    int datagrams = argc > 2 ? std::atoi(argv[2]) : 1000;
    if (rows <= 0 || rows >= (1 << 24) || datagrams <= 0) {
        std::fprintf(stderr, "usage: bench-replay [rows] [datagrams]\n");
        return 2;
    }
    std::string self = std::filesystem::canonical("/proc/self/exe").string();
    if (std::getenv("NIVO_BENCH_NETNS") == nullptr) {
        // Again, in a network namespace of its own with the loopback device up.
        std::string r = std::to_string(rows), d = std::to_string(datagrams);
        const char *args[] = {"/usr/bin/unshare",
                              "-n",
                              "/bin/sh",
                              "-c",
                              "ip link set lo up && NIVO_BENCH_NETNS=1 exec \"$0\" \"$@\"",
                              self.c_str(),
                              r.c_str(),
                              d.c_str(),
                              nullptr};
        const char *env[] = {nullptr};
        // The child's output goes through a file: a spawned child cannot open /dev/stdout.
        std::random_device device;
        std::string out = (std::filesystem::temp_directory_path() /
                           ("bench-replay-" + std::to_string(device()) + ".out"))
                              .string();
        platform_process *child =
            platform_process_start({args, env, nullptr, out.c_str(), out.c_str()});
        int status = -1;
        if (child == nullptr) {
            std::perror("bench-replay: unshare");
        } else if (platform_process_wait(child, 600000, &status) != 0) {
            std::fprintf(stderr, "bench-replay: no result within 10 minutes\n");
        }
        platform_process_close(child);
        std::ifstream in(out);
        std::string line;
        while (std::getline(in, line)) {
            std::printf("%s\n", line.c_str());
        }
        std::error_code ignored;
        std::filesystem::remove(out, ignored);
        return status;
    }
    return measure(std::filesystem::path(self).parent_path().string(), rows, datagrams);
}
