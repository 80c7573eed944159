// POSIX side of icmp.h.
//
// An ICMP datagram socket (allowed by net.ipv4.ping_group_range) lets the kernel choose the
// identifier and deliver only our own replies; errors such as "host unreachable" arrive on the
// socket's error queue (IP_RECVERR). A raw socket sees every ICMP message of the host, its own
// requests on loopback included, so replies are matched by type, identifier and sequence, and
// error messages by the request they quote.

#include "platform/icmp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <linux/errqueue.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <new>

struct platform_icmp {
    int fd;
    bool raw;
    std::uint16_t identifier; // raw sockets only; the kernel sets it on datagram sockets
    std::uint16_t sequence;
};

namespace {

std::atomic<std::uint16_t> g_next_identifier{0};

std::uint16_t
checksum(const unsigned char *data, std::size_t length)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
        sum += static_cast<std::uint32_t>(data[i] << 8 | data[i + 1]);
    }
    if (length % 2 != 0) {
        sum += static_cast<std::uint32_t>(data[length - 1] << 8);
    }
    while (sum >> 16 != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum);
}

// The status of an ICMP error message.
unsigned long
status_of(int type, int code)
{
    switch (type) {
    case ICMP_DEST_UNREACH:
        switch (code) {
        case ICMP_NET_UNREACH:
        case ICMP_NET_UNKNOWN:
        case ICMP_NET_ANO:
        case ICMP_NET_UNR_TOS:
            return 11002;
        case ICMP_PROT_UNREACH:
            return 11004;
        case ICMP_PORT_UNREACH:
            return 11005;
        case ICMP_FRAG_NEEDED:
            return 11009;
        default:
            return 11003;
        }
    case ICMP_TIME_EXCEEDED:
        return code == ICMP_EXC_FRAGTIME ? 11014 : 11013;
    case ICMP_PARAMETERPROB:
        return 11015;
    case ICMP_SOURCE_QUENCH:
        return 11016;
    default:
        return PLATFORM_ICMP_GENERAL_FAILURE;
    }
}

// The status of a failed send.
unsigned long
status_of_errno(int error)
{
    switch (error) {
    case ENETUNREACH:
        return 11002;
    case EHOSTUNREACH:
    case EHOSTDOWN:
        return 11003;
    case EMSGSIZE:
        return 11009;
    case ENOBUFS:
    case ENOMEM:
        return 11006;
    default:
        return PLATFORM_ICMP_GENERAL_FAILURE;
    }
}

long long
now_ms()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Reads one error from a datagram socket's error queue; true when it concerned our address.
bool
read_error_queue(int fd, std::uint32_t address, unsigned long *status)
{
    unsigned char data[64];
    unsigned char control[512];
    sockaddr_in from{};
    iovec io{data, sizeof data};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
        return false;
    }
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) {
            sock_extended_err error{};
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            if (ntohl(from.sin_addr.s_addr) != address && from.sin_addr.s_addr != 0) {
                return false;
            }
            *status = error.ee_origin == SO_EE_ORIGIN_ICMP
                          ? status_of(error.ee_type, error.ee_code)
                          : status_of_errno(static_cast<int>(error.ee_errno));
            return true;
        }
    }
    return false;
}

// Checks one received message; 1 our reply (status set), 0 not ours.
int
match_datagram(const unsigned char *data, long n, std::uint16_t sequence, std::uint32_t address,
               const sockaddr_in &from, unsigned long *status)
{
    if (n < 8 || ntohl(from.sin_addr.s_addr) != address) {
        return 0;
    }
    std::uint16_t seq = static_cast<std::uint16_t>(data[6] << 8 | data[7]);
    if (data[0] != ICMP_ECHOREPLY || seq != sequence) {
        return 0;
    }
    *status = PLATFORM_ICMP_SUCCESS;
    return 1;
}

int
match_raw(const unsigned char *data, long n, std::uint16_t identifier, std::uint16_t sequence,
          std::uint32_t address, unsigned long *status)
{
    if (n < 20) {
        return 0;
    }
    std::size_t header = static_cast<std::size_t>(data[0] & 0x0F) * 4;
    if (header < 20 || static_cast<long>(header + 8) > n) {
        return 0;
    }
    const unsigned char *icmp = data + header;
    auto id_of = [](const unsigned char *p) {
        return static_cast<std::uint16_t>(p[4] << 8 | p[5]);
    };
    auto seq_of = [](const unsigned char *p) {
        return static_cast<std::uint16_t>(p[6] << 8 | p[7]);
    };
    std::uint32_t source = static_cast<std::uint32_t>(data[12]) << 24 |
                           static_cast<std::uint32_t>(data[13]) << 16 |
                           static_cast<std::uint32_t>(data[14]) << 8 | data[15];
    if (icmp[0] == ICMP_ECHOREPLY) {
        if (source == address && id_of(icmp) == identifier && seq_of(icmp) == sequence) {
            *status = PLATFORM_ICMP_SUCCESS;
            return 1;
        }
        return 0;
    }
    if (icmp[0] == ICMP_DEST_UNREACH || icmp[0] == ICMP_TIME_EXCEEDED ||
        icmp[0] == ICMP_PARAMETERPROB || icmp[0] == ICMP_SOURCE_QUENCH) {
        // The error quotes our request: its IP header, then the first 8 bytes of our echo.
        const unsigned char *quoted = icmp + 8;
        if (quoted + 20 > data + n) {
            return 0;
        }
        std::size_t quoted_header = static_cast<std::size_t>(quoted[0] & 0x0F) * 4;
        const unsigned char *echo = quoted + quoted_header;
        if (quoted_header < 20 || echo + 8 > data + n || echo[0] != ICMP_ECHO) {
            return 0;
        }
        std::uint32_t target = static_cast<std::uint32_t>(quoted[16]) << 24 |
                               static_cast<std::uint32_t>(quoted[17]) << 16 |
                               static_cast<std::uint32_t>(quoted[18]) << 8 | quoted[19];
        if (target == address && id_of(echo) == identifier && seq_of(echo) == sequence) {
            *status = status_of(icmp[0], icmp[1]);
            return 1;
        }
    }
    return 0;
}

} // namespace

platform_icmp *
platform_icmp_open()
{
    bool raw = false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) {
        fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        raw = true;
    }
    if (fd < 0) {
        return nullptr;
    }
    if (!raw) {
        int on = 1;
        setsockopt(fd, SOL_IP, IP_RECVERR, &on, sizeof on);
    }
    auto *icmp = new (std::nothrow) platform_icmp{fd, raw, 0, 0};
    if (icmp == nullptr) {
        close(fd);
        errno = ENOMEM;
        return nullptr;
    }
    icmp->identifier = static_cast<std::uint16_t>(getpid() * 31 + g_next_identifier.fetch_add(1));
    return icmp;
}

void
platform_icmp_close(platform_icmp *icmp)
{
    if (icmp != nullptr) {
        close(icmp->fd);
        delete icmp; // the handle's only owner
    }
}

int
platform_icmp_echo(platform_icmp *icmp, std::uint32_t address, unsigned int timeout_ms,
                   unsigned long *status)
{
    *status = PLATFORM_ICMP_GENERAL_FAILURE;
    if (icmp == nullptr) {
        return 0;
    }
    std::uint16_t sequence = ++icmp->sequence;
    unsigned char request[8] = {ICMP_ECHO, 0, 0, 0, 0, 0, 0, 0};
    request[4] = static_cast<unsigned char>(icmp->identifier >> 8);
    request[5] = static_cast<unsigned char>(icmp->identifier);
    request[6] = static_cast<unsigned char>(sequence >> 8);
    request[7] = static_cast<unsigned char>(sequence);
    std::uint16_t sum = checksum(request, sizeof request);
    request[2] = static_cast<unsigned char>(sum >> 8);
    request[3] = static_cast<unsigned char>(sum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    if (sendto(icmp->fd, request, sizeof request, 0, reinterpret_cast<const sockaddr *>(&to),
               sizeof to) < 0) {
        *status = status_of_errno(errno);
        return 0;
    }

    long long deadline = now_ms() + timeout_ms;
    for (;;) {
        long long left = deadline - now_ms();
        if (left <= 0) {
            *status = PLATFORM_ICMP_TIMED_OUT;
            return 0;
        }
        pollfd wanted{icmp->fd, POLLIN, 0};
        int ready = poll(&wanted, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            *status = ready == 0 ? PLATFORM_ICMP_TIMED_OUT : PLATFORM_ICMP_GENERAL_FAILURE;
            return 0;
        }
        if (!icmp->raw && (wanted.revents & POLLERR) != 0) {
            if (read_error_queue(icmp->fd, address, status)) {
                return 1; // an error reply: the request was answered, with a failure status
            }
            continue;
        }
        unsigned char data[1500];
        sockaddr_in from{};
        socklen_t from_length = sizeof from;
        long n = recvfrom(icmp->fd, data, sizeof data, MSG_DONTWAIT,
                          reinterpret_cast<sockaddr *>(&from), &from_length);
        if (n < 0) {
            continue;
        }
        int matched = icmp->raw ? match_raw(data, n, icmp->identifier, sequence, address, status)
                                : match_datagram(data, n, sequence, address, from, status);
        if (matched == 1) {
            return 1;
        }
    }
}
