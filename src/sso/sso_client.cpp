// The appliance update client: the node list, the update and heartbeat threads, the logon and
// logout datagram, the active reply and the active-appliance file.

#include "sso/sso_client.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "common/log.h"
#include "common/net.h"
#include "common/pc1.h"
#include "common/text.h"
#include "common/text_file.h"
#include "common/threadpool.h"
#include "base/utf.h"
#include "config/config_lists.h"
#include "logoff/active_status.h"
#include "platform/netaddr.h"
#include "platform/socket.h"
#include "sso/sso_server.h"
#include "sso/sso_wire.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userinfo.h"

// Printable, so that the clear part of a datagram reads as text in a capture.
const std::uint8_t SSO_PACKET_KEY[10] = {'N', 'i', 'v', 'o', 'G', 'w', 'L', 'i', 'n', 'k'};

namespace {

constexpr std::size_t PATH_UNITS = 2048;
constexpr std::int32_t MAX_LOGON_TYPE = 9999;
constexpr std::size_t MAX_ESTIMATE = 9999;
constexpr std::size_t MAX_ITEM_VALUE = 255; // one length byte, the 0x00 included

struct client_state {
    std::atomic<gw_node *> list{nullptr}; // the configuration list; registered nodes have a handle
    std::mutex file_lock;                 // held from opening active-appliance.log to its close
    char16_t file_path[PATH_UNITS] = {};
    std::atomic<unsigned int> transit_delay_ms{SSO_TRANSIT_DELAY_SECONDS * 1000};
};
// Never destroyed: pool jobs may still use it while the process ends.
client_state &g_client = *new client_state;

// The cipher's output area. The update thread is its only user in the service; one per thread
// keeps a test or tool that builds datagrams on another thread apart from it.
thread_local char t_payload_area[SSO_PAYLOAD_AREA_BYTES];

void
sleep_ms(unsigned int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// A UTF-16 field as UTF-8 with its terminating 0x00.
std::string
item_value(const char16_t *text)
{
    std::string out;
    std::size_t n = wtext_length(text);
    for (std::size_t i = 0; i < n;) {
        std::size_t used;
        char32_t cp = utf16_decode(text + i, n - i, &used);
        char units[4];
        out.append(units, static_cast<std::size_t>(utf_encode<char>(cp, units)));
        i += used;
    }
    out.push_back('\0');
    return out;
}

bool
send_datagram(gw_node *node, const std::vector<std::uint8_t> &datagram)
{
    return net_send(node->handle, datagram.data(), datagram.size()) == 1;
}

void
set_state(gw_node *node, std::uint16_t state)
{
    std::uint16_t old = node->active_state.exchange(state);
    update_active_status(old, state);
}

} // namespace

int
SSOclient_init(gw_node *list, const char16_t *base_directory)
{
    log_write(LOG_NOTICE, u"SSOclient_thread: SSO Client Init\n");
    for (gw_node *entry = list; entry != nullptr; entry = entry->next) {
        entry->active_state = 0;
        entry->transit_pending = false;
        entry->getall_pending = false;
        net_handle *handle = SSOclient_gw_init(entry->name, entry->port);
        if (handle != nullptr) {
            (void)SSOclient_add_gwnode(entry, handle);
        }
    }
    g_client.list = list;
    std::lock_guard guard(g_client.file_lock);
    g_client.file_path[0] = 0;
    if (base_directory != nullptr) {
        (void)config_string_cat(base_directory, u"active-appliance.log", g_client.file_path,
                                sizeof g_client.file_path);
    }
    return 0;
}

void
SSOclient_fini()
{
    gw_node *list = g_client.list.exchange(nullptr);
    for (gw_node *node = list; node != nullptr; node = node->next) {
        if (node->handle != nullptr) {
            set_state(node, 0);
            net_fini(node->handle);
            node->handle = nullptr;
        }
    }
}

net_handle *
SSOclient_gw_init(const char16_t *address, std::uint16_t port)
{
    if (address == nullptr) {
        log_write(LOG_ERROR, u"SSOclient_gw_init: GW Logon Server IP is NULL\n");
        return nullptr;
    }
    if (port == 0) {
        port = SSO_DEFAULT_GW_PORT;
    }
    net_handle *handle = net_init(address, port, NET_MODE_CLIENT);
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"SSOclient_gw_init: network initialization failed for GW: %s:%d\n",
                  address, port);
        return nullptr;
    }
    if (net_open(handle, NET_TRANSPORT_UDP) != 0) {
        log_write(LOG_ERROR, u"SSOclient_gw_init: network connection failed for GW: %s:%d\n",
                  address, port);
        net_fini(handle);
        return nullptr;
    }
    return handle;
}

int
SSOclient_add_gwnode(gw_node *entry, net_handle *handle)
{
    if (entry == nullptr || handle == nullptr) {
        log_write(LOG_ERROR, u"SSOclient_add_gwnode: SSO GW Node allocation failed\n");
        return -1;
    }
    // The configuration entry is the node: it already stands in list order.
    entry->handle = handle;
    log_write(LOG_MSG, u"SSOclient_thread: Added GW Node. %s:%d\n", entry->name,
              SSOclient_gw_port(entry));
    return 0;
}

gw_node *
SSOclient_first_gwnode()
{
    gw_node *node = g_client.list.load();
    while (node != nullptr && node->handle == nullptr) {
        node = node->next;
    }
    return node;
}

gw_node *
SSOclient_next_gwnode(const gw_node *node)
{
    gw_node *next = node != nullptr ? node->next : nullptr;
    while (next != nullptr && next->handle == nullptr) {
        next = next->next;
    }
    return next;
}

gw_node *
SSOclient_find_gwnode(const char16_t *address)
{
    if (address == nullptr) {
        return nullptr;
    }
    for (gw_node *node = SSOclient_first_gwnode(); node != nullptr;
         node = SSOclient_next_gwnode(node)) {
        if (wtext_equal_nocase(node->name, address)) {
            return node;
        }
    }
    return nullptr;
}

std::uint16_t
SSOclient_gw_port(const gw_node *node)
{
    return node == nullptr || node->port == 0 ? SSO_DEFAULT_GW_PORT : node->port;
}

void
SSOclient_thread(void *)
{
    for (;;) {
        log_write(LOG_ERROR, u"GETTING (USERINFO) FROM QUEUE");
        UserInfo *record = gw_update_queue_dequeue();
        if (record == nullptr) {
            log_write(LOG_DEBUG, u"SSOclient_thread: GW Update Queue is Empty\n");
            sleep_ms(10000);
            continue;
        }
        SSOclient_process_record(record);
    }
}

void
SSOclient_process_record(UserInfo *taken)
{
    userinfo_ptr record(taken);
    if (record == nullptr) {
        return;
    }
    log_write(LOG_MSG, u"SSOclient_thread: got userinfo: USER: %s\\%s <-> Flags: %d\n",
              record->Domain, record->User, record->Flags);
    if (gw_node *target = record->RequestingGW; target != nullptr) {
        // An answer to this appliance's own request: whatever its state and networks.
        (void)SSOclient_update_GW(target, record.get());
        log_write(LOG_MSG, u"SSOclient_thread: Logon/Logout Update sent to: %s:%d\n", target->name,
                  SSOclient_gw_port(target));
        return;
    }
    for (gw_node *node = SSOclient_first_gwnode(); node != nullptr;
         node = SSOclient_next_gwnode(node)) {
        if (node->active_state.load() == 0) {
            continue;
        }
        if (SSOclient_filter_GW_subnet(node, record->WrkstIP) > 0) {
            (void)SSOclient_update_GW(node, record.get());
            log_write(LOG_MSG, u"SSOclient_thread: Logon/Logout Update sent to: %s:%d\n",
                      node->name, SSOclient_gw_port(node));
        } else {
            log_write(LOG_MSG, u"SSOclient_thread: Logon/Logout Update Filtered out for %s:%d\n",
                      node->name, SSOclient_gw_port(node));
        }
    }
}

int
SSOclient_filter_GW_subnet(const gw_node *node, const char16_t *wrkst_ip)
{
    log_write(LOG_DEBUG, u"SSOclient_filter_GW_subnet: Entering filter function\n");
    if (node == nullptr || wrkst_ip == nullptr) {
        log_write(LOG_ERROR, u"SSOclient_filter_GW_subnet: GW detail or userinfo is NULL\n");
        return -1;
    }
    // The address is read before the networks are looked at: an appliance that serves every
    // network still cannot use a workstation address that is not IPv4.
    log_write(LOG_MSG, u"SSOclient_filter_GW_subnet: Workstation IP: %s\n", wrkst_ip);
    if (platform_net_startup() != 0) {
        log_write(LOG_ERROR, u"SSOclient_filter_GW_subnet: WSA Initialization failed\n");
        return -1;
    }
    std::uint32_t address = 0;
    int error = platform_ipv4_from_text(wrkst_ip, &address);
    platform_net_cleanup();
    if (error != 0) {
        log_write(LOG_ERROR,
                  u"SSOclient_filter_GW_subnet: ip string to address translation failed: %d\n",
                  error);
        return -1;
    }
    if (node->networks == nullptr) {
        log_write(LOG_DEBUG,
                  u"SSOclient_filter_GW_subnet: authnet not specified, send reqiest to GW\n");
        return 1;
    }
    for (const gw_net_node *net = node->networks; net != nullptr; net = net->next) {
        log_write(LOG_DEBUG, u"SSOclient_filter_GW_subnet   %s:%d:0x%08x:0x%08x\n", node->name,
                  SSOclient_gw_port(node), net->network, net->mask);
        if ((address & net->mask) == net->network) {
            return 1;
        }
    }
    log_write(LOG_DEBUG, u"SSOclient_filter_GW_subnet: Workstation  filtered out\n");
    return 0;
}

int
SSOclient_build_update(const UserInfo *record, std::vector<std::uint8_t> *out)
{
    if (record == nullptr || out == nullptr) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: Invalid Input Arguments\n");
        return -1;
    }
    std::uint8_t code;
    if (record->Flags == UI_FLAG_LOGON) {
        code = SSO_CODE_LOGON;
    } else if (record->Flags == UI_FLAG_LOGOUT) {
        code = SSO_CODE_LOGOUT;
    } else {
        log_write(LOG_ERROR, u"SSOclient_update_GW: userinfo flag invalid\n");
        return -1;
    }

    // The size estimate E: the header and logon-type item, and two bytes per UTF-16 unit plus
    // four for each text present. The body holds E - 5 bytes.
    const char16_t *const fields[4] = {record->User, record->WrkstIP, record->Group,
                                       record->Domain};
    std::size_t estimate = 11;
    for (const char16_t *field : fields) {
        if (field != nullptr) {
            estimate += 2 * wtext_length(field) + 4;
        }
    }
    if (record->Domain != nullptr) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: domain name is there with length %d , %s\n",
                  wtext_length(record->Domain), record->Domain);
    } else {
        log_write(LOG_ERROR, u"SSOclient_update_GW: no domain name\n");
    }
    if (estimate > MAX_ESTIMATE) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: packet size is too long\n");
        return -1;
    }
    if (static_cast<std::uint32_t>(record->LogonType) > MAX_LOGON_TYPE) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: logon type value is too big\n");
        return -1;
    }

    try {
        std::vector<std::uint8_t> body;
        body.reserve(estimate);
        std::string digits = std::to_string(record->LogonType);
        digits.resize(4, '\0');
        body.push_back(SSO_ITEM_LOGON_TYPE);
        body.push_back(4);
        body.insert(body.end(), digits.begin(), digits.end());

        static constexpr std::uint8_t types[4] = {SSO_ITEM_USER, SSO_ITEM_WRKST_IP, SSO_ITEM_GROUP,
                                                  SSO_ITEM_DOMAIN};
        for (int i = 0; i < 4; ++i) {
            if (fields[i] == nullptr) {
                continue;
            }
            std::string value = item_value(fields[i]);
            if (value.size() > MAX_ITEM_VALUE) {
                // The length byte cannot say more; a cut name would name someone else.
                log_write(LOG_ERROR,
                          u"SSOclient_update_GW: item %d too long for the datagram: %d bytes\n",
                          static_cast<int>(types[i]), value.size());
                return -1;
            }
            body.push_back(types[i]);
            body.push_back(static_cast<std::uint8_t>(value.size()));
            body.insert(body.end(), value.begin(), value.end());
            int length = static_cast<int>(value.size());
            switch (types[i]) {
            case SSO_ITEM_USER:
                log_write(LOG_ERROR, u"USERNAME %s Length %d\n", fields[i], length);
                break;
            case SSO_ITEM_WRKST_IP:
                log_write(LOG_ERROR, u"WORKSTN IP %s Length %d\n", fields[i], length);
                break;
            case SSO_ITEM_GROUP:
                log_write(LOG_ERROR, u"GROUP %s Length %d\n", fields[i], length);
                break;
            default:
                log_write(LOG_ERROR, u"DOMAIN %s Length %d\n", fields[i], length);
                break;
            }
        }
        // Characters above U+07FF take three UTF-8 bytes for one UTF-16 unit, so the items can
        // outgrow the estimate: the body then grows to hold them whole.
        std::size_t body_size = estimate - SSO_HEADER_BYTES;
        if (body.size() > body_size) {
            body_size = body.size();
        }
        if (body_size > SSO_PAYLOAD_MAX_BYTES) {
            log_write(LOG_ERROR,
                      u"SSOclient_update_GW: packet body of %d bytes is longer than %d bytes\n",
                      body_size, SSO_PAYLOAD_MAX_BYTES);
            return -1;
        }
        body.resize(body_size, 0);

        long encoded = SSOclient_encode_payload(body.data(), body.size());
        if (encoded < 0) {
            log_write(LOG_ERROR, u"SSOclient_update_GW: payload encoding failed\n");
            return -1;
        }
        out->assign(SSO_HEADER_BYTES, 0);
        (*out)[0] = code;
        out->insert(out->end(), t_payload_area, t_payload_area + encoded);
        sso_put_length(out->data(), out->size());
        char shown[5] = {};
        std::memcpy(shown, out->data() + 1, 4);
        log_write(LOG_ERROR, u"SSOclient : PACKET SIZE %d %S ", out->size(),
                  static_cast<const char *>(shown));
    } catch (const std::bad_alloc &) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: Memory Allocation Failed\n");
        return -1;
    }
    return 0;
}

int
SSOclient_update_GW(gw_node *node, const UserInfo *record)
{
    if (node == nullptr || node->handle == nullptr) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: Invalid Input Arguments\n");
        return -1;
    }
    std::vector<std::uint8_t> datagram;
    if (SSOclient_build_update(record, &datagram) != 0) {
        return -1;
    }
    if (!send_datagram(node, datagram)) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: User Logon/Logout Update Request Failed\n");
        return -1;
    }
    return 0;
}

long
SSOclient_encode_payload(const std::uint8_t *bytes, std::size_t count)
{
    if (bytes == nullptr || count > SSO_PAYLOAD_MAX_BYTES) {
        return -1;
    }
    std::memset(t_payload_area, 0, sizeof t_payload_area);
    return pc1_encipher_text(SSO_PACKET_KEY, bytes, count, t_payload_area, sizeof t_payload_area);
}

const char *
SSOclient_payload_output()
{
    return t_payload_area;
}

void
SSOclient_send_heartbeats()
{
    std::vector<std::uint8_t> heartbeat = sso_build_heartbeat(tsso_server_get_port());
    for (gw_node *node = SSOclient_first_gwnode(); node != nullptr;
         node = SSOclient_next_gwnode(node)) {
        std::uint16_t state = node->active_state.load();
        log_write(LOG_MSG, u"SSO_client_update_heartbeat: gw_node:%s is_active:%d\n", node->name,
                  state);
        if (state == 2 && !send_datagram(node, heartbeat)) {
            log_write(LOG_ERROR,
                      u"SSO_client_update_heartbeat: Sending Heartbeat Request Failed\n");
        }
    }
}

void
SSO_client_update_heartbeat(void *)
{
    if (threadpool_run(SSOclient_update_active_gw_file, nullptr, 1) != 0) {
        log_write(LOG_ERROR, u"SSO_client_update_heartbeat: active appliance file update "
                             u"couldnt be submitted\n");
    }
    for (;;) {
        SSOclient_send_heartbeats();
        sleep_ms(SSO_HEARTBEAT_SECONDS * 1000);
    }
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
        set_state(node, 2);
        if (!send_datagram(node, reply)) {
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
    g_client.transit_delay_ms = milliseconds;
}

void
transit_time_user_logon_thread(void *argument)
{
    auto *node = static_cast<gw_node *>(argument);
    sleep_ms(g_client.transit_delay_ms.load());
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

void
SSOclient_update_active_gw_file(void *)
{
    std::lock_guard guard(g_client.file_lock);
    if (g_client.file_path[0] == 0) {
        log_write(LOG_ERROR, u"SSOclient_update_active_gw_file: file path is not set\n");
        return;
    }
    text_file *file = text_file_open(g_client.file_path, "wb+", TEXT_FILE_SYSTEM);
    if (file == nullptr) {
        log_write(LOG_ERROR, u"SSOclient_update_active_gw_file: %s couldnt be opened\n",
                  static_cast<const char16_t *>(g_client.file_path));
        return;
    }
    bool written = true;
    for (gw_node *node = SSOclient_first_gwnode(); node != nullptr;
         node = SSOclient_next_gwnode(node)) {
        if (node->active_state.load() != 0) {
            written = text_file_write_line(file, node->name) && written;
        }
    }
    // Closed under the lock: a rewrite that starts meanwhile must not be overwritten by this
    // one's last buffered lines.
    text_file_close(file);
    if (!written) {
        log_write(LOG_ERROR, u"SSOclient_update_active_gw_file: %s couldnt be written\n",
                  static_cast<const char16_t *>(g_client.file_path));
        return;
    }
    log_write(LOG_ERROR, u"SSOclient_update_active_gw_file: updated successfully \n");
}
