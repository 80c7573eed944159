// bench-eventlog: audit lines per second from a domain controller's audit log to stored rows,
// with the local Collector, at the default log level.
//
//   bench-eventlog [LOGONS]     (default 20000)
//
// The event-log monitor, the logon pipeline on a pool of 16 threads, the user store and the
// update queue run as in the service, in a temporary base directory; a consumer empties the
// update queue as the appliance client would. The benchmark appends LOGONS Kerberos lines of
// distinct users and addresses to the audit log at once and measures until every logon is
// stored. It prints the rate, its ratio to the target of 2000 logons per second, the rows
// stored, the logons queued for the appliances and the logging events written: none may be
// missing.

#include <sqlite3.h>

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
#include "local_collector.h"
#include "common/log.h"
#include "common/threadpool.h"
#include "dca/dca_eventlog.h"
#include "dca/filter/dca_filter.h"
#include "dca/dca_pipeline.h"
#include "logoff/logoff_detector.h"
#include "platform/registry.h"
#include "userdb/dead_entry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"

namespace {

using bench::count_rows;
using bench::to_u16;

constexpr double TARGET = 2000.0;

std::string
kerberos_line(unsigned n)
{
    char address[32];
    std::snprintf(address, sizeof address, "10.%u.%u.%u", (n >> 16) & 255u, (n >> 8) & 255u,
                  n & 255u);
    std::string user = "user" + std::to_string(n);
    return R"(  {"timestamp": "2026-12-06T07:19:15.973376+0000", "type": "Authentication", )"
           R"("Authentication": {"version": {"major": 1, "minor": 2}, "eventId": 4624, )"
           R"("logonType": 3, "status": "NT_STATUS_OK", "localAddress": null, "remoteAddress": "ipv4:)" +
           std::string(address) +
           R"(:50000", "serviceDescription": "Kerberos KDC", "authDescription": "ENC-TS )"
           R"(Pre-authentication", "clientDomain": null, "clientAccount": ")" +
           user + R"(@BENCH.LAN", "workstation": null, "becameAccount": ")" + user +
           R"(", "becameDomain": "BENCH", "becameSid": "S-1-5-21-1-2-3-1102", "mappedAccount": ")" +
           user +
           R"(", "mappedDomain": "BENCH", "passwordType": "aes256-cts-hmac-sha1-96", "duration": 1000}})"
           "\n";
}

long long
count_in_utf16_file(const std::string &path, const std::string &needle)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string narrow;
    narrow.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        narrow.push_back(bytes[i + 1] == 0 ? bytes[i] : '?');
    }
    long long count = 0;
    for (std::size_t at = narrow.find(needle); at != std::string::npos;
         at = narrow.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

std::atomic<long long> g_queued{0};

} // namespace

int
main(int argc, char **argv)
{
    unsigned logons = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 20000;
    if (logons == 0 || logons > 1000000) {
        std::fprintf(stderr, "bench-eventlog: LOGONS from 1 to 1000000\n");
        return 2;
    }
    std::random_device device;
    std::filesystem::path base = std::filesystem::temp_directory_path() /
                                 ("nivo-bench-eventlog-" + std::to_string(device()));
    std::filesystem::create_directories(base);
    std::string audit = (base / "auth_json.log").string();
    std::string db = (base / "nivo.db3").string();
    {
        std::ofstream(audit, std::ios::binary);
    }

    std::u16string audit_path = to_u16(audit);
    std::u16string base_path = to_u16(base.string());
    dca_eventlog_init({audit_path.c_str(), base_path.c_str(), false});
    if (!bench::start_local_collector(base, u"10.0.0.0/8")) {
        return 1;
    }
    bench::drain_update_queue(&g_queued, logons);
    static const char16_t log_name[] = u"security";
    threadpool_run(dca_eventlog, const_cast<char16_t *>(log_name), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the monitor opens the log

    std::string lines;
    for (unsigned n = 1; n <= logons; ++n) {
        lines += kerberos_line(n);
    }
    auto start = std::chrono::steady_clock::now();
    {
        std::ofstream out(audit, std::ios::binary | std::ios::app);
        out << lines;
    }
    long long rows = 0;
    auto deadline = start + std::chrono::seconds(600);
    while ((rows = count_rows(db)) < static_cast<long long>(logons) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int i = 0; i < 500 && g_queued.load() < logons; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    long long queued = g_queued.load();
    long long events = count_in_utf16_file((base / "logging_events.log").string(),
                                           "init_userinfo_kerberos: UserName: user");
    double rate = logons / seconds;
    std::printf("bench-eventlog: %u audit lines, %.3f s from the file to stored rows\n", logons,
                seconds);
    std::printf("  logons per second      %10.0f   (target %.0f, ratio %.2f)\n", rate, TARGET,
                rate / TARGET);
    std::printf("  rows stored            %10lld   (lost %lld)\n", rows,
                static_cast<long long>(logons) - rows);
    std::printf("  queued for appliances  %10lld\n", queued);
    std::printf("  logging events written %10lld   (one UserName line per logon)\n", events);
    std::fflush(stdout);
    std::filesystem::remove_all(base);
    // The monitor and the pool's workers run until the process ends, as in the service.
    std::_Exit(rows == logons && queued == logons && events == logons ? 0 : 1);
}
