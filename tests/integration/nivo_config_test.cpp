// The configuration tool's push against a receiver of the test's own on the receiver's port, in a
// network namespace of its own (its questions are asked in the end-to-end test).

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "common/net.h"
#include "support/test_support.h"

namespace {

using nivo_test::temp_dir;

const std::string TOOL = NIVO_BUILD_DIR "/nivo-config";

using nivo_test::run_tool;

// Takes one connection on the listener and keeps every receive of at most 512 bytes apart,
// pausing after each ENDFILE as a receiver does while it writes the file.
void
receive_push(net_handle *listener, std::vector<std::string> *received)
{
    if (platform_socket_wait_readable(listener->socket, 60, 0) != 1) {
        return;
    }
    platform_socket_t s = net_accept(listener, nullptr, nullptr);
    char buffer[512];
    long long n;
    while (s != PLATFORM_INVALID_SOCKET &&
           (n = platform_socket_recv(s, buffer, sizeof buffer)) > 0) {
        received->emplace_back(buffer, static_cast<std::size_t>(n));
        if (received->back() == std::string("ENDFILE", 8)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    platform_socket_close(s);
}

std::string
control(const std::string &text)
{
    return text + '\0';
}

// The messages of one file with 8-bit content.
void
expect_file(std::vector<std::string> *out, const std::string &content)
{
    out->push_back(control("STARTFILE"));
    for (std::size_t at = 0; at < content.size(); at += 512) {
        out->push_back(content.substr(at, 512));
    }
    out->push_back(control("ENDFILE"));
}

TEST(NivoConfig, PushSendsEachMessageInAReceiveOfItsOwnInTheReceiversOrder)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string ini = "[NIV-COLLECTOR]\r\nENABLED=TRUE\r\n" + std::string(1200, ';') + "\r\n";
    std::string names;
    for (int i = 0; i < 300; ++i) {
        names += "j\xC3\xBCrgen" + std::to_string(1000 + i) + "\r\n";
    }
    std::string units = nivo_test::utf8_to_utf16le(names);
    // The user list in UTF-8 travels as UTF-16LE. A COLLECTOR push: dc-list.ini, which it discards,
    // and ip-exclusion-list.ini may be missing.
    ASSERT_TRUE(nivo_test::write_file(dir.file("nivo.ini"), ini));
    ASSERT_TRUE(nivo_test::write_file(dir.file("coll-list.ini"), "127.0.0.9\n"));
    ASSERT_TRUE(nivo_test::write_file(dir.file("authnet-list.ini"), "127.0.0.0/8\n"));
    ASSERT_TRUE(nivo_test::write_file(dir.file("gw-list.ini"), "127.0.0.5\n"));
    ASSERT_TRUE(nivo_test::write_file(dir.file("login-ip-exclusion-list.ini"), "127.0.0.7\n"));
    ASSERT_TRUE(nivo_test::write_file(dir.file("logoff-exclusion-list.ini"), ""));
    ASSERT_TRUE(nivo_test::write_file(dir.file("user-exclusion-list.ini"), "\xEF\xBB\xBF" + names));

    net_handle *listener = net_init(u"127.0.0.1", 27015, NET_MODE_SERVER);
    ASSERT_EQ(net_open(listener, NET_TRANSPORT_TCP), 0);
    std::vector<std::string> received;
    std::thread receiver(receive_push, listener, &received);
    std::string output;
    EXPECT_EQ(run_tool({TOOL, "push", "127.0.0.1", dir.path(), "--type", "COLLECTOR"}, &output), 0)
        << output;
    receiver.join();
    net_fini(listener);

    std::vector<std::string> expected{control("COLLECTOR")};
    for (const std::string &content :
         {ini, std::string("127.0.0.9\n"), std::string("127.0.0.0/8\n"), std::string("127.0.0.5\n"),
          std::string(), std::string(), std::string("127.0.0.7\n"), std::string()}) {
        expect_file(&expected, content);
    }
    // The user list: 255 units and a 0x0000 unit, then the rest as it comes.
    expected.push_back(control("STARTFILE"));
    expected.push_back(units.substr(0, 510) + std::string(2, '\0'));
    for (std::size_t at = 510; at < units.size(); at += 512) {
        expected.push_back(units.substr(at, 512));
    }
    expected.push_back(control("ENDFILE"));
    EXPECT_EQ(received, expected);
}

TEST(NivoConfig, PushRefusesBeforeConnectingWhatTheReceiverWouldLoseOrCut)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    temp_dir dir;
    std::string output;
    // Only nivo.ini: an AGENT push writes coll-list.ini, which is missing.
    ASSERT_TRUE(nivo_test::write_file(dir.file("nivo.ini"), "[NIV-AGENT]\nENABLED=TRUE\n"));
    EXPECT_EQ(run_tool({TOOL, "push", "127.0.0.1", dir.path(), "--type", "AGENT"}, &output), 1);
    EXPECT_NE(output.find("coll-list.ini: missing"), std::string::npos) << output;

    // A COLLECTOR push discards coll-list.ini, but its gw-list.ini would be cut at the 0x00.
    ASSERT_TRUE(nivo_test::write_file(dir.file("gw-list.ini"), std::string("127.0.0.5\0x", 11)));
    EXPECT_EQ(run_tool({TOOL, "push", "127.0.0.1", dir.path(), "--type", "COLLECTOR"}, &output), 1);
    EXPECT_NE(output.find("gw-list.ini: contains a 0x00 byte"), std::string::npos) << output;

    EXPECT_EQ(run_tool({TOOL, "push", "127.0.0.1", dir.path(), "--type", "BOTH"}, &output), 2);
    EXPECT_EQ(run_tool({TOOL, "push", "127.0.0.1", dir.path()}, &output), 2);
    EXPECT_EQ(run_tool({TOOL, "ask"}, &output), 2);
}

} // namespace
