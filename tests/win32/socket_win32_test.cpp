// Winsock on loopback where it differs from the BSD calls: answer sources, cut datagrams, port
// sharing.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "platform/netaddr.h"
#include "platform/socket.h"

namespace {

constexpr std::uint32_t LOOPBACK = 0x7F000001;
constexpr std::uint32_t LOOPBACK_2 = 0x7F000002;

class SocketTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(platform_socket_startup(), 0);
    }
    void TearDown() override
    {
        platform_socket_cleanup();
    }

    static platform_socket_t bound(bool tcp, std::uint32_t address, std::uint16_t *port)
    {
        platform_socket_t s = platform_socket_open(tcp);
        EXPECT_NE(s, PLATFORM_INVALID_SOCKET);
        EXPECT_EQ(platform_socket_bind(s, address, 0), 0);
        EXPECT_EQ(platform_socket_local_port(s, port), 0);
        return s;
    }

    static std::uint32_t address_of(std::uint32_t ipv4, std::uint16_t port, net_sockaddr *out)
    {
        return static_cast<std::uint32_t>(platform_netaddr_ipv4(ipv4, port, out, sizeof *out));
    }

    // Receives one datagram within 2 s; its length, or -1.
    static long long receive(platform_socket_t s, char *data, std::size_t capacity,
                             std::uint32_t *ipv4, std::uint16_t *port)
    {
        if (platform_socket_wait_readable(s, 2, 0) != 1) {
            return -1;
        }
        net_sockaddr from{};
        std::uint32_t length = sizeof from;
        long long n = platform_socket_recvfrom(s, data, capacity, &from, &length);
        if (n >= 0 && platform_sockaddr_ipv4(from, length, ipv4, port) != 0) {
            return -1;
        }
        return n;
    }
};

TEST_F(SocketTest, DatagramIsAnsweredFromTheAddressItWasSentTo)
{
    std::uint16_t server_port = 0;
    std::uint16_t client_port = 0;
    platform_socket_t server = bound(false, 0, &server_port);
    platform_socket_t client = bound(false, 0, &client_port);
    ASSERT_EQ(platform_socket_want_local_address(server), 0);

    // Asked at 127.0.0.2, the server learns so, to answer from it and not the route's 127.0.0.1.
    for (std::uint32_t asked : {LOOPBACK, LOOPBACK_2}) {
        net_sockaddr to{};
        std::uint32_t to_length = address_of(asked, server_port, &to);
        ASSERT_EQ(platform_socket_sendto(client, "ask", 3, to, to_length, 0), 3);

        ASSERT_EQ(platform_socket_wait_readable(server, 2, 0), 1);
        char data[16] = {};
        net_sockaddr sender{};
        std::uint32_t sender_length = sizeof sender;
        std::uint32_t local = 0;
        ASSERT_EQ(platform_socket_recvfrom_local(server, data, sizeof data, &sender, &sender_length,
                                                 &local),
                  3);
        EXPECT_EQ(local, asked);
        std::uint32_t ipv4 = 0;
        std::uint16_t port = 0;
        ASSERT_EQ(platform_sockaddr_ipv4(sender, sender_length, &ipv4, &port), 0);
        EXPECT_EQ(port, client_port);

        ASSERT_EQ(platform_socket_sendto(server, "answer", 6, sender, sender_length, local), 6);
        ASSERT_EQ(receive(client, data, sizeof data, &ipv4, &port), 6);
        EXPECT_EQ(port, server_port);
    }
    platform_socket_close(client);
    platform_socket_close(server);
}

TEST_F(SocketTest, LongDatagramIsCutNotLostAndVanishedPeerIsNoReset)
{
    std::uint16_t server_port = 0;
    std::uint16_t client_port = 0;
    std::uint16_t gone_port = 0;
    platform_socket_t server = bound(false, LOOPBACK, &server_port);
    platform_socket_t client = bound(false, LOOPBACK, &client_port);
    platform_socket_t gone = bound(false, LOOPBACK, &gone_port);
    platform_socket_close(gone);
    ASSERT_EQ(platform_socket_want_local_address(server), 0);

    // "Port unreachable" for this must not fail the server's next receive with a reset.
    net_sockaddr to{};
    std::uint32_t to_length = address_of(LOOPBACK, gone_port, &to);
    ASSERT_EQ(platform_socket_sendto(server, "lost", 4, to, to_length, 0), 4);

    to_length = address_of(LOOPBACK, server_port, &to);
    ASSERT_EQ(platform_socket_sendto(client, "0123456789", 10, to, to_length, 0), 10);
    ASSERT_EQ(platform_socket_sendto(client, "abcdefghij", 10, to, to_length, 0), 10);
    char data[4] = {};
    std::uint32_t ipv4 = 0;
    std::uint16_t port = 0;
    EXPECT_EQ(receive(server, data, sizeof data, &ipv4, &port), 4);
    EXPECT_EQ(std::string(data, 4), "0123");
    EXPECT_EQ(port, client_port);

    ASSERT_EQ(platform_socket_wait_readable(server, 2, 0), 1);
    net_sockaddr sender{};
    std::uint32_t sender_length = sizeof sender;
    std::uint32_t local = 0;
    EXPECT_EQ(
        platform_socket_recvfrom_local(server, data, sizeof data, &sender, &sender_length, &local),
        4);
    EXPECT_EQ(std::string(data, 4), "abcd");
    EXPECT_EQ(local, LOOPBACK);

    // Nothing more: the wait ends by its limit.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(platform_socket_wait_readable(server, 0, 200000), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    platform_socket_close(client);
    platform_socket_close(server);
}

TEST_F(SocketTest, TcpPortIsNotSharedButRebindsWhileOldConnectionsClose)
{
    std::uint16_t port = 0;
    platform_socket_t listener = bound(true, LOOPBACK, &port);
    ASSERT_EQ(platform_socket_listen(listener, 4), 0);
    platform_socket_t client = platform_socket_open(true);
    ASSERT_EQ(platform_socket_connect(client, LOOPBACK, port), 0);
    platform_socket_t accepted = platform_socket_accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, PLATFORM_INVALID_SOCKET);
    platform_socket_t intruder = platform_socket_open(true);
    EXPECT_EQ(platform_socket_bind(intruder, LOOPBACK, port), -1);
    platform_socket_close(intruder);

    // The server closes first, so its side lingers; a restarted server still gets its port.
    for (platform_socket_t s : {accepted, listener, client}) {
        platform_socket_close(s);
    }
    platform_socket_t restarted = platform_socket_open(true);
    EXPECT_EQ(platform_socket_bind(restarted, LOOPBACK, port), 0);
    platform_socket_close(restarted);
}

} // namespace
