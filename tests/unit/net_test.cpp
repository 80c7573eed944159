// The socket wrapper on loopback: TCP and connected UDP, the receive time limit, refusals.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "common/log.h"
#include "common/net.h"
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

TEST_F(NetTest, ConnectedUdpAndTheReceiveTimeLimit)
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
}

TEST_F(NetTest, RefusalsAndReopening)
{
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
    std::uint16_t port = 0;
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

} // namespace
