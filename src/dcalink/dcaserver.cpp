// The Collector's end of the agent-collector link (see dcaserver.h).

#include "dcalink/dcaserver.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "common/crypto.h"
#include "common/log.h"
#include "common/net.h"
#include "common/threadpool.h"
#include "dca/filter/dca_filter.h"
#include "dcalink/dcalink_protocol.h"
#include "config/detector_settings.h"
#include "logoff/wrkstpoll_handlers.h"
#include "platform/pollset.h"
#include "platform/system.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

// Pause after a failed accept: a listening socket that keeps failing (descriptors exhausted)
// must not turn the loop into a busy one.
constexpr unsigned int ACCEPT_RETRY_MS = 100;
// How often a drain looks whether the connection jobs have ended.
constexpr int DRAIN_POLL_MS = 10;

struct dcaserver_state {
    crypto_handle *crypto = nullptr;
    net_handle *net = nullptr;
    std::atomic<std::size_t> max_connections{DCASERVER_DEFAULT_MAX_CONNECTIONS};
    std::atomic<bool> stop{false};
    std::atomic<bool> looping{false}; // the server loop runs
    std::atomic<int> jobs{0};         // connection jobs submitted and not yet ended
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
    g_server.stop = false;
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
dcaserver_send_response(platform_socket_t socket)
{
    log_write(LOG_DEBUG, u"dcaserver_send_response: Sending RESPONSE Header\n");
    std::uint8_t header[DCALINK_HEADER_SIZE];
    dcalink_build_handshake(header, DCALINK_MSG_RESPONSE, DCASERVER_ENCRYPTION);
    return dcaserver_net_send(socket, header, sizeof header);
}

namespace {

// Where a stream stands: reading the REQUEST, a DATA header, or the payload that header
// announced.
enum : int {
    STREAM_REQUEST = 0,
    STREAM_HEADER = 1,
    STREAM_PAYLOAD = 2,
};

// The complete REQUEST in stream->message.header: whether the Collector accepts it.
bool
dcaserver_receive_request(const std::uint8_t *header)
{
    dcalink_header request = dcalink_parse_header(header);
    if (request.type != DCALINK_MSG_REQUEST) {
        log_write(LOG_ERROR, u"dcaserver_receive_request: Invalid REQUEST Header\n");
        return false;
    }
    if (request.encryption != DCASERVER_ENCRYPTION) {
        log_write(LOG_ERROR, u"dcaserver_receive_request: requested encryption not supported\n");
        return false;
    }
    log_write(LOG_DEBUG, u"dcaserver_receive_request: encryption type matched\n");
    return true;
}

// A complete DATA header: room for its payload, or false when the stream is to end.
bool
dcaserver_receive_data(dcaserver_message *message)
{
    dcalink_header data = dcalink_parse_header(message->header);
    if (data.type != DCALINK_MSG_DATA) {
        log_write(LOG_ERROR, u"dcaserver_receive_data: Invalid DATA Header\n");
        return false;
    }
    // The length comes from the network: nothing longer than an agent can build is read, and
    // the rest of the stream cannot be trusted once a header lies about its length.
    if (data.length > DCALINK_PAYLOAD_MAX) {
        log_write(LOG_ERROR,
                  u"dcaserver_receive_data: DATA length %u over the limit of %u bytes, "
                  u"connection dropped\n",
                  data.length, static_cast<unsigned int>(DCALINK_PAYLOAD_MAX));
        return false;
    }
    try {
        message->payload.assign(data.length, 0);
    } catch (...) {
        log_write(LOG_ERROR, u"dcaserver_receive_data: data buffer allocation failed\n");
        return false;
    }
    log_write(LOG_DEBUG, u"dcaserver_receive_data: DATA Header Received\n");
    log_write(LOG_DEBUG, u"dcaserver_receive_data: Receiving DATA\n");
    return true;
}

} // namespace

dcaserver_stream_event
dcaserver_stream_feed(dcaserver_stream *stream, const std::uint8_t *bytes, std::size_t length,
                      std::size_t *used)
{
    *used = 0;
    for (;;) {
        if (stream->phase == STREAM_PAYLOAD) {
            std::vector<std::uint8_t> &payload = stream->message.payload;
            std::size_t take = std::min(payload.size() - stream->have, length - *used);
            if (take > 0) {
                std::memcpy(payload.data() + stream->have, bytes + *used, take);
            }
            stream->have += take;
            *used += take;
            if (stream->have < payload.size()) {
                return DCASERVER_STREAM_MORE;
            }
            log_write(LOG_DEBUG, u"dcaserver_receive_data: DATA Received\n");
            stream->phase = STREAM_HEADER;
            stream->have = 0;
            return DCASERVER_STREAM_MESSAGE;
        }
        if (*used == length) {
            return DCASERVER_STREAM_MORE;
        }
        if (stream->phase == STREAM_HEADER && stream->have == 0) {
            log_write(LOG_DEBUG, u"dcaserver_receive_data: Receiving DATA Header\n");
        }
        std::size_t take = std::min(DCALINK_HEADER_SIZE - stream->have, length - *used);
        std::memcpy(stream->message.header + stream->have, bytes + *used, take);
        stream->have += take;
        *used += take;
        if (stream->have < DCALINK_HEADER_SIZE) {
            return DCASERVER_STREAM_MORE;
        }
        stream->have = 0;
        if (stream->phase == STREAM_REQUEST) {
            if (!dcaserver_receive_request(stream->message.header)) {
                return DCASERVER_STREAM_FAULT;
            }
            stream->phase = STREAM_HEADER;
            return DCASERVER_STREAM_REQUEST;
        }
        if (!dcaserver_receive_data(&stream->message)) {
            return DCASERVER_STREAM_FAULT;
        }
        stream->phase = STREAM_PAYLOAD;
    }
}

bool
dcaserver_stream_in_message(const dcaserver_stream &stream)
{
    return stream.phase == STREAM_PAYLOAD || (stream.phase == STREAM_HEADER && stream.have > 0);
}
namespace {

// Decrypts the payload in place where the header says it is encrypted, and parses it into
// *received. False when either fails (logged).
bool
dcaserver_decode_payload(const std::uint8_t *header, std::uint8_t *payload, std::size_t length,
                         dcalink_received *received)
{
    if (header[4] != DCALINK_ENCRYPTION_NONE &&
        crypto_decrypt_data(g_server.crypto, payload, length) != 0) {
        log_write(LOG_ERROR, u"dcaserver_extract_data: data decryption failed\n");
        return false;
    }
    dcalink_parse_result parsed = dcalink_parse(payload, length, received);
    if (parsed != DCALINK_PARSE_OK) {
        log_write(LOG_ERROR, u"dcaserver_extract_data: payload of %d bytes refused: %s\n", length,
                  refusal_text(parsed));
        return false;
    }
    return true;
}

// A record of what the agent sent; its texts move from received into the record. nullptr when
// no record could be allocated (logged).
userinfo_ptr
dcaserver_make_userinfo(dcalink_received &received, const std::uint8_t *payload)
{
    userinfo_ptr record(userdb_allocate_userinfo());
    if (record == nullptr) {
        log_write(LOG_ERROR, u"dcaserver_extract_data: userinfo allocation failed\n");
        return nullptr;
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
    return record;
}

// A logon must name its user and its workstation's IPv4 address: anything else would be stored
// as a row that no appliance can be told about and no logoff check can reach. A logout notice
// passes as it is.
bool
dcaserver_logon_complete(const UserInfo *record)
{
    if (record->Flags == UI_FLAG_USER_LOGOUT) {
        return true;
    }
    if (record->User == nullptr || record->User[0] == 0) {
        log_write(LOG_ERROR, u"dcaserver_extract_data: logon without a user refused\n");
        return false;
    }
    if (record->WrkstIP != nullptr && !dotted_ipv4(record->WrkstIP)) {
        log_write(LOG_ERROR,
                  u"dcaserver_extract_data: logon of %s refused: workstation address '%s' "
                  u"is not dotted IPv4\n",
                  record->User, record->WrkstIP);
        return false;
    }
    return true;
}

// The logon stored for the record's user, or nullptr.
userinfo_ptr
dcaserver_find_stored_logon(const UserInfo *record)
{
    UserInfo *found = nullptr;
    if (record->User != nullptr && userinfo_db_get_user_info(record->User, &found) == 0) {
        return userinfo_ptr(found);
    }
    return nullptr;
}

// A logout notice, or a logon without a workstation address: the user's stored logon decides.
// True when nothing is left to store: the stored address is excluded, or the record is a logout
// notice, which logs the stored logon out.
bool
dcaserver_settled_by_stored_logon(const UserInfo *record)
{
    userinfo_ptr stored = dcaserver_find_stored_logon(record);
    if (stored != nullptr && stored->WrkstIP != nullptr && stored_address_excluded(stored.get())) {
        log_write_a(LOG_INFO, "dcaserver_extract_data: IP %S found in exclusion list",
                    stored->WrkstIP);
        return true;
    }
    if (record->Flags != UI_FLAG_USER_LOGOUT) {
        return false;
    }
    if (stored != nullptr && stored->WrkstIP != nullptr) {
        stored->Flags = UI_FLAG_LOGOUT;
        (void)wrkstpoll_handle_logoff_req(stored.release(), 1);
    }
    return true;
}

// True when the record is to be stored; false when an exclusion list filters it out or it has
// been dealt with as a logout notice.
bool
dcaserver_record_to_store(const UserInfo *record)
{
    if (dca_filter_by_username(record) == 1) {
        log_write(LOG_INFO, u"dcaserver_extract_data: user %s found in exclusion list\n",
                  record->User);
        return false;
    }
    if (record->WrkstIP != nullptr && record->Flags != UI_FLAG_USER_LOGOUT) {
        if (login_excluded(record)) {
            log_write_a(LOG_INFO, "dcaserver_extract_data: IP %S found in exclusion list",
                        record->WrkstIP);
            return false;
        }
        return true;
    }
    return !dcaserver_settled_by_stored_logon(record);
}

// Stores the logon and queues it for the appliances; the store takes the record over once both
// succeed. 0 also when the same logon is stored already; -1 when it was not stored or queued.
int
dcaserver_store_userinfo(userinfo_ptr record)
{
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

} // namespace

int
dcaserver_extract_data(const std::uint8_t *header, std::uint8_t *payload, std::size_t length)
{
    dcalink_received received{};
    if (!dcaserver_decode_payload(header, payload, length, &received)) {
        return -1;
    }
    userinfo_ptr record = dcaserver_make_userinfo(received, payload);
    if (record == nullptr || !dcaserver_logon_complete(record.get())) {
        return -1;
    }
    if (!dcaserver_record_to_store(record.get())) {
        return 0;
    }
    return dcaserver_store_userinfo(std::move(record));
}

void
dcaserver_set_max_connections(std::size_t most)
{
    g_server.max_connections = most == 0 ? DCASERVER_DEFAULT_MAX_CONNECTIONS : most;
}

void
dcaserver_stop()
{
    g_server.stop = true;
}

int
dcaserver_drain(int timeout_ms)
{
    g_server.stop = true;
    for (int waited = 0; waited < timeout_ms && (g_server.looping || g_server.jobs > 0);
         waited += DRAIN_POLL_MS) {
        platform_sleep_ms(DRAIN_POLL_MS);
    }
    return g_server.jobs;
}

namespace {

using server_clock = std::chrono::steady_clock;

// How often the server loop looks at the deadlines and at connections it stopped reading, and so
// how late past its deadline a connection may end.
constexpr int TICK_MS = 200;
// Accepts taken in one turn of the loop, so that a burst of connections cannot starve the open
// ones.
constexpr int ACCEPTS_PER_TURN = 64;
// Descriptors kept for everything else the service opens (store, logs, appliance sockets).
constexpr std::size_t DESCRIPTORS_KEPT = 256;

// A connection's complete messages waiting for its job, shared by the server loop and the job
// (which may outlive the connection: what the agent sent before closing is still handled).
struct dcaserver_channel {
    std::mutex lock;
    std::deque<dcaserver_message> queue;
    std::size_t queued_bytes = 0;
    bool busy = false; // a job is taking messages from the queue
};

// A message's share of DCASERVER_QUEUE_BYTES: its bytes and what holding it costs.
std::size_t
message_cost(const dcaserver_message &message)
{
    return sizeof message + message.payload.size();
}

struct dcaserver_connection {
    platform_socket_t socket = PLATFORM_INVALID_SOCKET;
    dcaserver_stream stream;
    std::shared_ptr<dcaserver_channel> channel;
    server_clock::time_point deadline; // of the handshake, or of the DATA message begun
    bool timed = true;                 // whether the deadline applies
    bool paused = false;               // out of the poll set while its queue is full
    bool handshaken = false;           // the RESPONSE has gone out
    bool response_failed = false;
};

// The pool job of a connection: handles its queued messages in order until the queue is empty.
void
dcaserver_message_job(void *argument)
{
    std::unique_ptr<std::shared_ptr<dcaserver_channel>> held(
        static_cast<std::shared_ptr<dcaserver_channel> *>(argument));
    dcaserver_channel &channel = **held;
    for (;;) {
        dcaserver_message message;
        {
            std::lock_guard guard(channel.lock);
            if (channel.queue.empty()) {
                channel.busy = false;
                g_server.jobs.fetch_sub(1);
                return;
            }
            message = std::move(channel.queue.front());
            channel.queue.pop_front();
            channel.queued_bytes -= message_cost(message);
        }
        std::uint8_t none = 0; // an empty payload still needs an address
        (void)dcaserver_extract_data(message.header,
                                     message.payload.empty() ? &none : message.payload.data(),
                                     message.payload.size());
    }
}

struct dcaserver_loop {
    platform_pollset *set = nullptr;
    platform_socket_t listener = PLATFORM_INVALID_SOCKET;
    std::unordered_map<platform_socket_t, std::unique_ptr<dcaserver_connection>> connections;
    std::size_t most = DCASERVER_DEFAULT_MAX_CONNECTIONS;
    bool refusing = false; // connections have been refused since the limit was reached
    bool listener_paused = false;
    server_clock::time_point listener_back;
};

// Ends a connection with the lines of the step it was in.
void
dcaserver_close_connection(dcaserver_loop &loop, dcaserver_connection *connection)
{
    if (connection->handshaken) {
        log_write(LOG_DEBUG, u"dcaserver_handle_client: terminating connection to peer\n");
    } else {
        if (!connection->response_failed) {
            log_write(LOG_ERROR, u"dcaserver_peer_handshake: REQUEST couldn't Received\n");
        }
        log_write(LOG_ERROR, u"dcaserver_handle_client: peer handshake failed\n");
    }
    platform_socket_t socket = connection->socket;
    if (!connection->paused) {
        (void)platform_pollset_remove(loop.set, socket);
    }
    platform_socket_close(socket);
    loop.connections.erase(socket); // frees connection
    if (loop.refusing && loop.connections.size() < loop.most) {
        loop.refusing = false;
        log_write(LOG_INFO,
                  u"dcaserver_thread: below MAX-AGENT-CONNECTIONS again, connections accepted\n");
    }
}

// Queues a complete message and starts the connection's job unless it is running. False when
// the message could not be handed on (logged): the connection is to end.
bool
dcaserver_post_message(dcaserver_connection *connection)
{
    dcaserver_channel &channel = *connection->channel;
    bool start = false;
    try {
        std::lock_guard guard(channel.lock);
        channel.queue.push_back(std::move(connection->stream.message));
        channel.queued_bytes += message_cost(channel.queue.back());
        start = !channel.busy;
        channel.busy = true;
    } catch (...) {
        log_write(LOG_ERROR, u"dcaserver_thread: message queue allocation failed\n");
        return false;
    }
    if (!start) {
        return true;
    }
    std::unique_ptr<std::shared_ptr<dcaserver_channel>> argument;
    try {
        argument = std::make_unique<std::shared_ptr<dcaserver_channel>>(connection->channel);
    } catch (...) {
        argument = nullptr;
    }
    g_server.jobs.fetch_add(1);
    if (argument != nullptr && threadpool_run(dcaserver_message_job, argument.get(), 1) == 0) {
        (void)argument.release(); // the job frees it
        return true;
    }
    g_server.jobs.fetch_sub(1);
    log_write(LOG_ERROR, u"dcaserver_thread: no free thread available\n");
    std::lock_guard guard(channel.lock);
    channel.queue.clear();
    channel.queued_bytes = 0;
    channel.busy = false;
    return false;
}

// Hands the bytes received to the connection's stream. False when the connection is to end
// (logged, apart from the closing lines).
bool
dcaserver_take_bytes(dcaserver_connection *connection, const std::uint8_t *bytes,
                     std::size_t length)
{
    std::size_t offset = 0;
    while (offset < length) {
        std::size_t used = 0;
        dcaserver_stream_event event =
            dcaserver_stream_feed(&connection->stream, bytes + offset, length - offset, &used);
        offset += used;
        switch (event) {
        case DCASERVER_STREAM_MORE:
            break;
        case DCASERVER_STREAM_REQUEST:
            // Twelve bytes into a new connection's empty send buffer: a send that cannot complete
            // at once means a peer not worth waiting for.
            if (dcaserver_send_response(connection->socket) < 1) {
                log_write(LOG_ERROR, u"dcaserver_peer_handshake: RESPONSE couldn't Sent\n");
                connection->response_failed = true;
                return false;
            }
            connection->handshaken = true;
            log_write(LOG_DEBUG,
                      u"dcaserver_peer_handshake: peer handshake completed successfully\n");
            connection->timed = false;
            break;
        case DCASERVER_STREAM_MESSAGE:
            connection->timed = false;
            if (!dcaserver_post_message(connection)) {
                return false;
            }
            connection->stream.message.payload = {};
            break;
        case DCASERVER_STREAM_FAULT:
            return false;
        }
    }
    if (!connection->timed && dcaserver_stream_in_message(connection->stream)) {
        connection->timed = true;
        connection->deadline =
            server_clock::now() + std::chrono::seconds(DCASERVER_MESSAGE_SECONDS);
    }
    return true;
}

// What a readable connection has sent. False when it is to end.
bool
dcaserver_read_connection(dcaserver_connection *connection)
{
    std::uint8_t buffer[16384];
    long long n = platform_socket_recv(connection->socket, buffer, sizeof buffer);
    if (n < 0 && platform_socket_error_would_block(platform_socket_error())) {
        return true;
    }
    if (n == 0 || (n < 0 && platform_socket_error_is_reset(platform_socket_error()))) {
        log_write(LOG_DEBUG, u"dcaserver_net_recv: peer has closed the connection\n");
        return false;
    }
    if (n < 0) {
        log_write(LOG_ERROR, u"dcaserver_net_recv: receive failed: %d\n", platform_socket_error());
        return false;
    }
    log_write(LOG_DEBUG, u"dcaserver_net_recv: %d bytes received\n", n);
    if (!dcaserver_take_bytes(connection, buffer, static_cast<std::size_t>(n))) {
        return false;
    }
    // A full queue: no more reading until the job has caught up (the agent's sends then wait in
    // the system's buffers, not in ours).
    std::lock_guard guard(connection->channel->lock);
    connection->paused = connection->channel->queued_bytes >= DCASERVER_QUEUE_BYTES;
    return true;
}

// A new connection from dcaserver_net_accept, or refused at the limit.
void
dcaserver_open_connection(dcaserver_loop &loop, platform_socket_t socket, const net_sockaddr &peer,
                          std::uint32_t length)
{
    if (loop.connections.size() >= loop.most) {
        platform_socket_close(socket);
        if (!loop.refusing) {
            loop.refusing = true;
            log_write(
                LOG_ERROR,
                u"dcaserver_thread: %d agent connections open, the most MAX-AGENT-CONNECTIONS "
                u"allows: new connections refused\n",
                loop.connections.size());
        }
        return;
    }
    peer_text client = peer_address(peer, length);
    if (client.port >= 0) {
        log_write(LOG_INFO, u"dcaserver_thread: Client IP: %S Port: %d\n",
                  static_cast<const char *>(client.text), client.port);
    }
    std::unique_ptr<dcaserver_connection> connection;
    try {
        connection = std::make_unique<dcaserver_connection>();
        connection->channel = std::make_shared<dcaserver_channel>();
    } catch (...) {
        log_write(LOG_ERROR, u"dcaserver_thread: connection allocation failed\n");
        platform_socket_close(socket);
        return;
    }
    connection->socket = socket;
    connection->deadline = server_clock::now() + std::chrono::seconds(DCASERVER_HANDSHAKE_SECONDS);
    if (platform_socket_set_nonblocking(socket) != 0 ||
        platform_pollset_add(loop.set, socket) != 0) {
        log_write(LOG_ERROR, u"dcaserver_thread: cannot watch connection: %d\n",
                  platform_socket_error());
        platform_socket_close(socket);
        return;
    }
    try {
        loop.connections.emplace(socket, std::move(connection));
    } catch (...) {
        log_write(LOG_ERROR, u"dcaserver_thread: connection allocation failed\n");
        (void)platform_pollset_remove(loop.set, socket);
        platform_socket_close(socket);
        return;
    }
    log_write(LOG_DEBUG, u"dcaserver_receive_request: Receiving REQUEST Header\n");
}

// The connections waiting on the listening socket, a turn's worth at most.
void
dcaserver_accept_connections(dcaserver_loop &loop)
{
    for (int i = 0; i < ACCEPTS_PER_TURN; ++i) {
        net_sockaddr peer{};
        std::uint32_t length = sizeof peer.bytes;
        platform_socket_t socket = dcaserver_net_accept(&peer, &length);
        if (socket == PLATFORM_INVALID_SOCKET) {
            if (!platform_socket_error_would_block(platform_socket_error())) {
                (void)platform_pollset_remove(loop.set, loop.listener);
                loop.listener_paused = true;
                loop.listener_back =
                    server_clock::now() + std::chrono::milliseconds(ACCEPT_RETRY_MS);
            }
            return;
        }
        dcaserver_open_connection(loop, socket, peer, length);
    }
}

// Ends the connections past their deadline, reads again those whose queue has room, and listens
// again after a failed accept.
void
dcaserver_check_connections(dcaserver_loop &loop)
{
    server_clock::time_point now = server_clock::now();
    std::vector<dcaserver_connection *> late;
    for (auto &[socket, connection] : loop.connections) {
        if (connection->paused) {
            std::lock_guard guard(connection->channel->lock);
            if (connection->channel->queued_bytes >= DCASERVER_QUEUE_BYTES ||
                platform_pollset_add(loop.set, socket) != 0) {
                continue;
            }
            // Time spent waiting for the job is not the agent's.
            connection->paused = false;
            connection->deadline = now + std::chrono::seconds(DCASERVER_MESSAGE_SECONDS);
        } else if (connection->timed && now >= connection->deadline) {
            late.push_back(connection.get());
        }
    }
    for (dcaserver_connection *connection : late) {
        if (connection->handshaken) {
            log_write(LOG_ERROR,
                      u"dcaserver_receive_data: DATA message not complete within %d seconds\n",
                      DCASERVER_MESSAGE_SECONDS);
        } else {
            log_write(LOG_ERROR, u"dcaserver_receive_request: no REQUEST within %d seconds\n",
                      DCASERVER_HANDSHAKE_SECONDS);
        }
        dcaserver_close_connection(loop, connection);
    }
    if (loop.listener_paused && now >= loop.listener_back &&
        platform_pollset_add(loop.set, loop.listener) == 0) {
        loop.listener_paused = false;
    }
}

// The number of connections the process can hold open, after raising its descriptor limit.
std::size_t
dcaserver_connection_limit()
{
    std::size_t most = g_server.max_connections;
    std::size_t descriptors = 0;
    (void)platform_raise_descriptor_limit(&descriptors);
    if (descriptors >= most + DESCRIPTORS_KEPT) {
        return most;
    }
    std::size_t fits =
        descriptors > DESCRIPTORS_KEPT * 2 ? descriptors - DESCRIPTORS_KEPT : descriptors / 2;
    if (fits == 0) {
        fits = 1;
    }
    log_write(LOG_ERROR,
              u"dcaserver_thread: the process may open %d descriptors: at most %d agent "
              u"connections instead of MAX-AGENT-CONNECTIONS %d\n",
              descriptors, fits, most);
    return fits;
}

// Closes what the loop still holds.
void
dcaserver_loop_fini(dcaserver_loop &loop)
{
    for (auto &[socket, connection] : loop.connections) {
        platform_socket_close(socket);
    }
    loop.connections.clear();
    platform_pollset_destroy(loop.set);
}

} // namespace

void
dcaserver_thread(void *argument)
{
    (void)argument;
    dcaserver_loop loop;
    loop.most = dcaserver_connection_limit();
    loop.listener = g_server.net != nullptr ? g_server.net->socket : PLATFORM_INVALID_SOCKET;
    loop.set = platform_pollset_create();
    if (loop.set == nullptr || loop.listener == PLATFORM_INVALID_SOCKET ||
        platform_socket_set_nonblocking(loop.listener) != 0 ||
        platform_pollset_add(loop.set, loop.listener) != 0) {
        log_write(LOG_ERROR, u"dcaserver_thread: cannot wait on the listening socket: %d\n",
                  platform_socket_error());
        platform_pollset_destroy(loop.set);
        return;
    }
    constexpr std::size_t READY = 256;
    platform_socket_t ready[READY];
    server_clock::time_point next_check = server_clock::now();
    g_server.looping = true;
    while (!g_server.stop) {
        int n = platform_pollset_wait(loop.set, ready, READY, TICK_MS);
        if (n < 0) {
            log_write(LOG_ERROR, u"dcaserver_thread: wait failed: %d\n", platform_socket_error());
            platform_sleep_ms(ACCEPT_RETRY_MS);
        }
        for (int i = 0; i < n; ++i) {
            if (ready[i] == loop.listener) {
                dcaserver_accept_connections(loop);
                continue;
            }
            auto found = loop.connections.find(ready[i]);
            if (found == loop.connections.end()) {
                continue;
            }
            dcaserver_connection *connection = found->second.get();
            if (!dcaserver_read_connection(connection)) {
                dcaserver_close_connection(loop, connection);
            } else if (connection->paused) {
                (void)platform_pollset_remove(loop.set, connection->socket);
            }
        }
        if (server_clock::now() >= next_check) {
            dcaserver_check_connections(loop);
            next_check = server_clock::now() + std::chrono::milliseconds(TICK_MS);
        }
    }
    dcaserver_loop_fini(loop);
    g_server.looping = false;
}
