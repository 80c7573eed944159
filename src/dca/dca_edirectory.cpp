// The eDirectory monitor (see dca_edirectory.h).

#include "dca/dca_edirectory.h"

#include <chrono>

#include "common/log.h"
#include "common/text.h"
#include "config/config.h"
#include "dca/dca_pipeline.h"
#include "dca/filter/dca_filter.h"
#include "logoff/wrkstpoll_handlers.h"
#include "userdb/userdb.h"

namespace {

constexpr unsigned long RECONNECT_PAUSE_MS = 5000;

// The logins and logouts that succeeded.
constexpr platform_ldap_event_request EVENT_REQUESTS[] = {
    {PLATFORM_LDAP_EVENT_LOGIN, 1},
    {PLATFORM_LDAP_EVENT_LOGOUT, 1},
};

struct text_owner {
    char16_t *text = nullptr;
    ~text_owner()
    {
        text_free(text);
    }
};

// The search base and user DN of an event: its own, or USER-BASE-DN and the perpetrator DN.
// False (logged) when the base is longer than the directory client takes.
bool
event_dns(const platform_ldap_message &message, const config_record &config, std::string *base,
          std::string *user_dn)
{
    if (message.base_dn) {
        *base = *message.base_dn;
    } else {
        log_write_event(LOG_INFO,
                        u"nd_login_event_listner: we are using base DN from the settings.");
        *base = edir_to_u8(config.user_base_dn);
    }
    if (message.user_dn) {
        *user_dn = *message.user_dn;
    } else {
        log_write_event(LOG_INFO, u"nd_login_event_listner: we are using perpetratorDN as userDN.");
        *user_dn = *message.perpetrator_dn;
    }
    if (base->size() > EDIR_TEXT_MAX) {
        log_write_event(LOG_ERROR,
                        u"nd_login_event_listner: search base longer than %d bytes, event "
                        u"ignored\n",
                        static_cast<int>(EDIR_TEXT_MAX));
        return false;
    }
    return true;
}

// What both kinds of event carry: the search base, the user DN and the user's common name.
struct event_user {
    std::string base;
    std::u16string user_dn;
    text_owner name;
};

// Reads the user of a login (login true) or logout event; a login's base becomes the remembered
// search base. False (logged) when the event names no user.
bool
read_event_user(const platform_ldap_message &message, const config_record &config, bool login,
                event_user *out)
{
    if (!message.perpetrator_dn) {
        if (login) {
            log_write_event(LOG_MSG, u"nd_login_event_listner: Received a user login event but "
                                     u"data is invalid, so ignoring.");
        } else {
            log_write_event(LOG_INFO, u"nd_login_event_listner: Received a user logout event but "
                                      u"data is invalid, so ignoring.");
        }
        return false;
    }
    if (login) {
        log_write_event(LOG_MSG, u"nd_login_event_listner: Received a user login event.");
    } else {
        log_write_event(LOG_INFO, u"nd_login_event_listner: Received a user logout event.");
    }
    std::string user_dn;
    if (!event_dns(message, config, &out->base, &user_dn)) {
        return false;
    }
    out->user_dn = edir_to_u16(user_dn);
    if (login) {
        edir_set_search_base(out->base);
        log_write_event(LOG_MSG,
                        u"nd_login_event_listner: User login event received with info \"%s\" & "
                        u"\"%s\"\n",
                        out->user_dn, edir_to_u16(out->base));
    } else {
        log_write_event(LOG_MSG,
                        u"nd_login_event_listner: User logout event received with info \"%s\" & "
                        u"\"%s\"\n",
                        out->user_dn, edir_to_u16(out->base));
    }
    return GetUserNameFromUserDN(&out->name.text, out->user_dn.c_str()) == 0;
}

void
handle_login(platform_ldap *session, const platform_ldap_message &message,
             const config_record &config)
{
    event_user user;
    if (!read_event_user(message, config, true, &user)) {
        return;
    }
    userinfo_ptr record(GetUserDataFromNovellSearch(session, edir_to_u8(user.name.text).c_str(),
                                                    user.base.c_str()));
    log_write_event(LOG_MSG, u"nd_login_event_listner: Admin DN \"%s\" & User DN\"%s\"\n",
                    edir_get_login_dn(), user.user_dn);
    if (record == nullptr) {
        log_write_event(LOG_ERROR, u"nd_login_event_listner: userinfo allocation failed\n");
        return;
    }
    if (record->WrkstIP == nullptr) {
        // A login at an unknown address ends the user's stored logon.
        log_write_event(LOG_ERROR, u"nd_login_event_listner: Work station ip is not found\n");
        (void)wrkstpoll_handle_logoff_req(record.release(), 0);
        return;
    }
    if (dca_filter_by_username(record.get()) == 0 && dca_filter_by_login_ip(record.get()) == 0 &&
        dca_filter_by_login_authnet(record->WrkstIP) != 0) {
        (void)dca_enqueue_userinfo(record.release());
        log_write_event(LOG_DEBUG, u"nd_login_event_listner: userinfo enqueued to dca processor\n");
    } else {
        log_write_event(LOG_DEBUG, u"nd_login_event_listner: user is filtered by ip or username\n");
    }
}

void
handle_logout(const platform_ldap_message &message, const config_record &config)
{
    event_user user;
    if (!read_event_user(message, config, false, &user)) {
        return;
    }
    log_write_event(LOG_ERROR, u"nd_login_event_listner: user not found in the novell listing..\n");
    userinfo_ptr record(userdb_allocate_userinfo());
    if (record == nullptr) {
        return;
    }
    int found = -1;
    if (dca_get_local_cidmgr() == 1) {
        UserInfo *stored = nullptr;
        found = userinfo_db_get_user_info(user.name.text, &stored);
        if (found == 0) {
            record.reset(stored);
        }
        log_write_event(LOG_ERROR, u"nd_login_event_listner: user info from db iret = %d \n",
                        found);
    }
    userinfo_ptr notice(userdb_duplicate_userinfo(record.get()));
    if (found == 0 && record->User != nullptr) {
        if (dca_filter_by_username(record.get()) == 0 &&
            dca_filter_by_logoff_ip(record.get()) == 0 &&
            dca_filter_by_logoff_authnet(record->WrkstIP) != 0) {
            log_write_event(LOG_MSG, u"nd_login_event_listner: sending logout for user: %s\n",
                            record->User);
            record->Flags = UI_FLAG_LOGOUT;
            (void)wrkstpoll_handle_logoff_req(record.release(), 1);
        } else {
            log_write_event(LOG_DEBUG,
                            u"nd_login_event_listner: user is filtered by ip or username\n");
        }
    } else {
        log_write_event(LOG_ERROR, u"nd_login_event_listner: could nto find username to logout\n");
    }
    // Whatever the local store knew, the Collectors hear of the logout by the user's name.
    log_write_event(LOG_MSG,
                    u"nd_login_event_listner: Sending logout Request to the remote Collector: "
                    u"%s\n",
                    user.name.text);
    if (notice == nullptr || userdb_set_text(&notice->User, user.name.text) != 0) {
        return;
    }
    notice->Flags = UI_FLAG_USER_LOGOUT;
    (void)dca_enqueue_userinfo(notice.release());
}

// The server ended the subscription: why, as it says.
void
log_monitor_end(const platform_ldap_message &message)
{
    if (message.parse_result != 0) {
        log_write_event(LOG_ERROR,
                        u"nd_login_event_listner: Error in ldap_parse_monitor_events_response: %d",
                        message.parse_result);
        return;
    }
    std::u16string error_text = edir_to_u16(message.error_text);
    switch (message.result_code) {
    case 1:
        log_write_event(LOG_ERROR, u"nd_login_event_listner: Server operations error: %s",
                        error_text);
        break;
    case 2:
        log_write_event(LOG_ERROR, u"nd_login_event_listner: Protocol error: %s", error_text);
        for (int event_type : message.refused_event_types) {
            log_write_event(LOG_ERROR, u"nd_login_event_listner: Bad Event ID: %d", event_type);
        }
        break;
    case 11:
        log_write_event(LOG_ERROR,
                        u"nd_login_event_listner: Maximum number of active event monitors "
                        u"exceeded.");
        break;
    case 53:
        log_write_event(LOG_ERROR, u"nd_login_event_listner: Extension is currently disabled.");
        break;
    default:
        log_write_event(LOG_ERROR, u"nd_login_event_listner: %d, %s.", message.result_code,
                        error_text);
        break;
    }
}

} // namespace

bool
nd_handle_event_message(platform_ldap *session, int result, const platform_ldap_message &message,
                        const config_record &config)
{
    switch (result) {
    case -1:
        log_write_event(LOG_ERROR, u"nd_login_event_listner Error in ldap_result: %d\n",
                        platform_ldap_last_result(session));
        return true;
    case 0:
        return false;
    case PLATFORM_LDAP_RES_EXTENDED:
        log_monitor_end(message);
        return true;
    case PLATFORM_LDAP_RES_INTERMEDIATE:
        if (message.parse_result != 0) {
            log_write_event(LOG_ERROR, u"nd_login_event_listner: Error in ldap_parse_ds_event: %d",
                            message.parse_result);
        } else if (message.event_type == PLATFORM_LDAP_EVENT_LOGIN) {
            handle_login(session, message, config);
        } else if (message.event_type == PLATFORM_LDAP_EVENT_LOGOUT) {
            handle_logout(message, config);
        } else if (message.event_type != 1 && message.event_type != 2) {
            log_write_event(LOG_ERROR, u"nd_login_event_listner: Unexpected event notification: %d",
                            message.event_type);
        }
        return false;
    default:
        log_write_event(LOG_DEBUG,
                        u"nd_login_event_listner: Error occured in listner of events\r\n");
        return false;
    }
}

void
nd_login_event_listner(void *argument)
{
    const auto *config = static_cast<const config_record *>(argument);
    if (config == nullptr || config->user_base_dn == nullptr) {
        return;
    }
    if (edir_to_u8(config->user_base_dn).size() > EDIR_TEXT_MAX) {
        log_write_event(LOG_ERROR,
                        u"nd_login_event_listner: USER-BASE-DN longer than %d bytes, "
                        u"not listening\n",
                        static_cast<int>(EDIR_TEXT_MAX));
        return;
    }
    log_write_event(LOG_ERROR, u"nd_login_event_listner: Starting to listen for novell events\n");
    while (!edir_stopping()) {
        platform_ldap *session = nullptr;
        if (nd_init_ldap(config->edirectory_server_ip, config->admin_user_dn,
                         config->edirectory_password, config->edirectory_server_port,
                         &session) != 0) {
            if (edir_stopping()) {
                return;
            }
            log_write_event(LOG_ERROR,
                            u"nivo_init: edirectory ldap Initialization failed. retrying...\n");
            (void)edir_pause(RECONNECT_PAUSE_MS);
            continue;
        }
        auto connected = std::chrono::steady_clock::now();
        int message_id = 0;
        int result = platform_ldap_monitor_events(session, EVENT_REQUESTS,
                                                  std::size(EVENT_REQUESTS), &message_id);
        if (result != 0) {
            log_write_event(LOG_ERROR, u"nd_login_event_listner: ldap_monitor_event: %d", result);
        } else {
            edir_set_time_limit(EDIR_TIME_LIMIT_EVENTS);
            bool reconnect = false;
            while (!reconnect && !edir_stopping()) {
                platform_ldap_message message;
                int waited =
                    platform_ldap_wait(session, message_id, edir_get_time_limit(), 0, &message);
                reconnect = nd_handle_event_message(session, waited, message, *config);
            }
        }
        platform_ldap_close(session);
        if (edir_stopping()) {
            return;
        }
        log_write_event(LOG_ERROR, u"nd_login_event_listner: closed connection with ldap..");
        log_write_event(LOG_ERROR, u"nd_login_event_listner: reconnecting to ldap.");
        // A server that refuses or ends every subscription at once would otherwise be asked again
        // and again without a pause: at most one connection per pause.
        auto lasted = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - connected)
                          .count();
        if (lasted < static_cast<long long>(RECONNECT_PAUSE_MS) &&
            edir_pause(RECONNECT_PAUSE_MS - static_cast<unsigned long>(lasted))) {
            return;
        }
    }
}
