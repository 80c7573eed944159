// netroute: which local address the system would use for traffic to the outside world.
//
// Stateless; any thread. Nothing is ever sent.
#pragma once

#include <cstddef>

// The IPv4 address of the interface over which traffic to 8.8.8.8 would leave, as dotted text
// into out (capacity in UTF-16 units, terminator included). With several addresses on that
// interface the last one in the system's address table wins. 0 when an address was written;
// 1 when there is no route or the interface has no IPv4 address (out unchanged); -1 when the
// address table cannot be read (last error set, out unchanged).
int platform_internet_adapter_ip(char16_t *out, std::size_t capacity);
