// End to end on a real Samba AD domain controller: a Kerberos logon on the DC reaches nivo.db3
// through the audit log, the event-log monitor and the local Collector, and is queued for the
// appliances. The DC and the service run in a network namespace of their own on loopback
// (scripts/samba-fixture.sh), which needs root.

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/collector.h"
#include "support/test_support.h"

using nivo_test::temp_dir;

namespace {

// NIVOTEST and nivotest.lan in the byte-list form of nivo.ini.
constexpr const char *NIVO_INI_TEMPLATE = R"([SETTINGS]
HOST-DOMAIN=78'0'73'0'86'0'79'0'84'0'69'0'83'0'84'0'
HOST-DOMAIN-FQDN=110'0'105'0'118'0'111'0'116'0'101'0'115'0'116'0'46'0'108'0'97'0'110'0'
[NIV-AGENT]
ENABLED=TRUE
DCA-MODE=EVENTLOG
EVENTLOG-FILE=@AUDIT@
[NIV-COLLECTOR]
ENABLED=TRUE
[LOGGING]
LOG-LEVEL=5
)";

} // namespace

TEST(SambaDomainController, KerberosLogonIsStoredAndQueued)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "a Samba domain controller and a network namespace need root";
    }
    temp_dir dir;
    std::string dc = dir.file("dc");
    std::string base = dir.file("base");
    std::filesystem::create_directory(base);
    std::string ini = NIVO_INI_TEMPLATE;
    ini.replace(ini.find("@AUDIT@"), 7, dc + "/auth_json.log");
    ASSERT_TRUE(nivo_test::write_file(base + "/nivo.ini", ini));
    ASSERT_TRUE(nivo_test::write_file(base + "/authnet-list.ini", "127.0.0.0/8\n"));

    std::string fixture = std::string(NIVO_SOURCE_DIR) + "/scripts/samba-fixture.sh";
    std::string e2e = std::string(NIVO_SOURCE_DIR) + "/tests/integration/samba_e2e.sh";
    std::string out = dir.file("fixture.out");
    std::string err = dir.file("fixture.err");
    int status =
        nivo_test::run_program({"/bin/bash", fixture, dc, "/bin/bash", e2e, base, NIVO_BINARY},
                               {.out = out, .err = err, .timeout_ms = 280000});
    ASSERT_NE(status, -1) << "the fixture did not finish in time";
    ASSERT_EQ(status, 0) << nivo_test::read_file(err) << nivo_test::read_file(out);

    std::vector<nivo_test::store_row> rows =
        nivo_test::store_rows(base + "/nivo.db3", "user = 'alice'");
    ASSERT_GE(rows.size(), 1u) << nivo_test::read_file(dc + "/auth_json.log");
    EXPECT_EQ(rows.size(), 1u) << "the DC may log one ticket twice: the second is a duplicate";
    EXPECT_EQ(rows[0].domain, "nivotest.lan");
    EXPECT_EQ(rows[0].ip, "127.0.0.1");
    EXPECT_EQ(rows[0].flags, 1);
    EXPECT_EQ(rows[0].logon_type, 2);

    std::string events = base + "/logging_events.log";
    EXPECT_TRUE(nivo_test::logged(events, "init_userinfo_kerberos: UserName: alice\n"));
    EXPECT_TRUE(nivo_test::logged(
        events, "init_userinfo_kerberos: IPv6 WorkstationIP: ::ffff:127.0.0.1\n"));
    EXPECT_TRUE(nivo_test::logged(
        base + "/nivo.log", "dca_insert_userinfo_db: userinfo enqueued in GW Update Queue\n"));
}
