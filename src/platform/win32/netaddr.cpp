// Windows side of netaddr.h. The text is put together here from InetNtopW rather than taken from
// WSAAddressToStringW, whose IPv6 text also carries the scope and flow of the address; the
// forms are those of the header, the port appended only when it is not 0.

#include "platform/netaddr.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace {

// Appends ":port" in decimal to text[n...]; the new length.
std::size_t
append_port(wchar_t *text, std::size_t n, unsigned port)
{
    wchar_t digits[5];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<wchar_t>(L'0' + port % 10);
        port /= 10;
    } while (port != 0);
    text[n++] = L':';
    while (count > 0) {
        text[n++] = digits[--count];
    }
    return n;
}

int
fail(int error)
{
    WSASetLastError(error);
    return error;
}

} // namespace

int
platform_net_startup()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

void
platform_net_cleanup()
{
    WSACleanup();
}

int
platform_netaddr_to_text(const void *address, std::size_t address_length, char16_t *out,
                         std::uint32_t *length)
{
    if (address == nullptr || length == nullptr || address_length < sizeof(ADDRESS_FAMILY)) {
        return fail(WSAEINVAL);
    }
    ADDRESS_FAMILY family;
    std::memcpy(&family, address, sizeof family);
    // Room for the longest IPv6 text, the brackets, a colon and five digits.
    wchar_t text[INET6_ADDRSTRLEN + 8];
    std::size_t n = 0;
    if (family == AF_INET && address_length >= sizeof(sockaddr_in)) {
        sockaddr_in in{};
        std::memcpy(&in, address, sizeof in);
        if (InetNtopW(AF_INET, &in.sin_addr, text, INET6_ADDRSTRLEN) == nullptr) {
            return fail(WSAGetLastError());
        }
        n = wcslen(text);
        if (in.sin_port != 0) {
            n = append_port(text, n, ntohs(in.sin_port));
        }
    } else if (family == AF_INET6 && address_length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        if (InetNtopW(AF_INET6, &in6.sin6_addr, text + 1, INET6_ADDRSTRLEN) == nullptr) {
            return fail(WSAGetLastError());
        }
        n = wcslen(text + 1);
        if (in6.sin6_port != 0) {
            text[0] = L'[';
            text[n + 1] = L']';
            n = append_port(text, n + 2, ntohs(in6.sin6_port));
        } else {
            std::memmove(text, text + 1, n * sizeof(wchar_t));
        }
    } else {
        return fail(WSAEAFNOSUPPORT);
    }
    if (out == nullptr || *length < n + 1) {
        *length = static_cast<std::uint32_t>(n + 1);
        return fail(WSAEFAULT);
    }
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<char16_t>(text[i]);
    }
    out[n] = 0;
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
