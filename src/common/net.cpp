// The socket wrapper: messages, the bounded send loop and the receive time limit over the
// platform's sockets.

#include "common/net.h"

#include <new>

#include "common/log.h"

net_handle *
net_init(const char16_t *ip, std::uint16_t port, std::uint32_t mode)
{
    auto *handle = new (std::nothrow) net_handle{};
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"net_init: network handle allocation failed\n");
        return nullptr;
    }
    handle->socket = PLATFORM_INVALID_SOCKET;
    handle->mode = mode;
    handle->timeout_seconds = 10;
    handle->timeout_microseconds = 0;
    if (platform_socket_startup() != 0) {
        log_write(LOG_ERROR, u"net_init: WSA Initialization failed\n");
        delete handle;
        return nullptr;
    }
    if (ip != nullptr) {
        int error = platform_ipv4_from_text(ip, &handle->address);
        if (error != 0) {
            log_write(LOG_ERROR, u"net_init: ip string to address translation failed: %d\n", error);
            platform_socket_cleanup();
            delete handle;
            return nullptr;
        }
    }
    handle->port = port;
    return handle;
}

int
net_open(net_handle *handle, std::uint32_t transport)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"net_open: network handle is invalid\n");
        return -1;
    }
    if (handle->socket != PLATFORM_INVALID_SOCKET) {
        log_write(LOG_DEBUG, u"net_open: socket is not closed yet. let close it first\n");
        net_close(handle);
    }
    bool tcp = transport == NET_TRANSPORT_TCP;
    handle->socket = platform_socket_open(tcp);
    if (handle->socket == PLATFORM_INVALID_SOCKET) {
        log_write(LOG_ERROR, u"net_open: socket creation failed: %d\n", platform_socket_error());
        return -1;
    }
    if (handle->mode == NET_MODE_SERVER) {
        if (platform_socket_bind(handle->socket, handle->address, handle->port) != 0) {
            log_write(LOG_ERROR, u"net_open: server socket bind failed: %d\n",
                      platform_socket_error());
            net_close(handle);
            return -1;
        }
        if (tcp && platform_socket_listen(handle->socket, 10) != 0) {
            log_write(LOG_ERROR, u"net_open: server socket listen failed\n");
            net_close(handle);
            return -1;
        }
    } else if (platform_socket_connect(handle->socket, handle->address, handle->port) != 0) {
        log_write(LOG_ERROR, u"net_open: server couldnt connected: %d\n", platform_socket_error());
        net_close(handle);
        return -1;
    }
    return 0;
}

void
net_close(net_handle *handle)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"net_close: network handle is invalid\n");
        return;
    }
    if (handle->socket != PLATFORM_INVALID_SOCKET) {
        platform_socket_close(handle->socket);
        handle->socket = PLATFORM_INVALID_SOCKET;
    }
}

void
net_fini(net_handle *handle)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"net_fini: network handle is invalid\n");
        return;
    }
    net_close(handle);
    platform_socket_cleanup();
    delete handle; // the handle's only owner
}

void
net_set_recv_timeout(net_handle *handle, std::uint32_t seconds, std::uint32_t microseconds)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"net_set_recv_timeout: network handle is invalid\n");
        return;
    }
    handle->timeout_seconds = seconds;
    handle->timeout_microseconds = microseconds;
}

platform_socket_t
net_accept(net_handle *handle, net_sockaddr *address, std::uint32_t *length)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"net_accept: network handle is invalid\n");
        return PLATFORM_INVALID_SOCKET;
    }
    if (handle->socket == PLATFORM_INVALID_SOCKET) {
        return PLATFORM_INVALID_SOCKET;
    }
    return platform_socket_accept(handle->socket, address, length);
}

int
net_send(net_handle *handle, const void *buffer, std::size_t length)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"net_send: network handle is invalid\n");
        return -1;
    }
    if (handle->socket == PLATFORM_INVALID_SOCKET) {
        return -1;
    }
    const auto *next = static_cast<const unsigned char *>(buffer);
    std::size_t left = length;
    for (int call = 0; call < 5 && left > 0; ++call) {
        long long sent = platform_socket_send(handle->socket, next, left);
        if (sent < 0) {
            log_write(LOG_ERROR, u"net_send: send failed: %d\n", platform_socket_error());
            return -1;
        }
        log_write(LOG_DEBUG, u"net_send: bytes sent: %d\n", sent);
        next += sent;
        left -= static_cast<std::size_t>(sent);
    }
    if (left > 0) {
        log_write(LOG_ERROR, u"net_send: full packet couldnt sent\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"net_send: full packet sent\n");
    return 1;
}

namespace {

// Waits for the handle's time limit: false when nothing came in time (or the wait failed).
bool
wait_for_data(net_handle *handle)
{
    if (handle->timeout_seconds == 0 && handle->timeout_microseconds == 0) {
        return true;
    }
    return platform_socket_wait_readable(handle->socket, handle->timeout_seconds,
                                         handle->timeout_microseconds) == 1;
}

} // namespace

long long
net_recv(net_handle *handle, void *buffer, std::size_t capacity)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"net_recv: network handle is invalid\n");
        return -1;
    }
    if (handle->socket == PLATFORM_INVALID_SOCKET || !wait_for_data(handle)) {
        return -1;
    }
    long long n = platform_socket_recv(handle->socket, buffer, capacity);
    if (n == 0 || (n < 0 && platform_socket_error_is_reset(platform_socket_error()))) {
        log_write(LOG_DEBUG, u"net_recv: peer has closed the connection\n");
        return 0;
    }
    if (n < 0) {
        log_write(LOG_ERROR, u"net_recv: receive failed: %d\n", platform_socket_error());
        return -1;
    }
    log_write(LOG_DEBUG, u"net_recv: %d bytes received\n", n);
    return n;
}

long long
net_recvfrom(net_handle *handle, void *buffer, std::size_t capacity, net_sockaddr *address,
             std::uint32_t *length)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"net_recvfrom: network handle is invalid\n");
        return -1;
    }
    if (handle->socket == PLATFORM_INVALID_SOCKET || !wait_for_data(handle)) {
        return -1;
    }
    long long n = platform_socket_recvfrom(handle->socket, buffer, capacity, address, length);
    if (n == 0 || (n < 0 && platform_socket_error_is_reset(platform_socket_error()))) {
        log_write(LOG_DEBUG, u"net_recvfrom: peer has closed the connection\n");
        return 0;
    }
    if (n < 0) {
        log_write(LOG_ERROR, u"net_recvfrom: receive failed: %d\n", platform_socket_error());
        return -1;
    }
    log_write(LOG_DEBUG, u"net_recvfrom: %d bytes received\n", n);
    return n;
}
