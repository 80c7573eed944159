// config: the global configuration record, one per process.
//
// The record is written during start-up only, by the thread that runs the start-up, before any
// other thread of the service exists; afterwards every thread reads it without a lock.
// config_get() returns it. Texts are owned UTF-16 texts (std::malloc), released and replaced when
// a key occurs again. Numbers that are 0 ("not set") leave the defaults of the receiving module
// in force.
#pragma once

#include <cstdint>

struct dc_node;
struct gw_node;
struct coll_node;
struct gw_net_node;

// Keyword values.
enum : std::uint32_t { DCA_MODE_EVENTLOG = 1, DCA_MODE_NETAPI = 2, DCA_MODE_EDIRECTORY = 3 };
enum : std::uint8_t { POLLING_MODE_WMI = 1, POLLING_MODE_REGISTRY = 2, POLLING_MODE_LDAP = 3 };
enum : std::uint8_t {
    DETECTION_MODE_PING = 1,
    DETECTION_MODE_WORKSTATION_POLL = 2,
    DETECTION_MODE_LDAP = 3
};
enum : std::uint8_t { HA_MODE_PRIMARY = 1, HA_MODE_BACKUP = 2 };

struct config_record {
    // ACCOUNT-CREDENTIALS
    char16_t *username;
    char16_t *password;
    // EDIRECTORY-SETTING
    char16_t *admin_user_dn;
    char16_t *user_base_dn;
    char16_t *edirectory_password;
    char16_t *edirectory_server_ip;
    std::int32_t edirectory_server_port;
    // SETTINGS
    std::uint32_t threadpool_size;
    char16_t *host_domain;
    char16_t *host_domain_fqdn;
    char16_t *domain_type;
    // paths
    char16_t *base_directory;
    char16_t *conf_path;
    char16_t *db_path;
    // NIV-AGENT
    std::uint32_t dca_enabled;
    std::uint32_t dca_mode;
    std::uint32_t eventlog_monitor_ntlm;
    char16_t *eventlog_file; // EVENTLOG-FILE: where the event source lives (POSIX)
    std::uint32_t dc_poll_interval;
    char16_t *server_ip;
    std::uint16_t server_port;
    // NIV-COLLECTOR
    std::uint32_t collector_enabled;
    std::uint8_t polling_mode;
    std::uint16_t dcaserver_port;
    std::uint16_t tsso_server_port;
    std::int32_t dead_entry_timeout;     // DEAD-ENTRY-TIMEOUT, hours, decimal (default 1)
    std::uint32_t max_agent_connections; // MAX-AGENT-CONNECTIONS (default 4096)
    std::uint32_t getallusers_rate;      // GETALLUSERS-RATE, datagrams a second (0: unpaced)
    // LOGOFF-DETECTION
    std::uint32_t logoff_detection_enabled;
    std::uint8_t detection_mode;
    std::uint8_t detection_retry;
    std::uint16_t detection_interval;
    std::uint32_t ping_timeout;
    std::uint16_t logoff_batch_size;  // BATCH-SIZE, rows per select (default 5)
    std::uint16_t logoff_batch_pause; // BATCH-PAUSE, seconds after a batch (default 5)
    // LOG-FILE and the log paths
    char16_t *log_path;
    char16_t *rotated_log_path;
    char16_t *events_path;
    char16_t *rotated_events_path;
    std::uint32_t log_buffer_size;
    std::uint32_t logging_events_buffer_size;
    std::uint8_t overflow_action;
    std::uint8_t log_level;
    // HA-SETTING
    std::uint32_t ha_enabled;
    std::uint8_t ha_mode;
    char16_t *monitoring_ip;
    std::uint16_t monitored_port;
    std::uint16_t monitoring_port;
    // REMOTE-CONFIG: whether the configuration receiver runs, and the networks it takes pushes
    // from (null: any address). Both kept from the local nivo.ini on every push.
    std::uint32_t remote_config_enabled;
    gw_net_node *remote_config_networks;
    // list heads
    dc_node *dc_list;
    gw_node *gw_list;
    coll_node *coll_list;
    // Derived by the post-processing: the retry count for the workstation ping (3 to 10), 0 when
    // DETECTION-RETRY is 0 and the ping keeps its own.
    std::uint32_t ping_retry_count;
};

config_record *config_get();

// The operating system's version, read once during start-up (the event-log monitor and the
// workstation poll choose by it).
struct os_version_record {
    unsigned long major;
    unsigned long minor;
};
os_version_record *config_os_version();

// Field 12: the base directory. 0, or -1.
int config_set_basedir(config_record *record);
// Fields 14, 13 and 30 to 33: base directory + separator + file name. 0, or -1 (logged).
int config_set_dbname(config_record *record);
int config_set_conffile(config_record *record);
int config_set_logfiles(config_record *record);

// Sets the defaults of the record's numbers (the record is zeroed before): THREADPOOL-SIZE 16,
// both roles enabled, DCA-MODE NETAPI, NTLM monitoring off, SERVER-PORT and DCASERVER-PORT 5566,
// POLLING-MODE REGISTRY, TSSO-SERVER-PORT 6677, MAX-AGENT-CONNECTIONS 4096, logoff detection off in
// PING mode with one retry, a DETECTION-INTERVAL of 600 seconds and batches of 5 rows 5 seconds
// apart, the configuration receiver enabled.
void config_preinit(config_record *record);

// Replaces an owned text of the record with a copy of value (null clears it).
void config_replace_text(char16_t **field, const char16_t *value);
