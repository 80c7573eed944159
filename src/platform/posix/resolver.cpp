// POSIX side of resolver.h: getaddrinfo.

#include "platform/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

int
platform_resolve_host(const char *name, platform_resolved_address *out, std::size_t capacity,
                      std::size_t *count)
{
    *count = 0;
    addrinfo hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo *result = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &result);
    if (rc != 0) {
        return rc;
    }
    for (addrinfo *entry = result; entry != nullptr && *count < capacity; entry = entry->ai_next) {
        platform_resolved_address &a = out[(*count)++];
        a.ipv4 = 0;
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr &&
            entry->ai_addrlen >= sizeof(sockaddr_in)) {
            a.family = PLATFORM_FAMILY_IPV4;
            a.ipv4 = ntohl(reinterpret_cast<const sockaddr_in *>(entry->ai_addr)->sin_addr.s_addr);
        } else if (entry->ai_family == AF_INET6) {
            a.family = PLATFORM_FAMILY_IPV6;
        } else {
            a.family = PLATFORM_FAMILY_OTHER;
        }
    }
    freeaddrinfo(result);
    return 0;
}
