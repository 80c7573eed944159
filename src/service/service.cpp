// The service host's routines and the start-up sequence.

#include "service/service.h"

#include <cstdint>
#include <mutex>

#include "common/console.h"
#include "common/event.h"
#include "common/log.h"
#include "common/threadpool.h"
#include "common/text.h"
#include "config/config.h"
#include "config/config_lists.h"
#include "config/config_parse.h"
#include "config/connectivity.h"
#include "config/config_receiver.h"
#include "dca/dca_edirectory.h"
#include "dca/dca_eventlog.h"
#include "dca/dca_ha.h"
#include "dca/dca_netsession.h"
#include "dca/dca_pipeline.h"
#include "dcalink/dcaclient.h"
#include "dcalink/dcaserver.h"
#include "logoff/logoff_detector.h"
#include "logoff/wrkstping.h"
#include "logoff/wrkstpoll.h"
#include "platform/service_host.h"
#include "platform/sessions.h"
#include "platform/system.h"
#include "platform/wrkstquery.h"
#include "sso/sso_client.h"
#include "sso/sso_server.h"
#include "userdb/dead_entry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"

namespace {

constexpr const char16_t *SERVICE_NAME = u"NIVO";
constexpr const char16_t *STOP_EVENT_NAME = u"ThisIsMyEvent";
// How long a stop waits for the agents' messages already received to be stored.
constexpr int SHUTDOWN_DRAIN_MS = 5000;

struct service_state {
    service_status_handle *status_handle = nullptr;
    // What the last report of the store's write failures told (main routine's thread only).
    std::uint64_t reported_unstored = 0;
    bool reported_failing = false;
    // Written by the service's main routine; the control handler runs on another thread and
    // may set the event while the main routine closes it, so both hold stop_lock for that.
    std::mutex stop_lock;
    event_handle *stop_event = nullptr;
    char16_t *name = nullptr;
    // The cause of a failed start-up step that knows it better than the system's last error
    // (empty: none), with the system's error behind it (0: none).
    char16_t failure_reason[512] = {};
    int failure_error = 0;
};
service_state g_service;

// Sets the stop event if it exists: 0, or -1 when setting it failed.
int
set_stop_event()
{
    std::lock_guard guard(g_service.stop_lock);
    return g_service.stop_event != nullptr ? event_set(g_service.stop_event) : 0;
}

// Tells the start-up step's outcome on the console (before the log exists).
void
debug_output(const char16_t *text)
{
    platform_debug_output(text);
}

} // namespace

int
SetTheServiceStatus(unsigned long state, unsigned long win32_exit_code, unsigned long check_point,
                    unsigned long wait_hint)
{
    service_status status{};
    status.service_type = SERVICE_WIN32_OWN_PROCESS;
    status.current_state = state;
    status.controls_accepted =
        state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.win32_exit_code = win32_exit_code;
    status.service_specific_exit_code = 0;
    status.check_point = check_point;
    status.wait_hint = wait_hint;
    int rc = platform_service_set_status(g_service.status_handle, &status);
    if (rc != 0) {
        Service_ErrorReport(u"SetServiceStatus()");
    }
    return rc;
}

namespace {

// The last step of the error report: a failure of this report is not reported again.
void
report_stopped_quietly(unsigned long exit_code)
{
    service_status status{};
    status.service_type = SERVICE_WIN32_OWN_PROCESS;
    status.current_state = SERVICE_STOPPED;
    status.controls_accepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    status.win32_exit_code = exit_code;
    (void)platform_service_set_status(g_service.status_handle, &status);
}

// The error report with the message text given (null: the system's text for the last error).
void
report_error(const char16_t *label, const char16_t *reason)
{
    int error = platform_last_error();
    char16_t message[512];
    if (reason != nullptr) {
        fmt_print_w(message, 512, u"%s", reason);
    } else {
        platform_error_text(error, message, sizeof message / sizeof message[0]);
    }
    char16_t text[1024];
    std::size_t used = fmt_print_w(text, 1024, u"API = %s, ", label != nullptr ? label : u"");
    if (used < 1024) {
        used += fmt_print_w(text + used, 1024 - used, u"error code = %d, ", error);
    }
    if (used < 1024) {
        fmt_print_w(text + used, 1024 - used, u"message = %s",
                    static_cast<const char16_t *>(message));
    }
    debug_output(text);
    debug_output(u"\n");
    (void)set_stop_event();
    report_stopped_quietly(static_cast<unsigned long>(error));
}

// Keeps the user store's reason for its failure: SQLite's own text, followed by the system's
// text when a system error lies behind it. The last error left by the calls before would name
// another cause.
void
note_userdb_failure()
{
    char16_t reason[256];
    int error = userinfo_db_last_failure(reason, 256);
    g_service.failure_error = error;
    if (error != 0) {
        char16_t system_text[256];
        platform_error_text(error, system_text, 256);
        fmt_print_w(g_service.failure_reason, 512, u"%s (%s)",
                    static_cast<const char16_t *>(reason),
                    static_cast<const char16_t *>(system_text));
    } else {
        fmt_print_w(g_service.failure_reason, 512, u"%s", static_cast<const char16_t *>(reason));
    }
}

} // namespace

void
Service_ErrorReport(const char16_t *label)
{
    report_error(label, nullptr);
}

void
Service_Ctrl(unsigned long control)
{
    bool stopping = control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN;
    SetTheServiceStatus(stopping ? SERVICE_STOP_PENDING : SERVICE_RUNNING, 0, 0, 0);
    debug_output(u"SetTheServiceStatus(), Service_Ctrl() function\n");
    if (stopping && set_stop_event() != 0) {
        Service_ErrorReport(u"SetEvent()");
    }
}

void
Service_Main(unsigned long argc, char16_t **argv)
{
    config_replace_text(&g_service.name, argc > 0 && argv != nullptr ? argv[0] : SERVICE_NAME);
    g_service.status_handle = platform_service_register(g_service.name, Service_Ctrl);

    SetTheServiceStatus(SERVICE_START_PENDING, 0, 0, 0);
    debug_output(u"SetTheServiceStatus(), SERVICE_START_PENDING\n");

    {
        std::lock_guard guard(g_service.stop_lock);
        g_service.stop_event = event_create(true, false, STOP_EVENT_NAME);
    }
    if (g_service.stop_event == nullptr) {
        Service_ErrorReport(u"CreateEvent()");
    }

    if (g_service.stop_event != nullptr && nivo_init() < 0) {
        if (g_service.failure_reason[0] != 0) {
            platform_set_last_error(g_service.failure_error != 0 ? g_service.failure_error
                                                                 : platform_error_startup_failed());
            report_error(u"nivo_init()", g_service.failure_reason);
        } else {
            // A start-up that failed without a platform error of its own still stops with one.
            if (platform_last_error() == 0) {
                platform_set_last_error(platform_error_startup_failed());
            }
            Service_ErrorReport(u"nivo_init()");
        }
    }

    SetTheServiceStatus(SERVICE_RUNNING, 0, 0, 0);
    debug_output(u"SetTheServiceStatus(), SERVICE_RUNNING.\n");

    // Without a stop event nothing could ever end the loop: the service stops at once instead.
    while (g_service.stop_event != nullptr &&
           event_wait(g_service.stop_event, 1000) == EVENT_TIMEOUT) {
        console_out(u"Doing Maintainance Work\n");
        if (nivo_maintenance() < 0) {
            break;
        }
    }

    nivo_shutdown();

    int closed = 0;
    {
        std::lock_guard guard(g_service.stop_lock);
        if (g_service.stop_event != nullptr) {
            closed = event_close(g_service.stop_event);
        }
        g_service.stop_event = nullptr;
    }
    if (closed != 0) {
        Service_ErrorReport(u"CloseHandle()");
    }

    debug_output(u"SetTheServiceStatus(), SERVICE_STOPPED.\n");
    SetTheServiceStatus(SERVICE_STOPPED, 0, 0, 0);
}

namespace {

// Logons the store could not write, told where an operator sees them even when the base
// directory's disk is the full one: on standard error (the service manager's journal) and in
// the status note, and in the log as well. Called from the maintenance loop, whose waits keep
// two calls at least a second apart, it writes at most one line: the count when it has grown,
// or once that the store writes again.
void
nivo_report_store_failures()
{
    userdb_write_state state{};
    userinfo_db_write_state(&state);
    const char *reason = state.reason != nullptr ? state.reason : "unknown error";
    char16_t line[256];
    char16_t note[256];
    if (state.unstored > g_service.reported_unstored) {
        fmt_print_w(line, 256, u"userinfo_db_insert: %u logons not stored: %S\n", state.unstored,
                    reason);
        fmt_print_w(note, 256, u"user store cannot write (%S): %u logons not stored", reason,
                    state.unstored);
        g_service.reported_failing = true;
    } else if (g_service.reported_failing && !state.failing) {
        fmt_print_w(line, 256, u"userinfo_db_insert: logons are stored again; %u were not stored\n",
                    state.unstored);
        fmt_print_w(note, 256, u"%u logons were not stored; the user store writes again",
                    state.unstored);
        g_service.reported_failing = false;
    } else {
        return;
    }
    g_service.reported_unstored = state.unstored;
    console_err(u"%s", static_cast<const char16_t *>(line));
    log_write(LOG_MSG, u"%s", static_cast<const char16_t *>(line));
    (void)platform_service_set_status_text(g_service.status_handle, note);
}

} // namespace

int
nivo_maintenance()
{
    log_check_overflow();
    nivo_report_store_failures();
    return 0;
}

void
nivo_shutdown()
{
    // What the agents have sent and the Collector has received is stored before the process
    // ends (a connection's messages are handled by a job of their own).
    int unfinished = dcaserver_drain(SHUTDOWN_DRAIN_MS);
    if (unfinished > 0) {
        log_write(LOG_ERROR, u"nivo_shutdown: messages of %d agent connections not handled\n",
                  unfinished);
    }
    log_write(LOG_DEBUG, u"%s Tessaline is Shutdown\n", u"Vantelor");
}

namespace {

// ---- start-up, one function a step ----
// Each step logs its own outcome and returns 0, or -1 when start-up must end.

constexpr const char16_t *ME = u"nivo";

// The outcome of one start-up call: its failure line at level 2 and -1, or its success line at
// the level given and 0.
int
started(int result, wfmt<const char16_t *> failure, unsigned int level,
        wfmt<const char16_t *> success)
{
    if (result != 0) {
        log_write(LOG_ERROR, failure, ME);
        return -1;
    }
    log_write(level, success, ME);
    return 0;
}

// 2. The operating system's version.
int
init_os_version(config_record *)
{
    os_version_record *version = config_os_version();
    if (platform_os_version(&version->major, &version->minor) != 0) {
        console_err(u"%s_init: get os version information failed: %lu\n", ME,
                    static_cast<unsigned long>(platform_last_error()));
        return -1;
    }
    if (version->major < 5) {
        console_err(u"%s_init: No support for OS Version: %lu.%lu\n", ME, version->major,
                    version->minor);
        return -1;
    }
    return 0;
}

// 3. The base directory.
int
init_base_directory(config_record *config)
{
    if (config_set_basedir(config) != 0) {
        console_err(u"%s_init: base directory filepath configuration failed\n", ME);
        return -1;
    }
    console_out(u"%s_init: base directory filepath initialized to '%s'\n", ME,
                config->base_directory);
    return 0;
}

// 4 to 6. The paths of the database, the configuration and the logs.
int
init_paths(config_record *config)
{
    struct path_step {
        int (*set)(config_record *);
        const char16_t *what;    // in the failure line
        const char16_t *success; // the line's text before the path
        char16_t *config_record::*path;
    };
    static const path_step steps[] = {
        {config_set_dbname, u"db name", u"userinfo db name", &config_record::db_path},
        {config_set_conffile, u"conf filepath", u"configuration filepath",
         &config_record::conf_path},
        {config_set_logfiles, u"log filepath", u"log filepath", &config_record::log_path},
    };
    for (const path_step &step : steps) {
        if (step.set(config) != 0) {
            console_err(u"%s_init: %s configuration failed\n", ME, step.what);
            return -1;
        }
        console_out(u"%s_init: %s initialized to '%s'\n", ME, step.success, config->*step.path);
    }
    return 0;
}

// 7. The logs.
int
init_logs(config_record *config)
{
    if (log_int(config->log_path, config->rotated_log_path, config->events_path,
                config->rotated_events_path) != 0) {
        console_err(u"%s_init: log file initialization failed\n", ME);
        return -1;
    }
    console_out(u"%s_init: log file initialized\n", ME);
    return 0;
}

// 8. nivo.ini and the list files.
int
init_configuration(config_record *config)
{
    return started(parse_configfile(config->conf_path, config),
                   u"%s_init: configuration file parsing failed\n", LOG_INFO,
                   u"%s_init: configuration file parsed successfully\n");
}

// 9. The user store and its validation, then the dead-entry thread.
int
init_user_store(config_record *config)
{
    if (userinfo_db_init(config->db_path, u"UserInfo") != 0) {
        note_userdb_failure();
        log_write(LOG_ERROR, u"%s_init: Userinfo Database Initialization failed\n", ME);
        return -1;
    }
    log_write(LOG_MSG, u"%s_init: Userinfo Database Initialized\n", ME);
    if (userinfo_db_validate_all() != 0) {
        note_userdb_failure();
        log_write(LOG_ERROR, u"%s_init: Userinfo Database Validation failed\n", ME);
        return -1;
    }
    log_write(LOG_MSG, u"%s_init: Userinfo Database Validated\n", ME);
    (void)dead_entry_start_thread(config->dead_entry_timeout);
    return 0;
}

// 10. The configuration receiver, then the connectivity responder, each on an operating-system
// thread of its own before the pool exists; their creation is not checked.
int
init_remote_configuration(config_record *)
{
    (void)config_server_start();
    (void)connectivity_start_thread();
    return 0;
}

// 11. The thread pool.
int
init_thread_pool(config_record *config)
{
    log_write(LOG_DEBUG, u"%s_init: ThreadPool Size: %d\n", ME,
              static_cast<int>(config->threadpool_size));
    return started(threadpool_create(static_cast<int>(config->threadpool_size), 1),
                   u"%s_init: ThreadPool Initialization failed\n", LOG_DEBUG,
                   u"%s_init: ThreadPool Initialized\n");
}

// 12.1 The update queue.
int
init_update_queue(config_record *)
{
    return started(gw_update_queue_init(), u"%s_init: GW Update Queue Initialization failed\n",
                   LOG_MSG, u"%s_init: GW Update Queue Initializated\n");
}

// 12.2 to 12.4 The appliance update client, its thread and the heartbeat.
int
init_appliance_client(config_record *config)
{
    if (started(SSOclient_init(config->gw_list, config->base_directory),
                u"%s_init: GW SSO Client Initialization failed\n", LOG_MSG,
                u"%s_init: GW SSO Client Initialized\n") != 0) {
        return -1;
    }
    for (threadpool_fn loop : {SSOclient_thread, SSO_client_update_heartbeat}) {
        if (threadpool_run(loop, nullptr, 1) != 0) {
            log_write(LOG_ERROR, u"%s_init: %s SSO Client couldn't started\n", ME, u"Vantelor");
            return -1;
        }
        log_write(LOG_MSG, u"%s_init: %s SSO Client started\n", ME, u"Vantelor");
    }
    return 0;
}

// 12.5 The workstation poll.
int
init_workstation_poll(config_record *config)
{
    return started(wrkstpoll_init(config->polling_mode, config->username, config->password),
                   u"%s_init: Workstation Polling Module Initialization failed\n", LOG_MSG,
                   u"%s_init: Workstation Polling Module Initialized\n");
}

// 12.6 The logoff detector, with the settings of its checks.
int
init_logoff_detector(config_record *config)
{
    wrkstping_init(static_cast<std::int32_t>(config->ping_timeout),
                   static_cast<std::uint8_t>(config->ping_retry_count));
    logoff_detector_init(config->detection_mode, config->detection_interval);
    logoff_detector_set_batches(config->logoff_batch_size, config->logoff_batch_pause);
    return started(threadpool_run(logoff_detector, config, 1),
                   u"%s_init: User Logoff Detector Thread couldn't started\n", LOG_DEBUG,
                   u"%s_init: User Logoff Detector Thread started\n");
}

// 12.7 and 12.8 The server for the DC Agents on every local address.
int
init_agent_server(config_record *config)
{
    log_write(LOG_ERROR, u"%s_init: DC Agent is Active directory\n", ME);
    if (started(dcaserver_init(nullptr, config->dcaserver_port),
                u"%s_init: DC Agent Server Initialization failed\n", LOG_DEBUG,
                u"%s_init: DC Agent Server Initialized\n") != 0) {
        return -1;
    }
    dcaserver_set_max_connections(config->max_agent_connections);
    return started(threadpool_run(dcaserver_thread, nullptr, 1),
                   u"%s_init: DCA Server couldn't started\n", LOG_MSG,
                   u"%s_init: DC Agent Server started\n");
}

// 12.9 The appliance request server.
int
init_request_server(config_record *config)
{
    if (started(tsso_server_init(nullptr, config->tsso_server_port),
                u"%s_init: Transparent SSO Server Initialization failed\n", LOG_DEBUG,
                u"%s_init: Transparent SSO Server Initialized\n") != 0) {
        return -1;
    }
    SSO_server_set_getallusers_rate(config->getallusers_rate);
    return started(threadpool_run(SSO_server_thread, nullptr, 1),
                   u"%s_init: Transparent SSO Server couldn't started\n", LOG_MSG,
                   u"%s_init: Transparent SSO Server started\n");
}

// 12.10 and 13. Whether the Collector runs in this service, as the agent's pipeline sees it.
int
init_local_collector(config_record *config)
{
    if (config->collector_enabled != 0) {
        dca_set_local_cidmgr();
    } else {
        dca_clear_local_cidmgr();
    }
    return 0;
}

// 14.1 and 14.2 The agent's client; its monitor makes the first connections to the Collectors
// and keeps them up.
int
init_agent_client(config_record *config)
{
    constexpr const char16_t *failed = u"%s_init: DC Agent Initialization failed\n";
    constexpr const char16_t *done = u"%s_init: DC Agent Initialized\n";
    if (started(dca_client_init(config->coll_list), failed, LOG_DEBUG, done) != 0) {
        return -1;
    }
    return started(threadpool_run(monitor_dcaserver_workerthread, nullptr, 1), failed, LOG_DEBUG,
                   done);
}

// 14.3 The event-log monitor.
int
init_eventlog_monitor(config_record *config)
{
    const os_version_record *version = config_os_version();
    dca_eventlog_init({config->eventlog_file, config->base_directory,
                       version->major == 5 && version->minor == 0});
    if (config->eventlog_monitor_ntlm != 0) {
        dca_set_eventlog_ntlm();
    }
    static const char16_t log_name[] = u"security";
    return started(threadpool_run(dca_eventlog, const_cast<char16_t *>(log_name), 1),
                   u"%s_init: EventLog DC Agent couldn't started\n", LOG_MSG,
                   u"%s_init: EventLog DC Agent started\n");
}

// 14.4 The session poller: one job per domain controller of the DC list.
int
init_session_poller(config_record *config)
{
    platform_sessions_set_credentials(config->username, config->password);
    if (config->collector_enabled == 0) {
        // Otherwise the Collector's workstation poll has taken these reports already.
        platform_wrkst_set_failure_sink(dca_netsession_log_listing_failure);
    }
    if (config->dc_poll_interval != 0) {
        dca_netsession_set_poll_interval(static_cast<std::int32_t>(config->dc_poll_interval));
    }
    if (config->dc_list == nullptr) {
        log_write(LOG_NOTICE, u"%s_init: Domain Controller list is Empty\n", ME);
    }
    for (dc_node *dc = config->dc_list; dc != nullptr; dc = dc->next) {
        if (threadpool_run(dca_netsession, dc->name, 1) != 0) {
            log_write(LOG_ERROR, u"%s_init: NETAPI DCAgent for DC '%s' couldn't started\n", ME,
                      dc->name);
            return -1;
        }
        log_write(LOG_DEBUG, u"%s_init: NETAPI DCAgent for DC '%s' started\n", ME, dc->name);
    }
    return 0;
}

// 14.4 The poll flag without HA, or the HA pair's role. The result of dca_ha_init is not
// checked: a primary without its socket still polls, a backup without its handle takes over.
int
init_session_poller_ha(config_record *config)
{
    if (config->ha_enabled == 0) {
        dca_set_poll_dc(1);
        return 0;
    }
    (void)dca_ha_init(config);
    // The failure lines of both roles are written at level 5.
    if (config->ha_mode == HA_MODE_PRIMARY) {
        if (threadpool_run(dca_ha_primary_thread, nullptr, 1) != 0) {
            log_write(LOG_DEBUG, u"%s_init: NETAPI DCAgent HA couldn't started\n", ME);
            return -1;
        }
        log_write(LOG_MSG, u"%s_init: NETAPI DCAgent HA thread started as primary\n", ME);
    } else if (config->ha_mode == HA_MODE_BACKUP) {
        if (threadpool_run(dca_ha_backup_thread, nullptr, 1) != 0) {
            log_write(LOG_DEBUG, u"%s_init: NETAPI DCAgent HA thread couldn't started \n", ME);
            return -1;
        }
        log_write(LOG_MSG, u"%s_init: NETAPI DCAgent HA thread started backup\n", ME);
    }
    return 0;
}

// 14.5 The eDirectory monitor, on the pool for good.
int
init_edirectory_monitor(config_record *config)
{
    if (threadpool_run(nd_login_event_listner, config, 1) != 0) {
        log_write(LOG_ERROR,
                  u"%s_init: Novell eDirectory  cannot be started '%s' couldn't started\n", ME,
                  u"");
        return -1;
    }
    log_write(LOG_MSG, u"%s_init: edirectory statrted for DC '%s' started\n", ME, u"");
    return 0;
}

// Which configurations run a step.
bool
always(const config_record &)
{
    return true;
}

bool
collector(const config_record &config)
{
    return config.collector_enabled != 0;
}

bool
logoff_detection(const config_record &config)
{
    return config.collector_enabled != 0 && config.logoff_detection_enabled != 0;
}

bool
agent(const config_record &config)
{
    return config.dca_enabled != 0;
}

bool
eventlog_agent(const config_record &config)
{
    return config.dca_enabled != 0 && config.dca_mode == DCA_MODE_EVENTLOG;
}

bool
netapi_agent(const config_record &config)
{
    return config.dca_enabled != 0 && config.dca_mode == DCA_MODE_NETAPI;
}

bool
edirectory_agent(const config_record &config)
{
    return config.dca_enabled != 0 && config.dca_mode == DCA_MODE_EDIRECTORY;
}

struct init_step {
    bool (*wanted)(const config_record &);
    int (*run)(config_record *);
    bool shut_down_on_failure; // the log exists, and says so
};

// The steps in their order; the first failure ends start-up.
constexpr init_step INIT_STEPS[] = {
    {always, init_os_version, false},
    {always, init_base_directory, false},
    {always, init_paths, true},
    {always, init_logs, true},
    {always, init_configuration, false},
    {collector, init_user_store, true},
    {always, init_remote_configuration, true},
    {always, init_thread_pool, true},
    {collector, init_update_queue, true},
    {collector, init_appliance_client, true},
    {collector, init_workstation_poll, true},
    {logoff_detection, init_logoff_detector, true},
    {collector, init_agent_server, true},
    {collector, init_request_server, true},
    {always, init_local_collector, true},
    {agent, init_agent_client, true},
    {eventlog_agent, init_eventlog_monitor, true},
    {netapi_agent, init_session_poller, true},
    {netapi_agent, init_session_poller_ha, true},
    {edirectory_agent, init_edirectory_monitor, true},
};

} // namespace

int
nivo_init()
{
    // 1. The process-wide locks of the eDirectory set-up and the dead-entry store are static
    // objects of their modules and exist before any code runs. Zero the record and version.
    config_record *config = config_get();
    *config = config_record{};
    *config_os_version() = os_version_record{};
    g_service.failure_reason[0] = 0;
    g_service.failure_error = 0;

    for (const init_step &step : INIT_STEPS) {
        if (step.wanted(*config) && step.run(config) != 0) {
            if (step.shut_down_on_failure) {
                nivo_shutdown();
            }
            return -1;
        }
    }
    // 15.
    log_write(LOG_MSG, u"%s_init: Initialization Finished\n", ME);
    return 0;
}

int
service_run()
{
    if (platform_service_dispatch(SERVICE_NAME, Service_Main) == 0) {
        debug_output(u"StartServiceCtrlDispatcher() returned!\n");
    } else {
        char16_t text[128];
        fmt_print_w(text, 128, u"Error code for StartServiceCtrlDispatcher(): %u.\n",
                    static_cast<unsigned int>(platform_last_error()));
        debug_output(text);
    }
    return platform_service_exit_status();
}
