// Logoff detection end to end: the real service (example configuration, logoff detection on in
// PING mode with an interval of 2 seconds) made active by the appliance simulator, in a network
// namespace of the test's own. A logon on an address that answers is renewed; one on
// 10.99.5.7, a permanent fake neighbour behind a veth pair that never answers, is logged out
// and the simulator receives its logout.

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "platform/process.h"
#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::daemon_process;
using nivo_test::read_file;
using nivo_test::run_tool;
using nivo_test::temp_dir;
using nivo_test::wait_file;

TEST(LogoffDetection, AnsweringWorkstationRenewedSilentOneLoggedOutToTheAppliance)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string setup = dir.file("ip.txt");
    for (const std::vector<std::string> &words :
         {std::vector<std::string>{"/usr/sbin/ip", "link", "add", "nv0", "type", "veth", "peer",
                                   "name", "nv1"},
          {"/usr/sbin/ip", "addr", "add", "10.99.5.1/24", "dev", "nv0"},
          {"/usr/sbin/ip", "link", "set", "nv0", "up"},
          {"/usr/sbin/ip", "link", "set", "nv1", "up"},
          {"/usr/sbin/ip", "neigh", "replace", "10.99.5.7", "lladdr", "02:00:00:00:00:01", "dev",
           "nv0", "nud", "permanent"}}) {
        ASSERT_EQ(run_tool(words, setup), 0) << read_file(setup);
    }

    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    std::string ini = read_file(base + "/nivo.ini");
    for (const auto &[from, to] :
         {std::pair<std::string, std::string>{"[LOGOFF-DETECTION]\nENABLED=FALSE\n; PING",
                                              "[LOGOFF-DETECTION]\nENABLED=TRUE\n; PING"},
          {"DETECTION-INTERVAL=600", "DETECTION-INTERVAL=2"},
          {"PING-TIMEOUT=0", "PING-TIMEOUT=200"}}) {
        ASSERT_NE(ini.find(from), std::string::npos) << from;
        ini.replace(ini.find(from), from.size(), to);
    }
    ASSERT_TRUE(nivo_test::write_file(base + "/nivo.ini", ini));
    // The simulator serves every address, the silent workstation's included.
    ASSERT_TRUE(nivo_test::write_file(base + "/gw-list.ini", "127.0.0.2:6060\n"));

    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.started());
    std::string log = base + "/nivo.log";
    ASSERT_TRUE(nivo.wait_for_log(log, "nivo_init: Initialization Finished", 15000)) << nivo.err();
    ASSERT_TRUE(nivo.wait_for_log(log, "nivo_init: User Logoff Detector Thread started", 100));

    // Two logons due in two seconds: alice at an address that answers, bob at the silent one.
    std::string now = std::to_string(std::time(nullptr));
    std::string sql = "INSERT INTO UserInfo (user, domain, wrkst_ip, create_time, expire_time, "
                      "logon_type, flags) VALUES ('alice', 'example.test', '127.0.0.20', " +
                      now + ", " + now + " + 2, 2, 1), ('bob', 'example.test', '10.99.5.7', " +
                      now + ", " + now + " + 2, 2, 1);";
    ASSERT_EQ(run_tool({"/usr/bin/sqlite3", base + "/nivo.db3", sql}, dir.file("sqlite.txt")), 0)
        << read_file(dir.file("sqlite.txt"));

    std::string gwsim_out = dir.file("gwsim.txt");
    platform_process *sim = nivo_test::start_program(
        {std::string(NIVO_BUILD_DIR) + "/nivo-gwsim", "--listen", "127.0.0.2:6060", "--collector",
         "127.0.0.1:6677", "--seconds", "60", "is-active"},
        {.out = gwsim_out});
    ASSERT_NE(sim, nullptr);
    EXPECT_TRUE(wait_file(gwsim_out, "active port=6677", 10)) << read_file(gwsim_out);
    EXPECT_TRUE(wait_file(gwsim_out, "logout user=bob domain=example.test address=10.99.5.7", 30))
        << read_file(gwsim_out);
    ASSERT_TRUE(nivo.wait_for_log(log,
                                  "wrkstping_workerthread: Workstation '127.0.0.20' is "
                                  "Reachable",
                                  10000))
        << nivo_test::log_text(log) << read_file(gwsim_out);
    platform_process_close(sim);
    EXPECT_EQ(read_file(gwsim_out).find("logout user=alice"), std::string::npos)
        << read_file(gwsim_out);

    std::string rows = dir.file("rows.txt");
    ASSERT_EQ(run_tool({"/usr/bin/sqlite3", base + "/nivo.db3",
                        "SELECT user, flags, expire_time > strftime('%s','now') FROM UserInfo;"},
                       rows),
              0);
    std::string text = read_file(rows);
    EXPECT_NE(text.find("alice|"), std::string::npos) << text;
    EXPECT_EQ(text.find("bob|"), std::string::npos) << text;
    ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_STOP));
    EXPECT_EQ(nivo.wait_exit(10000), 0);
}
