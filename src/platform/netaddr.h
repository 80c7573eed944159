// netaddr: socket addresses as text.
//
// Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

// Socket library start and stop (nothing to do on POSIX). 0, or the library's error.
int platform_net_startup();
void platform_net_cleanup();

// Converts a socket address (IPv4 or IPv6) to text: "a.b.c.d", "a.b.c.d:port" when the port is
// not 0, "[v6]:port" for IPv6 with a port. *length is the buffer's capacity in UTF-16 units on
// entry and the units written with the terminator on success. 0, or the socket error (the
// required length is stored in *length when the buffer is too small).
int platform_netaddr_to_text(const void *address, std::size_t address_length, char16_t *out,
                             std::uint32_t *length);

// Fills a socket address for an IPv4 address and port (both in host byte order). Returns the
// address's length, or 0 when it does not fit.
std::size_t platform_netaddr_ipv4(std::uint32_t address, std::uint16_t port, void *out,
                                  std::size_t capacity);
