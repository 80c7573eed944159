// The handlers that apply what a workstation check found.

#include "logoff/wrkstpoll_handlers.h"

#include <ctime>
#include <string>

#include "common/log.h"
#include "common/text.h"
#include "config/detector_settings.h"
#include "dca/filter/dca_filter.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

std::int32_t
now_seconds()
{
    return static_cast<std::int32_t>(std::time(nullptr));
}

// A text for a log line written after the record went to the queue (which may free it).
std::u16string
copy_for_log(const char16_t *text)
{
    return text != nullptr ? text : u"(null)";
}

// The same user is still logged on: the row lives on for another interval.
int
renew_logon(UserInfo *record)
{
    log_write(LOG_DEBUG, u"wrkstpoll_handle_logon_req: same user still loggedon");
    record->ExpireTime = now_seconds() + logoff_detector_get_interval();
    record->Flags = UI_FLAG_ACTIVE;
    if (userinfo_db_update(record) != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: userinfo couldn't updated");
        return -1;
    }
    log_write(LOG_DEBUG, u"wrkstpoll_handle_logon_req: userinfo updated");
    return 0;
}

// The previous user of the workstation is logged out; the queue takes the record on 0.
int
log_out_previous_user(UserInfo *record)
{
    std::u16string domain = copy_for_log(record->Domain);
    std::u16string user = copy_for_log(record->User);
    int result = userinfo_db_delete_and_queue(record, 1);
    if (result == -1) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: previous user couldn't removed");
        return -1;
    }
    log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: previous user '%s\\%s' removed", domain, user);
    if (result != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: previous user's logout request "
                             u"couldnt enqueued to GW Update Queue");
        return -1;
    }
    log_write(LOG_DEBUG, u"wrkstpoll_handle_logon_req: previous user's logout request enqueued "
                         u"to GW Update Queue");
    return 0;
}

// The user found on the workstation is stored and queued as a logon.
int
log_on_new_user(userinfo_ptr fresh)
{
    std::u16string domain = copy_for_log(fresh->Domain);
    std::u16string user = copy_for_log(fresh->User);
    int stored = userinfo_db_insert_and_queue(fresh.get());
    if (stored == 0) {
        (void)fresh.release(); // the queue has it
    }
    if (stored == -1) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: new user couldn't added");
        return -1;
    }
    if (stored == 1) {
        log_write(LOG_DEBUG, u"wrkstpoll_handle_logon_req: matching userinfo found");
        return 0;
    }
    log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: new user '%s\\%s' added", domain, user);
    if (stored != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req:  new user's logon request couldn't "
                             u"enqueued to GW Update Queue");
        return -1;
    }
    log_write(LOG_DEBUG, u"wrkstpoll_handle_logon_req: new user's logon request enqueued to GW "
                         u"Update Queue");
    return 0;
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
        return renew_logon(record.get());
    }

    log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: loggedon user '%s\\%s' changed to '%s\\%s'",
              record->Domain, record->User, fqdn.get(), user);
    wtext_ptr wrkst_ip(tsso_string_dup_w(record->WrkstIP));
    if (log_out_previous_user(record.get()) != 0) {
        return -1; // the record is released with the handle
    }
    (void)record.release(); // the queue has it

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
    return log_on_new_user(std::move(fresh));
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
    // Queued also when the user was stored already: the appliance asked, so it hears the answer.
    int result = userinfo_db_insert_and_queue(record.get(), QUEUE_ALWAYS);
    if (result == -1) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logon_req: new userinfo couldnt added");
        return -1;
    }
    log_write(LOG_MSG, u"wrkstpoll_handle_logon_req: new userinfo added");
    if (result != 0) {
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
    if (dca_filter_by_username(record) == 1 || login_excluded(record) ||
        dca_filter_wellknown(record) == 1 || dca_filter_by_domainname(record) == 1) {
        return 1;
    }
    dca_set_fqdn_domain(record);
    return 0;
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
    if (logoff_excluded(record)) {
        log_write_a(LOG_MSG, "\nwrkstpoll_handle_logoff_req: IP %S found in exclusion list",
                    record->WrkstIP);
        return 0;
    }
    std::u16string domain = copy_for_log(record->Domain);
    std::u16string user = copy_for_log(record->User);
    int result = userinfo_db_delete_and_queue(record, match_workstation);
    if (result == -1) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logoff_req: user '%s\\%s' couldn't removed", domain,
                  user);
        return -1;
    }
    log_write(LOG_MSG, u"wrkstpoll_handle_logoff_req: user '%s\\%s' removed", domain, user);
    if (result != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_handle_logoff_req: user's logout request couldnt "
                             u"enqueued to GW Update Queue");
        return -1;
    }
    (void)owned.release();
    log_write(LOG_DEBUG,
              u"wrkstpoll_handle_logoff_req: user's logout request enqueued to GW Update Queue");
    return 0;
}
