// Session polling end to end on the loopback Samba DC of scripts/samba-fixture.sh: alice's held
// SMB session is stored and sent once; after it closes nothing more goes out. The outer test
// starts the fixture (root), which runs the inner one inside the DC's network namespace.

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/process.h"
#include "support/collector.h"
#include "support/samba.h"
#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::read_file;
using nivo_test::temp_dir;

namespace {

// The enciphered form of text, as nivo.ini holds credentials.
std::string
encipher(const std::string &text)
{
    std::string out;
    EXPECT_EQ(nivo_test::run_tool({NIVO_BUILD_DIR "/nivo-cipher", "encipher", text}, &out), 0);
    return out.substr(0, out.find('\n'));
}

std::size_t
log_count(const std::string &log, const std::string &needle)
{
    return nivo_test::count_of(nivo_test::log_text(log), needle);
}

// alice logs on to the DC over SMB from her workstation 127.0.0.5 and holds the session for at
// most two minutes. (The service's own session comes from 127.0.0.1: with one user per address
// in the store, the two would replace each other.)
constexpr const char *HOLD_SESSION = R"(import socket, sys, time
from impacket.smbconnection import SMBConnection
connect = socket.socket.connect
def from_workstation(sock, address):
    sock.bind(("127.0.0.5", 0))
    return connect(sock, address)
socket.socket.connect = from_workstation
c = SMBConnection("127.0.0.1", "127.0.0.1", timeout=10)
c.login("alice", sys.argv[1], "NIVOTEST")
print("held", flush=True)
time.sleep(120)
)";

} // namespace

TEST(SambaSessionPoll, InsideTheFixture)
{
    if (!nivo_test::inside_samba_fixture()) {
        GTEST_SKIP() << "run by SambaSessionPoll.HeldSessionIsStoredAndSentOnce";
    }
    const char *password = std::getenv("NIVO_SAMBA_PASSWORD");
    temp_dir dir;
    // NETAPI mode in NIVOTEST polling every second with the DC's administrator.
    using nivo_test::byte_list;
    std::string base = nivo_test::copy_example_base(
        NIVO_SOURCE_DIR, dir.file("base"),
        {{"DCA-MODE=EVENTLOG", "DCA-MODE=NETAPI"},
         {"DC-POLL-INTERVAL=0", "DC-POLL-INTERVAL=1"},
         {"DOMAIN=" + byte_list("EXAMPLE"), "DOMAIN=" + byte_list("NIVOTEST")},
         {"FQDN=" + byte_list("example.test"), "FQDN=" + byte_list("nivotest.lan")},
         {"USERNAME=Nivo2026ex189243235226243178024",
          "USERNAME=" + encipher("NIVOTEST\\Administrator")},
         {"PASSWORD=Nivo2026ex168101254078230192167198121249133253",
          "PASSWORD=" + encipher("Adm1n!pass")}});
    ASSERT_TRUE(nivo_test::write_file(base + "/dc-list.ini", "127.0.0.1\n"));
    ASSERT_TRUE(nivo_test::write_file(base + "/gw-list.ini", "127.0.0.2:6060\n"));

    std::string held = dir.file("held.txt");
    nivo_test::background_program holder(nivo_test::start_program(
        {"/usr/bin/python3", "-c", HOLD_SESSION, password}, {.out = held}));
    ASSERT_NE(holder, nullptr);
    ASSERT_TRUE(nivo_test::wait_file(held, "held", 20)) << read_file(held);

    nivo_test::daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.ready()) << nivo.err();
    std::string log = nivo.log();
    std::string sim_out = dir.file("gwsim.txt");
    nivo_test::background_program sim = nivo_test::active_appliance(NIVO_BUILD_DIR, sim_out, 90);
    ASSERT_NE(sim, nullptr);

    // Stored as Windows names her (without the domain prefix) at the address Samba gives.
    std::string db = base + "/nivo.db3";
    ASSERT_TRUE(nivo_test::eventually(
        [&] { return nivo_test::store_count(db, "user = 'alice'") > 0; }, 30000))
        << nivo_test::log_text(log);
    std::vector<nivo_test::store_row> rows = nivo_test::store_rows(db, "user = 'alice'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].ip, "127.0.0.5");
    EXPECT_EQ(rows[0].domain, "nivotest.lan");
    EXPECT_EQ(rows[0].flags, 1);
    EXPECT_TRUE(nivo_test::wait_file(sim_out, "logon user=alice", 15)) << read_file(sim_out);

    // Closed: a few passes later she is no longer listed, and nothing more went out for her.
    holder.reset();
    auto passes_after = [&](std::size_t more) {
        const char *pass = "dca_netsession: Polling DC: '\\\\127.0.0.1'\n";
        return nivo.wait_for_log(log, pass, 30000, static_cast<int>(log_count(log, pass) + more));
    };
    ASSERT_TRUE(passes_after(3));
    std::size_t seen = log_count(log, "dca_netsession: Logged-in USER: alice\n");
    ASSERT_TRUE(passes_after(4));
    EXPECT_EQ(log_count(log, "dca_netsession: Logged-in USER: alice\n"), seen);
    std::string sent = read_file(sim_out);
    EXPECT_EQ(nivo_test::count_of(sent, "user=alice"), 1u) << sent;
    EXPECT_EQ(nivo_test::store_count(db, "user = 'alice'"), 1);
    std::string text = nivo_test::log_text(log);
    EXPECT_EQ(text.find("Unable to Query DC"), std::string::npos) << text;
    EXPECT_EQ(text.find("Adm1n!pass"), std::string::npos) << "the password reached the log";
    sim.reset();
    EXPECT_TRUE(nivo.stop());
}

TEST(SambaSessionPoll, HeldSessionIsStoredAndSentOnce)
{
    nivo_test::run_in_samba_fixture(NIVO_SOURCE_DIR, "SambaSessionPoll.InsideTheFixture");
}
