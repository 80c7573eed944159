// nivo-ping: sends ICMP echo requests the way the service's workstation ping does, so that an
// operator can check that this host may ping (an ICMP datagram socket allowed by
// net.ipv4.ping_group_range, or a raw socket with root or CAP_NET_RAW) and that a workstation
// answers.
//
//   nivo-ping ADDRESS [TIMEOUT-MS [ATTEMPTS]]
//
// Prints one line per attempt and exits 0 when an attempt was answered with success, 1 when
// none was, 2 on a usage or set-up error.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/icmp.h"
#include "platform/socket.h"
#include "platform/system.h"

int
main(int argc, char **argv)
{
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: nivo-ping ADDRESS [TIMEOUT-MS [ATTEMPTS]]\n");
        return 2;
    }
    std::u16string text;
    for (const char *p = argv[1]; *p != 0; ++p) {
        text.push_back(static_cast<unsigned char>(*p));
    }
    std::uint32_t address = 0;
    if (platform_ipv4_from_text(text.c_str(), &address) != 0) {
        std::fprintf(stderr, "nivo-ping: not a dotted IPv4 address: %s\n", argv[1]);
        return 2;
    }
    unsigned long timeout = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 5000;
    unsigned long attempts = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 3;
    if (timeout == 0 || timeout > 600000 || attempts > 100) {
        std::fprintf(stderr, "nivo-ping: time-out 1..600000 ms, attempts 0..100\n");
        return 2;
    }
    platform_icmp *icmp = platform_icmp_open();
    if (icmp == nullptr) {
        char16_t message[256];
        platform_error_text(platform_last_error(), message, 256);
        std::string narrow;
        for (const char16_t *m = message; *m != 0; ++m) {
            narrow.push_back(*m < 0x80 ? static_cast<char>(*m) : '?');
        }
        std::fprintf(stderr, "nivo-ping: no ICMP socket: %s\n", narrow.c_str());
        return 2;
    }
    int answered = 0;
    for (unsigned long attempt = 1; attempt <= attempts && answered == 0; ++attempt) {
        unsigned long status = 0;
        int replies =
            platform_icmp_echo(icmp, address, static_cast<unsigned int>(timeout), &status);
        std::printf("attempt %lu: replies %d, status %lu\n", attempt, replies, status);
        answered = replies > 0 && status == PLATFORM_ICMP_SUCCESS;
    }
    platform_icmp_close(icmp);
    return answered != 0 ? 0 : 1;
}
