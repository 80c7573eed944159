// The directory poll: who does the directory say is logged on at a workstation address.

#include <memory>

#include "common/log.h"
#include "config/config.h"
#include "dca/edir/edir.h"
#include "dca/filter/dca_filter.h"
#include "logoff/wrkstpoll.h"
#include "userdb/userinfo.h"

int
wrkstpoll_workerthread_ldap(UserInfo *argument)
{
    userinfo_ptr record(argument);
    if (record == nullptr) {
        log_write_event(LOG_ERROR, u"wrkstpoll_workerthread_ldap: Invalid Input Parameters\n");
        return -1;
    }
    if (record->WrkstIP == nullptr || record->WrkstIP[0] == 0) {
        log_write_event(LOG_ERROR,
                        u"wrkstpoll_workerthread_ldap: Workstation to be Polled is unknown\n");
        return -1;
    }
    // A session of its own for this poll: the monitor's belongs to the monitor's thread.
    const config_record *config = config_get();
    platform_ldap *session = nullptr;
    userinfo_ptr found;
    if (nd_init_ldap(config->edirectory_server_ip, config->admin_user_dn,
                     config->edirectory_password, config->edirectory_server_port, &session) == 0) {
        log_write_event(LOG_ERROR,
                        u"wrkstpoll_workerthread_ldap: Search in  novell using IP address......\n");
        found.reset(GetUserDataFromNovellSearchByIP(session, edir_to_u8(record->WrkstIP).c_str(),
                                                    edir_get_search_base().c_str()));
        platform_ldap_close(session);
    }
    if (found == nullptr) {
        log_write_event(LOG_ERROR, u"wrkstpoll_workerthread_ldap: User info not found in Novell. "
                                   u"deleting user from db.\n");
        if (wrkstpoll_handle_logoff_req(record.release(), 1) < 0) {
            log_write_event(LOG_ERROR,
                            u"wrkstpoll_workerthread_ldap: User Logout event couldn't handled\n");
            return -1;
        }
        return 0;
    }
    log_write_event(LOG_ERROR, u"wrkstpoll_workerthread_ldap: user info found logged in Novell.\n");
    dca_set_default_domain(found.get());
    int result = wrkstpoll_handle_logon_req(record.get(), found->User, found->Domain);
    if (result != -2) {
        (void)record.release(); // the handler took it
    }
    return result == -2 ? -1 : result;
}
