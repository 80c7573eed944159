// bench-edirectory: login events per second from a directory server to stored rows, with the
// local Collector, beside the rate at which the server itself sent the events.
//
//   bench-edirectory [EVENTS [PAUSE-DIVISOR]]     (defaults 20 and 1)
//
// The eDirectory monitor, the logon pipeline on a pool of 16 threads, the user store and the
// update queue run as in the service, in a temporary base directory; a consumer empties the
// update queue as the appliance client would. The directory is the scripted test server
// tests/integration/fake_directory.py on a free port of 127.0.0.1: EVENTS users, each with an
// address of 127.0.0.0/8, and one subscription that plays a login event for each of them at
// once. Each event costs one search by user. The clock runs from the subscription to the last
// row stored. With PAUSE-DIVISOR 1 the monitor keeps the service's pauses (one second before
// each search); a larger divisor shortens them, to show what the rest of the path costs.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench_support.h"
#include "local_collector.h"
#include "common/threadpool.h"
#include "config/config.h"
#include "dca/dca_edirectory.h"
#include "platform/process.h"

namespace {

using bench::count_rows;
using bench::to_u16;

std::atomic<long long> g_queued{0};

std::string
read_text(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

long long
count_text(const std::string &text, const std::string &needle)
{
    long long count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

// The number after "key": in the first record line that holds marker; -1 when there is none.
double
recorded_number(const std::string &record, const std::string &marker, const std::string &key)
{
    std::size_t line = record.find(marker);
    std::size_t at = line == std::string::npos ? line : record.find("\"" + key + "\": ", line);
    return at == std::string::npos ? -1
                                   : std::strtod(record.c_str() + at + key.size() + 4, nullptr);
}

// The server's script: users user1..userN below ou=users,o=bench, each at its own address, and
// one login event for each.
std::string
directory_script(unsigned events)
{
    std::string entries, logins;
    for (unsigned n = 1; n <= events; ++n) {
        std::string dn = "cn=user" + std::to_string(n) + ",ou=users,o=bench";
        entries += std::string(n > 1 ? ",\n" : "") + R"({"dn": ")" + dn + R"(", "uid": "user)" +
                   std::to_string(n) + R"(", "networkAddress": "9#)" + bench::address_of(127, n) +
                   R"(:0"})";
        logins +=
            std::string(n > 1 ? ", " : "") + R"({"type": 100, "perpetrator": ")" + dn + R"("})";
    }
    return R"({"bind_dn": "cn=admin,o=bench", "password": "bench", "entries": [)" + entries +
           "],\n" + R"("subscriptions": [{"events": [)" + logins + "]}]}\n";
}

} // namespace

int
main(int argc, char **argv)
{
    unsigned events = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 20;
    unsigned long divisor = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1;
    if (events == 0 || events > 100000 || divisor == 0 || divisor > 1000000) {
        std::fprintf(stderr, "bench-edirectory: EVENTS from 1 to 100000, PAUSE-DIVISOR from 1\n");
        return 2;
    }
    std::filesystem::path base = bench::make_temp_dir("nivo-bench-edirectory");
    std::uint16_t port = bench::free_port();
    if (base.empty() || port == 0) {
        return 1;
    }
    std::string db = (base / "nivo.db3").string();
    std::filesystem::path record = base / "record.txt";
    std::ofstream(base / "directory.json") << directory_script(events);

    std::string fake = (std::filesystem::path(__FILE__).parent_path().parent_path() / "tests" /
                        "integration" / "fake_directory.py")
                           .string();
    std::string script = (base / "directory.json").string(), record_path = record.string();
    std::string port_text = std::to_string(port), out = (base / "directory.txt").string();
    const char *args[] = {"/usr/bin/python3",
                          fake.c_str(),
                          "--script",
                          script.c_str(),
                          "--port",
                          port_text.c_str(),
                          "--record",
                          record_path.c_str(),
                          "--seconds",
                          "900",
                          nullptr};
    const char *no_env[] = {nullptr};
    platform_process *server =
        platform_process_start({args, no_env, nullptr, out.c_str(), out.c_str()});
    for (int i = 0; i < 500 && read_text(out).find("listening") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (server == nullptr || read_text(out).find("listening") == std::string::npos) {
        std::fprintf(stderr, "bench-edirectory: the directory server did not start: %s\n",
                     read_text(out).c_str());
        return 1;
    }

    if (!bench::start_local_collector(base, u"127.0.0.0/8")) {
        return 1;
    }
    edir_reset(divisor);
    bench::drain_update_queue(&g_queued, events);
    std::u16string ip = u"127.0.0.1", dn = u"cn=admin,o=bench", password = u"bench",
                   user_base = u"ou=users,o=bench";
    config_record config{};
    config.edirectory_server_ip = ip.data();
    config.edirectory_server_port = port;
    config.admin_user_dn = dn.data();
    config.edirectory_password = password.data();
    config.user_base_dn = user_base.data();
    threadpool_run(nd_login_event_listner, &config, 1);

    for (int i = 0; i < 3000 && count_text(read_text(record), "\"op\": \"monitor\"") == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    auto start = bench::clock_type::now();
    long long rows = 0;
    auto deadline = start + std::chrono::seconds(60 + 2 * events);
    while ((rows = count_rows(db)) < static_cast<long long>(events) &&
           bench::clock_type::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    double seconds = bench::seconds_since(start);
    for (int i = 0; i < 500 && g_queued.load() < events; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::string recorded = read_text(record);
    long long searches = count_text(recorded, "\"op\": \"search\"");
    double played = recorded_number(recorded, "\"op\": \"played\"", "seconds");
    double rate = rows / seconds, server_rate = played > 0 ? events / played : 0;
    std::printf("bench-edirectory: %u login events, pause divisor %lu, %.3f s from the "
                "subscription to stored rows\n",
                events, divisor, seconds);
    std::printf("  events stored per second %10.1f\n", rate);
    std::printf("  server's events per second %8.0f   (all sent in %.4f s; ratio stored/sent "
                "%.4f)\n",
                server_rate, played, server_rate > 0 ? rate / server_rate : 0);
    std::printf("  rows stored              %10lld   (lost %lld)\n", rows,
                static_cast<long long>(events) - rows);
    std::printf("  searches                 %10lld   (one per event)\n", searches);
    std::printf("  queued for appliances    %10lld\n", g_queued.load());
    std::fflush(stdout);
    edir_stop();
    platform_process_close(server);
    std::filesystem::remove_all(base);
    // The pool's workers run until the process ends, as in the service.
    std::_Exit(rows == events && searches == events && g_queued.load() == events ? 0 : 1);
}
