// POSIX side of netroute.h. The route towards 8.8.8.8 is found by connecting a UDP socket: a
// UDP connect only asks the routing table and sends nothing. The interface is then the one
// that holds the source address the kernel chose, and its addresses come from getifaddrs in
// the system's order.

#include "platform/netroute.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The source address the kernel would use towards 8.8.8.8 (network byte order); false when
// there is no route.
bool
route_source_address(in_addr *source)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(53);
    target.sin_addr.s_addr = htonl(0x08080808u);
    bool found = false;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&target), sizeof target) == 0) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) == 0 &&
            local.sin_family == AF_INET && local.sin_addr.s_addr != 0) {
            *source = local.sin_addr;
            found = true;
        }
    }
    int saved = errno;
    close(fd);
    errno = saved;
    return found;
}

} // namespace

int
platform_internet_adapter_ip(char16_t *out, std::size_t capacity)
{
    if (out == nullptr || capacity == 0) {
        errno = EINVAL;
        return -1;
    }
    in_addr source{};
    if (!route_source_address(&source)) {
        return 1;
    }
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        return -1;
    }
    // The interface that carries the source address.
    std::string interface_name;
    for (ifaddrs *entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
            reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr.s_addr ==
                source.s_addr) {
            interface_name = entry->ifa_name;
            break;
        }
    }
    // Every IPv4 address of that interface, in table order: the last one wins.
    char text[INET_ADDRSTRLEN] = {};
    for (ifaddrs *entry = list; entry != nullptr && !interface_name.empty();
         entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
            interface_name == entry->ifa_name) {
            const auto *in = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
            const auto *bytes = reinterpret_cast<const unsigned char *>(&in->sin_addr.s_addr);
            std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        }
    }
    freeifaddrs(list);
    std::size_t n = std::strlen(text);
    if (n == 0) {
        return 1;
    }
    if (n + 1 > capacity) {
        errno = ENOBUFS;
        return -1;
    }
    for (std::size_t i = 0; i <= n; ++i) {
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
    }
    return 0;
}
