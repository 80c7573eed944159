// End to end on a real Samba AD domain controller: a Kerberos logon on the DC reaches nivo.db3
// through the audit log, the event-log monitor and the local Collector, and is queued for the
// appliances. The outer test starts the fixture of scripts/samba-fixture.sh (root), which runs
// the inner one and its service inside the DC's network namespace.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/collector.h"
#include "support/daemon.h"
#include "support/samba.h"
#include "support/test_support.h"

using nivo_test::temp_dir;

TEST(SambaDomainController, InsideTheFixture)
{
    const char *samba_dir = std::getenv("NIVO_SAMBA_DIR");
    if (samba_dir == nullptr || std::getenv("NIVO_SAMBA_DC_INNER") == nullptr) {
        GTEST_SKIP() << "run by SambaDomainController.KerberosLogonIsStoredAndQueued";
    }
    temp_dir dir;
    std::string base = dir.file("base");
    std::filesystem::create_directory(base);
    // NIVOTEST and nivotest.lan in the byte-list form.
    ASSERT_TRUE(nivo_test::write_file(
        base + "/nivo.ini",
        "[SETTINGS]\nHOST-DOMAIN=78'0'73'0'86'0'79'0'84'0'69'0'83'0'84'0'\n"
        "HOST-DOMAIN-FQDN=110'0'105'0'118'0'111'0'116'0'101'0'115'0'116'0'46'0'108'0'97'0'110'0'\n"
        "[NIV-AGENT]\nENABLED=TRUE\nDCA-MODE=EVENTLOG\nEVENTLOG-FILE=" +
            std::string(samba_dir) +
            "/auth_json.log\n[NIV-COLLECTOR]\nENABLED=TRUE\n[LOGGING]\nLOG-LEVEL=5\n"));
    ASSERT_TRUE(nivo_test::write_file(base + "/authnet-list.ini", "127.0.0.0/8\n"));
    nivo_test::daemon_process nivo(NIVO_BINARY, base);
    std::string events = base + "/logging_events.log";
    ASSERT_TRUE(nivo.wait_for_log(events, "dca_eventlog: EventLog DCA initialized", 30000))
        << nivo.err();

    std::string kinit = dir.file("kinit.txt");
    ASSERT_EQ(nivo_test::run_program(
                  {"/bin/sh", "-c", "echo \"$NIVO_SAMBA_PASSWORD\" | kinit alice@NIVOTEST.LAN"},
                  {.out = kinit, .timeout_ms = 30000}),
              0)
        << nivo_test::read_file(kinit);
    std::string db = base + "/nivo.db3";
    ASSERT_TRUE(nivo_test::eventually(
        [&] { return nivo_test::store_count(db, "user = 'alice'") > 0; }, 30000))
        << nivo_test::read_file(std::string(samba_dir) + "/auth_json.log");
    // The row is visible a moment before the logon is queued for the appliances.
    EXPECT_TRUE(nivo_test::eventually([&] {
        return nivo_test::logged(nivo.log(),
                                 "dca_insert_userinfo_db: userinfo enqueued in GW Update Queue\n");
    }));
    EXPECT_TRUE(nivo.stop());

    std::vector<nivo_test::store_row> rows = nivo_test::store_rows(db, "user = 'alice'");
    EXPECT_EQ(rows.size(), 1u) << "the DC may log one ticket twice: the second is a duplicate";
    EXPECT_EQ(rows[0].domain, "nivotest.lan");
    EXPECT_EQ(rows[0].ip, "127.0.0.1");
    EXPECT_EQ(rows[0].flags, 1);
    EXPECT_EQ(rows[0].logon_type, 2);
    EXPECT_TRUE(nivo_test::logged(events, "init_userinfo_kerberos: UserName: alice\n"));
    EXPECT_TRUE(nivo_test::logged(
        events, "init_userinfo_kerberos: IPv6 WorkstationIP: ::ffff:127.0.0.1\n"));
}

TEST(SambaDomainController, KerberosLogonIsStoredAndQueued)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a Samba domain controller and a network namespace need root";
    }
    nivo_test::run_in_samba_fixture(
        NIVO_SOURCE_DIR, std::string(NIVO_BUILD_DIR) + "/nivo_integration_tests",
        "SambaDomainController.InsideTheFixture", {"NIVO_SAMBA_DC_INNER=1", "NIVO_TEST_NETNS=1"});
}
