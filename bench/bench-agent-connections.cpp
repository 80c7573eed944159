// bench-agent-connections: a Collector with many agents connected at once, over loopback.
//
// A Collector-only nivo (the shipped THREADPOOL-SIZE of 16, LOG-LEVEL 3, on 127.0.0.1 and a free
// port) is fed by one nivo-agentsim process holding `connections` agent connections that each
// send a logon every `every` seconds for `duration` seconds, and `idle` more that only ran the
// handshake. Meanwhile this program plays one well-behaved agent that connects once the load is
// running and sends a logon every second, and times each from its send until its row is in
// nivo.db3. It prints:
//   - the logons sent by the load and how many of them were stored;
//   - the Collector's thread count and resident memory (largest seen, from /proc);
//   - the well-behaved agent's logons: how many were stored, and the longest time to be stored.
// Target: every logon stored, and the well-behaved agent's logons each within 1 s.
// Everything runs in a temporary directory that is removed at the end. Run by hand from the
// build directory (nivo and nivo-agentsim are found beside this program; NIVO=path runs another
// Collector program the same way, to compare builds):
//   build/bench-agent-connections [connections [idle [every [duration]]]]   (1000 100 5 30)

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "common/crypto.h"
#include "common/net.h"
#include "dcalink/dcalink_protocol.h"

extern char **environ;

namespace {

using bench::clock_type;
using bench::count_rows;
using bench::seconds_since;
using bench::to_u16;

// Starts program with arguments and the environment given, its output to out: the process id,
// or -1.
pid_t
spawn(const std::vector<std::string> &arguments, const std::vector<std::string> &environment,
      const std::string &out)
{
    std::vector<char *> argv;
    for (const std::string &a : arguments) {
        argv.push_back(const_cast<char *>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &e : environment) {
        envp.push_back(const_cast<char *>(e.c_str()));
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The value of a "Name:  value" line of /proc/pid/status (the number at its start), or -1.
long
proc_status(pid_t pid, const std::string &name)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            return std::strtol(line.c_str() + name.size() + 1, nullptr, 10);
        }
    }
    return -1;
}

struct probe_agent {
    net_handle *handle = nullptr;
    crypto_handle *crypto = nullptr;
};

// A connected, handshaken agent; false when the Collector did not answer within 5 s.
bool
probe_connect(probe_agent *agent, std::uint16_t port)
{
    agent->handle = net_init(u"127.0.0.1", port, NET_MODE_CLIENT);
    if (agent->handle == nullptr || net_open(agent->handle, NET_TRANSPORT_TCP) != 0) {
        return false;
    }
    net_set_recv_timeout(agent->handle, 5, 0);
    std::uint8_t header[DCALINK_HEADER_SIZE];
    dcalink_build_handshake(header, DCALINK_MSG_REQUEST, DCALINK_ENCRYPTION_RC4);
    if (net_send(agent->handle, header, sizeof header) != 1) {
        return false;
    }
    std::size_t have = 0;
    while (have < sizeof header) {
        long long n = net_recv(agent->handle, header + have, sizeof header - have);
        if (n <= 0) {
            return false;
        }
        have += static_cast<std::size_t>(n);
    }
    return header[0] == DCALINK_MSG_RESPONSE;
}

bool
probe_send(probe_agent *agent, const std::string &user, unsigned n)
{
    std::u16string name = to_u16(user);
    std::u16string ip = to_u16(bench::address_of(127, (3u << 16) + n));
    auto now = static_cast<std::int32_t>(std::time(nullptr));
    dcalink_record record{now,    now + 600, 2,          1,         name.c_str(),
                          u"SIM", nullptr,   u"PROBEWS", ip.c_str()};
    std::vector<std::uint8_t> message(DCALINK_HEADER_SIZE + DCALINK_PAYLOAD_MAX);
    std::size_t length =
        dcalink_serialize(record, message.data() + DCALINK_HEADER_SIZE, DCALINK_PAYLOAD_MAX);
    (void)crypto_encrypt_data(agent->crypto, message.data() + DCALINK_HEADER_SIZE, length);
    dcalink_build_data_header(message.data(), DCALINK_ENCRYPTION_RC4,
                              static_cast<std::uint32_t>(length));
    return net_send(agent->handle, message.data(), DCALINK_HEADER_SIZE + length) == 1;
}

// The rows matching where once there are expected of them, giving up after 10 seconds without
// one more.
long long
wait_for_rows(const std::string &db, const std::string &where, long long expected)
{
    long long now = count_rows(db, where);
    long long last = now;
    auto progress = clock_type::now();
    while (now < expected && seconds_since(progress) <= 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = count_rows(db, where);
        if (now != last) {
            last = now;
            progress = clock_type::now();
        }
    }
    return now;
}

} // namespace

int
main(int argc, char **argv)
{
    unsigned connections = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 1000;
    unsigned idle = argc > 2 ? static_cast<unsigned>(std::atoi(argv[2])) : 100;
    double every = argc > 3 ? std::atof(argv[3]) : 5;
    double duration = argc > 4 ? std::atof(argv[4]) : 30;
    if (connections == 0 || connections > 10000 || idle > 10000 || !(every > 0) ||
        !(duration > 0) || duration > 600) {
        std::fprintf(stderr, "usage: bench-agent-connections [connections [idle [every "
                             "[duration]]]]\n");
        return 2;
    }
    std::string tools = std::filesystem::absolute(argv[0]).parent_path().string();
    const char *other = std::getenv("NIVO");
    std::string nivo = other != nullptr ? other : tools + "/nivo";
    std::filesystem::path dir = bench::make_temp_dir("bench-agent-connections");
    if (dir.empty()) {
        return 1;
    }
    std::string base = (dir / "collector").string();
    std::filesystem::create_directories(base);
    std::uint16_t port = bench::free_port();
    {
        std::ofstream ini(base + "/nivo.ini");
        ini << "[SETTINGS]\nTHREADPOOL-SIZE=16\n"
               "HOST-DOMAIN=83'0'73'0'77'0'\nHOST-DOMAIN-FQDN=115'0'105'0'109'0'\n"
               "[NIV-AGENT]\nENABLED=FALSE\n"
               "[NIV-COLLECTOR]\nENABLED=TRUE\nDCASERVER-PORT="
            << port << "\nTSSO-SERVER-PORT=" << bench::free_port()
            << "\nDEAD-ENTRY-TIMEOUT=0\n[LOGGING]\nLOG-LEVEL=3\n";
    }
    std::string db = base + "/nivo.db3";
    pid_t collector = spawn({nivo}, {"NIVO_HOME=" + base}, base + "/nivo.out");
    auto started = clock_type::now();
    while (!bench::log_contains(base + "/nivo.log", "DC Agent Server started") &&
           seconds_since(started) < 10) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (collector < 0 || !bench::log_contains(base + "/nivo.log", "DC Agent Server started")) {
        std::fprintf(stderr, "bench-agent-connections: the Collector did not start (see %s)\n",
                     base.c_str());
        return 1;
    }
    long threads_before = proc_status(collector, "Threads");
    long rss_before = proc_status(collector, "VmRSS");

    std::string out = dir.string() + "/agentsim.out";
    pid_t load =
        spawn({tools + "/nivo-agentsim", "-p", std::to_string(port), "-c",
               std::to_string(connections), "-l", std::to_string(idle), "-e", std::to_string(every),
               "-t", std::to_string(duration), "-i", "127.2.0.1", "-u", "load", "-q"},
              {}, out);
    if (load < 0) {
        std::fprintf(stderr, "bench-agent-connections: nivo-agentsim cannot be started\n");
        return 1;
    }

    // The well-behaved agent, from two seconds into the load until it ends.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    probe_agent agent;
    agent.crypto = crypto_open();
    bool connected = probe_connect(&agent, port);
    unsigned probes = 0, probes_stored = 0;
    double slowest = 0;
    long threads_most = threads_before, rss_most = rss_before;
    int load_status = -1;
    for (;;) {
        auto round = clock_type::now();
        threads_most = std::max(threads_most, proc_status(collector, "Threads"));
        rss_most = std::max(rss_most, proc_status(collector, "VmRSS"));
        if (waitpid(load, &load_status, WNOHANG) == load) {
            break;
        }
        if (connected) {
            std::string user = "probe" + std::to_string(probes);
            auto sent = clock_type::now();
            if (probe_send(&agent, user, probes)) {
                std::string where = "user = '" + user + "'";
                while (count_rows(db, where) < 1 && seconds_since(sent) < 10) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                if (count_rows(db, where) == 1) {
                    ++probes_stored;
                    slowest = std::max(slowest, seconds_since(sent));
                }
            }
            ++probes;
        }
        std::this_thread::sleep_until(round + std::chrono::seconds(1));
    }
    net_fini(agent.handle);
    crypto_close(agent.crypto);

    unsigned long sent = 0;
    std::string told; // what nivo-agentsim said besides its summary
    {
        std::ifstream in(out);
        std::string line;
        while (std::getline(in, line)) {
            if (line.find("records sent on") != std::string::npos) {
                sent = std::strtoul(line.c_str() + 15, nullptr, 10);
            } else {
                told += "    " + line + "\n";
            }
        }
    }
    long long stored = wait_for_rows(db, "user LIKE 'load%'", static_cast<long long>(sent));

    kill(collector, SIGTERM);
    int status = 0;
    waitpid(collector, &status, 0);
    std::filesystem::remove_all(dir);

    std::printf("bench-agent-connections: %u connections sending a logon every %.1f s for %.0f s, "
                "%u idle, THREADPOOL-SIZE 16, loopback\n",
                connections, every, duration, idle);
    std::printf("  load logons sent / stored            %lu / %lld%s\n", sent, stored,
                WIFEXITED(load_status) && WEXITSTATUS(load_status) == 0
                    ? ""
                    : "  (nivo-agentsim reported failures)");
    std::printf("%s", told.c_str());
    std::printf("  Collector threads before / most      %ld / %ld\n", threads_before, threads_most);
    std::printf("  Collector RSS before / most          %ld / %ld kB\n", rss_before, rss_most);
    std::printf("  well-behaved agent                   %s, %u of %u logons stored, slowest %.3f "
                "s\n",
                connected ? "served" : "NOT served (no handshake)", probes_stored, probes, slowest);
    bool met = connected && probes > 0 && probes_stored == probes && slowest <= 1.0 && sent > 0 &&
               stored == static_cast<long long>(sent);
    std::printf("  target: every logon stored, the agent's within 1 s: %s\n",
                met ? "met" : "NOT met");
    return 0;
}
