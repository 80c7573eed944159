// The global configuration record and its paths.

#include "config/config.h"

#include "common/text.h"
#include "config/detector_settings.h"
#include "platform/system.h"

namespace {

config_record g_config{};
os_version_record g_os_version{};

// Path buffers hold 1024 UTF-16 units; the executable's path 520.
constexpr std::size_t PATH_UNITS = 1024;
constexpr std::size_t MODULE_PATH_UNITS = 520;

int
set_path(config_record *record, const char16_t *name, char16_t **field)
{
    if (record->base_directory == nullptr) {
        return -1;
    }
    char16_t path[PATH_UNITS];
    if (config_string_cat(record->base_directory, name, path, sizeof path) != 0) {
        return -1;
    }
    config_replace_text(field, path);
    return 0;
}

} // namespace

config_record *
config_get()
{
    return &g_config;
}

os_version_record *
config_os_version()
{
    return &g_os_version;
}

void
config_preinit(config_record *record)
{
    if (record == nullptr) {
        return;
    }
    record->threadpool_size = 16;
    record->dca_enabled = 1;
    record->dca_mode = DCA_MODE_NETAPI;
    record->eventlog_monitor_ntlm = 0;
    record->server_port = 5566;
    record->collector_enabled = 1;
    record->polling_mode = POLLING_MODE_REGISTRY;
    record->dcaserver_port = 5566;
    record->tsso_server_port = 6677;
    record->dead_entry_timeout = 1;
    record->max_agent_connections = 4096;
    record->logoff_detection_enabled = 0;
    record->detection_mode = DETECTION_MODE_PING;
    record->detection_retry = 1;
    record->detection_interval = 600;
    record->logoff_batch_size = LOGOFF_DEFAULT_BATCH_SIZE;
    record->logoff_batch_pause = LOGOFF_DEFAULT_BATCH_PAUSE;
    record->remote_config_enabled = 1;
}

void
config_replace_text(char16_t **field, const char16_t *value)
{
    text_free(*field);
    *field = tsso_string_dup_w(value);
}

int
config_set_basedir(config_record *record)
{
    if (record == nullptr) {
        return -1;
    }
    char16_t path[MODULE_PATH_UNITS];
    if (platform_base_directory(path, MODULE_PATH_UNITS) != 0 || path[0] == 0 ||
        wtext_length(path) >= MODULE_PATH_UNITS - 1) {
        return -1;
    }
    config_replace_text(&record->base_directory, path);
    return 0;
}

int
config_set_dbname(config_record *record)
{
    if (record == nullptr) {
        return -1;
    }
    return set_path(record, u"nivo.db3", &record->db_path);
}

int
config_set_conffile(config_record *record)
{
    if (record == nullptr) {
        return -1;
    }
    return set_path(record, u"nivo.ini", &record->conf_path);
}

int
config_set_logfiles(config_record *record)
{
    if (record == nullptr) {
        return -1;
    }
    if (set_path(record, u"nivo.log", &record->log_path) != 0 ||
        set_path(record, u"nivo.log1", &record->rotated_log_path) != 0 ||
        set_path(record, u"logging_events.log", &record->events_path) != 0 ||
        set_path(record, u"logging_events.log1", &record->rotated_events_path) != 0) {
        return -1;
    }
    return 0;
}
