// POSIX side of socket.h.

#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <string>

#include "platform/posix/utf8_path.h"

namespace {

sockaddr_in
ipv4_address(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(address);
    return in;
}

int
fd(platform_socket_t s)
{
    return static_cast<int>(s);
}

} // namespace

int
platform_socket_startup()
{
    return 0;
}

void
platform_socket_cleanup()
{
}

int
platform_socket_error()
{
    return errno;
}

bool
platform_socket_error_is_reset(int error)
{
    return error == ECONNRESET;
}

bool
platform_socket_error_would_block(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

int
platform_ipv4_from_text(const char16_t *text, std::uint32_t *address)
{
    std::string narrow = posix::to_utf8(text);
    in_addr in{};
    if (text == nullptr || inet_pton(AF_INET, narrow.c_str(), &in) != 1) {
        errno = EINVAL;
        return EINVAL;
    }
    *address = ntohl(in.s_addr);
    return 0;
}

platform_socket_t
platform_socket_open(bool tcp)
{
    int s = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
    return s < 0 ? PLATFORM_INVALID_SOCKET : s;
}

void
platform_socket_close(platform_socket_t s)
{
    if (s != PLATFORM_INVALID_SOCKET) {
        int saved = errno;
        close(fd(s));
        errno = saved;
    }
}

int
platform_socket_bind(platform_socket_t s, std::uint32_t address, std::uint16_t port)
{
    int type = 0;
    socklen_t size = sizeof type;
    if (getsockopt(fd(s), SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM) {
        // A restarted server must find its port again while old connections linger.
        int on = 1;
        setsockopt(fd(s), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    sockaddr_in in = ipv4_address(address, port);
    return bind(fd(s), reinterpret_cast<const sockaddr *>(&in), sizeof in) == 0 ? 0 : -1;
}

int
platform_socket_listen(platform_socket_t s, int backlog)
{
    return listen(fd(s), backlog) == 0 ? 0 : -1;
}

int
platform_socket_connect(platform_socket_t s, std::uint32_t address, std::uint16_t port)
{
    sockaddr_in in = ipv4_address(address, port);
    for (;;) {
        if (connect(fd(s), reinterpret_cast<const sockaddr *>(&in), sizeof in) == 0) {
            return 0;
        }
        if (errno != EINTR) {
            return -1;
        }
    }
}

platform_socket_t
platform_socket_accept(platform_socket_t s, net_sockaddr *address, std::uint32_t *length)
{
    socklen_t size = length != nullptr ? *length : 0;
    if (size > sizeof(net_sockaddr)) {
        size = sizeof(net_sockaddr);
    }
    int accepted;
    do {
        accepted = accept4(
            fd(s), address != nullptr ? reinterpret_cast<sockaddr *>(address->bytes) : nullptr,
            address != nullptr ? &size : nullptr, SOCK_CLOEXEC);
    } while (accepted < 0 && errno == EINTR);
    if (accepted < 0) {
        return PLATFORM_INVALID_SOCKET;
    }
    if (length != nullptr) {
        *length = size;
    }
    return accepted;
}

long long
platform_socket_send(platform_socket_t s, const void *data, std::size_t length)
{
    ssize_t n;
    do {
        n = send(fd(s), data, length, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

long long
platform_socket_sendto(platform_socket_t s, const void *data, std::size_t length,
                       const net_sockaddr &address, std::uint32_t address_length,
                       std::uint32_t source)
{
    iovec io{const_cast<void *>(data), length};
    msghdr message{};
    message.msg_name = const_cast<unsigned char *>(address.bytes);
    message.msg_namelen =
        address_length > sizeof(net_sockaddr) ? sizeof(net_sockaddr) : address_length;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (source != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(source);
        std::memcpy(CMSG_DATA(header), &info, sizeof info);
    }
    ssize_t n;
    do {
        n = sendmsg(fd(s), &message, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

int
platform_socket_unacknowledged(platform_socket_t s, std::size_t *bytes)
{
    // For TCP the output queue counts from the first unacknowledged byte to the last one queued.
    int queued = 0;
    if (ioctl(fd(s), SIOCOUTQ, &queued) != 0 || queued < 0) {
        return -1;
    }
    *bytes = static_cast<std::size_t>(queued);
    return 0;
}

long long
platform_socket_recv(platform_socket_t s, void *data, std::size_t capacity)
{
    ssize_t n;
    do {
        n = recv(fd(s), data, capacity, 0);
    } while (n < 0 && errno == EINTR);
    return n;
}

long long
platform_socket_recvfrom(platform_socket_t s, void *data, std::size_t capacity,
                         net_sockaddr *address, std::uint32_t *length)
{
    socklen_t size = length != nullptr ? *length : 0;
    if (size > sizeof(net_sockaddr)) {
        size = sizeof(net_sockaddr);
    }
    ssize_t n;
    do {
        n = recvfrom(fd(s), data, capacity, 0,
                     address != nullptr ? reinterpret_cast<sockaddr *>(address->bytes) : nullptr,
                     address != nullptr ? &size : nullptr);
    } while (n < 0 && errno == EINTR);
    if (n >= 0 && length != nullptr) {
        *length = size;
    }
    return n;
}

int
platform_socket_want_local_address(platform_socket_t s)
{
    int on = 1;
    return setsockopt(fd(s), IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0 ? 0 : -1;
}

long long
platform_socket_recvfrom_local(platform_socket_t s, void *data, std::size_t capacity,
                               net_sockaddr *address, std::uint32_t *length, std::uint32_t *local)
{
    iovec io{data, capacity};
    msghdr message{};
    message.msg_name = address->bytes;
    message.msg_namelen = *length > sizeof(net_sockaddr) ? sizeof(net_sockaddr) : *length;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))];
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(fd(s), &message, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return n;
    }
    *length = message.msg_namelen;
    *local = 0;
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            // ipi_spec_dst is the local address a reply goes out from: for a datagram sent to a
            // broadcast address, the interface's own address rather than the broadcast one.
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            *local = ntohl(info.ipi_spec_dst.s_addr);
        }
    }
    return n;
}

int
platform_socket_shutdown_send(platform_socket_t s)
{
    return shutdown(fd(s), SHUT_WR) == 0 ? 0 : -1;
}

int
platform_socket_set_nonblocking(platform_socket_t s)
{
    int flags = fcntl(fd(s), F_GETFL);
    return flags >= 0 && fcntl(fd(s), F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int
platform_socket_wait_readable(platform_socket_t s, long seconds, long microseconds)
{
    // poll, unlike select, has no limit on the descriptor's number.
    long long ms = static_cast<long long>(seconds) * 1000 + (microseconds + 999) / 1000;
    int timeout = ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
    pollfd wanted{fd(s), POLLIN, 0};
    int n;
    do {
        n = poll(&wanted, 1, timeout);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}

int
platform_socket_set_receive_buffer(platform_socket_t s, std::size_t bytes)
{
    int size = bytes > 0x3FFFFFFF ? 0x3FFFFFFF : static_cast<int>(bytes);
    // The forced size needs CAP_NET_ADMIN; without it the kernel caps at net.core.rmem_max.
    if (setsockopt(fd(s), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0) {
        return 0;
    }
    return setsockopt(fd(s), SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0 ? 0 : -1;
}

int
platform_socket_local_port(platform_socket_t s, std::uint16_t *port)
{
    sockaddr_in in{};
    socklen_t size = sizeof in;
    if (getsockname(fd(s), reinterpret_cast<sockaddr *>(&in), &size) != 0) {
        return -1;
    }
    *port = ntohs(in.sin_port);
    return 0;
}

int
platform_sockaddr_ipv4(const net_sockaddr &address, std::uint32_t length, std::uint32_t *ipv4,
                       std::uint16_t *port)
{
    sockaddr_in in{};
    if (length < sizeof in) {
        return -1;
    }
    std::memcpy(&in, address.bytes, sizeof in);
    if (in.sin_family != AF_INET) {
        return -1;
    }
    *ipv4 = ntohl(in.sin_addr.s_addr);
    *port = ntohs(in.sin_port);
    return 0;
}
