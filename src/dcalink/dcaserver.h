// dcaserver: the Collector's end of the agent-collector link. Accepts TCP connections from DC
// Agents, runs the handshake on each, then reads DATA messages for as long as the connection
// lives: each payload is deciphered, checked, turned into a logon record, filtered with the
// Collector's exclusion lists, stored and queued for the appliances; a logout notice (Flags 10)
// logs the user's stored logon out.
//
// Life cycle: dcaserver_init() once during start-up (the crypto and listening handles live until
// the process ends; dcaserver_fini() exists for the failure path and the tests), then
// dcaserver_thread() runs the accept loop on a pool worker for good, and each accepted
// connection becomes one pool job (dcaserver_handle_client) that owns its socket until it closes
// it.
//
// Threads: the jobs share the crypto handle (each decryption is a whole message), the filter
// lists (read-only), the store and the update queue (each with its own lock).
//
// Everything read from a connection is untrusted: a DATA length above the largest payload an
// agent builds ends the connection before anything is allocated or read; a payload whose fixed
// part, offsets or texts do not lie inside it is refused and the connection goes on with the
// next message (its frame is intact).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/socket.h"

// The Collector's encryption type, offered in the RESPONSE.
constexpr std::uint8_t DCASERVER_ENCRYPTION = 2;
// The default port when 0 is configured.
constexpr std::uint16_t DCASERVER_DEFAULT_PORT = 5566;
// How long a new connection may take to send its REQUEST, in seconds. An agent sends it at once;
// a connection that sends nothing would otherwise hold a pool worker for good.
constexpr unsigned int DCASERVER_HANDSHAKE_SECONDS = 10;

// Crypto handle, network handle, listening socket (null address: all local addresses). 0, or -1
// (whatever was set up is undone).
int dcaserver_init(const char16_t *address, std::uint16_t port);
// Undoes dcaserver_init (failure path, tests).
void dcaserver_fini();

int dcaserver_crypto_init();
void dcaserver_crypto_fini();
int dcaserver_net_init(const char16_t *address, std::uint16_t port);
void dcaserver_net_fini();
int dcaserver_net_open();
platform_socket_t dcaserver_net_accept(net_sockaddr *address, std::uint32_t *length);

// The accept loop (pool job; the argument is unused); never returns.
void dcaserver_thread(void *argument);
// One connection (pool job): the argument carries the accepted socket, which the job closes.
void dcaserver_handle_client(void *socket);

// 0 handshaken, -1 refused or failed.
int dcaserver_peer_handshake(platform_socket_t socket);
int dcaserver_receive_request(platform_socket_t socket); // 1 accepted, 0 closed, -1
int dcaserver_send_response(platform_socket_t socket);   // 1 sent, -1

// 0 after a DATA message was read (whatever became of it), -1 when the connection is to end.
int dcaserver_receive_data(platform_socket_t socket);
// Deciphers (unless the header says clear) and handles one payload in place. 0, or -1 when the
// message was dropped for a fault (refused payload, store failure).
int dcaserver_extract_data(const std::uint8_t *header, std::uint8_t *payload, std::size_t length);

// Exactly length bytes: 1, 0 when the peer closed (or the socket is invalid), -1 on failure.
int dcaserver_net_recv(platform_socket_t socket, void *buffer, std::size_t length);
// The bounded send loop: 1 sent, -1 failed, 0 for an invalid socket.
int dcaserver_net_send(platform_socket_t socket, const void *buffer, std::size_t length);

// The socket as a pool job's argument and back.
inline void *
dcaserver_socket_argument(platform_socket_t socket)
{
    return reinterpret_cast<void *>(socket);
}
