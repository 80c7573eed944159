// A configuration push as the configuration tool sends it.

#include "support/config_push.h"

#include <chrono>
#include <thread>

#include "platform/socket.h"
#include "support/test_support.h"

namespace nivo_test {

std::vector<std::string>
push_messages(const std::string &type, const std::vector<std::string> &files)
{
    std::vector<std::string> messages{type + std::string(1, '\0')};
    for (const std::string &content : files) {
        messages.push_back(std::string("STARTFILE") + '\0');
        for (std::size_t at = 0; at < content.size(); at += 512) {
            messages.push_back(content.substr(at, 512));
        }
        messages.push_back(std::string("ENDFILE") + '\0');
    }
    return messages;
}

int
push_over_tcp(const std::vector<std::string> &messages, std::uint16_t port)
{
    platform_socket_t peer = PLATFORM_INVALID_SOCKET;
    bool connected = eventually([&peer, port] {
        platform_socket_close(peer);
        peer = platform_socket_open(true);
        return platform_socket_connect(peer, 0x7F000001, port) == 0;
    });
    if (!connected) {
        platform_socket_close(peer);
        return -1;
    }
    for (const std::string &m : messages) {
        platform_socket_send(peer, m.data(), m.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // The receiver shuts its side down after the peer's end: read that end.
    platform_socket_shutdown_send(peer);
    char byte;
    long long n =
        platform_socket_wait_readable(peer, 15, 0) == 1 ? platform_socket_recv(peer, &byte, 1) : -1;
    platform_socket_close(peer);
    return static_cast<int>(n);
}

} // namespace nivo_test
