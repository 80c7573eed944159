// The handlers that apply what a workstation check found.

#include "logoff/wrkstpoll.h"

#include <ctime>

#include "common/log.h"
#include "common/text.h"
#include "dca/dca_filter.h"
#include "logoff/logoff_detector.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

std::int32_t
now_seconds()
{
    return static_cast<std::int32_t>(std::time(nullptr));
}

// A poll of the logoff detector found a user on a stored logon's workstation.
int
handle_logon_from_detector(userinfo_ptr record, const char16_t *user, const char16_t *domain)
{
    log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: Request received from Logoff Detector");
    wtext_ptr fqdn(dca_get_fqdn_for_domain(domain));
    if (fqdn == nullptr) {
        log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: couldnt get domain name(FQDN)");
        (void)record.release(); // stays with the caller
        return -2;
    }
    if (wtext_equal_nocase(record->User, user) &&
        (record->Domain == nullptr || wtext_equal_nocase(record->Domain, fqdn.get()))) {
        log_write(LOG_DEBUG, u"wrkstpoll_handle_logon_req: same user still loggedon");
        record->ExpireTime = now_seconds() + logoff_detector_get_interval();
        record->Flags = UI_FLAG_ACTIVE;
        if (userinfo_db_update(record.get()) != 0) {
            log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: userinfo couldn't updated");
            return -1;
        }
        log_write(LOG_DEBUG, u"wrkstpoll_handle_logon_req: userinfo updated");
        return 0;
    }

    log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: loggedon user '%s\\%s' changed to '%s\\%s'",
              record->Domain, record->User, fqdn.get(), user);
    wtext_ptr wrkst_ip(tsso_string_dup_w(record->WrkstIP));
    if (userinfo_db_delete(record.get(), 1) != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: previous user couldn't removed");
        return -1;
    }
    log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: previous user '%s\\%s' removed",
              record->Domain, record->User);
    record->Flags = UI_FLAG_LOGOUT;
    if (wrkstpoll_enqueue_gw_update(record.get()) != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: previous user's logout request "
                             u"couldnt enqueued to GW Update Queue");
        return -1;
    }
    (void)record.release(); // the queue has it
    log_write(LOG_DEBUG, u"wrkstpoll_handle_logon_req: previous user's logout request enqueued "
                         u"to GW Update Queue");

    userinfo_ptr fresh(userdb_allocate_userinfo());
    if (fresh == nullptr) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: userinfo allocation failed");
        return -1;
    }
    wrkstpoll_init_userinfo_common(fresh.get());
    fresh->User = tsso_string_dup_w(user);
    fresh->Domain = fqdn.release();
    fresh->WrkstIP = wrkst_ip.release();
    if (wrkstpoll_filter_userinfo(fresh.get()) == 1) {
        return 0;
    }
    int stored = userinfo_db_insert(fresh.get());
    if (stored < 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: new user couldn't added");
        return -1;
    }
    if (stored == 1) {
        log_write(LOG_DEBUG, u"wrkstpoll_handle_logon_req: matching userinfo found");
        return 0;
    }
    log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: new user '%s\\%s' added", fresh->Domain,
              fresh->User);
    fresh->Flags = UI_FLAG_LOGON;
    if (wrkstpoll_enqueue_gw_update(fresh.get()) != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req:  new user's logon request couldn't "
                             u"enqueued to GW Update Queue");
        return -1;
    }
    (void)fresh.release();
    log_write(LOG_DEBUG, u"wrkstpoll_handle_logon_req: new user's logon request enqueued to GW "
                         u"Update Queue");
    return 0;
}

// An appliance asked who is at an address, and a user was found there.
int
handle_logon_from_gw(userinfo_ptr record, const char16_t *user, const char16_t *domain)
{
    log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: Request received from GW");
    wrkstpoll_init_userinfo_common(record.get());
    userdb_set_text(&record->User, user);
    userdb_set_text(&record->Domain, domain);
    if (wrkstpoll_filter_userinfo(record.get()) == 1) {
        return 0;
    }
    if (userinfo_db_insert(record.get()) < 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: new userinfo couldnt added");
        return -1;
    }
    // Also when the user was stored already: the appliance asked, so it hears the answer.
    log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: new userinfo added");
    record->Flags = UI_FLAG_LOGON;
    if (wrkstpoll_enqueue_gw_update(record.get()) != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: user logon request couldnt enqueued "
                             u"to GW Update Queue");
        return -1;
    }
    (void)record.release();
    log_write(LOG_DEBUG,
              u"wrkstpoll_handle_logon_req: user logon request enqueued to GW Update Queue");
    return 0;
}

} // namespace

void
wrkstpoll_init_userinfo_common(UserInfo *record)
{
    long now = now_seconds();
    record->CreateTime = static_cast<std::int32_t>(now);
    record->ExpireTime = static_cast<std::int32_t>(now + logoff_detector_get_interval());
    record->LogonType = UI_LOGON_POLLED;
    log_write(LOG_MSG, u"wrkstpoll_init_userinfo_common: CreateTime: %ld",
              static_cast<long>(record->CreateTime));
    log_write(LOG_MSG, u"wrkstpoll_init_userinfo_common: ExpireTime: %ld",
              static_cast<long>(record->ExpireTime));
    log_write(LOG_MSG, u"wrkstpoll_init_userinfo_common: LogonType: %ld",
              static_cast<long>(record->LogonType));
}

int
wrkstpoll_filter_userinfo(UserInfo *record)
{
    if (dca_filter_by_username(record) == 1 || dca_filter_by_login_ip(record) == 1 ||
        dca_filter_by_login_authnet(record->WrkstIP) == 0 || dca_filter_wellknown(record) == 1 ||
        dca_filter_by_domainname(record) == 1) {
        return 1;
    }
    dca_set_fqdn_domain(record);
    return 0;
}

int
wrkstpoll_enqueue_gw_update(UserInfo *record)
{
    return gw_update_queue_enqueue(record);
}

int
wrkstpoll_handle_logon_req(UserInfo *record, const char16_t *user, const char16_t *domain)
{
    if (record == nullptr) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: Invalid Input Parameters");
        return -1;
    }
    userinfo_ptr owned(record);
    if (record->Flags == UI_FLAG_POLL_REQUEST) {
        return handle_logon_from_gw(std::move(owned), user, domain);
    }
    return handle_logon_from_detector(std::move(owned), user, domain);
}

int
wrkstpoll_handle_logoff_req(UserInfo *record, int match_workstation)
{
    if (record == nullptr) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logoff_req: Invalid Input Parameters");
        return -1;
    }
    userinfo_ptr owned(record);
    if (record->Flags == UI_FLAG_POLL_REQUEST) {
        log_write(LOG_MSG, u"wrkstpoll_handle_logoff_req: Request received from GW");
        return 0;
    }
    log_write(LOG_MSG, u"wrkstpoll_handle_logoff_req: Request received from Logoff Detector");
    if (dca_filter_by_logoff_ip(record) == 1 ||
        dca_filter_by_logoff_authnet(record->WrkstIP) == 0) {
        log_write_a(LOG_MSG, "\nwrkstpoll_handle_logoff_req: IP %S found in exclusion list",
                    record->WrkstIP);
        return 0;
    }
    if (userinfo_db_delete(record, match_workstation) != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logoff_req: user '%s\\%s' couldn't removed",
                  record->Domain, record->User);
        return -1;
    }
    log_write(LOG_MSG, u"wrkstpoll_handle_logoff_req: user '%s\\%s' removed", record->Domain,
              record->User);
    record->Flags = UI_FLAG_LOGOUT;
    if (wrkstpoll_enqueue_gw_update(record) != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logoff_req: user's logout request couldnt "
                             u"enqueued to GW Update Queue");
        return -1;
    }
    (void)owned.release();
    log_write(LOG_DEBUG,
              u"wrkstpoll_handle_logoff_req: user's logout request enqueued to GW Update Queue");
    return 0;
}

void
wrkstpoll_dispatch(void *argument)
{
    userinfo_ptr record(static_cast<UserInfo *>(argument));
    log_write(LOG_ERROR, u"wrkstpoll_dispatch: no workstation poll worker available\n");
}
