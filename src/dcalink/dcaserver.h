// dcaserver: the Collector's end of the agent-collector link. Accepts TCP connections from DC
// Agents, runs the handshake on each, then reads DATA messages for as long as the connection
// lives: each payload is deciphered, checked, turned into a logon record, filtered with the
// Collector's exclusion lists, stored and queued for the appliances; a logout notice (Flags 10)
// logs the user's stored logon out.
//
// Life cycle: dcaserver_init() once during start-up (the crypto and listening handles live until
// the process ends; dcaserver_fini() exists for the failure path and the tests), then
// dcaserver_thread() runs on a pool worker for good. That one thread waits on the listening
// socket and on every agent connection at once; no worker waits on a connection. Each connection
// keeps its half-read message (a dcaserver_stream); each complete DATA message becomes a pool job
// that deciphers and handles it. A connection has at most one such job at a time, so its messages
// are handled in the order sent (a logon before the logout notice that follows it); messages that
// arrive meanwhile wait in the connection's queue, and a connection whose queue is full is not
// read until the job has caught up.
//
// Threads: the jobs share the crypto handle (each decryption is a whole message), the filter
// lists (read-only), the store and the update queue (each with its own lock). The stream
// functions touch only the stream given.
//
// Everything read from a connection is untrusted: the whole handshake must arrive within
// DCASERVER_HANDSHAKE_SECONDS of the accept, and a DATA message, once its first byte has come,
// within DCASERVER_MESSAGE_SECONDS; a DATA length above the largest payload an agent builds ends
// the connection before anything is allocated; a payload whose fixed part, offsets or texts do
// not lie inside it is refused and the connection goes on with the next message (its frame is
// intact). At most dcaserver_set_max_connections() connections are open at once; more are closed
// at accept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dcalink/dcalink_protocol.h"
#include "platform/socket.h"

// The Collector's encryption type, offered in the RESPONSE.
constexpr std::uint8_t DCASERVER_ENCRYPTION = 2;
// The default port when 0 is configured.
constexpr std::uint16_t DCASERVER_DEFAULT_PORT = 5566;
// How long a new connection may take for its whole REQUEST, from the accept, in seconds. An agent
// sends it at once.
constexpr unsigned int DCASERVER_HANDSHAKE_SECONDS = 10;
// How long one DATA message may take from the first byte of its header to the last of its
// payload, in seconds. An agent writes each message whole.
constexpr unsigned int DCASERVER_MESSAGE_SECONDS = 10;
// The default for MAX-AGENT-CONNECTIONS.
constexpr std::size_t DCASERVER_DEFAULT_MAX_CONNECTIONS = 4096;
// The bytes of complete messages one connection may have waiting for its job; past this the
// connection is not read until its job has caught up.
constexpr std::size_t DCASERVER_QUEUE_BYTES = 4 * DCALINK_PAYLOAD_MAX;

// Crypto handle, network handle, listening socket (null address: all local addresses). 0, or -1
// (whatever was set up is undone).
int dcaserver_init(const char16_t *address, std::uint16_t port);
// Undoes dcaserver_init (failure path, tests); the server thread must have ended.
void dcaserver_fini();

int dcaserver_crypto_init();
void dcaserver_crypto_fini();
int dcaserver_net_init(const char16_t *address, std::uint16_t port);
void dcaserver_net_fini();
int dcaserver_net_open();
// The next connection from an allowed agent network (others are closed here), or -1 (nothing
// waiting on a non-blocking listening socket, or a failure: platform_socket_error() tells).
platform_socket_t dcaserver_net_accept(net_sockaddr *address, std::uint32_t *length);

// The most agent connections open at once (MAX-AGENT-CONNECTIONS; 0 means the default). Set
// before dcaserver_thread() starts.
void dcaserver_set_max_connections(std::size_t most);
// The server loop (pool job; the argument is unused): runs until dcaserver_stop() or
// dcaserver_drain().
void dcaserver_thread(void *argument);
// Asks the server loop to close every connection and return, within a fraction of a second (tests).
void dcaserver_stop();
// The service's stop: stops the server loop, then waits up to timeout_ms for the messages it has
// received to be handled. The connection jobs still running at the end (0: nothing received was
// lost).
int dcaserver_drain(int timeout_ms);

// One connection's bytes as they arrive: the REQUEST, then DATA messages, each a 12-byte header
// and the payload it announces.
struct dcaserver_message {
    std::uint8_t header[DCALINK_HEADER_SIZE];
    std::vector<std::uint8_t> payload;
};
struct dcaserver_stream {
    int phase = 0;        // the REQUEST, a DATA header or a payload (see dcaserver.cpp)
    std::size_t have = 0; // bytes of the current header or payload so far
    dcaserver_message message;
};
enum dcaserver_stream_event : int {
    DCASERVER_STREAM_MORE = 0,    // every byte taken, nothing complete yet
    DCASERVER_STREAM_REQUEST = 1, // an acceptable REQUEST came: the RESPONSE is due
    DCASERVER_STREAM_MESSAGE = 2, // a whole DATA message is in stream->message
    DCASERVER_STREAM_FAULT = 3,   // the stream cannot go on (logged): the connection ends
};
// Takes bytes until one event, and tells in *used how many it took (the rest is for the next
// call). After DCASERVER_STREAM_MESSAGE the caller moves stream->message out before feeding more.
dcaserver_stream_event dcaserver_stream_feed(dcaserver_stream *stream, const std::uint8_t *bytes,
                                             std::size_t length, std::size_t *used);
// Whether a DATA message has begun and is not complete.
bool dcaserver_stream_in_message(const dcaserver_stream &stream);

int dcaserver_send_response(platform_socket_t socket); // 1 sent, -1

// Deciphers (unless the header says clear) and handles one payload in place. 0, or -1 when the
// message was dropped for a fault (refused payload, store failure).
int dcaserver_extract_data(const std::uint8_t *header, std::uint8_t *payload, std::size_t length);

// The bounded send loop: 1 sent, -1 failed, 0 for an invalid socket.
int dcaserver_net_send(platform_socket_t socket, const void *buffer, std::size_t length);
