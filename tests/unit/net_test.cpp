// The socket wrapper on loopback: TCP and connected UDP, the receive time limit, refusals; the
// connectivity responder on its real port, in a network namespace of its own.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "common/log.h"
#include "common/net.h"
#include "config/config.h"
#include "config/connectivity.h"
#include "support/test_support.h"

namespace {

class NetTest : public nivo_test::log_fixture {
  protected:
    // A bound server on 127.0.0.1 with a port of the system's choosing.
    net_handle *server(std::uint32_t transport, std::uint16_t *port)
    {
        net_handle *h = net_init(u"127.0.0.1", 0, NET_MODE_SERVER);
        EXPECT_NE(h, nullptr);
        EXPECT_EQ(net_open(h, transport), 0);
        EXPECT_EQ(platform_socket_local_port(h->socket, port), 0);
        return h;
    }
};

TEST_F(NetTest, ConnectedUdpTheReceiveTimeLimitRefusalsAndReopening)
{
    std::uint16_t port = 0;
    net_handle *udp_server = server(NET_TRANSPORT_UDP, &port);
    net_handle *udp_client = net_init(u"127.0.0.1", port, NET_MODE_CLIENT);
    ASSERT_EQ(net_open(udp_client, NET_TRANSPORT_UDP), 0);
    EXPECT_EQ(net_send(udp_client, "ping", 4), 1); // connected: no destination needed

    net_set_recv_timeout(udp_server, 0, 200000);
    char buffer[16] = {};
    net_sockaddr from{};
    std::uint32_t from_length = sizeof from;
    EXPECT_EQ(net_recvfrom(udp_server, buffer, sizeof buffer, &from, &from_length), 4);
    EXPECT_EQ(std::string(buffer, 4), "ping");
    std::uint32_t ipv4 = 0;
    std::uint16_t source_port = 0;
    EXPECT_EQ(platform_sockaddr_ipv4(from, from_length, &ipv4, &source_port), 0);
    EXPECT_EQ(platform_socket_local_port(udp_client->socket, &port), 0);
    EXPECT_EQ(source_port, port);

    // Nothing arrives: -1 after the limit, without a message.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net_recvfrom(udp_server, buffer, sizeof buffer, &from, &from_length), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));

    // With 0/0 the receive blocks until a datagram comes.
    net_set_recv_timeout(udp_server, 0, 0);
    std::thread late([udp_client] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        net_send(udp_client, "late", 4);
    });
    EXPECT_EQ(net_recvfrom(udp_server, buffer, sizeof buffer, &from, &from_length), 4);
    late.join();
    net_fini(udp_client);
    net_fini(udp_server);

    // Refusals.
    EXPECT_EQ(net_init(u"not-an-address", 1, NET_MODE_CLIENT), nullptr);
    EXPECT_TRUE(logged("net_init: ip string to address translation failed: "));
    EXPECT_EQ(net_init(u"::1", 1, NET_MODE_CLIENT), nullptr); // IPv4 only
    EXPECT_EQ(net_send(nullptr, "x", 1), -1);
    EXPECT_TRUE(logged("net_send: network handle is invalid\n"));
    EXPECT_EQ(net_recv(nullptr, nullptr, 0), -1);
    EXPECT_EQ(net_accept(nullptr, nullptr, nullptr), PLATFORM_INVALID_SOCKET);
    net_close(nullptr);
    EXPECT_TRUE(logged("net_close: network handle is invalid\n"));

    // Nobody listens: the connect fails and the handle stays closed but usable.
    net_handle *probe = server(NET_TRANSPORT_TCP, &port);
    net_fini(probe);
    net_handle *client = net_init(u"127.0.0.1", port, NET_MODE_CLIENT);
    EXPECT_EQ(net_open(client, NET_TRANSPORT_TCP), -1);
    EXPECT_TRUE(logged("net_open: server couldnt connected: "));
    EXPECT_EQ(client->socket, PLATFORM_INVALID_SOCKET);

    // Opening an open handle replaces its socket.
    net_handle *listener = server(NET_TRANSPORT_TCP, &port);
    EXPECT_EQ(net_open(listener, NET_TRANSPORT_TCP), 0);
    EXPECT_TRUE(logged("net_open: socket is not closed yet. let close it first\n"));
    EXPECT_NE(listener->socket, PLATFORM_INVALID_SOCKET);
    net_fini(listener);
    net_fini(client);
}

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
