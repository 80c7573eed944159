// The directory modes end to end: the real service (example configuration, both roles) against
// the scripted directory server fake_directory.py on 127.0.0.1:3890, with the appliance
// simulator made active, each test in a network namespace of its own. The example's directory
// credentials are cn=admin,o=example and example-only; its user base is ou=users,o=example.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/process.h"
#include "support/collector.h"
#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::count_of;
using nivo_test::daemon_process;
using nivo_test::read_file;
using nivo_test::temp_dir;
using nivo_test::wait_file;

namespace {

constexpr const char *ALICE_DN = "cn=alice,ou=users,o=example";

// The directory: alice at workstation WS05, 127.0.0.5 (TCP, port 0, as the address search asks
// for it), and bob at 127.0.0.6; nobody at 127.0.0.7.
constexpr const char *ENTRIES = R"("bind_dn": "cn=admin,o=example", "password": "example-only",
 "entries": [
  {"dn": "cn=alice,ou=users,o=example", "uid": "alice", "loginTime": "1700000000",
   "messageServer": "WS05", "networkAddress": ["9#127.0.0.5:0"]},
  {"dn": "cn=bob,ou=users,o=example", "uid": "bob", "messageServer": "WS06",
   "networkAddress": ["9#127.0.0.6:524"]}])";

// The service on the example's base directory (in dir/base, with the ini changes given, the
// appliance simulator's address as the only appliance and the directory server on port 3890)
// beside the directory server playing the subscriptions given (a JSON list) and recording to
// dir/record.txt. The server ends by itself after two minutes.
class directory_run {
  public:
    directory_run(const temp_dir &dir, std::vector<std::pair<std::string, std::string>> changes,
                  const std::string &subscriptions)
        : record_(dir.file("record.txt"))
    {
        changes.emplace_back("EDIRECTORY-SERVER-PORT=389", "EDIRECTORY-SERVER-PORT=3890");
        base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"), changes);
        db = base + "/nivo.db3";
        std::string script = dir.file("directory.json"), out = dir.file("directory.txt");
        if (!nivo_test::write_file(base + "/gw-list.ini", "127.0.0.2:6060\n") ||
            !nivo_test::write_file(script, std::string("{") + ENTRIES +
                                               ",\n \"subscriptions\": " + subscriptions + "}\n")) {
            ADD_FAILURE() << "cannot write the base directory";
            return;
        }
        directory_.reset(nivo_test::start_program(
            {"/usr/bin/python3",
             std::string(NIVO_SOURCE_DIR) + "/tests/integration/fake_directory.py", "--script",
             script, "--port", "3890", "--record", record_, "--seconds", "120"},
            {.out = out}));
        if (directory_ == nullptr || !wait_file(out, "listening 127.0.0.1:3890", 10)) {
            ADD_FAILURE() << "the directory server did not start: " << read_file(out);
            return;
        }
        nivo = std::make_unique<daemon_process>(NIVO_BINARY, base);
        if (!nivo->ready()) {
            ADD_FAILURE() << "the service did not start: " << nivo->err();
            nivo.reset();
        }
    }
    // What the directory server received so far, one JSON object a line.
    std::string record() const
    {
        return read_file(record_);
    }
    std::string log() const
    {
        return nivo_test::log_text(base + "/nivo.log");
    }

    std::string base, db;
    std::unique_ptr<daemon_process> nivo; // null when it did not start

  private:
    std::string record_;
    nivo_test::background_program directory_;
};

// alice logs in at once and out once the test has seen her logon (that event's data under a
// primitive tag, as some servers send it). An event that cannot be read follows, which is
// skipped; then the server ends the subscription refusing two event types, and drops the next
// connection: each is logged and followed by a new connection and subscription.
TEST(EDirectoryMode, LoginStoredAndSentLogoutRemovesItAndIsSentEndsReconnect)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string go = dir.file("logout-now");
    directory_run run(
        dir, {{"DCA-MODE=EVENTLOG", "DCA-MODE=EDIRECTORY"}},
        std::string(R"([{"events": [{"type": 100, "perpetrator": ")") + ALICE_DN +
            R"(", "after": 1}, {"type": 102, "perpetrator": ")" + ALICE_DN +
            R"(", "primitive": true, "when_file": ")" + go +
            R"("}, {"raw": "0401ff"}], "end": {"code": 2, "message": "bad events", "refused": [102, 7]}},
                             {"end": "drop"}])");
    ASSERT_NE(run.nivo, nullptr);
    std::string sim_out = dir.file("gwsim.txt");
    nivo_test::background_program sim = nivo_test::active_appliance(NIVO_BUILD_DIR, sim_out, 100);
    ASSERT_NE(sim, nullptr);

    // The login: one search for alice below the user base, a row at her address, one logon.
    ASSERT_TRUE(nivo_test::eventually(
        [&] { return nivo_test::store_count(run.db, "user = 'alice'") > 0; }, 30000))
        << run.log() << run.record();
    std::vector<nivo_test::store_row> rows = nivo_test::store_rows(run.db, "user = 'alice'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].ip, "127.0.0.5");
    EXPECT_EQ(rows[0].flags, 1);
    EXPECT_TRUE(wait_file(sim_out, "logon user=alice", 15)) << read_file(sim_out);
    EXPECT_NE(read_file(sim_out).find("address=127.0.0.5"), std::string::npos)
        << read_file(sim_out);
    std::string record = run.record();
    EXPECT_NE(record.find(R"("op": "bind", "dn": "cn=admin,o=example", "ok": true)"),
              std::string::npos)
        << record;
    EXPECT_NE(record.find(R"("requests": [[100, 1], [102, 1]])"), std::string::npos) << record;
    EXPECT_EQ(count_of(record, R"("base": "ou=users,o=example", "scope": 2, )"
                               R"x("filter": "(&(uid=alice)(networkAddress=*))")x"),
              1u)
        << record;

    // The logout: the row goes and the appliance hears of it.
    ASSERT_TRUE(nivo_test::write_file(go, "go"));
    EXPECT_TRUE(nivo_test::eventually(
        [&] { return nivo_test::store_count(run.db, "user = 'alice'") == 0; }, 30000))
        << run.log();
    EXPECT_TRUE(wait_file(sim_out, "logout user=alice", 15)) << read_file(sim_out);
    EXPECT_TRUE(nivo_test::logged(
        run.base + "/nivo.log",
        "nd_login_event_listner: Sending logout Request to the remote Collector: alice"));
    EXPECT_TRUE(nivo_test::logged(run.base + "/nivo.log",
                                  "nivo_init: edirectory statrted for DC '' started\n"));
    sim.reset();

    // The refusal and the dropped connection.
    EXPECT_TRUE(wait_file(dir.file("record.txt"), R"("op": "monitor")", 30, 3)) << run.record();
    for (const char *line :
         {"nd_login_event_listner: Error in ldap_parse_ds_event: ",
          "nd_login_event_listner: Protocol error: bad events",
          "nd_login_event_listner: Bad Event ID: 102", "nd_login_event_listner: Bad Event ID: 7",
          "nd_login_event_listner Error in ldap_result: "}) {
        EXPECT_EQ(nivo_test::logged_at(run.base + "/nivo.log", "ERROR", line), 1u) << line;
    }
    EXPECT_EQ(run.log().find("example-only"), std::string::npos) << "the password reached the log";
    EXPECT_TRUE(run.nivo->stop());
}

// The Collector's logoff detection asking the directory (POLLING-MODE LDAP; the searches
// themselves are those of the tests with a scripted client): alice is still shown at her address
// and is renewed; carol's address has nobody and she is logged out.
TEST(DirectoryPoll, RenewsAUserTheDirectoryShowsAndLogsOutOneItDoesNot)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    directory_run run(
        dir,
        {{"[LOGOFF-DETECTION]\nENABLED=FALSE\n; PING", "[LOGOFF-DETECTION]\nENABLED=TRUE\n; PING"},
         {"DETECTION-MODE=PING", "DETECTION-MODE=WORKSTATION-POLL"},
         {"POLLING-MODE=REGISTRY", "POLLING-MODE=LDAP"},
         {"DETECTION-INTERVAL=600", "DETECTION-INTERVAL=2"}},
        "[]");
    ASSERT_NE(run.nivo, nullptr);
    std::string sim_out = dir.file("gwsim.txt");
    nivo_test::background_program sim = nivo_test::active_appliance(NIVO_BUILD_DIR, sim_out, 100);
    ASSERT_NE(sim, nullptr);
    ASSERT_EQ(nivo_test::store_logons(run.db, {{"alice", "127.0.0.5"}, {"carol", "127.0.0.7"}}, 2),
              "");

    EXPECT_TRUE(wait_file(sim_out, "logout user=carol domain=example.test address=127.0.0.7", 30))
        << read_file(sim_out) << run.log();
    ASSERT_TRUE(run.nivo->wait_for_log(
        run.base + "/nivo.log", "wrkstpoll_handle_logon_req: same user still loggedon", 15000))
        << run.log();
    sim.reset();
    EXPECT_EQ(read_file(sim_out).find("logout user=alice"), std::string::npos)
        << read_file(sim_out);
    EXPECT_EQ(nivo_test::store_count(run.db, "user = 'carol'"), 0);
    EXPECT_EQ(nivo_test::store_count(run.db, "user = 'alice' AND wrkst_ip = '127.0.0.5' AND "
                                             "expire_time > create_time + 2"),
              1);
    EXPECT_TRUE(run.nivo->stop());
}

} // namespace
