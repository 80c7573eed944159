// The appliance request server: receiving, checking and dispatching the appliances' requests,
// and the answers to them (the active reply, the GetAllUsers replay, the transit-time resend).

#include "sso/sso_server.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/net.h"
#include "common/text.h"
#include "common/threadpool.h"
#include "config/config_lists.h"
#include "logoff/active_status.h"
#include "logoff/wrkstpoll.h"
#include "sso/sso_client.h"
#include "sso/sso_wire.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

constexpr std::size_t SENDER_UNITS = 64;
constexpr std::size_t WRKST_VALUE_BYTES = 32;
constexpr std::size_t ITEM_OFFSET = 7; // the value of a request's item

struct server_state {
    std::mutex lock; // guards handle between init and fini; receives use it unlocked
    net_handle *handle = nullptr;
    std::atomic<std::uint16_t> port{SSO_DEFAULT_SERVER_PORT};
    std::atomic<unsigned int> transit_delay_ms{SSO_TRANSIT_DELAY_SECONDS * 1000};
    std::atomic<std::uint32_t> getall_rate{0}; // GetAllUsers logons a second, 0 unpaced
};
// Never destroyed: the server thread may still receive while the process ends.
server_state &g_server = *new server_state;

net_handle *
server_handle()
{
    std::lock_guard guard(g_server.lock);
    return g_server.handle;
}

// The rows of a walk, kept while the store is locked and queued after it returns: the queue and
// the log lines of every row then cost no time under the store's lock.
struct collected_rows : userdb_callback_context {
    std::vector<UserInfo *> rows;
};

void
collect_row(userdb_callback_context *context)
{
    auto *collected = static_cast<collected_rows *>(context);
    userinfo_ptr record(context->record);
    context->record = nullptr;
    if (record == nullptr) {
        return;
    }
    try {
        collected->rows.push_back(record.get());
        (void)record.release();
    } catch (const std::bad_alloc &) {
        log_write(LOG_ERROR, u"SSO_server_enqueue_update_req: user logon request couldnt "
                             u"enqueued to GW Update Queue\n");
    }
}

// Queues the record as a logon for the node alone, through enqueue; always takes the record.
// False when it could not be queued.
bool
enqueue_logon(userdb_callback_context *context, int (*enqueue)(UserInfo *))
{
    if (context == nullptr) {
        log_write(LOG_ERROR, u"SSO_server_enqueue_update_req: invalid callback data\n");
        return false;
    }
    if (context->record == nullptr) {
        log_write(LOG_ERROR, u"SSO_server_enqueue_update_req: Result Data is not Initialized\n");
        return false;
    }
    userinfo_ptr record(context->record);
    context->record = nullptr;
    if (context->gw == nullptr) {
        log_write(LOG_ERROR, u"SSO_server_update_GW: Invalid GW Node Handle\n");
        return false;
    }
    record->RequestingGW = context->gw;
    record->Flags = UI_FLAG_LOGON;
    if (enqueue(record.get()) != 0) {
        log_write(LOG_ERROR, u"SSO_server_enqueue_update_req: user logon request couldnt "
                             u"enqueued to GW Update Queue\n");
        return false;
    }
    (void)record.release(); // the queue has it
    log_write(LOG_MSG, u"SSO_server_enqueue_update_req: user logon request enqueued to GW Update "
                       u"Queue\n");
    return true;
}

// Rows fetched per page of a replay: the store's lock is held for one page at a time, and at
// most one page waits outside the queue.
constexpr int REPLAY_PAGE_ROWS = 256;

// Holds a replay's rows to rate a second: each row goes at least 1/rate seconds after the one
// before. Each row becomes one datagram to the appliance, so this is also the pace at which the
// appliance receives the replay. A replay held up elsewhere (a full queue) does not catch up
// with a burst afterwards.
class replay_pace {
  public:
    explicit replay_pace(std::uint32_t rate)
        : period_(rate == 0 ? 0 : 1000000000LL / rate), paced_(rate != 0)
    {
    }
    void before_row()
    {
        if (!paced_) {
            return;
        }
        auto now = std::chrono::steady_clock::now();
        if (next_ > now) {
            std::this_thread::sleep_until(next_);
            now = next_;
        }
        next_ = now + period_;
    }

  private:
    std::chrono::nanoseconds period_;
    bool paced_;
    std::chrono::steady_clock::time_point next_{};
};

// Sends the node the stored live logons again (those created at or after created_since, or
// all of them for INT32_MIN): page by page in rowid order, each row queued as a logon for this
// node alone, at most rate a second (0: as fast as the queue takes them). The queue's bound
// makes the replay wait for the update thread, so memory holds at most the bound and one page
// of it. The count of rows queued.
long
replay_logons(gw_node *node, std::int32_t created_since, std::uint32_t rate)
{
    replay_pace pace(rate);
    long queued = 0;
    std::int32_t after = 0;
    for (;;) {
        collected_rows page;
        page.gw = node;
        page.record = nullptr;
        if (userinfo_db_process_live_page(after, created_since, REPLAY_PAGE_ROWS, collect_row,
                                          &page) != 1 ||
            page.rows.empty()) {
            return queued;
        }
        after = page.rows.back()->RowID;
        bool last = page.rows.size() < static_cast<std::size_t>(REPLAY_PAGE_ROWS);
        bool failed = false;
        for (UserInfo *row : page.rows) {
            userdb_callback_context context{node, row};
            if (failed) {
                userdb_free_userinfo(row); // the queue is gone: the rest of the page too
                continue;
            }
            pace.before_row();
            if (enqueue_logon(&context, gw_update_queue_enqueue_replay)) {
                ++queued;
            } else {
                failed = true;
            }
        }
        if (last || failed) {
            return queued;
        }
    }
}

// The pool job behind one GetAllUsers request (argument: the gw_node); the node's request is
// pending until the last row is queued.
void
replay_all_users(void *argument)
{
    auto *node = static_cast<gw_node *>(argument);
    long queued = replay_logons(node, INT32_MIN, g_server.getall_rate.load());
    log_write(LOG_DEBUG, u"SSO_server_handle_getallusers_req: %d logons queued for GW %s\n",
              static_cast<int>(queued), node->name);
    node->getall_pending = false;
}

} // namespace

int
tsso_server_init(const char16_t *address, std::uint16_t port)
{
    if (tsso_server_net_init(address, port) != 0) {
        return -1;
    }
    if (tsso_server_net_open() != 0) {
        tsso_server_net_fini();
        return -1;
    }
    return 0;
}

int
tsso_server_net_init(const char16_t *address, std::uint16_t port)
{
    std::lock_guard guard(g_server.lock);
    if (g_server.handle != nullptr) {
        log_write(LOG_ERROR, u"tsso_server_net_init: network context already initialized\n");
        return -1;
    }
    if (port == 0) {
        log_write(LOG_DEBUG, u"tsso_server_net_init: server port set to default\n");
        port = SSO_DEFAULT_SERVER_PORT;
    }
    net_handle *handle = net_init(address, port, NET_MODE_SERVER);
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"tsso_server_net_init: network context couldnt initialized\n");
        return -1;
    }
    net_set_recv_timeout(handle, 0, 0);
    g_server.handle = handle;
    g_server.port = port;
    SSOclient_set_server_port(port);
    log_write(LOG_MSG, u"tsso_server_net_init: network context initialized\n");
    return 0;
}

int
tsso_server_net_open()
{
    net_handle *handle = server_handle();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"tsso_server_net_open: network context is not initialized yet\n");
        return -1;
    }
    return net_open(handle, NET_TRANSPORT_UDP);
}

void
tsso_server_net_fini()
{
    net_handle *handle;
    {
        std::lock_guard guard(g_server.lock);
        handle = g_server.handle;
        g_server.handle = nullptr;
    }
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"tsso_server_net_fini: network context is not initialized yet\n");
        return;
    }
    net_fini(handle);
    log_write(LOG_DEBUG, u"tsso_server_net_fini: network context destroyed\n");
}

long long
tsso_server_net_recvfrom(void *buffer, std::size_t capacity, net_sockaddr *source,
                         std::uint32_t *source_length)
{
    net_handle *handle = server_handle();
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"tsso_server_net_recvfrom: network context is not initialized yet\n");
        return -1;
    }
    return net_recvfrom(handle, buffer, capacity, source, source_length);
}

std::uint16_t
tsso_server_get_port()
{
    return g_server.port.load();
}

void
SSO_server_thread(void *)
{
    for (;;) {
        if (SSO_server_RecvReqGW() == 0) {
            log_write(LOG_ERROR, u"SSO_server_thread: SSO_server Receive Request Failed\n");
        }
    }
}

int
SSO_server_RecvReqGW()
{
    // One byte more than a request may hold: a datagram that fills it was longer than 512
    // bytes (the receive cuts longer datagrams without failing).
    std::uint8_t buffer[SSO_REQUEST_MAX_BYTES + 1];
    net_sockaddr source{};
    std::uint32_t source_length = sizeof source.bytes;
    long long n = tsso_server_net_recvfrom(buffer, sizeof buffer, &source, &source_length);
    if (n < 0) {
        log_write(LOG_ERROR, u"SSO_server_RecvReqGW: receive failed: %d\n", n);
        return 0;
    }
    if (n == 0) {
        log_write(LOG_DEBUG, u"SSO_server_RecvReqGW: connection closed\n");
        return 0;
    }
    if (static_cast<std::size_t>(n) > SSO_REQUEST_MAX_BYTES) {
        log_write(LOG_ERROR, u"SSO_server_RecvReqGW: datagram longer than %d bytes dropped\n",
                  SSO_REQUEST_MAX_BYTES);
        return 0;
    }
    if (n < static_cast<long long>(SSO_HEADER_BYTES)) {
        log_write(LOG_ERROR, u"SSO_server_RecvReqGW: datagram truncated, bytes received: %d\n", n);
        return 0;
    }
    log_write(LOG_DEBUG, u"SSO_server_RecvReqGW: %d bytes received\n", n);

    char16_t sender[SENDER_UNITS];
    std::uint32_t units = SENDER_UNITS;
    if (convert_netaddr_to_str(source.bytes, source_length, sender, &units) != 0) {
        log_write(LOG_ERROR, u"SSO_server_RecvReqGW: net address to string conversion failed\n");
        return 0;
    }
    for (char16_t *c = sender; *c != 0; ++c) {
        if (*c == u':') {
            *c = 0; // the port is not part of the appliance's identity
            break;
        }
    }
    return SSO_server_handle_datagram(buffer, static_cast<std::size_t>(n), sender);
}

namespace {

// The item of a Workstation-Poll or Logout Request: its value and length, or false (logged) when
// the datagram ends before the item does.
bool
request_item(const std::uint8_t *datagram, std::size_t length, const std::uint8_t **value,
             std::size_t *value_length)
{
    if (length < ITEM_OFFSET || length < ITEM_OFFSET + datagram[6]) {
        log_write(LOG_ERROR,
                  u"SSO_server_RecvReqGW: request too short for its item, bytes received: %d\n",
                  length);
        return false;
    }
    *value = datagram + ITEM_OFFSET;
    *value_length = datagram[6];
    return true;
}

void
handle_wrkstpoll_datagram(const std::uint8_t *datagram, std::size_t length, const char16_t *sender)
{
    if (length > SSO_HEADER_BYTES && datagram[5] != SSO_ITEM_REQ_WRKST_IP) {
        log_write(LOG_ERROR, u"SSO_server_RecvReqGW: Invalid TLV Type: %d\n", datagram[5]);
        return;
    }
    const std::uint8_t *value;
    std::size_t value_length;
    if (!request_item(datagram, length, &value, &value_length)) {
        return;
    }
    char text[WRKST_VALUE_BYTES + 1] = {};
    std::memcpy(text, value, value_length < WRKST_VALUE_BYTES ? value_length : WRKST_VALUE_BYTES);
    char16_t workstation[WRKST_VALUE_BYTES] = {};
    if (convert_ascii_to_unicode(text, workstation, WRKST_VALUE_BYTES) < 0) {
        return;
    }
    (void)SSO_server_handle_wrkstpoll_req(workstation, sender);
}

void
handle_logout_datagram(const std::uint8_t *datagram, std::size_t length)
{
    if (length > SSO_HEADER_BYTES && datagram[5] != SSO_ITEM_REQ_CSV_IPS) {
        log_write_a(LOG_ERROR, "SSO_server_RecvReqGW: Invalid TLV Type: %d, CSV HOST IPs missing\n",
                    datagram[5]);
        return;
    }
    const std::uint8_t *value;
    std::size_t value_length;
    if (!request_item(datagram, length, &value, &value_length)) {
        return;
    }
    char text[SSO_REQUEST_MAX_BYTES] = {};
    std::memcpy(text, value, value_length); // at most 255 bytes
    log_write_a(LOG_DEBUG, "SSO_server_RecvReqGW: Logout Request, LEN:%d, CSV IPs (%s)\n",
                static_cast<int>(value_length), static_cast<const char *>(text));
    char16_t list[SSO_REQUEST_MAX_BYTES] = {};
    if (convert_ascii_to_unicode(text, list, SSO_REQUEST_MAX_BYTES) < 0) {
        return;
    }
    // The store accepts only a list of quoted IPv4 addresses and binds each one.
    (void)userinfo_db_delete_logout_users(list);
}

} // namespace

int
SSO_server_handle_datagram(const std::uint8_t *datagram, std::size_t length, const char16_t *sender)
{
    if (datagram == nullptr || length < SSO_HEADER_BYTES) {
        log_write(LOG_ERROR, u"SSO_server_RecvReqGW: datagram truncated, bytes received: %d\n",
                  length);
        return 0;
    }
    if (SSOclient_find_gwnode(sender) == nullptr) {
        log_write(LOG_MSG, u"SSO_server_RecvReqGW: GW '%s' is not Registered\n", sender);
        return 1;
    }
    std::int32_t stated = sso_get_length(datagram);
    log_write(LOG_DEBUG, u"SSO_server_RecvReqGW: packet size: %d\n", stated);
    if (stated > 0 && length < static_cast<std::size_t>(stated)) {
        log_write(LOG_ERROR, u"SSO_server_RecvReqGW: incomplete request message received\n");
        return 0;
    }
    switch (datagram[0]) {
    case SSO_CODE_WRKSTPOLL:
        handle_wrkstpoll_datagram(datagram, length, sender);
        break;
    case SSO_CODE_GETALLUSERS:
        (void)SSO_server_handle_getallusers_req(sender);
        break;
    case SSO_CODE_LOGOUT_REQUEST:
        handle_logout_datagram(datagram, length);
        break;
    case SSO_CODE_IS_ACTIVE:
        (void)SSO_server_handle_active_request(sender);
        break;
    case SSO_CODE_LIVE_NACK:
    case SSO_CODE_LIVE_OFF:
        (void)SSO_server_handle_response(sender, datagram[0]);
        break;
    default:
        log_write(LOG_ERROR, u"SSO_server_RecvReqGW: Invalid Request Message Code: %d\n",
                  datagram[0]);
        break;
    }
    return 1;
}

int
SSO_server_handle_wrkstpoll_req(const char16_t *workstation, const char16_t *appliance)
{
    log_write(LOG_DEBUG, u"SSO_server_handle_wrkstpoll_req: Request Type: Workstation-Poll\n");
    gw_node *node = SSOclient_find_gwnode(appliance);
    if (node == nullptr) {
        log_write(LOG_ERROR, u"SSO_server_handle_wrkstpoll_req: GW '%s' is not Registered\n",
                  appliance);
        return -1;
    }
    std::uint16_t expected = 0;
    if (node->active_state.compare_exchange_strong(expected, 2)) {
        update_active_status(0, 2);
        if (threadpool_run(SSOclient_update_active_gw_file, nullptr, 1) != 0) {
            log_write(LOG_ERROR, u"SSO_server_handle_wrkstpoll_req: active appliance file "
                                 u"update couldnt be submitted\n");
        }
    }
    if (SSOclient_filter_GW_subnet(node, workstation) < 1) {
        log_write(LOG_ERROR,
                  u"SSO_server_handle_wrkstpoll_req: poll req for '%s' from '%s' filtered out\n",
                  workstation, appliance);
        return -1;
    }
    userinfo_ptr record(userdb_allocate_userinfo());
    if (record == nullptr) {
        log_write(LOG_ERROR, u"SSO_server_handle_wrkstpoll_req: userinfo allocation failed\n");
        return -1;
    }
    record->RequestingGW = node;
    record->WrkstIP = tsso_string_dup_w(workstation);
    record->Flags = UI_FLAG_POLL_REQUEST;
    log_write(LOG_MSG, u"SSO_server_handle_wrkstpoll_req: Workstation IP: %s\n", workstation);

    userdb_callback_context context{node, nullptr};
    int found = userinfo_db_process_known(record->WrkstIP, SSO_server_enqueue_update_req, &context);
    if (found == 1) {
        log_write(LOG_MSG, u"SSO_server_handle_wrkstpoll_req: matched userinfo found\n");
        return 0;
    }
    if (found < 0) {
        log_write(LOG_ERROR, u"SSO_server_handle_wrkstpoll_req: userinfo existance check failed\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"SSO_server_handle_wrkstpoll_req: no matched userinfo found\n");
    if (threadpool_run(wrkstpoll_dispatch, record.get(), 1) != 0) {
        log_write(LOG_ERROR, u"SSO_server_handle_wrkstpoll_req: callback submition failed\n");
        return -1;
    }
    (void)record.release(); // the poll job has it
    log_write(LOG_DEBUG, u"SSO_server_handle_wrkstpoll_req: callback submitted\n");
    return 0;
}

void
SSO_server_set_getallusers_rate(std::uint32_t per_second)
{
    g_server.getall_rate = per_second;
}

int
SSO_server_handle_getallusers_req(const char16_t *appliance)
{
    log_write(LOG_DEBUG, u"SSO_server_handle_getallusers_req: Request Type: GetAllUsers\n");
    log_write(LOG_DEBUG, u"SSO_server_handle_getallusers_req: Request received from GW: %s\n",
              appliance);
    gw_node *node = SSOclient_find_gwnode(appliance);
    if (node == nullptr) {
        log_write(LOG_ERROR, u"SSO_server_handle_getallusers_req: GW '%s' is not Registered\n",
                  appliance);
        return -1;
    }
    // One replay per appliance at a time, on a pool worker: a request that arrives while its
    // appliance's replay runs would only send the same rows again, and anyone can forge one.
    if (node->getall_pending.exchange(true)) {
        log_write(LOG_ERROR,
                  u"SSO_server_handle_getallusers_req: GetAllUsers from GW '%s' dropped: its "
                  u"previous one is still being answered\n",
                  appliance);
        return 0;
    }
    if (threadpool_run(replay_all_users, node, 1) != 0) {
        node->getall_pending = false;
        log_write(LOG_ERROR,
                  u"SSO_server_handle_getallusers_req: GetAllUsers job couldnt be submitted\n");
        return -1;
    }
    return 0;
}

int
SSO_server_handle_response(const char16_t *appliance, int code)
{
    gw_node *node = SSOclient_find_gwnode(appliance);
    if (node == nullptr) {
        log_write(LOG_ERROR, u"SSO_server_handle_response: Appliance %s not registered\n",
                  appliance);
        return -1;
    }
    std::uint16_t state;
    if (code == SSO_CODE_LIVE_NACK) {
        state = 0;
    } else if (code == SSO_CODE_LIVE_OFF) {
        state = 1;
    } else {
        log_write(LOG_DEBUG, u"SSO_server_handle_response: Invalid Message Code\n");
        return 0;
    }
    SSOclient_set_active_state(node, state);
    if (code == SSO_CODE_LIVE_NACK) {
        log_write(LOG_DEBUG, u"SSO_server_handle_response: received live_nack\n");
    } else {
        log_write(LOG_DEBUG, u"SSO_server_handle_response: received live_off\n");
    }
    if (threadpool_run(SSOclient_update_active_gw_file, nullptr, 1) != 0) {
        log_write(LOG_ERROR, u"SSO_server_handle_response: active appliance file update "
                             u"couldnt be submitted\n");
    }
    return 0;
}

int
SSO_server_handle_transit_time_user_req(gw_node *node)
{
    if (node == nullptr) {
        log_write(LOG_ERROR, u"SSO_server_handle_transit_time_user_req: gw_handle NULL\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"SSO_server_handle_transit_time_user_req: Request received from GW: %s\n",
              node->name);
    (void)replay_logons(node, static_cast<std::int32_t>(std::time(nullptr)) - USERDB_TRANSIT_TIME,
                        0);
    return 0;
}

void
SSO_server_enqueue_update_req(userdb_callback_context *context)
{
    // Called under the store's lock (a workstation poll's few rows): it must not wait.
    (void)enqueue_logon(context, gw_update_queue_enqueue);
}

int
SSO_server_handle_active_request(const char16_t *address)
{
    gw_node *node = SSOclient_find_gwnode(address);
    if (node == nullptr) {
        log_write(LOG_ERROR, u"SSO_server_handle_active_request: Appliance %s not is list\n",
                  address);
    } else {
        log_write(LOG_ERROR,
                  u"SSO_server_handle_active_request:  IS_ACTIVE received from appliance %s\n",
                  address);
        std::vector<std::uint8_t> reply = sso_build_active_reply(tsso_server_get_port());
        SSOclient_set_active_state(node, 2);
        if (net_send(node->handle, reply.data(), reply.size()) != 1) {
            log_write(LOG_ERROR,
                      u"SSO_server_handle_active_request: Sending Active message failed\n");
        }
        // One resend waits or runs per appliance: repeated IS_ACTIVE requests cannot fill the
        // pool with sleeping jobs (the next request after the resend schedules a new one).
        if (!node->transit_pending.exchange(true) &&
            threadpool_run(transit_time_user_logon_thread, node, 1) != 0) {
            node->transit_pending = false;
            log_write(LOG_ERROR, u"SSO_server_handle_active_request: transit time user job "
                                 u"couldnt be submitted\n");
        }
    }
    if (threadpool_run(SSOclient_update_active_gw_file, nullptr, 1) != 0) {
        log_write(LOG_ERROR, u"SSO_server_handle_active_request: active appliance file update "
                             u"couldnt be submitted\n");
    }
    return 0;
}

void
SSOclient_set_transit_delay_ms(unsigned int milliseconds)
{
    g_server.transit_delay_ms = milliseconds;
}

void
transit_time_user_logon_thread(void *argument)
{
    auto *node = static_cast<gw_node *>(argument);
    std::this_thread::sleep_for(std::chrono::milliseconds(g_server.transit_delay_ms.load()));
    if (node->active_state.load() > 0) {
        log_write(LOG_ERROR, u"transit_time_user_logon_thread: going to get transit time user "
                             u"information\n");
        (void)SSO_server_handle_transit_time_user_req(node);
    } else {
        log_write(LOG_ERROR,
                  u"transit_time_user_logon_thread: Not a Primary Collector for appliance %s\n",
                  node->name);
    }
    // Pending until the resend is queued: it may wait for room in the update queue, and a
    // second resend for the same appliance must not run beside it.
    node->transit_pending = false;
}
