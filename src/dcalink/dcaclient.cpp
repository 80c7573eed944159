// The DC Agent's end of the agent-collector link (see dcaclient.h).

#include "dcalink/dcaclient.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "common/crypto.h"
#include "common/log.h"
#include "config/config_lists.h"
#include "dcalink/dcalink_protocol.h"
#include "platform/socket.h"
#include "userdb/userinfo.h"

namespace {

// The monitor's pause between two passes while every Collector is connected.
constexpr unsigned int MONITOR_PERIOD_MS = DCACLIENT_RETRY_MAX_MS;
// The RESPONSE is twelve bytes; whatever a receive brings beyond them is dropped.
constexpr std::size_t RESPONSE_SCRATCH = 256;

using clock_type = std::chrono::steady_clock;
// One DATA message as it goes on the wire: the header, then the enciphered payload. The cipher
// starts afresh for every message, so one message serves every Collector and can wait.
using wire_message = std::vector<std::uint8_t>;

struct dcaclient_node {
    net_handle *handle = nullptr; // null when its initialisation failed
    coll_node *entry = nullptr;
    std::atomic<int> connected{0};
    // Held for every use of the connection: a send, a reconnect, the replay of the backlog.
    std::mutex lock;
    // The messages not yet sent to this Collector, oldest first, and what they hold.
    std::mutex backlog_lock;
    std::deque<wire_message> backlog;
    std::size_t backlog_bytes = 0;
    unsigned long dropped = 0; // since the monitor last counted them in the log
    // Under the monitor lock: when the monitor tries this node next, and the delay it waits
    // after that attempt should it fail.
    clock_type::time_point next_attempt{};
    unsigned int retry_ms = DCACLIENT_RETRY_FIRST_MS;
};

struct dcaclient_state {
    crypto_handle *crypto = nullptr;
    std::vector<std::unique_ptr<dcaclient_node>> nodes;
    // Wakes the monitor early when a sender finds a Collector down.
    std::mutex monitor_lock;
    std::condition_variable monitor_wake;
    bool woken = false;
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

namespace {

// The first half of dcaclient_send_data: the record as one DATA message, enciphered. 0, or -1.
int
build_message(const UserInfo *record, wire_message *message)
{
    // Header and payload in one buffer, sent with one call: two small sends can stall behind a
    // delayed acknowledgement. The payload part holds the largest payload a sender builds, so
    // the texts' terminators always fit.
    try {
        message->assign(DCALINK_HEADER_SIZE + DCALINK_PAYLOAD_MAX, 0);
    } catch (...) {
        log_write(LOG_ERROR, u"dcaclient_send_data: data buffer allocation failed\n");
        return -1;
    }
    std::uint8_t *payload = message->data() + DCALINK_HEADER_SIZE;
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
    dcalink_build_data_header(message->data(), DCACLIENT_ENCRYPTION,
                              static_cast<std::uint32_t>(length));
    message->resize(DCALINK_HEADER_SIZE + length); // shrinking never allocates
    return 0;
}

// The second half of dcaclient_send_data: one message on the handle's connection. 1, or -1.
int
send_message(const wire_message &message, net_handle *handle)
{
    log_write(LOG_DEBUG, u"dcaclient_send_data: Sending DATA Header\n");
    if (dcaclient_net_send(message.data(), message.size(), handle) < 1) {
        log_write(LOG_ERROR, u"dcaclient_send_data: data header couldn't send\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dcaclient_send_data: DATA Header Sent\n");
    log_write(LOG_DEBUG, u"dcaclient_send_data: Sending DATA\n");
    log_write(LOG_DEBUG, u"dcaclient_send_data: DATA Sent\n");
    return 1;
}

// Drops the oldest messages beyond either bound, counting them. Backlog lock held.
void
backlog_trim_locked(dcaclient_node &node)
{
    while (!node.backlog.empty() && (node.backlog.size() > DCACLIENT_BACKLOG_RECORDS ||
                                     node.backlog_bytes > DCACLIENT_BACKLOG_BYTES)) {
        node.backlog_bytes -= node.backlog.front().size();
        node.backlog.pop_front();
        ++node.dropped;
    }
}

// Keeps a copy of the message at the tail of the node's backlog. 0, or -1 when out of memory.
int
backlog_append(dcaclient_node &node, const wire_message &message)
{
    std::lock_guard guard(node.backlog_lock);
    try {
        node.backlog.push_back(message);
    } catch (...) {
        log_write(LOG_ERROR, u"dcaclient_send_userinfo: record couldnt kept for collector %s\n",
                  node.entry->name);
        return -1;
    }
    node.backlog_bytes += message.size();
    backlog_trim_locked(node);
    return 0;
}

// Takes the oldest message out of the backlog; false when there is none.
bool
backlog_take(dcaclient_node &node, wire_message *message)
{
    std::lock_guard guard(node.backlog_lock);
    if (node.backlog.empty()) {
        return false;
    }
    *message = std::move(node.backlog.front());
    node.backlog.pop_front();
    node.backlog_bytes -= message->size();
    return true;
}

// Puts back a message that could not be sent, as the oldest again: should the backlog have
// filled meanwhile, it is the one dropped.
void
backlog_put_back(dcaclient_node &node, wire_message message)
{
    std::lock_guard guard(node.backlog_lock);
    std::size_t size = message.size();
    try {
        node.backlog.push_front(std::move(message));
    } catch (...) {
        ++node.dropped;
        return;
    }
    node.backlog_bytes += size;
    backlog_trim_locked(node);
}

bool
backlog_empty(dcaclient_node &node)
{
    std::lock_guard guard(node.backlog_lock);
    return node.backlog.empty();
}

// The records the backlog has dropped since the last call, in one level 2 line.
void
backlog_report_dropped(dcaclient_node &node)
{
    unsigned long dropped;
    {
        std::lock_guard guard(node.backlog_lock);
        dropped = node.dropped;
        node.dropped = 0;
    }
    if (dropped > 0) {
        log_write(LOG_ERROR,
                  u"monitor_dcaserver_workerthread: backlog of collector %s full: %d oldest "
                  u"records dropped\n",
                  node.entry->name, dropped);
    }
}

// After a failed attempt: the next one waits the node's delay, and the delay doubles up to the
// monitor's period. Monitor lock held.
void
retry_schedule_locked(dcaclient_node &node, clock_type::time_point now)
{
    node.next_attempt = now + std::chrono::milliseconds(node.retry_ms);
    node.retry_ms = std::min(node.retry_ms * 2, DCACLIENT_RETRY_MAX_MS);
}

// The connection broke and the reconnect at once failed too: the node is down until the
// monitor, woken now, connects it after the first retry delay. Node lock held.
void
node_mark_down(dcaclient_node &node)
{
    node.connected = 0;
    log_write(LOG_NOTICE,
              u"dcaclient_send_userinfo: collector %s is down, its records are kept until it is "
              u"connected again\n",
              node.entry->name);
    {
        std::lock_guard guard(g_client.monitor_lock);
        node.retry_ms = DCACLIENT_RETRY_FIRST_MS;
        retry_schedule_locked(node, clock_type::now());
        g_client.woken = true;
    }
    g_client.monitor_wake.notify_one();
}

// Sends the backlog on the node's connection, oldest first: 0 once it is empty, -1 when a send
// failed (that message is the oldest again). Node lock held, node connected.
int
node_flush_locked(dcaclient_node &node, unsigned long *sent)
{
    wire_message message;
    while (backlog_take(node, &message)) {
        bool closed = peer_has_closed(node.handle);
        if (closed) {
            log_write(LOG_NOTICE,
                      u"dcaclient_send_userinfo: collector %s has closed the connection\n",
                      node.entry->name);
        }
        if (closed || send_message(message, node.handle) != 1) {
            backlog_put_back(node, std::move(message));
            return -1;
        }
        ++*sent;
    }
    return 0;
}

// Sends the backlog; when a send fails, reconnects at once and sends the rest on the new
// connection. 0 when everything went out, -1 when the node is down now. Node lock held, node
// connected.
int
node_drain_locked(dcaclient_node &node, unsigned long *sent)
{
    if (node_flush_locked(node, sent) == 0) {
        return 0;
    }
    dcaclient_net_close(node.handle);
    node.connected = 0;
    if (dcaclient_connect(node.handle) == 0) {
        node.connected = 1;
        if (node_flush_locked(node, sent) == 0) {
            return 0;
        }
        dcaclient_net_close(node.handle);
    }
    node_mark_down(node);
    return -1;
}

// Sends what is kept for a connected node, unless another thread holds the node's lock: the
// holder calls this again after letting go, so a message added meanwhile is never left behind.
// 0 when nothing is kept for the node any more, 1 otherwise.
int
node_send_kept(dcaclient_node &node)
{
    while (node.connected.load() == 1 && !backlog_empty(node)) {
        std::unique_lock guard(node.lock, std::try_to_lock);
        if (!guard.owns_lock() || node.connected.load() != 1) {
            break;
        }
        unsigned long sent = 0;
        if (node_drain_locked(node, &sent) != 0) {
            break;
        }
    }
    return backlog_empty(node) ? 0 : 1;
}

// One pass of the monitor. With due_only, a node that is not connected is tried only once its
// retry delay has passed.
int
monitor_pass(bool due_only)
{
    int connected = 0;
    for (auto &node : g_client.nodes) {
        backlog_report_dropped(*node);
        if (node->connected.load() != 0) {
            (void)node_send_kept(*node);
            continue;
        }
        if (due_only) {
            std::lock_guard guard(g_client.monitor_lock);
            if (clock_type::now() < node->next_attempt) {
                continue;
            }
        }
        unsigned long replayed = 0;
        {
            std::lock_guard guard(node->lock);
            if (node->connected.load() != 0) {
                continue; // the sender's retry was quicker
            }
            log_write(LOG_DEBUG, u"monitor_dcaserver_workerthread \n");
            if (dcaclient_connect(node->handle) != 0) {
                std::lock_guard schedule(g_client.monitor_lock);
                retry_schedule_locked(*node, clock_type::now());
                continue;
            }
            log_write(LOG_DEBUG, u"monitor_dcaserver_workerthread: collector  connected again %s\n",
                      node->entry->name);
            node->connected = 1;
            ++connected;
            {
                std::lock_guard schedule(g_client.monitor_lock);
                node->retry_ms = DCACLIENT_RETRY_FIRST_MS;
            }
            (void)node_drain_locked(*node, &replayed);
        }
        if (replayed > 0) {
            log_write(LOG_NOTICE,
                      u"monitor_dcaserver_workerthread: %d kept records sent to "
                      u"collector %s\n",
                      replayed, node->entry->name);
        }
        (void)node_send_kept(*node); // what senders added while the replay held the lock
    }
    return connected;
}

// The monitor's pause: until the earliest retry of a node that is down, at most its period, or
// until a sender finds a Collector down.
void
monitor_wait()
{
    std::unique_lock guard(g_client.monitor_lock);
    auto until = clock_type::now() + std::chrono::milliseconds(MONITOR_PERIOD_MS);
    for (auto &node : g_client.nodes) {
        if (node->connected.load() == 0) {
            until = std::min(until, node->next_attempt);
        }
    }
    g_client.monitor_wake.wait_until(guard, until, [] { return g_client.woken; });
    g_client.woken = false;
}

} // namespace

int
dcaclient_send_data(const UserInfo *record, net_handle *handle)
{
    wire_message message;
    if (build_message(record, &message) != 0) {
        return -1;
    }
    return send_message(message, handle);
}

int
dcaclient_send_userinfo(const UserInfo *record)
{
    if (record == nullptr) {
        return DCACLIENT_SENT;
    }
    wire_message message;
    if (build_message(record, &message) != 0) {
        return -1;
    }
    int result = DCACLIENT_SENT;
    bool reachable = g_client.nodes.empty(); // without Collectors there is nothing to send
    for (auto &node : g_client.nodes) {
        if (node->handle == nullptr) {
            continue; // it can never be connected; its failure was logged at start-up
        }
        reachable = true;
        // Behind whatever is kept for the Collector, so that it receives the records in order.
        if (backlog_append(*node, message) != 0) {
            result = -1;
        } else if (node_send_kept(*node) != 0 && result == DCACLIENT_SENT) {
            result = DCACLIENT_KEPT;
        }
    }
    return reachable ? result : -1;
}

int
dcaclient_monitor_pass()
{
    return monitor_pass(false);
}

void
monitor_dcaserver_workerthread(void *argument)
{
    (void)argument;
    for (;;) {
        (void)monitor_pass(true);
        monitor_wait();
    }
}

int
dcaclient_node_count()
{
    return static_cast<int>(g_client.nodes.size());
}

namespace {

dcaclient_node *
node_at(int index)
{
    if (index < 0 || static_cast<std::size_t>(index) >= g_client.nodes.size()) {
        return nullptr;
    }
    return g_client.nodes[static_cast<std::size_t>(index)].get();
}

} // namespace

int
dcaclient_node_connected(int index)
{
    dcaclient_node *node = node_at(index);
    return node == nullptr ? 0 : node->connected.load();
}

std::size_t
dcaclient_node_backlog(int index)
{
    dcaclient_node *node = node_at(index);
    if (node == nullptr) {
        return 0;
    }
    std::lock_guard guard(node->backlog_lock);
    return node->backlog.size();
}

unsigned int
dcaclient_node_retry_ms(int index)
{
    dcaclient_node *node = node_at(index);
    if (node == nullptr) {
        return 0;
    }
    std::lock_guard guard(g_client.monitor_lock);
    return node->retry_ms;
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
    g_client.woken = false;
    if (g_client.crypto != nullptr) {
        crypto_close(g_client.crypto);
        g_client.crypto = nullptr;
    }
}
