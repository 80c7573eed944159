// Agent and Collectors as separate services on loopback: an agent feeds two Collectors and
// reconnects a restarted one; bad agents leave a Collector serving the next one.

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/collector.h"
#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::daemon_process;
using nivo_test::free_port;
using nivo_test::temp_dir;

namespace {

std::string
make_base(const temp_dir &dir, const std::string &name, const std::string &ini,
          const std::string &collectors = "")
{
    std::string base = dir.file(name);
    std::filesystem::create_directory(base);
    nivo_test::write_file(
        base + "/nivo.ini",
        "[SETTINGS]\nTHREADPOOL-SIZE=16\nHOST-DOMAIN=" + nivo_test::byte_list("EXAMPLE") +
            "\nHOST-DOMAIN-FQDN=" + nivo_test::byte_list("example.test") +
            "\n[LOGGING]\nLOG-LEVEL=5\n" + ini);
    nivo_test::write_file(base + "/authnet-list.ini", "127.0.0.0/8\n");
    nivo_test::write_file(base + "/domain-list.ini", "EXAMPLE\n");
    if (!collectors.empty()) {
        nivo_test::write_file(base + "/coll-list.ini", collectors);
    }
    return base;
}

std::string
collector_ini(std::uint16_t port)
{
    return "[NIV-AGENT]\nENABLED=FALSE\n[NIV-COLLECTOR]\nENABLED=TRUE\nDCASERVER-PORT=" +
           std::to_string(port) + "\nTSSO-SERVER-PORT=" + std::to_string(free_port()) + "\n";
}

// An Agent-only service in event-log mode, reading auth_json.log in its base directory.
std::string
agent_ini()
{
    return "[NIV-AGENT]\nENABLED=TRUE\nDCA-MODE=EVENTLOG\nEVENTLOG-FILE=auth_json.log\n"
           "[NIV-COLLECTOR]\nENABLED=FALSE\nTSSO-SERVER-PORT=" +
           std::to_string(free_port()) + "\n";
}

// Runs a tool to its end: its exit status (-1 when it did not end in time); what it printed.
int
run_tool(const std::vector<std::string> &args, std::string *output)
{
    return nivo_test::run_tool(args, output, 60000);
}

// Rows of the Collector's store that match where (0 while the file cannot be read).
int
rows(const std::string &base, const std::string &where)
{
    return nivo_test::store_count(base + "/nivo.db3", where);
}

bool
wait_rows(const std::string &base, const std::string &where, int expected = 1)
{
    return nivo_test::eventually([&] { return rows(base, where) >= expected; }, 20000);
}

bool
serving(const daemon_process &collector, const std::string &base, int starts = 1)
{
    return collector.wait_for_log(base + "/nivo.log", "nivo_init: DC Agent Server started", 10000,
                                  starts);
}

} // namespace

TEST(AgentCollectorLink, AgentFeedsTwoCollectorsReconnectsARestartedOneBadAgentsCostOnlyThemselves)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::uint16_t port_a = free_port();
    std::uint16_t port_b = free_port();
    ASSERT_NE(port_a, port_b);
    std::string a = make_base(dir, "collector-a", collector_ini(port_a));
    std::string b = make_base(dir, "collector-b", collector_ini(port_b));
    std::string agent = make_base(dir, "agent", agent_ini(),
                                  "127.0.0.1:" + std::to_string(port_a) +
                                      "\n127.0.0.1:" + std::to_string(port_b) + "\n");
    std::string audit = agent + "/auth_json.log";
    nivo_test::write_file(audit, "");
    std::string output;
    auto logon = [&](const std::string &user, const std::string &ip) {
        return run_tool(
            {NIVO_BUILD_DIR "/nivo-authlog", "-f", audit, "kerberos", user, "EXAMPLE", ip},
            &output);
    };

    auto collector_a = std::make_unique<daemon_process>(NIVO_BINARY, a);
    daemon_process collector_b(NIVO_BINARY, b);
    ASSERT_TRUE(serving(*collector_a, a)) << collector_a->err();
    ASSERT_TRUE(serving(collector_b, b)) << collector_b.err();
    daemon_process agent_service(NIVO_BINARY, agent);
    ASSERT_TRUE(
        agent_service.wait_for_log(agent + "/nivo.log", "collector  connected again", 10000, 2))
        << agent_service.err();
    ASSERT_TRUE(agent_service.wait_for_log(agent + "/logging_events.log",
                                           "dca_eventlog: EventLog DCA initialized", 10000));

    // A logon in the audit log becomes a row in both Collectors' stores.
    auto before = static_cast<long long>(std::time(nullptr));
    ASSERT_EQ(logon("alice", "127.0.0.20"), 0) << output;
    EXPECT_TRUE(wait_rows(a, "user = 'alice' AND wrkst_ip = '127.0.0.20' AND flags = 1"));
    EXPECT_TRUE(wait_rows(b, "user = 'alice'"));
    EXPECT_EQ(rows(a, "user = 'alice' AND domain = 'example.test' AND create_time >= " +
                          std::to_string(before)),
              1);

    // A connection the Collector closed is noticed before the next send: after a restart the
    // next logon reaches A at once over a new connection, without waiting for the monitor.
    EXPECT_TRUE(collector_a->stop());
    collector_a = std::make_unique<daemon_process>(NIVO_BINARY, a);
    ASSERT_TRUE(serving(*collector_a, a, 2));
    ASSERT_EQ(logon("erin", "127.0.0.24"), 0) << output;
    EXPECT_TRUE(nivo_test::eventually([&] { return rows(a, "user = 'erin'") == 1; }, 10000));
    EXPECT_TRUE(collector_a->stop());
    EXPECT_TRUE(agent_service.stop());

    // Bad agents at B: each costs only itself, refused payloads among good ones only themselves.
    std::string sim = NIVO_BUILD_DIR "/nivo-agentsim";
    std::string p = std::to_string(port_b);
    for (const char *mode :
         {"garbage", "bad-request", "wrong-crypto", "bad-header", "huge-length", "truncated"}) {
        EXPECT_EQ(run_tool({sim, "-p", p, "-c", "2", "-m", mode}, &output), 0)
            << mode << ": " << output;
    }
    EXPECT_EQ(run_tool({sim, "-p", p, "-n", "20", "-m", "bad-payload", "-u", "badpay"}, &output), 0)
        << output;
    EXPECT_EQ(
        run_tool({sim, "-p", p, "-n", "20", "-m", "bad-offsets", "-u", "badoff", "-i", "127.2.0.1"},
                 &output),
        0)
        << output;
    ASSERT_EQ(run_tool({sim, "-p", p, "-c", "4", "-n", "200", "-i", "127.3.0.1"}, &output), 0)
        << output;
    EXPECT_NE(output.find("200 records sent on 4 connections"), std::string::npos) << output;
    EXPECT_TRUE(wait_rows(b, "user LIKE 'simuser%'", 200));
    EXPECT_TRUE(wait_rows(b, "user LIKE 'badpay%'", 20));
    EXPECT_TRUE(wait_rows(b, "user LIKE 'badoff%'", 20));
    for (const char *line :
         {"dcaserver_receive_request: Invalid REQUEST Header",
          "dcaserver_receive_data: Invalid DATA Header", "text offset outside the payload"}) {
        EXPECT_TRUE(nivo_test::logged(b + "/nivo.log", line)) << line;
    }
    EXPECT_TRUE(collector_b.stop());
}
