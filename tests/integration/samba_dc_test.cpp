// End to end on a real Samba AD domain controller: a Kerberos logon on the DC reaches nivo.db3
// through the audit log, the event-log monitor and the local Collector, and is queued for the
// appliances. The outer test starts the fixture of scripts/samba-fixture.sh (root), which runs
// the inner one and its service inside the DC's network namespace.

#include <gtest/gtest.h>

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
    if (!nivo_test::inside_samba_fixture()) {
        GTEST_SKIP() << "run by SambaDomainController.KerberosLogonIsStoredAndQueued";
    }
    const char *samba_dir = std::getenv("NIVO_SAMBA_DIR");
    temp_dir dir;
    std::string base = dir.file("base");
    std::filesystem::create_directory(base);
    ASSERT_TRUE(nivo_test::write_file(
        base + "/nivo.ini",
        "[SETTINGS]\nHOST-DOMAIN=" + nivo_test::byte_list("NIVOTEST") +
            "\nHOST-DOMAIN-FQDN=" + nivo_test::byte_list("nivotest.lan") +
            "\n[NIV-AGENT]\nENABLED=TRUE\nDCA-MODE=EVENTLOG\nEVENTLOG-FILE=" + samba_dir +
            "/auth_json.log\n[NIV-COLLECTOR]\nENABLED=TRUE\n"
            "[LOGGING]\nLOG-LEVEL=5\n"));
    ASSERT_TRUE(nivo_test::write_file(base + "/authnet-list.ini", "127.0.0.0/8\n"));
    nivo_test::daemon_process nivo(NIVO_BINARY, base);
    std::string events = base + "/logging_events.log";
    ASSERT_TRUE(nivo.wait_for_log(events, "dca_eventlog: EventLog DCA initialized", 30000))
        << nivo.err();

    std::string kinit;
    ASSERT_EQ(nivo_test::run_tool(
                  {"/bin/sh", "-c", "echo \"$NIVO_SAMBA_PASSWORD\" | kinit alice@NIVOTEST.LAN"},
                  &kinit, 30000),
              0)
        << kinit;
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
    nivo_test::run_in_samba_fixture(NIVO_SOURCE_DIR, "SambaDomainController.InsideTheFixture");
}
