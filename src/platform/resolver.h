// resolver: host names to addresses, through the system's resolver.
//
// Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int {
    PLATFORM_FAMILY_OTHER = 0,
    PLATFORM_FAMILY_IPV4 = 4,
    PLATFORM_FAMILY_IPV6 = 6,
};

// One entry of the resolver's answer.
struct platform_resolved_address {
    int family;         // PLATFORM_FAMILY_*
    std::uint32_t ipv4; // the IPv4 address in host byte order (family IPV4 only)
};

// Resolves a UTF-8 host name as getaddrinfo does with the hints: no flags, any family, stream
// sockets, TCP. Stores up to capacity entries in the resolver's order and their number in
// *count (entries beyond capacity are dropped). 0, or the resolver's non-zero error code.
int platform_resolve_host(const char *name, platform_resolved_address *out, std::size_t capacity,
                          std::size_t *count);
