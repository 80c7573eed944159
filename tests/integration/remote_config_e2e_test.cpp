// A configuration push to the running service end to end, in a network namespace of the test's
// own: the service started again runs with the pushed files and answers the tool's questions.

#include <gtest/gtest.h>

#include <string>

#include "platform/process.h"
#include "support/daemon.h"
#include "support/test_support.h"

namespace {

using nivo_test::count_of;
using nivo_test::read_file;
using nivo_test::temp_dir;

const std::string TOOL = NIVO_BUILD_DIR "/nivo-config";

TEST(RemoteConfig, APushedConfigurationRunsAfterTheRestart)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    // A new appliance, the appliances' request port moved, and HA and remote-configuration
    // settings that must not win over the local ones.
    std::string pushed = nivo_test::copy_example_base(
        NIVO_SOURCE_DIR, dir.file("pushed"),
        {{"TSSO-SERVER-PORT=6677", "TSSO-SERVER-PORT=6678"},
         {"MONITORING-IP=127.0.0.2", "MONITORING-IP=127.0.0.7"},
         {"ALLOWED-NETWORKS=127.0.0.0/8", "ALLOWED-NETWORKS=127.0.0.7/32"}});
    ASSERT_TRUE(nivo_test::write_file(pushed + "/gw-list.ini", "127.0.0.9:6061\n"));
    std::string tool_out = dir.file("tool.txt");
    {
        nivo_test::daemon_process nivo(NIVO_BINARY, base);
        ASSERT_TRUE(nivo.ready()) << nivo.err();
        ASSERT_EQ(nivo_test::run_tool({TOOL, "push", "127.0.0.1", pushed, "--type", "SUITE"},
                                      tool_out, 120000),
                  0)
            << read_file(tool_out);
        EXPECT_TRUE(nivo_test::eventually(
            [&] { return read_file(base + "/gw-list.ini") == "127.0.0.9:6061\n"; }));
        EXPECT_TRUE(nivo.stop());
    }
    std::string written = read_file(base + "/nivo.ini");
    EXPECT_EQ(count_of(written, "MONITORING-IP=127.0.0.2"), 1u) << written;
    EXPECT_EQ(count_of(written, "ALLOWED-NETWORKS=127.0.0.0/8"), 1u) << written;
    EXPECT_EQ(count_of(written, "127.0.0.7"), 0u) << written;
    EXPECT_EQ(read_file(base + "/user-exclusion-list.ini"),
              read_file(pushed + "/user-exclusion-list.ini"));

    nivo_test::daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.ready(2)) << nivo.err();
    // The new appliance asks IS_ACTIVE at the moved port and gets its heartbeats.
    std::string gwsim_out = dir.file("gwsim.txt");
    nivo_test::background_program sim =
        nivo_test::active_appliance(NIVO_BUILD_DIR, gwsim_out, 60, "127.0.0.9:6061", 6678);
    ASSERT_NE(sim, nullptr);
    EXPECT_TRUE(nivo_test::wait_file(gwsim_out, "heartbeat port=6678", 40)) << read_file(gwsim_out);
    sim.reset();

    // 127.0.0.2 is no address of the host's name: only a responder bound to every address
    // answers there, and it must answer from the address asked.
    for (const char *host : {"localhost", "127.0.0.2"}) {
        EXPECT_EQ(nivo_test::run_tool({TOOL, "ask", host}, tool_out), 0);
        EXPECT_EQ(read_file(tool_out),
                  "agent: enabled\ncollector: enabled\ninstall type: 3 (SUITE)\n");
    }
    EXPECT_TRUE(nivo.stop());
    EXPECT_EQ(nivo_test::run_tool({TOOL, "ask", "127.0.0.1"}, tool_out), 1);
    EXPECT_EQ(read_file(tool_out),
              "agent: no answer\ncollector: no answer\ninstall type: no answer\n");
}

} // namespace
