#include "fakes/socket_fake.h"

#include <cerrno>
#include <deque>

#include "platform/socket.h"

namespace {

std::deque<long long> g_script;
std::vector<std::size_t> g_requests;
int g_error = 0;
int g_last_error = 0;

} // namespace

namespace socket_fake {

void
script_sends(const std::vector<long long> &results, int error)
{
    g_script.assign(results.begin(), results.end());
    g_error = error;
}

const std::vector<std::size_t> &
send_requests()
{
    return g_requests;
}

void
reset()
{
    g_script.clear();
    g_requests.clear();
}

} // namespace socket_fake

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
    return g_last_error;
}

bool
platform_socket_error_is_reset(int error)
{
    return error == 104;
}

int
platform_ipv4_from_text(const char16_t *text, std::uint32_t *address)
{
    // Dotted IPv4 only, like the real parser, so that network filters see real addresses.
    std::uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        if (text == nullptr || (part > 0 && *text++ != u'.') || *text < u'0' || *text > u'9') {
            return 22;
        }
        std::uint32_t number = 0;
        while (*text >= u'0' && *text <= u'9' && number <= 255) {
            number = number * 10 + static_cast<std::uint32_t>(*text++ - u'0');
        }
        if (number > 255) {
            return 22;
        }
        value = value << 8 | number;
    }
    if (*text != 0) {
        return 22;
    }
    *address = value;
    return 0;
}

platform_socket_t
platform_socket_open(bool)
{
    return 42;
}

void
platform_socket_close(platform_socket_t)
{
}

int
platform_socket_bind(platform_socket_t, std::uint32_t, std::uint16_t)
{
    return 0;
}

int
platform_socket_listen(platform_socket_t, int)
{
    return 0;
}

int
platform_socket_shutdown_send(platform_socket_t)
{
    return 0;
}

int
platform_socket_connect(platform_socket_t, std::uint32_t, std::uint16_t)
{
    return 0;
}

platform_socket_t
platform_socket_accept(platform_socket_t, net_sockaddr *, std::uint32_t *)
{
    return PLATFORM_INVALID_SOCKET;
}

long long
platform_socket_send(platform_socket_t, const void *, std::size_t length)
{
    g_requests.push_back(length);
    if (g_script.empty()) {
        return static_cast<long long>(length);
    }
    long long result = g_script.front();
    g_script.pop_front();
    if (result < 0) {
        g_last_error = g_error;
        return -1;
    }
    return result > static_cast<long long>(length) ? static_cast<long long>(length) : result;
}

long long
platform_socket_recv(platform_socket_t, void *, std::size_t)
{
    return 0;
}

long long
platform_socket_recvfrom(platform_socket_t, void *, std::size_t, net_sockaddr *, std::uint32_t *)
{
    return 0;
}

int
platform_socket_wait_readable(platform_socket_t, long, long)
{
    return 1;
}

int
platform_socket_local_port(platform_socket_t, std::uint16_t *port)
{
    *port = 0;
    return 0;
}

int
platform_sockaddr_ipv4(const net_sockaddr &, std::uint32_t, std::uint32_t *, std::uint16_t *)
{
    return -1;
}
