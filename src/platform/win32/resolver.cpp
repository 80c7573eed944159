// Windows side of resolver.h: getaddrinfo of Winsock, whose errors are Winsock error codes
// (WSAHOST_NOT_FOUND, WSANO_DATA, WSATRY_AGAIN, ...). The caller has started the socket library.

#include "platform/resolver.h"

#include <winsock2.h>
#include <ws2tcpip.h>

int
platform_resolve_host(const char *name, platform_resolved_address *out, std::size_t capacity,
                      std::size_t *count)
{
    *count = 0;
    // The narrow getaddrinfo reads the name in the ANSI code page; the names here are UTF-8, so
    // they go through the UTF-16 call of the same resolver. Text that is not UTF-8 (a name cut
    // inside a character) names no host.
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
    wchar_t wide[256];
    if (units <= 0 || units > static_cast<int>(sizeof wide / sizeof wide[0])) {
        WSASetLastError(WSAHOST_NOT_FOUND);
        return WSAHOST_NOT_FOUND; // not UTF-8, or longer than any DNS name
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide, units);
    ADDRINFOW hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    ADDRINFOW *list = nullptr;
    int rc = GetAddrInfoW(wide, nullptr, &hints, &list);
    if (rc != 0) {
        return rc;
    }
    for (ADDRINFOW *entry = list; entry != nullptr && *count < capacity; entry = entry->ai_next) {
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
    FreeAddrInfoW(list);
    return 0;
}
