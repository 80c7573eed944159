// The Collector's end of the agent-collector link (see dcaserver.h).

#include "dcalink/dcaserver.h"

#include <ctime>

#include "common/crypto.h"
#include "common/log.h"
#include "common/net.h"
#include "common/threadpool.h"
#include "dca/filter/dca_filter.h"
#include "dcalink/dcalink_protocol.h"
#include "config/detector_settings.h"
#include "logoff/wrkstpoll_handlers.h"
#include "platform/system.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

// Pause after a failed accept: a listening socket that keeps failing (descriptors exhausted)
// must not turn the loop into a busy one.
constexpr unsigned int ACCEPT_RETRY_MS = 100;

struct dcaserver_state {
    crypto_handle *crypto = nullptr;
    net_handle *net = nullptr;
};
// Never destroyed: the connection jobs still use it while the process ends.
dcaserver_state &g_server = *new dcaserver_state;

std::int32_t
payload_i32(const std::uint8_t *at)
{
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
        static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24);
}

const char16_t *
refusal_text(dcalink_parse_result result)
{
    switch (result) {
    case DCALINK_PARSE_TOO_SHORT:
        return u"shorter than its fixed part";
    case DCALINK_PARSE_TOO_LONG:
        return u"longer than any agent sends";
    case DCALINK_PARSE_BAD_OFFSET:
        return u"text offset outside the payload";
    case DCALINK_PARSE_UNTERMINATED:
        return u"text without its terminator";
    case DCALINK_PARSE_NO_MEMORY:
        return u"text allocation failed";
    case DCALINK_PARSE_OK:
        break;
    }
    return u"unknown fault";
}

// Exactly length bytes, each receive waiting at most seconds when seconds is not 0. 1, 0 when
// the peer closed, -1 on failure; -2 when nothing came in time.
int
recv_exact(platform_socket_t socket, void *buffer, std::size_t length, unsigned int seconds)
{
    if (socket == PLATFORM_INVALID_SOCKET) {
        return 0;
    }
    auto *next = static_cast<std::uint8_t *>(buffer);
    std::size_t left = length;
    while (left > 0) {
        if (seconds != 0 &&
            platform_socket_wait_readable(socket, static_cast<long>(seconds), 0) != 1) {
            return -2;
        }
        long long n = platform_socket_recv(socket, next, left);
        if (n == 0 || (n < 0 && platform_socket_error_is_reset(platform_socket_error()))) {
            log_write(LOG_DEBUG, u"dcaserver_net_recv: peer has closed the connection\n");
            return 0;
        }
        if (n < 0) {
            log_write(LOG_ERROR, u"dcaserver_net_recv: receive failed: %d\n",
                      platform_socket_error());
            return -1;
        }
        log_write(LOG_DEBUG, u"dcaserver_net_recv: %d bytes received\n", n);
        next += n;
        left -= static_cast<std::size_t>(n);
    }
    return 1;
}

// A peer's address as dotted IPv4 text, narrow for the log lines and wide for the filters, and
// its port; "unknown" and port -1 for an address that is not IPv4.
struct peer_text {
    char text[16];
    char16_t ip[16];
    int port;
};

peer_text
peer_address(const net_sockaddr &peer, std::uint32_t length)
{
    peer_text out{"unknown", u"unknown", -1};
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    if (platform_sockaddr_ipv4(peer, length, &ip, &port) == 0) {
        (void)string_printf_a(out.text, sizeof out.text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF,
                              (ip >> 8) & 0xFF, ip & 0xFF);
        for (std::size_t i = 0; i < sizeof out.text; ++i) {
            out.ip[i] = static_cast<char16_t>(out.text[i]);
        }
        out.port = port;
    }
    return out;
}

// Whether the text is a dotted IPv4 address (the form every appliance update and the stored
// rows' address lookups expect).
bool
dotted_ipv4(const char16_t *text)
{
    std::uint32_t address = 0;
    return platform_ipv4_from_text(text, &address) == 0;
}

// Whether the stored logon's address is excluded from logins or logoffs.
bool
stored_address_excluded(const UserInfo *stored)
{
    return login_excluded(stored) || logoff_excluded(stored);
}

} // namespace

int
dcaserver_crypto_init()
{
    if (g_server.crypto != nullptr) {
        log_write(LOG_ERROR, u"dcaserver_crypto_init: crypto handle already initialized\n");
        return -1;
    }
    g_server.crypto = crypto_open();
    if (g_server.crypto == nullptr) {
        log_write(LOG_ERROR, u"dcaserver_crypto_init: crypto handle couldnt initialized\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaserver_crypto_init: cryptographic context initialized\n");
    return 0;
}

void
dcaserver_crypto_fini()
{
    if (g_server.crypto == nullptr) {
        log_write(LOG_ERROR, u"dcaserver_crypto_fini: crypto handle is not initialized yet\n");
        return;
    }
    crypto_close(g_server.crypto);
    g_server.crypto = nullptr;
    log_write(LOG_DEBUG, u"dcaserver_crypto_fini: cryptographic context destroyed\n");
}

int
dcaserver_net_init(const char16_t *address, std::uint16_t port)
{
    if (g_server.net != nullptr) {
        log_write(LOG_ERROR, u"dcaserver_net_init: network context already initialized\n");
        return -1;
    }
    if (port == 0) {
        port = DCASERVER_DEFAULT_PORT;
        log_write(LOG_DEBUG, u"dcaserver_net_init: server port set to default: %d\n", port);
    }
    g_server.net = net_init(address, port, NET_MODE_SERVER);
    if (g_server.net == nullptr) {
        log_write(LOG_ERROR, u"dcaserver_net_init: network context couldnt initialized\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaserver_net_init: network context initialized\n");
    return 0;
}

void
dcaserver_net_fini()
{
    if (g_server.net == nullptr) {
        return;
    }
    net_fini(g_server.net);
    g_server.net = nullptr;
    log_write(LOG_DEBUG, u"dcaserver_net_fini: network context destroyed\n");
}

int
dcaserver_net_open()
{
    if (g_server.net == nullptr) {
        log_write(LOG_ERROR, u"dcaserver_net_open: network context is not initialized yet\n");
        return -1;
    }
    return net_open(g_server.net, NET_TRANSPORT_TCP);
}

platform_socket_t
dcaserver_net_accept(net_sockaddr *address, std::uint32_t *length)
{
    if (g_server.net == nullptr) {
        log_write(LOG_ERROR, u"dcaserver_net_accept: network context is not initialized yet\n");
        return PLATFORM_INVALID_SOCKET;
    }
    net_sockaddr own{};
    std::uint32_t own_length = sizeof own.bytes;
    if (address == nullptr || length == nullptr) {
        address = &own;
        length = &own_length;
    }
    const std::uint32_t capacity = *length;
    for (;;) {
        platform_socket_t socket = net_accept(g_server.net, address, length);
        if (socket == PLATFORM_INVALID_SOCKET) {
            return socket;
        }
        // Any address may connect while ALLOWED-AGENT-NETWORKS is not configured; with it, a
        // peer outside its networks is closed before it can send a byte.
        peer_text peer = peer_address(*address, *length);
        if (dca_filter_by_agent_authnet(peer.ip) == 0) {
            return socket;
        }
        log_write(LOG_ERROR,
                  u"dcaserver_net_accept: connection from %S refused: not in "
                  u"ALLOWED-AGENT-NETWORKS\n",
                  static_cast<const char *>(peer.text));
        platform_socket_close(socket);
        *length = capacity;
    }
}

int
dcaserver_init(const char16_t *address, std::uint16_t port)
{
    if (dcaserver_crypto_init() != 0) {
        return -1;
    }
    if (dcaserver_net_init(address, port) != 0) {
        dcaserver_crypto_fini();
        return -1;
    }
    if (dcaserver_net_open() != 0) {
        dcaserver_net_fini();
        dcaserver_crypto_fini();
        return -1;
    }
    return 0;
}

void
dcaserver_fini()
{
    dcaserver_net_fini();
    if (g_server.crypto != nullptr) {
        dcaserver_crypto_fini();
    }
}

int
dcaserver_net_recv(platform_socket_t socket, void *buffer, std::size_t length)
{
    return recv_exact(socket, buffer, length, 0);
}

int
dcaserver_net_send(platform_socket_t socket, const void *buffer, std::size_t length)
{
    if (socket == PLATFORM_INVALID_SOCKET) {
        return 0;
    }
    const auto *next = static_cast<const std::uint8_t *>(buffer);
    std::size_t left = length;
    for (int call = 0; call < 5 && left > 0; ++call) {
        long long sent = platform_socket_send(socket, next, left);
        if (sent < 0) {
            log_write(LOG_ERROR, u"dcaserver_net_send: send failed: %d\n", platform_socket_error());
            return -1;
        }
        log_write(LOG_DEBUG, u"dcaserver_net_send: bytes sent: %d\n", sent);
        next += sent;
        left -= static_cast<std::size_t>(sent);
    }
    if (left > 0) {
        log_write(LOG_ERROR, u"dcaserver_net_send: full packet couldnt sent\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaserver_net_send: full packet sent\n");
    return 1;
}

int
dcaserver_receive_request(platform_socket_t socket)
{
    log_write(LOG_DEBUG, u"dcaserver_receive_request: Receiving REQUEST Header\n");
    std::uint8_t header[DCALINK_HEADER_SIZE];
    int rc = recv_exact(socket, header, sizeof header, DCASERVER_HANDSHAKE_SECONDS);
    if (rc == -2) {
        log_write(LOG_ERROR, u"dcaserver_receive_request: no REQUEST within %d seconds\n",
                  DCASERVER_HANDSHAKE_SECONDS);
        return -1;
    }
    if (rc < 1) {
        return rc;
    }
    dcalink_header request = dcalink_parse_header(header);
    if (request.type != DCALINK_MSG_REQUEST) {
        log_write(LOG_ERROR, u"dcaserver_receive_request: Invalid REQUEST Header\n");
        return -1;
    }
    if (request.encryption != DCASERVER_ENCRYPTION) {
        log_write(LOG_ERROR, u"dcaserver_receive_request: requested encryption not supported\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaserver_receive_request: encryption type matched\n");
    return 1;
}

int
dcaserver_send_response(platform_socket_t socket)
{
    log_write(LOG_DEBUG, u"dcaserver_send_response: Sending RESPONSE Header\n");
    std::uint8_t header[DCALINK_HEADER_SIZE];
    dcalink_build_handshake(header, DCALINK_MSG_RESPONSE, DCASERVER_ENCRYPTION);
    return dcaserver_net_send(socket, header, sizeof header);
}

int
dcaserver_peer_handshake(platform_socket_t socket)
{
    if (dcaserver_receive_request(socket) < 1) {
        log_write(LOG_ERROR, u"dcaserver_peer_handshake: REQUEST couldn't Received\n");
        return -1;
    }
    if (dcaserver_send_response(socket) < 1) {
        log_write(LOG_ERROR, u"dcaserver_peer_handshake: RESPONSE couldn't Sent\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaserver_peer_handshake: peer handshake completed successfully\n");
    return 0;
}

int
dcaserver_receive_data(platform_socket_t socket)
{
    log_write(LOG_DEBUG, u"dcaserver_receive_data: Receiving DATA Header\n");
    std::uint8_t header[DCALINK_HEADER_SIZE];
    if (dcaserver_net_recv(socket, header, sizeof header) < 1) {
        return -1;
    }
    dcalink_header data = dcalink_parse_header(header);
    if (data.type != DCALINK_MSG_DATA) {
        log_write(LOG_ERROR, u"dcaserver_receive_data: Invalid DATA Header\n");
        return -1;
    }
    // The length comes from the network: nothing longer than an agent can build is read, and
    // the rest of the stream cannot be trusted once a header lies about its length.
    if (data.length > DCALINK_PAYLOAD_MAX) {
        log_write(LOG_ERROR,
                  u"dcaserver_receive_data: DATA length %u over the limit of %u bytes, "
                  u"connection dropped\n",
                  data.length, static_cast<unsigned int>(DCALINK_PAYLOAD_MAX));
        return -1;
    }
    // A payload never exceeds the limit, so it lives on the worker's stack.
    std::uint8_t payload[DCALINK_PAYLOAD_MAX];
    log_write(LOG_DEBUG, u"dcaserver_receive_data: DATA Header Received\n");
    log_write(LOG_DEBUG, u"dcaserver_receive_data: Receiving DATA\n");
    if (dcaserver_net_recv(socket, payload, data.length) < 1) {
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaserver_receive_data: DATA Received\n");
    (void)dcaserver_extract_data(header, payload, data.length);
    return 0;
}

int
dcaserver_extract_data(const std::uint8_t *header, std::uint8_t *payload, std::size_t length)
{
    if (header[4] != DCALINK_ENCRYPTION_NONE &&
        crypto_decrypt_data(g_server.crypto, payload, length) != 0) {
        log_write(LOG_ERROR, u"dcaserver_extract_data: data decryption failed\n");
        return -1;
    }
    dcalink_received received{};
    dcalink_parse_result parsed = dcalink_parse(payload, length, &received);
    if (parsed != DCALINK_PARSE_OK) {
        log_write(LOG_ERROR, u"dcaserver_extract_data: payload of %d bytes refused: %s\n", length,
                  refusal_text(parsed));
        return -1;
    }
    userinfo_ptr record(userdb_allocate_userinfo());
    if (record == nullptr) {
        log_write(LOG_ERROR, u"dcaserver_extract_data: userinfo allocation failed\n");
        return -1;
    }
    // The Collector's clock makes the logon's time; the agent's time only sets its expiry.
    record->CreateTime = static_cast<std::int32_t>(std::time(nullptr));
    log_write(LOG_DEBUG, u"dcaserver_extract_data: CreateTime: %d\n", received.create_time);
    record->ExpireTime = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(received.create_time) + logoff_detector_get_interval());
    log_write(LOG_DEBUG, u"dcaserver_extract_data: ExpireTime: %d\n", received.expire_time);
    record->LogonType = received.logon_type;
    record->Flags = received.flags;
    log_write(LOG_DEBUG, u"dcaserver_extract_data: LogonType: %d\n", received.logon_type);
    log_write(LOG_DEBUG, u"dcaserver_extract_data: Flags: %d\n", received.flags);
    struct text_field {
        const char16_t *label;
        std::size_t at;
        wtext_ptr *text;
        char16_t **field;
    };
    text_field fields[] = {
        {u"User", 20, &received.user, &record->User},
        {u"Domain", 24, &received.domain, &record->Domain},
        {u"Group", 28, &received.group, &record->Group},
        {u"WrkstName", 32, &received.wrkst_name, &record->WrkstName},
        {u"WrkstIP", 36, &received.wrkst_ip, &record->WrkstIP},
    };
    for (text_field &f : fields) {
        if (*f.text == nullptr) {
            continue;
        }
        log_write(LOG_DEBUG, u"dcaserver_extract_data: Offset: %d ; %s: %s\n",
                  payload_i32(payload + f.at), f.label, f.text->get());
        *f.field = f.text->release(); // both come from std::malloc
    }

    // A logon must name its user and its workstation's IPv4 address: anything else would be
    // stored as a row that no appliance can be told about and no logoff check can reach.
    if (record->Flags != UI_FLAG_USER_LOGOUT) {
        if (record->User == nullptr || record->User[0] == 0) {
            log_write(LOG_ERROR, u"dcaserver_extract_data: logon without a user refused\n");
            return -1;
        }
        if (record->WrkstIP != nullptr && !dotted_ipv4(record->WrkstIP)) {
            log_write(LOG_ERROR,
                      u"dcaserver_extract_data: logon of %s refused: workstation address '%s' "
                      u"is not dotted IPv4\n",
                      record->User, record->WrkstIP);
            return -1;
        }
    }
    if (dca_filter_by_username(record.get()) == 1) {
        log_write(LOG_INFO, u"dcaserver_extract_data: user %s found in exclusion list\n",
                  record->User);
        return 0;
    }
    if (record->WrkstIP != nullptr && record->Flags != UI_FLAG_USER_LOGOUT) {
        if (login_excluded(record.get())) {
            log_write_a(LOG_INFO, "dcaserver_extract_data: IP %S found in exclusion list",
                        record->WrkstIP);
            return 0;
        }
    } else {
        UserInfo *found = nullptr;
        userinfo_ptr stored;
        if (record->User != nullptr && userinfo_db_get_user_info(record->User, &found) == 0) {
            stored.reset(found);
        }
        if (stored != nullptr && stored->WrkstIP != nullptr &&
            stored_address_excluded(stored.get())) {
            log_write_a(LOG_INFO, "dcaserver_extract_data: IP %S found in exclusion list",
                        stored->WrkstIP);
            return 0;
        }
        if (record->Flags == UI_FLAG_USER_LOGOUT) {
            if (stored != nullptr && stored->WrkstIP != nullptr) {
                stored->Flags = UI_FLAG_LOGOUT;
                (void)wrkstpoll_handle_logoff_req(stored.release(), 1);
            }
            return 0;
        }
    }
    int rc = userinfo_db_insert_and_queue(record.get());
    if (rc == 1) {
        return 0;
    }
    if (rc != 0) {
        return -1; // not stored, or the queue did not take it; the record is still ours
    }
    (void)record.release();
    return 0;
}

void
dcaserver_handle_client(void *argument)
{
    auto socket = reinterpret_cast<platform_socket_t>(argument);
    if (dcaserver_peer_handshake(socket) != 0) {
        log_write(LOG_ERROR, u"dcaserver_handle_client: peer handshake failed\n");
        platform_socket_close(socket);
        return;
    }
    while (dcaserver_receive_data(socket) != -1) {
    }
    log_write(LOG_DEBUG, u"dcaserver_handle_client: terminating connection to peer\n");
    platform_socket_close(socket);
}

void
dcaserver_thread(void *argument)
{
    (void)argument;
    for (;;) {
        net_sockaddr peer{};
        std::uint32_t length = sizeof peer.bytes;
        platform_socket_t socket = dcaserver_net_accept(&peer, &length);
        if (socket == PLATFORM_INVALID_SOCKET) {
            platform_sleep_ms(ACCEPT_RETRY_MS);
            continue;
        }
        peer_text client = peer_address(peer, length);
        if (client.port >= 0) {
            log_write(LOG_INFO, u"dcaserver_thread: Client IP: %S Port: %d\n",
                      static_cast<const char *>(client.text), client.port);
        }
        if (threadpool_run(dcaserver_handle_client, dcaserver_socket_argument(socket), 1) != 0) {
            log_write(LOG_ERROR, u"dcaserver_thread: no free thread available\n");
            platform_socket_close(socket);
        }
    }
}
