// The connectivity responder and the install type.

#include "config/connectivity.h"

#include <exception>
#include <thread>

#include "common/log.h"
#include "config/config.h"

namespace {

// The largest question received; only its first byte counts.
constexpr std::size_t DATAGRAM_BYTES = 4096;

// The answer byte to a question, or -1 for a datagram that asks nothing this responder knows.
int
connectivity_answer(const std::uint8_t *datagram, long long length)
{
    // An empty datagram has no first byte to ask with.
    if (length < 1) {
        return -1;
    }
    const config_record *config = config_get();
    switch (datagram[0]) {
    case CONNECTIVITY_ASK_AGENT:
        return config->dca_enabled != 0 ? CONNECTIVITY_ROLE_ENABLED : CONNECTIVITY_ROLE_DISABLED;
    case CONNECTIVITY_ASK_COLLECTOR:
        return config->collector_enabled != 0 ? CONNECTIVITY_ROLE_ENABLED
                                              : CONNECTIVITY_ROLE_DISABLED;
    case CONNECTIVITY_ASK_INSTALL_TYPE: {
        log_write(LOG_ERROR, u"Connectivity Thread CHECK_INSTALLTYPE_REQUEST received\n");
        int type = get_install_type();
        log_write(LOG_ERROR, u"Connectivity Thread Install type:%d\n", type);
        return type;
    }
    default:
        return -1;
    }
}

// Sends the answer byte and '0' back to the sender, from the address it asked at; an answer
// byte of 0 goes as an empty datagram.
void
connectivity_reply(platform_socket_t s, int answer, const net_sockaddr &sender,
                   std::uint32_t sender_length, std::uint32_t asked_at)
{
    const std::uint8_t reply[2] = {static_cast<std::uint8_t>(answer), '0'};
    long long length = answer == 0 ? 0 : 2;
    if (platform_socket_sendto(s, reply, static_cast<std::size_t>(length), sender, sender_length,
                               asked_at) < length) {
        log_write(LOG_ERROR, u"Connectivity Thread sendto failed\n");
    }
}

} // namespace

int
get_install_type()
{
    const config_record *config = config_get();
    return (config->dca_enabled != 0 ? 1 : 0) + (config->collector_enabled != 0 ? 2 : 0);
}

platform_socket_t
connectivity_open(std::uint16_t port)
{
    if (platform_socket_startup() != 0) {
        log_write(LOG_ERROR, u"Connectivity Thread:: WSAStartup failed exiting\n");
        return PLATFORM_INVALID_SOCKET;
    }
    platform_socket_t s = platform_socket_open(false);
    if (s == PLATFORM_INVALID_SOCKET) {
        log_write(LOG_ERROR, u"Connectivity Thread:: socket creation failed exiting\n");
        return PLATFORM_INVALID_SOCKET;
    }
    // Every local address, where the configuration receiver listens too: the first address of
    // the host's own name is often one that only this host reaches (127.0.1.1).
    if (platform_socket_bind(s, 0, port) != 0) {
        log_write(LOG_ERROR, u"Connectivity Thread:: Bind failed on socket exiting\n");
        platform_socket_close(s);
        return PLATFORM_INVALID_SOCKET;
    }
    // An answer must leave from the address the question went to, or a tool that waits for it
    // there drops it; the route's choice can be another address of this host. Without this
    // the route decides.
    (void)platform_socket_want_local_address(s);
    log_write(LOG_INFO, u"Connectivity Thread running\n");
    return s;
}

void
connectivity_serve(platform_socket_t s, const std::atomic<bool> *stop)
{
    // Without a stop flag the wait is as long as the platform allows, and then simply begins
    // again.
    const long wait_seconds = stop != nullptr ? 1 : 86400;
    while (stop == nullptr || !stop->load()) {
        int ready = platform_socket_wait_readable(s, wait_seconds, 0);
        if (ready == 0) {
            continue;
        }
        std::uint8_t datagram[DATAGRAM_BYTES];
        net_sockaddr sender{};
        std::uint32_t sender_length = sizeof sender;
        std::uint32_t asked_at = 0;
        long long received =
            ready < 0 ? -1
                      : platform_socket_recvfrom_local(s, datagram, sizeof datagram, &sender,
                                                       &sender_length, &asked_at);
        if (received < 0) {
            log_write(LOG_ERROR, u"Connectivity Thread recv failed\n");
            continue;
        }
        int answer = connectivity_answer(datagram, received);
        if (answer >= 0) {
            connectivity_reply(s, answer, sender, sender_length, asked_at);
        }
    }
    platform_socket_close(s);
}

void
connectivity_thread()
{
    platform_socket_t s = connectivity_open(CONNECTIVITY_PORT);
    if (s != PLATFORM_INVALID_SOCKET) {
        connectivity_serve(s, nullptr);
    }
}

int
connectivity_start_thread()
{
    try {
        std::thread(connectivity_thread).detach();
    } catch (const std::exception &) {
        log_write(LOG_ERROR, u"connectivity_start_thread: thread couldn't created\n");
        return -1;
    }
    return 0;
}
