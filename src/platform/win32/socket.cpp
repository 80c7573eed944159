// Windows side of socket.h: Winsock 2.
//
// Where Winsock differs from the BSD calls the header was written after, this file makes it
// behave as callers expect:
// - UDP sockets do not report an ICMP "port unreachable" of an earlier datagram as a reset on the
//   next receive (SIO_UDP_CONNRESET off), so one vanished peer does not disturb a server socket.
// - A datagram longer than the buffer is delivered cut to the buffer, as recvfrom does elsewhere,
//   instead of failing with WSAEMSGSIZE.
// - Lengths are int in Winsock: one call moves at most INT_MAX bytes and says how many it moved.

#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <mstcpip.h>
#include <mswsock.h>

#include <climits>
#include <cstring>
#include <memory>
#include <new>

namespace {

// The TCP information query of Windows 10 1703 and later, declared here because the headers
// offer it only to builds that require that version; the layout is the system's.
constexpr DWORD TCP_INFO_QUERY = _WSAIORW(IOC_VENDOR, 39);

struct tcp_info_v0 {
    int state;
    ULONG mss;
    ULONG64 connection_time_ms;
    BOOLEAN timestamps_enabled;
    ULONG rtt_us;
    ULONG min_rtt_us;
    ULONG bytes_in_flight;
    ULONG cwnd;
    ULONG snd_wnd;
    ULONG rcv_wnd;
    ULONG rcv_buf;
    ULONG64 bytes_out;
    ULONG64 bytes_in;
    ULONG bytes_reordered;
    ULONG bytes_retrans;
    ULONG fast_retrans;
    ULONG dup_acks_in;
    ULONG timeout_episodes;
    UCHAR syn_retrans;
};

SOCKET
sock(platform_socket_t s)
{
    return static_cast<SOCKET>(s);
}

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
int_length(std::size_t length)
{
    return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

int
name_length(std::uint32_t length)
{
    return length > sizeof(net_sockaddr) ? static_cast<int>(sizeof(net_sockaddr))
                                         : static_cast<int>(length);
}

// The local address to answer a datagram from, given the destination it was sent to and the
// interface it came in at. A datagram sent to one of our own addresses (any of 127.0.0.0/8
// included) is answered from that address. One sent to a broadcast or multicast address is
// answered from the interface's own address, on the same subnet where there is one, since no
// datagram can leave from a broadcast address; 0 when that interface has no address: the route
// decides.
std::uint32_t
reply_source(std::uint32_t destination, ULONG interface_index)
{
    bool broadcast = destination == 0xFFFFFFFFu || (destination >> 28) == 0xE;
    ULONG size = 0;
    if (GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0) {
        return broadcast ? 0 : destination;
    }
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[size]);
    auto *table = reinterpret_cast<MIB_IPADDRTABLE *>(buffer.get());
    if (table == nullptr || GetIpAddrTable(table, &size, FALSE) != NO_ERROR) {
        return broadcast ? 0 : destination;
    }
    std::uint32_t on_interface = 0;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPADDRROW &row = table->table[i];
        std::uint32_t address = ntohl(row.dwAddr);
        std::uint32_t mask = ntohl(row.dwMask);
        if (address == 0 || row.dwIndex != interface_index) {
            continue;
        }
        bool same_subnet = (address & mask) == (destination & mask);
        if (same_subnet && mask != 0xFFFFFFFFu && (destination | mask) == 0xFFFFFFFFu) {
            broadcast = true; // the subnet's own broadcast address
        }
        if (on_interface == 0 || same_subnet) {
            on_interface = address;
        }
    }
    return broadcast ? on_interface : destination;
}

} // namespace

int
platform_socket_startup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void
platform_socket_cleanup()
{
    WSACleanup();
}

int
platform_socket_error()
{
    return WSAGetLastError();
}

bool
platform_socket_error_is_reset(int error)
{
    return error == WSAECONNRESET;
}

bool
platform_socket_error_would_block(int error)
{
    return error == WSAEWOULDBLOCK;
}

int
platform_ipv4_from_text(const char16_t *text, std::uint32_t *address)
{
    IN_ADDR in{};
    if (text == nullptr || InetPtonW(AF_INET, reinterpret_cast<const wchar_t *>(text), &in) != 1) {
        WSASetLastError(WSAEINVAL);
        return WSAEINVAL;
    }
    *address = ntohl(in.s_addr);
    return 0;
}

platform_socket_t
platform_socket_open(bool tcp)
{
    int type = tcp ? SOCK_STREAM : SOCK_DGRAM;
    int protocol = tcp ? IPPROTO_TCP : IPPROTO_UDP;
    // The overlapped flag gives the socket that socket() gives. Sockets are inherited by child
    // processes unless told otherwise; Windows 7 without its updates does not know that flag and
    // refuses it, and the handle is then marked afterwards.
    SOCKET s = WSASocketW(AF_INET, type, protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        s = WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
        if (s != INVALID_SOCKET) {
            SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
        }
    }
    if (s == INVALID_SOCKET) {
        return PLATFORM_INVALID_SOCKET;
    }
    if (!tcp) {
        BOOL report = FALSE;
        DWORD returned = 0;
        WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr,
                 nullptr);
    }
    return static_cast<platform_socket_t>(s);
}

void
platform_socket_close(platform_socket_t s)
{
    if (s != PLATFORM_INVALID_SOCKET) {
        int saved = WSAGetLastError();
        closesocket(sock(s));
        WSASetLastError(saved);
    }
}

int
platform_socket_bind(platform_socket_t s, std::uint32_t address, std::uint16_t port)
{
    // No option is set: Windows already lets a TCP port be bound again while connections of an
    // earlier socket on it are closing. SO_REUSEADDR would also let another process bind the
    // port beside ours, and SO_EXCLUSIVEADDRUSE would refuse the rebinding while those old
    // connections remain.
    sockaddr_in in = ipv4_address(address, port);
    return bind(sock(s), reinterpret_cast<const sockaddr *>(&in), sizeof in) == 0 ? 0 : -1;
}

int
platform_socket_listen(platform_socket_t s, int backlog)
{
    return listen(sock(s), backlog) == 0 ? 0 : -1;
}

int
platform_socket_connect(platform_socket_t s, std::uint32_t address, std::uint16_t port)
{
    sockaddr_in in = ipv4_address(address, port);
    return connect(sock(s), reinterpret_cast<const sockaddr *>(&in), sizeof in) == 0 ? 0 : -1;
}

platform_socket_t
platform_socket_accept(platform_socket_t s, net_sockaddr *address, std::uint32_t *length)
{
    int size = length != nullptr ? name_length(*length) : 0;
    SOCKET accepted =
        accept(sock(s), address != nullptr ? reinterpret_cast<sockaddr *>(address->bytes) : nullptr,
               address != nullptr ? &size : nullptr);
    if (accepted == INVALID_SOCKET) {
        return PLATFORM_INVALID_SOCKET;
    }
    // Not inherited by child processes, whatever the listening socket was given.
    SetHandleInformation(reinterpret_cast<HANDLE>(accepted), HANDLE_FLAG_INHERIT, 0);
    if (length != nullptr && address != nullptr) {
        *length = static_cast<std::uint32_t>(size);
    }
    return static_cast<platform_socket_t>(accepted);
}

int
platform_socket_shutdown_send(platform_socket_t s)
{
    return shutdown(sock(s), SD_SEND) == 0 ? 0 : -1;
}

long long
platform_socket_send(platform_socket_t s, const void *data, std::size_t length)
{
    int n = send(sock(s), static_cast<const char *>(data), int_length(length), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long long
platform_socket_sendto(platform_socket_t s, const void *data, std::size_t length,
                       const net_sockaddr &address, std::uint32_t address_length,
                       std::uint32_t source)
{
    if (source == 0) {
        int n =
            sendto(sock(s), static_cast<const char *>(data), int_length(length), 0,
                   reinterpret_cast<const sockaddr *>(address.bytes), name_length(address_length));
        return n == SOCKET_ERROR ? -1 : n;
    }
    WSABUF buffer{static_cast<ULONG>(int_length(length)),
                  const_cast<char *>(static_cast<const char *>(data))};
    // The control message names the source address; interface 0 lets the route pick it.
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    auto *header = reinterpret_cast<WSACMSGHDR *>(control);
    header->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    IN_PKTINFO info{};
    info.ipi_addr.s_addr = htonl(source);
    info.ipi_ifindex = 0;
    std::memcpy(WSA_CMSG_DATA(header), &info, sizeof info);

    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr *>(const_cast<unsigned char *>(address.bytes));
    message.namelen = name_length(address_length);
    message.lpBuffers = &buffer;
    message.dwBufferCount = 1;
    message.Control.buf = control;
    message.Control.len = sizeof control;
    DWORD sent = 0;
    if (WSASendMsg(sock(s), &message, 0, &sent, nullptr, nullptr) != 0) {
        return -1;
    }
    return sent;
}

int
platform_socket_unacknowledged(platform_socket_t s, std::size_t *bytes)
{
    // BytesInFlight counts the bytes sent and not yet acknowledged. Bytes the stack still holds
    // unsent are not in it (the query offers no such count); the stack holds them back only while
    // the peer's window is closed, so 0 can come early only for a peer that stopped reading.
    DWORD version = 0;
    tcp_info_v0 info{};
    DWORD returned = 0;
    if (WSAIoctl(sock(s), TCP_INFO_QUERY, &version, sizeof version, &info, sizeof info, &returned,
                 nullptr, nullptr) == 0) {
        *bytes = info.bytes_in_flight;
        return 0;
    }
    // Older systems do not know the query. Extended TCP statistics of the connection count
    // exactly what is wanted, the retransmission queue and the data not yet sent, but collecting
    // them needs administrator rights; without those the count cannot be had, and the failure
    // says so (callers stop waiting for acknowledgements rather than guess).
    sockaddr_in local{};
    sockaddr_in remote{};
    int local_size = sizeof local;
    int remote_size = sizeof remote;
    if (getsockname(sock(s), reinterpret_cast<sockaddr *>(&local), &local_size) != 0 ||
        getpeername(sock(s), reinterpret_cast<sockaddr *>(&remote), &remote_size) != 0 ||
        local.sin_family != AF_INET) {
        return -1;
    }
    MIB_TCPROW row{};
    row.dwState = MIB_TCP_STATE_ESTAB;
    row.dwLocalAddr = local.sin_addr.s_addr;
    row.dwLocalPort = local.sin_port;
    row.dwRemoteAddr = remote.sin_addr.s_addr;
    row.dwRemotePort = remote.sin_port;
    TCP_ESTATS_SEND_BUFF_RW_v0 enable{};
    enable.EnableCollection = TRUE;
    ULONG rc = SetPerTcpConnectionEStats(&row, TcpConnectionEstatsSendBuff,
                                         reinterpret_cast<PUCHAR>(&enable), 0, sizeof enable, 0);
    TCP_ESTATS_SEND_BUFF_ROD_v0 counts{};
    if (rc == NO_ERROR) {
        rc = GetPerTcpConnectionEStats(&row, TcpConnectionEstatsSendBuff, nullptr, 0, 0, nullptr, 0,
                                       0, reinterpret_cast<PUCHAR>(&counts), 0, sizeof counts);
    }
    if (rc != NO_ERROR) {
        WSASetLastError(rc == ERROR_ACCESS_DENIED ? WSAEACCES : WSAEOPNOTSUPP);
        return -1;
    }
    *bytes = counts.CurRetxQueue + counts.CurAppWQueue;
    return 0;
}

long long
platform_socket_recv(platform_socket_t s, void *data, std::size_t capacity)
{
    int n = recv(sock(s), static_cast<char *>(data), int_length(capacity), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long long
platform_socket_recvfrom(platform_socket_t s, void *data, std::size_t capacity,
                         net_sockaddr *address, std::uint32_t *length)
{
    int size = length != nullptr ? name_length(*length) : 0;
    int n = recvfrom(sock(s), static_cast<char *>(data), int_length(capacity), 0,
                     address != nullptr ? reinterpret_cast<sockaddr *>(address->bytes) : nullptr,
                     address != nullptr ? &size : nullptr);
    if (n == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEMSGSIZE) {
            return -1;
        }
        n = int_length(capacity); // the buffer holds the datagram's first bytes
    }
    if (length != nullptr && address != nullptr) {
        *length = static_cast<std::uint32_t>(size);
    }
    return n;
}

int
platform_socket_want_local_address(platform_socket_t s)
{
    DWORD on = 1;
    return setsockopt(sock(s), IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char *>(&on),
                      sizeof on) == 0
               ? 0
               : -1;
}

long long
platform_socket_recvfrom_local(platform_socket_t s, void *data, std::size_t capacity,
                               net_sockaddr *address, std::uint32_t *length, std::uint32_t *local)
{
    *local = 0;
    // The receive call that returns control messages is an extension reached through its id.
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG receive_message = nullptr;
    DWORD returned = 0;
    if (WSAIoctl(sock(s), SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &receive_message,
                 sizeof receive_message, &returned, nullptr, nullptr) != 0 ||
        receive_message == nullptr) {
        return platform_socket_recvfrom(s, data, capacity, address, length);
    }
    WSABUF buffer{static_cast<ULONG>(int_length(capacity)), static_cast<char *>(data)};
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO)) * 2];
    WSAMSG message{};
    message.name = reinterpret_cast<sockaddr *>(address->bytes);
    message.namelen = name_length(*length);
    message.lpBuffers = &buffer;
    message.dwBufferCount = 1;
    message.Control.buf = control;
    message.Control.len = sizeof control;
    DWORD received = 0;
    if (receive_message(sock(s), &message, &received, nullptr, nullptr) != 0) {
        if (WSAGetLastError() != WSAEMSGSIZE) {
            return -1;
        }
        received = static_cast<DWORD>(int_length(capacity));
    }
    *length = static_cast<std::uint32_t>(message.namelen);
    for (WSACMSGHDR *header = WSA_CMSG_FIRSTHDR(&message); header != nullptr;
         header = WSA_CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info{};
            std::memcpy(&info, WSA_CMSG_DATA(header), sizeof info);
            *local = reply_source(ntohl(info.ipi_addr.s_addr), info.ipi_ifindex);
        }
    }
    return received;
}

int
platform_socket_set_nonblocking(platform_socket_t s)
{
    u_long on = 1;
    return ioctlsocket(sock(s), FIONBIO, &on) == 0 ? 0 : -1;
}

int
platform_socket_wait_readable(platform_socket_t s, long seconds, long microseconds)
{
    // Winsock's select has no limit on the socket's value, only on the count in a set.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(sock(s), &readable);
    timeval limit{};
    limit.tv_sec = seconds + microseconds / 1000000;
    limit.tv_usec = microseconds % 1000000;
    int n = select(0, &readable, nullptr, nullptr, &limit);
    return n == SOCKET_ERROR ? -1 : n > 0 ? 1 : 0;
}

int
platform_socket_set_receive_buffer(platform_socket_t s, std::size_t bytes)
{
    // Windows takes the size as asked, without a system-wide cap.
    int size = bytes > 0x3FFFFFFF ? 0x3FFFFFFF : static_cast<int>(bytes);
    return setsockopt(sock(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&size),
                      sizeof size) == 0
               ? 0
               : -1;
}

int
platform_socket_local_port(platform_socket_t s, std::uint16_t *port)
{
    sockaddr_in in{};
    int size = sizeof in;
    if (getsockname(sock(s), reinterpret_cast<sockaddr *>(&in), &size) != 0) {
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
