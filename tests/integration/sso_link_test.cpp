// The appliance link end to end: the real service with the example configuration and the
// appliance simulator of gw-list.ini (127.0.0.2:6060).

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "support/collector.h"
#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::count_of;
using nivo_test::daemon_process;
using nivo_test::read_file;
using nivo_test::run_tool;
using nivo_test::temp_dir;
using nivo_test::wait_file;

namespace {

TEST(ApplianceLink, TheSimulatorSeesActiveRepliesLogonsAndHeartbeats)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.ready()) << nivo.err();
    ASSERT_TRUE(
        nivo.wait_for_log(nivo.log(), "SSOclient_thread: Added GW Node. 127.0.0.2:6060", 100));
    ASSERT_TRUE(nivo.wait_for_log(nivo.log(), "nivo_init: Transparent SSO Server started", 100));

    // Two logons in the store, as a detector would have stored them.
    std::string db = base + "/nivo.db3";
    ASSERT_EQ(nivo_test::store_logons(db, {{"alice", "127.0.0.10"}, {"bob", "127.0.0.11"}}, 600),
              "");
    ASSERT_EQ(nivo_test::store_exec(db, "UPDATE UserInfo SET usergroup = 'Users' WHERE "
                                        "user = 'alice';"),
              "");

    std::string gwsim_out = dir.file("gwsim.txt");
    nivo_test::background_program sim(nivo_test::start_program(
        {NIVO_BUILD_DIR "/nivo-gwsim", "--listen", "127.0.0.2:6060", "--collector",
         "127.0.0.1:6677", "--seconds", "60",
         // a received datagram shorter than a header, and one cut short
         "raw", "ff", "raw", "0b3130000001", "sleep", "200", "is-active", "sleep", "300",
         "get-all-users", "sleep", "300", "poll", "127.0.0.11"},
        {.out = gwsim_out}));
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
    sim.reset();
    for (const char *line :
         {"datagram truncated, bytes received: 1", "incomplete request message received"}) {
        EXPECT_TRUE(nivo_test::logged(nivo.log(), std::string("SSO_server_RecvReqGW: ") + line));
    }
    EXPECT_TRUE(nivo.stop());
}

// The example runs both roles in one service: each logon reaches the appliance once, in order.
// alice then bob at one address are a logon of alice, her logout and a logon of bob; a second
// delivery of each (over a link to itself) would leave alice at the address.
TEST(ApplianceLink, TheExampleDeliversEachLogonOnce)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.wait_for_log(base + "/logging_events.log",
                                  "dca_eventlog: EventLog DCA initialized", 15000))
        << nivo.err();
    // Past the agent's first connections to the Collectors of coll-list.ini.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    std::string gwsim_out = dir.file("gwsim.txt");
    nivo_test::background_program sim = nivo_test::active_appliance(NIVO_BUILD_DIR, gwsim_out, 20);
    ASSERT_NE(sim, nullptr);

    std::string authlog = std::string(NIVO_BUILD_DIR) + "/nivo-authlog";
    // One after the other: lines of one write go to the pool together, stored in either order.
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
    sim.reset();

    std::string seen;
    std::istringstream out(read_file(gwsim_out));
    for (std::string line; std::getline(out, line);) {
        if (line.find("address=127.0.0.30") != std::string::npos) {
            seen += line.substr(0, line.find(" domain=")) + "; ";
        }
    }
    EXPECT_EQ(seen, "logon user=alice; logout user=alice; logon user=bob; ")
        << nivo_test::log_text(nivo.log()) << read_file(gwsim_out);
    EXPECT_TRUE(nivo.stop());
}

} // namespace
