// The primary/backup pair: the primary's accept loop and the backup's liveness checks.

#include "dca/dca_ha.h"

#include <atomic>
#include <mutex>

#include "common/log.h"
#include "common/net.h"
#include "common/stop_signal.h"
#include "config/config.h"
#include "dca/dca_netsession.h"

namespace {

// One role's handle (under the state's lock) and the stop of its loop.
struct ha_role {
    net_handle *handle = nullptr;
    stop_signal stop;
};

struct ha_state {
    std::mutex lock;
    ha_role primary;
    ha_role backup;
    std::uint16_t primary_port = 0;
    // Whether the primary's socket listens; only then can a stop wake its blocking accept.
    std::atomic<bool> primary_listening{false};
    std::atomic<unsigned int> check_period_ms{DCA_HA_CHECK_PERIOD_MS};
};
ha_state g_ha;

// A new handle for the role, replacing one left by an earlier call (tests start a role again).
void
ha_replace_handle(ha_role &role, net_handle *handle)
{
    net_handle *old = nullptr;
    {
        std::lock_guard guard(g_ha.lock);
        old = role.handle;
        role.handle = handle;
    }
    role.stop.reset();
    if (old != nullptr) {
        net_fini(old);
    }
}

net_handle *
ha_handle(ha_role &role)
{
    std::lock_guard guard(g_ha.lock);
    return role.handle;
}

int
ha_init_primary(const config_record *cfg)
{
    g_ha.primary_listening = false;
    net_handle *handle = net_init(nullptr, cfg->monitored_port, NET_MODE_SERVER);
    ha_replace_handle(g_ha.primary, handle);
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"dca_ha_init: network context couldnt initialized\n");
        return -1;
    }
    g_ha.primary_port = cfg->monitored_port;
    if (net_open(handle, NET_TRANSPORT_TCP) != 0) {
        log_write(LOG_ERROR, u"dca_ha_init: Couldn't open network connection \n");
        return -1;
    }
    g_ha.primary_listening = true;
    dca_set_poll_dc(1);
    return 0;
}

int
ha_init_backup(const config_record *cfg)
{
    net_handle *handle = net_init(cfg->monitoring_ip, cfg->monitoring_port, NET_MODE_CLIENT);
    ha_replace_handle(g_ha.backup, handle);
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"dca_ha_init: network context couldnt initialized\n");
        return -1;
    }
    dca_set_poll_dc(0); // the backup starts silent
    return 0;
}

// One check of the backup: whether one of three connects in a row reached the primary. The
// connection is dropped at once, with nothing sent.
bool
ha_primary_reachable(net_handle *handle)
{
    bool reached = false;
    for (int attempt = 0; attempt < 3 && !reached; ++attempt) {
        if (net_open(handle, NET_TRANSPORT_TCP) == 0) {
            reached = true;
        } else {
            net_close(handle);
        }
    }
    net_close(handle);
    return reached;
}

} // namespace

int
dca_ha_init(const config_record *cfg)
{
    if (cfg == nullptr) {
        log_write(LOG_ERROR, u"dca_ha_init: Invalid Input Parameter\n");
        return -1;
    }
    return cfg->ha_mode == HA_MODE_PRIMARY ? ha_init_primary(cfg) : ha_init_backup(cfg);
}

void
dca_ha_primary_thread(void *)
{
    net_handle *handle = ha_handle(g_ha.primary);
    bool failure_logged = false;
    while (!g_ha.primary.stop.stopping()) {
        net_sockaddr peer{};
        std::uint32_t length = sizeof peer;
        platform_socket_t accepted = net_accept(handle, &peer, &length);
        if (accepted != PLATFORM_INVALID_SOCKET) {
            platform_socket_close(accepted);
            failure_logged = false;
            continue;
        }
        // A socket that could not be opened fails every accept at once: pause rather than spin.
        if (!failure_logged) {
            log_write(LOG_ERROR, u"dca_ha_primary_thread: accept failed, retrying every %d ms\n",
                      static_cast<int>(DCA_HA_ACCEPT_RETRY_MS));
            failure_logged = true;
        }
        if (g_ha.primary.stop.pause(DCA_HA_ACCEPT_RETRY_MS)) {
            break;
        }
    }
    g_ha.primary_listening = false;
    if (handle != nullptr) {
        net_close(handle);
    }
}

void
dca_ha_backup_thread(void *)
{
    net_handle *handle = ha_handle(g_ha.backup);
    do {
        if (!ha_primary_reachable(handle)) {
            log_write(LOG_ERROR, u"dca_ha_backup_thread: Primary DCA Agent found Dead\n");
            if (g_poll_dc.load() != 1) {
                dca_set_poll_dc(1);
            }
        } else if (g_poll_dc.load() != 0) {
            dca_set_poll_dc(0); // the primary is back: fall silent again
        }
    } while (!g_ha.backup.stop.pause(g_ha.check_period_ms));
}

void
dca_ha_primary_stop()
{
    g_ha.primary.stop.stop();
    if (!g_ha.primary_listening) {
        return;
    }
    // The accept blocks without limit: one connection of our own wakes it to see the stop.
    net_handle *waker = net_init(u"127.0.0.1", g_ha.primary_port, NET_MODE_CLIENT);
    if (waker != nullptr) {
        (void)net_open(waker, NET_TRANSPORT_TCP);
        net_fini(waker);
    }
}

void
dca_ha_backup_stop()
{
    g_ha.backup.stop.stop();
}

void
dca_ha_fini()
{
    g_ha.primary_listening = false;
    ha_replace_handle(g_ha.primary, nullptr);
    ha_replace_handle(g_ha.backup, nullptr);
}

void
dca_ha_set_check_period_ms(unsigned int milliseconds)
{
    g_ha.check_period_ms = milliseconds == 0 ? DCA_HA_CHECK_PERIOD_MS : milliseconds;
}
