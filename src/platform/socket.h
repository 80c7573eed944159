// socket: IPv4 sockets of the operating system, one call per operation.
//
// Addresses and ports cross this interface in host byte order; raw socket addresses (for
// accept and recvfrom) are opaque bytes in a net_sockaddr. The functions keep no state; a socket
// is used by one thread at a time, except that several threads may send datagrams on one
// connected UDP socket. Failures return -1 (or PLATFORM_INVALID_SOCKET) and leave the error in
// platform_socket_error().
#pragma once

#include <cstddef>
#include <cstdint>

using platform_socket_t = std::intptr_t;
constexpr platform_socket_t PLATFORM_INVALID_SOCKET = -1;

// Room for any socket address of the system.
struct net_sockaddr {
    alignas(8) unsigned char bytes[128];
};

// Socket library start and stop (nothing to do on POSIX): 0, or the library's error.
int platform_socket_startup();
void platform_socket_cleanup();

// The calling thread's last socket error, and whether it means "connection reset by the peer".
int platform_socket_error();
bool platform_socket_error_is_reset(int error);
// Whether the error means "a non-blocking socket has nothing to give or take now".
bool platform_socket_error_would_block(int error);

// Dotted IPv4 text to an address in host byte order: 0, or the socket error for other text.
int platform_ipv4_from_text(const char16_t *text, std::uint32_t *address);

// A TCP (stream) socket when tcp is true, otherwise UDP.
platform_socket_t platform_socket_open(bool tcp);
void platform_socket_close(platform_socket_t s);
// Binds (TCP sockets may rebind a port whose old connections are still closing).
int platform_socket_bind(platform_socket_t s, std::uint32_t address, std::uint16_t port);
int platform_socket_listen(platform_socket_t s, int backlog);
int platform_socket_connect(platform_socket_t s, std::uint32_t address, std::uint16_t port);
platform_socket_t platform_socket_accept(platform_socket_t s, net_sockaddr *address,
                                         std::uint32_t *length);
// Ends the sending side of a connected TCP socket (the peer reads its end): 0, or -1.
int platform_socket_shutdown_send(platform_socket_t s);
// Bytes sent or received, or -1.
long long platform_socket_send(platform_socket_t s, const void *data, std::size_t length);
// Sends one datagram to a raw socket address (as platform_socket_recvfrom gave it), from the
// local IPv4 address source (host byte order; 0: the one the route gives).
long long platform_socket_sendto(platform_socket_t s, const void *data, std::size_t length,
                                 const net_sockaddr &address, std::uint32_t address_length,
                                 std::uint32_t source);
// The bytes of a TCP socket that the peer has not acknowledged yet, those still queued for
// sending included: 0 once everything sent lies in the peer's receive buffer. 0, or -1.
int platform_socket_unacknowledged(platform_socket_t s, std::size_t *bytes);
long long platform_socket_recv(platform_socket_t s, void *data, std::size_t capacity);
long long platform_socket_recvfrom(platform_socket_t s, void *data, std::size_t capacity,
                                   net_sockaddr *address, std::uint32_t *length);
// Asks a UDP socket to tell, with each datagram, the local address it came in at: 0, or -1.
int platform_socket_want_local_address(platform_socket_t s);
// platform_socket_recvfrom, and the local IPv4 address (host byte order) the datagram came in at,
// to answer from: 0 when the socket does not tell it.
long long platform_socket_recvfrom_local(platform_socket_t s, void *data, std::size_t capacity,
                                         net_sockaddr *address, std::uint32_t *length,
                                         std::uint32_t *local);
// Makes the socket's calls return at once with a would-block error instead of waiting: 0, or -1.
int platform_socket_set_nonblocking(platform_socket_t s);
// Waits until the socket is readable: 1 readable, 0 time limit passed, -1 failure.
int platform_socket_wait_readable(platform_socket_t s, long seconds, long microseconds);
// Asks for a receive buffer of at least this many bytes, past the system's usual cap where the
// process may: 0, or -1 when not even the capped size could be set.
int platform_socket_set_receive_buffer(platform_socket_t s, std::size_t bytes);
// The local port a socket is bound to (host byte order): 0, or -1.
int platform_socket_local_port(platform_socket_t s, std::uint16_t *port);

// The IPv4 address and port (host byte order) of a raw socket address: 0, or -1 for another
// family.
int platform_sockaddr_ipv4(const net_sockaddr &address, std::uint32_t length, std::uint32_t *ipv4,
                           std::uint16_t *port);
