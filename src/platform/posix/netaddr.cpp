// POSIX side of netaddr.h. The text forms follow the Windows address-to-string call, which the
// rest of the program expects: the port is appended only when it is not 0.

#include "platform/netaddr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/posix/utf8_path.h"

int
platform_net_startup()
{
    return 0;
}

void
platform_net_cleanup()
{
}

int
platform_netaddr_to_text(const void *address, std::size_t address_length, char16_t *out,
                         std::uint32_t *length)
{
    if (address == nullptr || length == nullptr || address_length < sizeof(sa_family_t)) {
        return EINVAL;
    }
    sa_family_t family;
    std::memcpy(&family, address, sizeof family);
    char host[INET6_ADDRSTRLEN];
    char text[INET6_ADDRSTRLEN + 16];
    if (family == AF_INET && address_length >= sizeof(sockaddr_in)) {
        sockaddr_in in{};
        std::memcpy(&in, address, sizeof in);
        inet_ntop(AF_INET, &in.sin_addr, host, sizeof host);
        unsigned port = ntohs(in.sin_port);
        if (port != 0) {
            std::snprintf(text, sizeof text, "%s:%u", host, port);
        } else {
            std::snprintf(text, sizeof text, "%s", host);
        }
    } else if (family == AF_INET6 && address_length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        inet_ntop(AF_INET6, &in6.sin6_addr, host, sizeof host);
        unsigned port = ntohs(in6.sin6_port);
        if (port != 0) {
            std::snprintf(text, sizeof text, "[%s]:%u", host, port);
        } else {
            std::snprintf(text, sizeof text, "%s", host);
        }
    } else {
        return EAFNOSUPPORT;
    }
    std::size_t n = std::strlen(text);
    if (out == nullptr || *length < n + 1) {
        *length = static_cast<std::uint32_t>(n + 1);
        return EFAULT;
    }
    posix::from_utf8(text, n, out, *length);
    *length = static_cast<std::uint32_t>(n + 1);
    return 0;
}

std::size_t
platform_netaddr_ipv4(std::uint32_t address, std::uint16_t port, void *out, std::size_t capacity)
{
    if (capacity < sizeof(sockaddr_in)) {
        return 0;
    }
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(address);
    std::memcpy(out, &in, sizeof in);
    return sizeof in;
}
