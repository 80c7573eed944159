// The DC Agent's logon pipeline (see dca_pipeline.h).

#include "dca/dca_pipeline.h"

#include <mutex>

#include "common/log.h"
#include "common/text.h"
#include "common/threadpool.h"
#include "dca/filter/dca_filter.h"
#include "dcalink/dcaclient.h"
#include "platform/netaddr.h"
#include "platform/resolver.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"

namespace {

// The longest host name the resolver is asked for (a DNS name has at most 253 characters).
constexpr std::size_t WRKST_NAME_BYTES = 256;
// Resolver entries looked at; a workstation has far fewer addresses.
constexpr std::size_t RESOLVER_ENTRIES = 64;

struct pipeline_state {
    int local_cidmgr = 0;
    int client_initialised = 0;
    std::mutex client_lock;
};
pipeline_state g_pipeline;

void
release(UserInfo *record)
{
    userdb_free_userinfo(record);
}

// Sends one record to the Collectors; the caller holds the client lock and keeps the record.
// DCACLIENT_SENT, DCACLIENT_KEPT (not yet sent to a Collector that is down: the agent client
// keeps it and sends it once that Collector is back), or -1.
int
dca_client_send(UserInfo *record)
{
    return dcaclient_send_userinfo(record);
}

// A copy of the record for one of its additional addresses (null when out of memory).
UserInfo *
duplicate_for_address(UserInfo *record, char16_t *address)
{
    char16_t *primary = record->WrkstIP;
    record->WrkstIP = address;
    UserInfo *copy = userdb_duplicate_userinfo(record);
    record->WrkstIP = primary;
    return copy;
}

// The send sequence of dca_add_userinfo_dcaclient and dca_remove_userinfo_dcaclient, with the
// client lock held: every additional address, then the primary. The caller keeps the record
// and releases it afterwards. DCACLIENT_SENT when every message went out, DCACLIENT_KEPT when
// one or more are kept for a Collector that is down (never logged as sent), -1 after a failure
// (logged with the caller's messages, which get their line end here).
int
send_sequence_locked(UserInfo *record, const char16_t *duplicate_failed, const char16_t *io_failed)
{
    int result = DCACLIENT_SENT;
    for (std::uint8_t i = 0; i < record->AdditionalIPCount && i < record->AdditionalIPCapacity;
         ++i) {
        char16_t *extra = record->AdditionalWrkstIP[i];
        if (extra == nullptr) {
            continue;
        }
        UserInfo *copy = duplicate_for_address(record, extra);
        if (copy == nullptr) {
            log_write(LOG_ERROR, u"%s\n", duplicate_failed);
            return -1;
        }
        int rc = dca_client_send(copy);
        release(copy);
        if (rc < 0) {
            log_write(LOG_ERROR, u"%s\n", io_failed);
            return -1;
        }
        if (rc == DCACLIENT_KEPT) {
            log_write(LOG_DEBUG, u"dca_client_io: DCA Client IO deferred, kept for a collector "
                                 u"that is down\n");
            result = DCACLIENT_KEPT;
        } else {
            log_write(LOG_DEBUG, u"dca_client_io: DCA Client IO succeded\n");
        }
    }
    int rc = dca_client_send(record);
    if (rc < 0) {
        log_write(LOG_ERROR, u"%s\n", io_failed);
        return -1;
    }
    return rc == DCACLIENT_KEPT ? DCACLIENT_KEPT : result;
}

// The last line of a send sequence: success only for a record that went out to every
// Collector. The caller's result: 0 sent, 1 kept for a Collector that is down, -1 failed.
int
log_send_result(int rc, const char16_t *succeeded, const char16_t *deferred)
{
    if (rc < 0) {
        return -1;
    }
    log_write(LOG_DEBUG, u"%s\n", rc == DCACLIENT_KEPT ? deferred : succeeded);
    return rc == DCACLIENT_KEPT ? 1 : 0;
}

} // namespace

void
dca_set_local_cidmgr()
{
    g_pipeline.local_cidmgr = 1;
    log_write(LOG_DEBUG, u"dca_set_local_cidmgr: Central ID Manager is LOCAL to DC Agent\n");
}

int
dca_get_local_cidmgr()
{
    return g_pipeline.local_cidmgr;
}

void
dca_clear_local_cidmgr()
{
    g_pipeline.local_cidmgr = 0;
    log_write(LOG_DEBUG, u"dca_clear_local_cidmgr: Central ID Manager is REMOTE to DC Agent\n");
}

int
dca_client_init(coll_node *collectors)
{
    if (g_pipeline.client_initialised != 0) {
        log_write(LOG_ERROR, u"dca_client_init: DCA Client is already Initialized\n");
        return -1;
    }
    if (dcaclient_init(collectors) != 0) {
        log_write(LOG_ERROR, u"dca_client_init: DCA Client Initialization failed\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dca_client_init: DCA Client Initialized\n");
    g_pipeline.client_initialised = 1;
    return 0;
}

void
dca_pipeline_reset()
{
    g_pipeline.local_cidmgr = 0;
    g_pipeline.client_initialised = 0;
    dcaclient_reset();
}

int
dca_enqueue_userinfo(UserInfo *record)
{
    if (record == nullptr) {
        log_write(LOG_ERROR, u"dca_enqueue_userinfo: Invalid Input Parameters\n");
        return -1;
    }
    if (threadpool_run(dca_workerthread, record, 1) != 0) {
        log_write(LOG_ERROR, u"dca_enqueue_userinfo: callback couldn't submitted\n");
        release(record);
        return -1;
    }
    log_write(LOG_DEBUG, u"dca_enqueue_userinfo: callback submitted\n");
    return 0;
}

void
dca_workerthread(void *argument)
{
    userinfo_ptr record(static_cast<UserInfo *>(argument));
    if (record == nullptr || record->User == nullptr) {
        return;
    }
    if (record->Flags == UI_FLAG_USER_LOGOUT) {
        dca_remove_userinfo_dcaclient(record.release());
        return;
    }
    if (dca_filter_wellknown(record.get()) == 1) {
        return;
    }
    if (record->WrkstIP == nullptr && dca_resolve_wrkstip(record.get()) < 0) {
        return;
    }
    if (record->WrkstIP == nullptr) {
        log_write(LOG_DEBUG, u"dca_workerthread: userinfo filtered out. WrkstIP is NULL\n");
        return;
    }
    if (dca_filter_by_authnet(record->WrkstIP) != 0) {
        return;
    }
    if (record->Domain == nullptr) {
        dca_set_default_domain(record.get());
    }
    if (dca_filter_by_domainname(record.get()) != 0) {
        return;
    }
    dca_set_fqdn_domain(record.get());
    if (record->UserSidType != 0 && dca_filter_by_sidtype(record.get()) != 0) {
        return;
    }
    dca_log_userinfo(record.get());
    log_write(LOG_DEBUG, u"Adding user info to db and %s   \n", u"Vantelor");
    dca_add_userinfo(record.release());
}

int
dca_resolve_wrkstip(UserInfo *record)
{
    if (record->WrkstName == nullptr) {
        log_write(LOG_ERROR, u"dca_resolve_wrkstip: WorkstationName is NULL\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dca_resolve_wrkstip: Resolving Workstation IP for Workstation: %s\n",
              record->WrkstName);
    int error = platform_net_startup();
    if (error != 0) {
        log_write(LOG_ERROR, u"dca_resolve_wrkstip: WSA Initialization failed: %d\n", error);
        return -1;
    }
    // The whole name is looked up: a name cut short could name another host. A name longer
    // than any host name fails the conversion (logged there) and is not looked up.
    char name[WRKST_NAME_BYTES];
    if (convert_unicode_to_ascii(record->WrkstName, name, sizeof name) != 0) {
        platform_net_cleanup();
        return -1;
    }
    platform_resolved_address entries[RESOLVER_ENTRIES];
    std::size_t count = 0;
    error = platform_resolve_host(name, entries, RESOLVER_ENTRIES, &count);
    if (error != 0) {
        log_write(LOG_ERROR,
                  u"dca_resolve_wrkstip: Get IP information failed for Workstation '%s': %d\n",
                  record->WrkstName, error);
        platform_net_cleanup();
        return -1;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (entries[i].family != PLATFORM_FAMILY_IPV4) {
            continue;
        }
        std::uint32_t a = entries[i].ipv4;
        char16_t text[32];
        if (string_printf_w(text, sizeof text, u"%u.%u.%u.%u", (a >> 24) & 255u, (a >> 16) & 255u,
                            (a >> 8) & 255u, a & 255u) != STRING_S_OK) {
            log_write(LOG_ERROR, u"dca_resolve_wrkstip: IP Address String preparation failed: %d\n",
                      -1);
            continue;
        }
        log_write(LOG_DEBUG, u"dca_resolve_wrkstip: Workstation IP: %s\n",
                  static_cast<const char16_t *>(text));
        if (dca_filter_by_authnet(text) != 0) {
            continue;
        }
        log_write(LOG_DEBUG, u"dca_resolve_wrkstip: IPAddress[%d]: %s\n", static_cast<int>(i),
                  static_cast<const char16_t *>(text));
        if (record->WrkstIP == nullptr) {
            record->WrkstIP = tsso_string_dup_w(text);
        } else if (record->AdditionalIPCount < record->AdditionalIPCapacity &&
                   record->AdditionalWrkstIP != nullptr) {
            record->AdditionalWrkstIP[record->AdditionalIPCount++] = tsso_string_dup_w(text);
        } else {
            log_write(LOG_ERROR,
                      u"dca_resolve_wrkstip: Additional IP Address couldn't accomodated\n");
            break;
        }
    }
    platform_net_cleanup();
    return 0;
}

int
dca_add_userinfo(UserInfo *record)
{
    if (g_pipeline.local_cidmgr != 1) {
        return dca_add_userinfo_dcaclient(record);
    }
    if (dca_filter_by_username(record) == 1 || login_excluded(record)) {
        log_write(LOG_DEBUG, u"dca_add_userinfo: user %s filtered out \n", record->User);
        release(record);
        return 0;
    }
    UserInfo *copy = userdb_duplicate_userinfo(record);
    if (copy != nullptr) {
        (void)dca_add_userinfo_db(copy);
    }
    return dca_add_userinfo_dcaclient(record);
}

int
dca_add_userinfo_db(UserInfo *record)
{
    if (record == nullptr) {
        return -1;
    }
    for (std::uint8_t i = 0; i < record->AdditionalIPCount && i < record->AdditionalIPCapacity;
         ++i) {
        char16_t *extra = record->AdditionalWrkstIP[i];
        if (extra == nullptr) {
            continue;
        }
        UserInfo *copy = duplicate_for_address(record, extra);
        if (copy == nullptr) {
            log_write(LOG_ERROR, u"dca_add_userinfo_db: userinfo couldnt duplicated\n");
            release(record);
            return -1;
        }
        if (dca_insert_userinfo_db(copy) < 0) {
            release(record);
            return -1;
        }
    }
    return dca_insert_userinfo_db(record) < 0 ? -1 : 0;
}

int
dca_insert_userinfo_db(UserInfo *record)
{
    int rc = userinfo_db_insert_and_queue(record);
    if (rc != 0) {
        // Already stored, or not stored or not queued: the record is still ours.
        release(record);
        return rc == 1 ? 0 : -1;
    }
    log_write(LOG_DEBUG, u"dca_insert_userinfo_db: userinfo enqueued in GW Update Queue\n");
    return 0;
}

int
dca_add_userinfo_dcaclient(UserInfo *record)
{
    if (g_pipeline.client_initialised == 0) {
        log_write(LOG_ERROR, u"dca_add_userinfo_dcaclient: DCA Client is not Initialized\n");
        release(record);
        return -1;
    }
    int rc;
    {
        std::lock_guard guard(g_pipeline.client_lock);
        rc =
            send_sequence_locked(record, u"dca_add_userinfo_dcaclient: userinfo couldnt duplicated",
                                 u"dca_add_userinfo_dcaclient: DCA Client IO failed");
    }
    release(record);
    return log_send_result(
        rc, u"dca_add_userinfo_dcaclient: DCA Client IO succeded",
        u"dca_add_userinfo_dcaclient: DCA Client IO deferred, kept for a collector that is down");
}

int
dca_remove_userinfo_dcaclient(UserInfo *record)
{
    int rc;
    {
        std::lock_guard guard(g_pipeline.client_lock);
        if (g_pipeline.client_initialised == 0) {
            log_write(LOG_ERROR, u"dca_add_userinfo_dcaclient: DCA Client is not Initialized\n");
            rc = -2;
        } else {
            rc = send_sequence_locked(record,
                                      u"dca_remove_userinfo_dcaclient: userinfo couldnt duplicated",
                                      u"dca_remove_userinfo_dcaclient: DCA Client IO failed");
        }
    }
    release(record);
    return log_send_result(rc, u"dca_remove_userinfo_dcaclient: DCA Client IO succeded",
                           u"dca_remove_userinfo_dcaclient: DCA Client IO deferred, kept for a "
                           u"collector that is down");
}

void
dca_log_userinfo(const UserInfo *record)
{
    if (record == nullptr) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: UserInfo is NULL\n");
        return;
    }
    if (!log_is_enabled(LOG_DEBUG)) {
        return;
    }
    if (record->User != nullptr) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: User: %s\n", record->User);
    }
    if (record->Domain != nullptr) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: Domain: %s\n", record->Domain);
    }
    if (record->Group != nullptr) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: Group: %s\n", record->Group);
    }
    if (record->SourceDC != nullptr) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: SourceDC: %s\n", record->SourceDC);
    }
    if (record->WrkstName != nullptr) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: WrkstName: %s\n", record->WrkstName);
    }
    if (record->WrkstIP != nullptr) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: WrkstIP: %s\n", record->WrkstIP);
    }
    for (int i = 0; i < record->AdditionalIPCount && record->AdditionalWrkstIP != nullptr; ++i) {
        if (record->AdditionalWrkstIP[i] != nullptr) {
            log_write(LOG_DEBUG, u"dca_log_userinfo: AdditionalWrkstIP[%d]: %s\n", i,
                      record->AdditionalWrkstIP[i]);
        }
    }
    if (record->CreateTime != 0) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: CreateTime: %d\n", record->CreateTime);
    }
    if (record->ExpireTime != 0) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: ExpireTime: %d\n", record->ExpireTime);
    }
    if (record->LogonType != 0) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: LogonType: %d\n", record->LogonType);
    }
    if (record->Flags != 0) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: Flags: %d\n", record->Flags);
    }
    if (record->UserSidType != 0) {
        log_write(LOG_DEBUG, u"dca_log_userinfo: UserSidType: %d\n", record->UserSidType);
    }
}
