// dca_edirectory: the DC Agent's eDirectory monitor. In DCA-MODE EDIRECTORY the agent keeps a
// directory session open, subscribes to the server's login and logout events, and for each
// login looks the user up to learn the workstation address and hands the logon to the pipeline;
// each logout logs the user off locally (when the Collector runs in this service) and is sent
// to the Collectors as a logout notice (Flags 10).
//
// Life cycle: start-up submits nd_login_event_listner to the thread pool once; it runs until the
// process ends, rebuilding the connection whenever the event stream fails (edir_stop() of
// dca/edir/edir.h ends it for tests). Records go to the pipeline or the logoff handler, which
// take them.
#pragma once

#include "dca/edir/edir.h"

struct config_record;

// The monitor job (argument: the global configuration record). Returns at once when
// USER-BASE-DN is not configured or longer than 1023 bytes, otherwise only after edir_stop().
void nd_login_event_listner(void *config);

// One message of the subscription, as the event loop handles it (result: what
// platform_ldap_wait returned). True when the connection must be rebuilt.
bool nd_handle_event_message(platform_ldap *session, int result,
                             const platform_ldap_message &message, const config_record &config);
