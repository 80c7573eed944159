// Logoff detection end to end: the real service (example configuration, logoff detection on in
// PING mode with an interval of 2 seconds) made active by the appliance simulator, in a network
// namespace of the test's own. A logon on an address that answers is renewed; one on the silent
// neighbour 10.99.5.7 of tests/netns/silent_neighbour.sh is logged out, and the simulator
// receives its logout.

#include <gtest/gtest.h>

#include <string>

#include "platform/process.h"
#include "support/collector.h"
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
    std::string setup;
    ASSERT_EQ(run_tool({"/bin/bash", "-euc", ". \"$0\" && add_silent_neighbour",
                        NIVO_SOURCE_DIR "/tests/netns/silent_neighbour.sh"},
                       &setup),
              0)
        << setup;

    std::string base = nivo_test::copy_example_base(
        NIVO_SOURCE_DIR, dir.file("base"),
        {{"[LOGOFF-DETECTION]\nENABLED=FALSE\n; PING", "[LOGOFF-DETECTION]\nENABLED=TRUE\n; PING"},
         {"DETECTION-INTERVAL=600", "DETECTION-INTERVAL=2"},
         {"PING-TIMEOUT=0", "PING-TIMEOUT=200"}});
    // The simulator serves every address, the silent workstation's included.
    ASSERT_TRUE(nivo_test::write_file(base + "/gw-list.ini", "127.0.0.2:6060\n"));

    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.ready()) << nivo.err();
    ASSERT_TRUE(
        nivo.wait_for_log(nivo.log(), "nivo_init: User Logoff Detector Thread started", 100));

    // Two logons due in two seconds: alice at an address that answers, bob at the silent one.
    std::string db = base + "/nivo.db3";
    ASSERT_EQ(nivo_test::store_logons(db, {{"alice", "127.0.0.20"}, {"bob", "10.99.5.7"}}, 2), "");
    std::string gwsim_out = dir.file("gwsim.txt");
    nivo_test::background_program sim = nivo_test::active_appliance(NIVO_BUILD_DIR, gwsim_out, 60);
    ASSERT_NE(sim, nullptr);
    EXPECT_TRUE(wait_file(gwsim_out, "logout user=bob domain=example.test address=10.99.5.7", 30))
        << read_file(gwsim_out);
    ASSERT_TRUE(nivo.wait_for_log(
        nivo.log(), "wrkstping_workerthread: Workstation '127.0.0.20' is Reachable", 10000))
        << nivo_test::log_text(nivo.log()) << read_file(gwsim_out);
    sim.reset();
    EXPECT_EQ(read_file(gwsim_out).find("logout user=alice"), std::string::npos)
        << read_file(gwsim_out);
    EXPECT_EQ(nivo_test::store_count(db, "user = 'alice'"), 1);
    EXPECT_EQ(nivo_test::store_count(db, "user = 'bob'"), 0);
    EXPECT_TRUE(nivo.stop());
}
