// net: the network handle, one IPv4 socket with the address it binds or connects to, its role
// and its receive time limit.
//
// net_init() creates a handle (socket closed), net_open() opens it (a server binds, and listens
// for TCP; a client connects, for UDP too), net_close() closes the socket and keeps the handle
// for the next net_open(), net_fini() releases it. A handle is used by one thread at a time,
// except that several threads may send datagrams on one connected UDP handle.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

enum : std::uint32_t {
    NET_MODE_CLIENT = 0,
    NET_MODE_SERVER = 1,
};

enum : std::uint32_t {
    NET_TRANSPORT_UDP = 0,
    NET_TRANSPORT_TCP = 1,
};

struct net_handle {
    platform_socket_t socket;
    std::uint32_t address; // IPv4, host byte order; 0 is the any-address
    std::uint16_t port;    // host byte order
    std::uint32_t mode;    // NET_MODE_SERVER, anything else a client
    std::uint32_t timeout_seconds;
    std::uint32_t timeout_microseconds;
};

// A new handle for the dotted IPv4 text (null: the any-address) and port. Null on failure.
net_handle *net_init(const char16_t *ip, std::uint16_t port, std::uint32_t mode);
// Opens the socket (NET_TRANSPORT_TCP, anything else UDP): 0, or -1 (the socket stays closed).
int net_open(net_handle *handle, std::uint32_t transport);
void net_close(net_handle *handle);
void net_fini(net_handle *handle);
// The receive time limit; 0 s and 0 µs block without limit.
void net_set_recv_timeout(net_handle *handle, std::uint32_t seconds, std::uint32_t microseconds);
// The accepted socket, or -1.
platform_socket_t net_accept(net_handle *handle, net_sockaddr *address, std::uint32_t *length);
// 1 when every byte was sent (at most five send calls), -1 otherwise.
int net_send(net_handle *handle, const void *buffer, std::size_t length);
// Bytes received by one receive, 0 when the peer has closed, -1 on failure or time-out.
long long net_recv(net_handle *handle, void *buffer, std::size_t capacity);
long long net_recvfrom(net_handle *handle, void *buffer, std::size_t capacity,
                       net_sockaddr *address, std::uint32_t *length);
