// The DC Agent's end of the agent-collector link (see dcaclient.h).

#include "dcalink/dcaclient.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "common/crypto.h"
#include "common/log.h"
#include "config/config_lists.h"
#include "dcalink/dcalink_protocol.h"
#include "platform/socket.h"
#include "platform/system.h"
#include "userdb/userinfo.h"

namespace {

// The monitor's pause between two passes.
constexpr unsigned int MONITOR_PERIOD_MS = 60 * 1000;
// The RESPONSE is twelve bytes; whatever a receive brings beyond them is dropped.
constexpr std::size_t RESPONSE_SCRATCH = 256;

struct dcaclient_node {
    net_handle *handle = nullptr; // null when its initialisation failed
    coll_node *entry = nullptr;
    std::atomic<int> connected{0};
    std::mutex lock; // one reconnect at a time: the sender's retry or the monitor's
};

struct dcaclient_state {
    crypto_handle *crypto = nullptr;
    std::vector<std::unique_ptr<dcaclient_node>> nodes;
};
// Never destroyed: the monitor and the senders still use it while the process ends.
dcaclient_state &g_client = *new dcaclient_state;

// The Collector sends nothing after the RESPONSE: a connection that has become readable was
// closed (or broken) by the Collector. Sending on it would hand one record to a dead connection
// without any error, so such a connection is treated as a failed send before anything is lost.
bool
peer_has_closed(const net_handle *handle)
{
    return platform_socket_wait_readable(handle->socket, 0, 0) != 0;
}

dcalink_record
wire_record(const UserInfo *record)
{
    return dcalink_record{record->CreateTime, record->ExpireTime, record->LogonType,
                          record->Flags,      record->User,       record->Domain,
                          record->Group,      record->WrkstName,  record->WrkstIP};
}

// Writes the offsets and texts of a serialised payload at level 5, in the order they are written.
void
log_texts(const UserInfo *record, const std::uint8_t *payload)
{
    struct item {
        const char16_t *label;
        std::size_t at;
        const char16_t *text;
    };
    const item items[] = {{u"User", 20, record->User},
                          {u"Group", 28, record->Group},
                          {u"WrkstName", 32, record->WrkstName},
                          {u"WrkstIP", 36, record->WrkstIP},
                          {u"Domain", 24, record->Domain}};
    for (const item &i : items) {
        const std::uint8_t *at = payload + i.at;
        auto offset = static_cast<std::int32_t>(
            static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
            static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24);
        if (offset >= 0) {
            log_write(LOG_DEBUG, u"dcaclient_send_data: Offset: %d; %s: %s\n", offset, i.label,
                      i.text);
        }
    }
}

} // namespace

int
dcaclient_crypto_init()
{
    if (g_client.crypto != nullptr) {
        log_write(LOG_ERROR, u"dcaclient_crypto_init: crypto handle already initialized\n");
        return -1;
    }
    g_client.crypto = crypto_open();
    if (g_client.crypto == nullptr) {
        log_write(LOG_ERROR, u"dcaclient_crypto_init: crypto handle couldnt initialized\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaclient_crypto_init: cryptographic context initialized\n");
    return 0;
}

int
dcaclient_add_node(coll_node *entry)
{
    auto *node = new (std::nothrow) dcaclient_node;
    if (node == nullptr) {
        log_write(LOG_ERROR, u"dcaclient_add_node: node allocation failed\n");
        return -1;
    }
    node->entry = entry;
    try {
        g_client.nodes.emplace_back(node);
    } catch (...) {
        delete node;
        log_write(LOG_ERROR, u"dcaclient_add_node: node allocation failed\n");
        return -1;
    }
    return 0;
}

int
dcaclient_net_init()
{
    for (auto &node : g_client.nodes) {
        node->handle = net_init(node->entry->name, node->entry->port, NET_MODE_CLIENT);
        if (node->handle == nullptr) {
            log_write(LOG_ERROR, u"dcaclient_net_init: network context couldnt initialized\n");
            return -1;
        }
    }
    log_write(LOG_DEBUG, u"dcaclient_net_init: network context initialized\n");
    return 0;
}

int
dcaclient_init(coll_node *collectors)
{
    if (dcaclient_crypto_init() != 0) {
        return -1;
    }
    for (coll_node *entry = collectors; entry != nullptr; entry = entry->next) {
        (void)dcaclient_add_node(entry);
    }
    (void)dcaclient_net_init(); // a node without handle stays unconnected; the agent still runs
    for (auto &node : g_client.nodes) {
        node->connected = 0;
    }
    return 0;
}

int
dcaclient_net_open(net_handle *handle)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"dcaclient_net_open: network context is not initialized yet\n");
        return -1;
    }
    return net_open(handle, NET_TRANSPORT_TCP);
}

void
dcaclient_net_close(net_handle *handle)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"dcaclient_net_close: network context is not initialized yet\n");
        return;
    }
    net_close(handle);
}

int
dcaclient_net_send(const void *buffer, std::size_t length, net_handle *handle)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"dcaclient_net_send: network context is not initialized yet\n");
        return -1;
    }
    return net_send(handle, buffer, length);
}

long long
dcaclient_net_recv(void *buffer, std::size_t capacity, net_handle *handle)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"dcaclient_net_recv: network context is not initialized yet\n");
        return -1;
    }
    return net_recv(handle, buffer, capacity);
}

int
dcaclient_send_request(net_handle *handle)
{
    std::uint8_t header[DCALINK_HEADER_SIZE];
    dcalink_build_handshake(header, DCALINK_MSG_REQUEST, DCACLIENT_ENCRYPTION);
    log_write(LOG_DEBUG, u"dcaclient_send_request: REQUEST Header Sent\n");
    return dcaclient_net_send(header, sizeof header, handle);
}

int
dcaclient_receive_response(net_handle *handle)
{
    log_write(LOG_DEBUG, u"dcaclient_receive_response: Receive RESPONSE Header\n");
    std::uint8_t header[DCALINK_HEADER_SIZE];
    std::uint8_t scratch[RESPONSE_SCRATCH];
    std::size_t have = 0;
    while (have < DCALINK_HEADER_SIZE) {
        long long n = dcaclient_net_recv(scratch, sizeof scratch, handle);
        if (n < 0) {
            log_write(LOG_ERROR, u"dcaclient_receive_response: receive failed\n");
            return -1;
        }
        if (n == 0) {
            log_write(LOG_ERROR, u"dcaclient_receive_response: connection closed\n");
            return 0;
        }
        log_write(LOG_DEBUG, u"dcaclient_receive_response: %d bytes received\n", n);
        for (long long i = 0; i < n && have < DCALINK_HEADER_SIZE; ++i) {
            header[have++] = scratch[i];
        }
    }
    log_write(LOG_DEBUG, u"dcaclient_receive_response: RESPONSE Header Received\n");
    dcalink_header response = dcalink_parse_header(header);
    if (response.type != DCALINK_MSG_RESPONSE) {
        log_write(LOG_ERROR, u"dcaclient_receive_response: Invalid RESPONSE Header\n");
        return -1;
    }
    if (response.encryption != DCACLIENT_ENCRYPTION) {
        log_write(LOG_ERROR, u"dcaclient_receive_response: encryption type mismatched\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaclient_receive_response: encryption type matched\n");
    return 1;
}

int
dcaclient_peer_handshake(net_handle *handle)
{
    if (dcaclient_send_request(handle) < 1) {
        log_write(LOG_ERROR, u"dcaclient_peer_handshake: REQUEST couldn't sent\n");
        return -1;
    }
    if (dcaclient_receive_response(handle) <= 0) {
        log_write(LOG_ERROR, u"dcaclient_peer_handshake: RESPONSE couldn't received\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaclient_peer_handshake: peer handshake completed successfully\n");
    return 0;
}

int
dcaclient_connect(net_handle *handle)
{
    if (dcaclient_net_open(handle) != 0) {
        return -1;
    }
    if (dcaclient_peer_handshake(handle) != 0) {
        dcaclient_net_close(handle);
        return -1;
    }
    return 0;
}

int
dcaclient_send_data(const UserInfo *record, net_handle *handle)
{
    // Header and payload in one buffer, sent with one call: two small sends can stall behind a
    // delayed acknowledgement. The payload part holds the largest payload a sender builds, so
    // the texts' terminators always fit.
    constexpr std::size_t capacity = DCALINK_HEADER_SIZE + DCALINK_PAYLOAD_MAX;
    std::unique_ptr<std::uint8_t, decltype(&std::free)> buffer(
        static_cast<std::uint8_t *>(std::malloc(capacity)), &std::free);
    if (buffer == nullptr) {
        log_write(LOG_ERROR, u"dcaclient_send_data: data buffer allocation failed\n");
        return -1;
    }
    std::uint8_t *payload = buffer.get() + DCALINK_HEADER_SIZE;
    log_write(LOG_DEBUG, u"dcaclient_send_data: CreateTime: %d\n", record->CreateTime);
    log_write(LOG_DEBUG, u"dcaclient_send_data: ExpireTime: %d\n", record->ExpireTime);
    log_write(LOG_DEBUG, u"dcaclient_send_data: Flags: %d\n", record->Flags);
    log_write(LOG_DEBUG, u"dcaclient_send_data: LogonType: %d\n", record->LogonType);
    std::size_t length = dcalink_serialize(wire_record(record), payload, DCALINK_PAYLOAD_MAX);
    if (log_is_enabled(LOG_DEBUG)) {
        log_texts(record, payload);
    }
    if (DCACLIENT_ENCRYPTION != DCALINK_ENCRYPTION_NONE &&
        crypto_encrypt_data(g_client.crypto, payload, length) != 0) {
        log_write(LOG_ERROR, u"dcaclient_send_data: Data Encryption failed\n");
        return -1;
    }
    dcalink_build_data_header(buffer.get(), DCACLIENT_ENCRYPTION,
                              static_cast<std::uint32_t>(length));
    log_write(LOG_DEBUG, u"dcaclient_send_data: Sending DATA Header\n");
    if (dcaclient_net_send(buffer.get(), DCALINK_HEADER_SIZE + length, handle) < 1) {
        log_write(LOG_ERROR, u"dcaclient_send_data: data header couldn't send\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaclient_send_data: DATA Header Sent\n");
    log_write(LOG_DEBUG, u"dcaclient_send_data: Sending DATA\n");
    log_write(LOG_DEBUG, u"dcaclient_send_data: DATA Sent\n");
    return 1;
}

int
dcaclient_send_userinfo(const UserInfo *record)
{
    if (record == nullptr) {
        return 0;
    }
    for (auto &node : g_client.nodes) {
        if (node->connected.load() != 1) {
            continue;
        }
        std::lock_guard guard(node->lock);
        if (node->connected.load() != 1) {
            continue;
        }
        bool closed = peer_has_closed(node->handle);
        if (closed) {
            log_write(LOG_NOTICE,
                      u"dcaclient_send_userinfo: collector %s has closed the connection\n",
                      node->entry->name);
        }
        if (!closed && dcaclient_send_data(record, node->handle) == 1) {
            continue;
        }
        dcaclient_net_close(node->handle);
        node->connected = 0;
        if (dcaclient_connect(node->handle) == 0) {
            (void)dcaclient_send_data(record, node->handle);
            node->connected = 1;
        }
    }
    return 0;
}

int
dcaclient_monitor_pass()
{
    int connected = 0;
    for (auto &node : g_client.nodes) {
        if (node->connected.load() != 0) {
            continue;
        }
        std::lock_guard guard(node->lock);
        if (node->connected.load() != 0) {
            continue; // the sender's retry was quicker
        }
        log_write(LOG_DEBUG, u"monitor_dcaserver_workerthread \n");
        if (dcaclient_connect(node->handle) == 0) {
            log_write(LOG_DEBUG, u"monitor_dcaserver_workerthread: collector  connected again %s\n",
                      node->entry->name);
            node->connected = 1;
            ++connected;
        }
    }
    return connected;
}

void
monitor_dcaserver_workerthread(void *argument)
{
    (void)argument;
    for (;;) {
        (void)dcaclient_monitor_pass();
        platform_sleep_ms(MONITOR_PERIOD_MS);
    }
}

int
dcaclient_node_count()
{
    return static_cast<int>(g_client.nodes.size());
}

int
dcaclient_node_connected(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= g_client.nodes.size()) {
        return 0;
    }
    return g_client.nodes[static_cast<std::size_t>(index)]->connected.load();
}

void
dcaclient_reset()
{
    for (auto &node : g_client.nodes) {
        if (node->handle != nullptr) {
            net_fini(node->handle);
        }
    }
    g_client.nodes.clear();
    if (g_client.crypto != nullptr) {
        crypto_close(g_client.crypto);
        g_client.crypto = nullptr;
    }
}
