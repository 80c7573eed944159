// The service takes a configuration push on TCP 27015 and reads what it wrote at its next start:
// the UTF-16 user exclusion list, and the pushed nivo.ini with the local sections kept.

#include <gtest/gtest.h>

#include <string>

#include "platform/process.h"
#include "support/config_push.h"
#include "support/daemon.h"
#include "support/test_support.h"

using nivo_test::daemon_process;
using nivo_test::log_text;
using nivo_test::read_file;

namespace {

// text with the first from replaced by to.
std::string
replaced(std::string text, const std::string &from, const std::string &to)
{
    std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(ConfigPush, TheNextStartReadsWhatAPushWroteWithTheLocalSectionsKept)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    nivo_test::temp_dir dir;
    std::string base = nivo_test::copy_example_base(NIVO_SOURCE_DIR, dir.file("base"));
    std::string log = base + "/nivo.log";
    std::string ini = read_file(base + "/nivo.ini");
    {
        daemon_process nivo(NIVO_BINARY, base);
        ASSERT_TRUE(nivo.wait_for_log(log, "nivo_init: Initialization Finished\n", 15000))
            << nivo.err();
        // The example restricts pushes to loopback.
        EXPECT_EQ(log_text(log).find("accepted from any address"), std::string::npos);

        // A COLLECTOR push that would switch the agent off and open the receiver to everyone.
        std::string pushed = replaced(replaced(ini, "\nENABLED=TRUE", "\nENABLED=FALSE"),
                                      "ALLOWED-NETWORKS=127.0.0.0/8", "ALLOWED-NETWORKS=0.0.0.0/0");
        std::vector<std::string> files = {pushed};
        for (const char *name : {"coll-list.ini", "authnet-list.ini", "gw-list.ini", "dc-list.ini",
                                 "ip-exclusion-list.ini", "login-ip-exclusion-list.ini",
                                 "logoff-exclusion-list.ini"}) {
            files.push_back(nivo_test::file_exists(base + "/" + name) ? read_file(base + "/" + name)
                                                                      : std::string());
        }
        files.push_back(nivo_test::utf8_to_utf16le("mallory\r\n"));
        ASSERT_EQ(nivo_test::push_over_tcp(nivo_test::push_messages("COLLECTOR", files), 27015), 0);
        EXPECT_TRUE(nivo.wait_for_log(log, "Receive Config file: user-exclusion-list.ini", 5000));
        ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_STOP));
        EXPECT_EQ(nivo.wait_exit(5000), 0);
    }

    daemon_process nivo(NIVO_BINARY, base);
    ASSERT_TRUE(nivo.wait_for_log(log, "nivo_init: Initialization Finished\n", 15000, 2))
        << nivo.err();
    std::string text = log_text(log);
    EXPECT_EQ(nivo_test::count_of(text, "\tUSER[1]: mallory"), 1u);
    EXPECT_EQ(nivo_test::count_of(text, "DC Agent to be Enabled"), 2u);
    EXPECT_EQ(nivo_test::count_of(text, "ALLOWED-NETWORKS: 127.0.0.0/8"), 2u);
    EXPECT_EQ(text.find("0.0.0.0/0"), std::string::npos);
    ASSERT_TRUE(nivo.signal(PLATFORM_SIGNAL_STOP));
    EXPECT_EQ(nivo.wait_exit(5000), 0);
}

} // namespace
