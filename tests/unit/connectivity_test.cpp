// The connectivity responder on its real port, in a network namespace of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "common/log.h"
#include "common/net.h"
#include "config/config.h"
#include "config/connectivity.h"
#include "support/test_support.h"

namespace {

TEST(Connectivity, AnswersEachQuestionByTheRolesAndNothingElse)
{
    if (nivo_test::ran_in_own_network_namespace()) {
        return;
    }
    nivo_test::temp_dir dir;
    ASSERT_EQ(nivo_test::open_log(dir), 0);
    config_record *config = config_get();
    const config_record saved = *config;
    std::atomic<bool> stop{false};
    platform_socket_t s = connectivity_open(CONNECTIVITY_PORT);
    ASSERT_NE(s, PLATFORM_INVALID_SOCKET);
    std::thread responder(connectivity_serve, s, &stop);
    net_handle *client = net_init(u"127.0.0.1", CONNECTIVITY_PORT, NET_MODE_CLIENT);
    ASSERT_EQ(net_open(client, NET_TRANSPORT_UDP), 0);
    net_set_recv_timeout(client, 10, 0);
    // Straight to the socket: the handle's send sends nothing for an empty datagram.
    auto send = [&](const std::string &datagram) {
        EXPECT_EQ(platform_socket_send(client->socket, datagram.data(), datagram.size()),
                  static_cast<long long>(datagram.size()));
    };
    auto ask = [&](std::uint8_t question) {
        send(std::string(1, static_cast<char>(question)));
        char answer[64];
        long long n = net_recv(client, answer, sizeof answer);
        return n < 0 ? std::string("none") : std::string(answer, static_cast<std::size_t>(n));
    };

    auto two = [](char answer) { return std::string{answer, '0'}; }; // an answer's two bytes
    const struct {
        std::uint32_t agent, collector;
        std::string type;
    } ROLES[] = {{1, 1, two(3)}, {1, 0, two(1)}, {0, 1, two(2)}, {0, 0, ""}};
    for (const auto &roles : ROLES) {
        config->dca_enabled = roles.agent;
        config->collector_enabled = roles.collector;
        EXPECT_EQ(ask(CONNECTIVITY_ASK_INSTALL_TYPE), roles.type);
        EXPECT_EQ(ask(CONNECTIVITY_ASK_AGENT), two(roles.agent != 0 ? 1 : 2));
        EXPECT_EQ(ask(CONNECTIVITY_ASK_COLLECTOR), two(roles.collector != 0 ? 1 : 2));
    }
    // Unanswered: an answer to any of these would come before the last question's.
    send(std::string());
    send("k");
    send(std::string(4096, static_cast<char>(CONNECTIVITY_ASK_INSTALL_TYPE + 1)));
    EXPECT_EQ(ask(CONNECTIVITY_ASK_INSTALL_TYPE), "");

    const std::string log = dir.file("nivo.log");
    const char *request = "Connectivity Thread CHECK_INSTALLTYPE_REQUEST received\n";
    EXPECT_EQ(nivo_test::logged_at(log, "ERROR", request), 5u);
    EXPECT_EQ(nivo_test::logged_at(log, "ERROR", "Connectivity Thread Install type:3\n"), 1u);
    EXPECT_TRUE(nivo_test::logged(log, "Connectivity Thread running\n"));
    EXPECT_EQ(connectivity_open(CONNECTIVITY_PORT), PLATFORM_INVALID_SOCKET);
    EXPECT_TRUE(nivo_test::logged(log, "Connectivity Thread:: Bind failed on socket exiting\n"));

    stop = true;
    responder.join();
    net_fini(client);
    config->dca_enabled = saved.dca_enabled;
    config->collector_enabled = saved.collector_enabled;
    log_fini();
}

} // namespace
