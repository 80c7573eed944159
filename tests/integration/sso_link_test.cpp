// The appliance link end to end: the real service with the example configuration and the
// appliance simulator of gw-list.ini (127.0.0.2:6060).

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::count_of;
using nivo_test::daemon_process;
using nivo_test::read_file;
using nivo_test::run_tool;
using nivo_test::temp_dir;
using nivo_test::wait_file;

namespace {

// The appliance simulator with the arguments after its path, writing to out.
platform_process *
start_gwsim(const std::string &out, std::vector<std::string> args)
{
    args.insert(args.begin(), NIVO_BUILD_DIR "/nivo-gwsim");
    return nivo_test::start_program(args, {.out = out});
}

TEST(ApplianceLink, TheSimulatorSeesActiveRepliesLogonsAndHeartbeats)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.started());
    std::string log = base + "/nivo.log";
    ASSERT_TRUE(nivo.wait_for_log(log, "nivo_init: Initialization Finished", 15000)) << nivo.err();
    ASSERT_TRUE(nivo.wait_for_log(log, "SSOclient_thread: Added GW Node. 127.0.0.2:6060", 100));
    ASSERT_TRUE(nivo.wait_for_log(log, "nivo_init: Transparent SSO Server started", 100));

    // Two logons in the store, as a detector would have stored them.
    std::string now = std::to_string(std::time(nullptr));
    std::string sql = "INSERT INTO UserInfo (user, domain, usergroup, wrkst_ip, create_time, "
                      "expire_time, logon_type, flags) VALUES ('alice', 'example.test', "
                      "'Users', '127.0.0.10', " +
                      now + ", " + now + " + 600, 2, 1), ('bob', 'example.test', NULL, " +
                      "'127.0.0.11', " + now + ", " + now + " + 600, 2, 1);";
    ASSERT_EQ(run_tool({"/usr/bin/sqlite3", base + "/nivo.db3", sql}, dir.file("sqlite.txt")), 0)
        << read_file(dir.file("sqlite.txt"));

    std::string gwsim_out = dir.file("gwsim.txt");
    platform_process *sim = start_gwsim(
        gwsim_out,
        {"--listen", "127.0.0.2:6060", "--collector", "127.0.0.1:6677", "--seconds", "60",
         // garbage, truncated and oversized requests first
         "raw", "ff", "raw", "0c3500", "oversize", "600", "raw", "0b3130000001", "raw",
         "0d370000000214", "raw", "6632300000", "sleep", "200", "is-active", "sleep", "300",
         "get-all-users", "sleep", "300", "poll", "127.0.0.11"});
    ASSERT_NE(sim, nullptr);

    EXPECT_TRUE(wait_file(gwsim_out, "active port=6677", 10)) << read_file(gwsim_out);
    std::string alice = "logon user=alice domain=example.test group=Users address=127.0.0.10 "
                        "logon-type=2";
    std::string bob = "logon user=bob domain=example.test address=127.0.0.11 logon-type=2";
    EXPECT_TRUE(wait_file(gwsim_out, alice, 10)) << read_file(gwsim_out);
    EXPECT_TRUE(wait_file(gwsim_out, bob, 10, 2)) << read_file(gwsim_out); // all users, poll
    EXPECT_EQ(read_file(base + "/active-appliance.log"), "127.0.0.2\r\n");

    // Within one heartbeat period: the heartbeat, and the logons of the last 150 seconds again.
    EXPECT_TRUE(wait_file(gwsim_out, "heartbeat port=6677", 40)) << read_file(gwsim_out);
    EXPECT_TRUE(wait_file(gwsim_out, alice, 10, 2)) << read_file(gwsim_out);
    EXPECT_EQ(count_of(read_file(gwsim_out), "bad from"), 0u) << read_file(gwsim_out);
    platform_process_close(sim);

    for (const char *line :
         {"datagram truncated, bytes received: 1", "datagram longer than 512 bytes dropped",
          "incomplete request message received", "request too short for its item"}) {
        EXPECT_TRUE(nivo_test::logged(log, std::string("SSO_server_RecvReqGW: ") + line)) << line;
    }
    ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_STOP));
    EXPECT_EQ(nivo.wait_exit(10000), 0);
}

// The example runs both roles in one service: each logon reaches the appliance once, in the
// order it happened. Two logons at one address, alice then bob, are a logon of alice, her
// logout, and a logon of bob; a second delivery of each (over a link to itself) would leave
// alice at the address.
TEST(ApplianceLink, TheExampleDeliversEachLogonOnce)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.started());
    ASSERT_TRUE(nivo.wait_for_log(base + "/logging_events.log",
                                  "dca_eventlog: EventLog DCA initialized", 15000))
        << nivo.err();
    // Past the agent's first connections to the Collectors of coll-list.ini.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::string gwsim_out = dir.file("gwsim.txt");
    platform_process *sim =
        start_gwsim(gwsim_out, {"--listen", "127.0.0.2:6060", "--seconds", "20", "is-active"});
    ASSERT_NE(sim, nullptr);
    ASSERT_TRUE(wait_file(gwsim_out, "active port=6677", 10)) << read_file(gwsim_out);

    std::string authlog = std::string(NIVO_BUILD_DIR) + "/nivo-authlog";
    // Two users at one address, one after the other: each logon reaches the active appliance as
    // it happens, and bob's replaces alice's. (Lines of one write go to the pool together and
    // may be stored in either order.)
    for (const char *user : {"alice", "bob"}) {
        ASSERT_EQ(run_tool({authlog, "-f", base + "/auth_json.log", "kerberos", user, "EXAMPLE",
                            "127.0.0.30"},
                           dir.file("authlog.txt")),
                  0);
        ASSERT_TRUE(wait_file(gwsim_out,
                              std::string("logon user=") + user +
                                  " domain=example.test address=127.0.0.30 logon-type=2",
                              10))
            << read_file(gwsim_out);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2)); // room for any second delivery
    platform_process_close(sim);

    std::string seen;
    std::istringstream out(read_file(gwsim_out));
    for (std::string line; std::getline(out, line);) {
        if (line.find("address=127.0.0.30") != std::string::npos) {
            seen += line.substr(0, line.find(" domain=")) + "; ";
        }
    }
    EXPECT_EQ(seen, "logon user=alice; logout user=alice; logon user=bob; ")
        << nivo_test::log_text(base + "/nivo.log") << read_file(gwsim_out);
    ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_STOP));
    EXPECT_EQ(nivo.wait_exit(10000), 0);
}

} // namespace
