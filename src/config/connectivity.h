// connectivity: the connectivity responder, which tells a configuration tool over UDP which roles
// this installation runs, and the install type it answers with.
//
// A question is a datagram whose first byte asks: CONNECTIVITY_ASK_AGENT,
// CONNECTIVITY_ASK_COLLECTOR or CONNECTIVITY_ASK_INSTALL_TYPE. The answer goes back to the sender
// as two bytes, the answer byte and '0': 1 enabled or 2 disabled for the roles, the install type
// for the last question, where install type 0 is answered with an empty datagram. Any other
// datagram gets no answer.
//
// connectivity_start_thread() starts connectivity_thread() once during start-up on an
// operating-system thread of its own, which runs for the life of the process. The responder reads
// the configuration record, which is read-only after start-up, and takes no locks.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/socket.h"

constexpr std::uint16_t CONNECTIVITY_PORT = 50001;

enum : std::uint8_t {
    CONNECTIVITY_ASK_AGENT = 108,
    CONNECTIVITY_ASK_COLLECTOR = 109,
    CONNECTIVITY_ASK_INSTALL_TYPE = 110,
};

enum : std::uint8_t {
    CONNECTIVITY_ROLE_ENABLED = 1,
    CONNECTIVITY_ROLE_DISABLED = 2,
};

// The install type of the running configuration: 1 DC agent only, 2 Collector only, 3 both,
// 0 neither.
int get_install_type();

// The responder on CONNECTIVITY_PORT; returns only when its socket cannot be set up.
void connectivity_thread();
// Starts connectivity_thread() on a detached thread: 0, or -1 (logged) when no thread could be
// made.
int connectivity_start_thread();

// The responder's two halves, apart so that tests can pick the port and stop it.
// Sets up the socket on port at every local address and logs that the responder runs: the
// socket, or PLATFORM_INVALID_SOCKET after the failure's line.
platform_socket_t connectivity_open(std::uint16_t port);
// Answers questions on the socket until *stop is set (looked at every second; null: never), then
// closes the socket.
void connectivity_serve(platform_socket_t s, const std::atomic<bool> *stop);
