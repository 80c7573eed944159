// icmp: ICMP echo requests to IPv4 hosts, for the workstation ping.
//
// A platform_icmp handle belongs to one thread at a time; several handles may ping at once
// without seeing each other's replies. Status codes are those of the Windows ICMP interface:
// 0 success, 11002 network unreachable, 11003 host unreachable, 11004 protocol unreachable,
// 11005 port unreachable, 11010 request timed out, 11013/11014 TTL expired, 11015 parameter
// problem, 11016 source quench, 11050 general failure.
#pragma once

#include <cstdint>

struct platform_icmp;

constexpr unsigned long PLATFORM_ICMP_SUCCESS = 0;
constexpr unsigned long PLATFORM_ICMP_TIMED_OUT = 11010;
constexpr unsigned long PLATFORM_ICMP_GENERAL_FAILURE = 11050;

// Opens an ICMP endpoint: an unprivileged ICMP datagram socket where the system allows it,
// otherwise a raw socket (root or CAP_NET_RAW). Null on failure, with the last error set.
platform_icmp *platform_icmp_open();
void platform_icmp_close(platform_icmp *icmp);

// Sends one echo request without payload to address (host byte order) and waits up to
// timeout_ms for the answer. Returns the number of replies (1 or 0); *status is the reply's
// status, or, without a reply, the status that says why (11010 for no answer in time).
int platform_icmp_echo(platform_icmp *icmp, std::uint32_t address, unsigned int timeout_ms,
                       unsigned long *status);
