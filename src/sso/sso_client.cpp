// The appliance update client: the node list, the update and heartbeat threads and the
// active-appliance file.

#include "sso/sso_client.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "common/log.h"
#include "common/net.h"
#include "common/text.h"
#include "common/text_file.h"
#include "common/threadpool.h"
#include "config/config_lists.h"
#include "logoff/active_status.h"
#include "platform/netaddr.h"
#include "platform/socket.h"
#include "sso/sso_wire.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userinfo.h"

namespace {

constexpr std::size_t PATH_UNITS = 2048;

struct client_state {
    std::atomic<gw_node *> list{nullptr}; // the configuration list; registered nodes have a handle
    std::mutex file_lock;                 // held from opening active-appliance.log to its close
    char16_t file_path[PATH_UNITS] = {};
    std::atomic<std::uint16_t> server_port{SSO_DEFAULT_SERVER_PORT}; // carried by the heartbeat
};
// Never destroyed: pool jobs may still use it while the process ends.
client_state &g_client = *new client_state;

void
sleep_ms(unsigned int milliseconds)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

bool
send_datagram(gw_node *node, const std::vector<std::uint8_t> &datagram)
{
    return net_send(node->handle, datagram.data(), datagram.size()) == 1;
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
            SSOclient_set_active_state(node, 0);
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

void
SSOclient_send_heartbeats()
{
    std::vector<std::uint8_t> heartbeat = sso_build_heartbeat(g_client.server_port.load());
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

void
SSOclient_set_server_port(std::uint16_t port)
{
    g_client.server_port = port;
}

void
SSOclient_set_active_state(gw_node *node, std::uint16_t state)
{
    std::uint16_t old = node->active_state.exchange(state);
    update_active_status(old, state);
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
