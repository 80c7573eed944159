// nivo.ini and the post-processing of the configuration.

#include "config/config_parse.h"

#include <cstring>
#include <vector>

#include "common/log.h"
#include "common/number.h"
#include "common/pc1.h"
#include "common/text.h"
#include "base/utf.h"
#include "config/config_lists.h"
#include "dca/filter/dca_filter.h"
#include "platform/eventlog.h"
#include "platform/profile.h"

namespace {

// The profile reader's buffers and its sign of a too small one (size - 2).
constexpr unsigned long SECTION_NAMES_BYTES = 2048;
constexpr unsigned long SECTION_BYTES = 8192;
constexpr std::size_t PATH_UNITS = 1024;
constexpr std::uint32_t THREADPOOL_LIMIT = 1024;
constexpr std::uint16_t DETECTION_INTERVAL_LIMIT = 1800;

std::u16string
utf8_to_u16(std::string_view text)
{
    std::u16string out;
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t used;
        char32_t cp = utf8_decode(bytes + i, text.size() - i, &used);
        char16_t units[2];
        out.append(units, static_cast<std::size_t>(utf_encode<char16_t>(cp, units)));
        i += used;
    }
    return out;
}

std::string
u16_to_utf8(std::u16string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t used;
        char32_t cp = utf16_decode(text.data() + i, text.size() - i, &used);
        char units[4];
        out.append(units, static_cast<std::size_t>(utf_encode<char>(cp, units)));
        i += used;
    }
    return out;
}

// An entry cut at its first "=", both sides as they stand.
struct entry_parts {
    std::u16string key;
    std::u16string value;
};

bool
split_entry(const char16_t *entry, entry_parts *parts)
{
    if (entry == nullptr) {
        return false;
    }
    std::u16string_view text(entry);
    std::size_t equals = text.find(u'=');
    if (equals == std::u16string_view::npos) {
        return false;
    }
    parts->key = text.substr(0, equals);
    parts->value = text.substr(equals + 1);
    return true;
}

bool
is(const std::u16string &text, const char16_t *word)
{
    return wtext_equal_nocase(text.c_str(), word);
}

std::int32_t
number(const std::u16string &text)
{
    return number_parse_auto(text.c_str());
}

// The networks of ALLOWED-AGENT-NETWORKS: "address/prefix" items separated by commas, blanks
// around an item allowed. Every item must be a network the agent filter accepts; an empty item
// (an empty value included) is refused like any other bad one. 0, or -1 (logged by the filter).
int
add_agent_networks(const std::u16string &value)
{
    std::size_t start = 0;
    for (;;) {
        std::size_t comma = value.find(u',', start);
        std::u16string item = value.substr(
            start, comma == std::u16string::npos ? std::u16string::npos : comma - start);
        std::size_t first = item.find_first_not_of(u" \t");
        std::size_t last = item.find_last_not_of(u" \t");
        item =
            first == std::u16string::npos ? std::u16string() : item.substr(first, last - first + 1);
        // The shared network reader takes any prefix text (junk reads as /0, which would admit
        // every address): here it must be a decimal number from 0 to 32.
        std::size_t slash = item.find(u'/');
        std::u16string prefix = slash == std::u16string::npos ? u"" : item.substr(slash + 1);
        int bits = prefix.empty() || prefix.size() > 2 ? -1 : 0;
        for (char16_t c : prefix) {
            bits = bits < 0 || c < u'0' || c > u'9' ? -1 : bits * 10 + (c - u'0');
        }
        if (bits < 0 || bits > 32) {
            log_write(LOG_ERROR, u"add_agent_networks: '%s' is not address/bits\n", item);
            return -1;
        }
        if (dca_agent_addnet_authnetlist(item.c_str()) != 0) {
            return -1;
        }
        if (comma == std::u16string::npos) {
            return 0;
        }
        start = comma + 1;
    }
}

// TRUE gives 1, FALSE 0, anything else -1.
int
boolean_keyword(const std::u16string &value)
{
    if (is(value, u"TRUE")) {
        return 1;
    }
    if (is(value, u"FALSE")) {
        return 0;
    }
    return -1;
}

void
replace_text(char16_t **field, const std::u16string &value)
{
    config_replace_text(field, value.c_str());
}

// The decoded text of an enciphered value: 0 with *out filled, -1 for a value longer than the
// cipher takes, -2 for one too short to hold a key.
int
decipher_to_text(const std::u16string &value, std::u16string *out)
{
    std::string plain;
    int rc = config_decipher_value(u16_to_utf8(value).c_str(), &plain);
    if (rc == 0) {
        *out = utf8_to_u16(plain);
    }
    return rc;
}

void
free_text(char16_t **field)
{
    text_free(*field);
    *field = nullptr;
}

} // namespace

std::u16string
config_decode_bytelist(const char *value)
{
    // Each number is followed by an apostrophe; text after the last apostrophe is ignored.
    std::string bytes;
    if (value != nullptr) {
        const char *p = value;
        for (const char *mark = std::strchr(p, '\''); mark != nullptr;
             mark = std::strchr(p, '\'')) {
            std::string number_text(p, static_cast<std::size_t>(mark - p));
            bytes.push_back(static_cast<char>(number_parse_decimal_a(number_text.c_str()) & 0xff));
            p = mark + 1;
        }
    }
    // Two bytes make one little-endian unit; the text ends at its first zero unit.
    std::u16string text;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        auto low = static_cast<unsigned char>(bytes[i]);
        auto high = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0u;
        auto unit = static_cast<char16_t>(high << 8 | low);
        if (unit == 0) {
            break;
        }
        text.push_back(unit);
    }
    return text;
}

int
config_decipher_value(const char *value, std::string *plain)
{
    if (value == nullptr || plain == nullptr) {
        return -2;
    }
    std::size_t length = std::strlen(value);
    if (length > CONFIG_CIPHER_VALUE_BYTES) {
        return -1;
    }
    std::uint8_t out[1024] = {};
    long n = pc1_decipher_text(value, length, out, sizeof out);
    if (n < 0) {
        return -2;
    }
    // The plaintext is a zero-terminated text.
    std::size_t used = static_cast<std::size_t>(n);
    const void *zero = std::memchr(out, 0, used);
    if (zero != nullptr) {
        used = static_cast<std::size_t>(static_cast<const std::uint8_t *>(zero) - out);
    }
    plain->assign(reinterpret_cast<const char *>(out), used);
    std::memset(out, 0, sizeof out);
    return 0;
}

std::uint32_t
config_ping_retry_count(std::uint8_t detection_retry)
{
    if (detection_retry <= 3) {
        return 3;
    }
    if (detection_retry >= 10) {
        return 10;
    }
    return detection_retry;
}

int
parse_keyvalue_settings(config_record *record, const char16_t *entry)
{
    entry_parts e;
    if (!split_entry(entry, &e)) {
        log_write(LOG_ERROR, u"parse_keyvalue_settings: Invalid KeyValue: %s\n", entry);
        return -1;
    }
    log_write(LOG_MSG, u"\tparse_keyvalue_settings: Key: %s\n", e.key);
    log_write(LOG_MSG, u"\tparse_keyvalue_settings: Value: %s\n", e.value);
    if (is(e.key, u"THREADPOOL-SIZE")) {
        record->threadpool_size = static_cast<std::uint32_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_settings: Threadpool Size: %d\n",
                  static_cast<std::int32_t>(record->threadpool_size));
    } else if (is(e.key, u"HOST-DOMAIN")) {
        replace_text(&record->host_domain, config_decode_bytelist(u16_to_utf8(e.value).c_str()));
        log_write(LOG_MSG, u"\tparse_keyvalue_settings: Host Domain: %s\n", record->host_domain);
    } else if (is(e.key, u"HOST-DOMAIN-FQDN")) {
        replace_text(&record->host_domain_fqdn,
                     config_decode_bytelist(u16_to_utf8(e.value).c_str()));
        log_write(LOG_MSG, u"\tparse_keyvalue_settings: Host Domain (FQDN): %s\n",
                  record->host_domain_fqdn);
    } else if (is(e.key, u"DOMAIN-TYPE")) {
        replace_text(&record->domain_type, e.value);
        log_write(LOG_MSG, u"\tparse_keyvalue_settings: Domain Type : %s\n", record->domain_type);
    } else {
        log_write(LOG_ERROR, u"parse_keyvalue_settings: Invalid Key: %s\n", e.key);
        return -1;
    }
    return 0;
}

int
parse_keyvalue_dca(config_record *record, const char16_t *entry)
{
    entry_parts e;
    if (!split_entry(entry, &e)) {
        log_write(LOG_MSG, u"parse_keyvalue_dca: Invalid KeyValue: %s\n", entry);
        return -1;
    }
    log_write(LOG_MSG, u"\tparse_keyvalue_dca: Key: %s\n", e.key);
    log_write(LOG_MSG, u"\tparse_keyvalue_dca: Value: %s\n", e.value);
    if (is(e.key, u"ENABLED")) {
        int on = boolean_keyword(e.value);
        if (on == 1) {
            record->dca_enabled = 1;
            log_write(LOG_MSG, u"\tparse_keyvalue_dca: DC Agent to be Enabled\n");
        } else if (on == 0) {
            record->dca_enabled = 0;
            log_write(LOG_MSG, u"\tparse_keyvalue_dca: DC Agent to be Disabled\n");
        } else {
            log_write(LOG_ERROR, u"\tparse_keyvalue_dca: Invalid ENABLED Value: %s\n", e.value);
        }
    } else if (is(e.key, u"DCA-MODE")) {
        if (is(e.value, u"EVENTLOG")) {
            record->dca_mode = DCA_MODE_EVENTLOG;
            log_write(LOG_MSG, u"\tparse_keyvalue_dca: dca_mode to be EVENTLOG\n");
        } else if (is(e.value, u"NETAPI")) {
            record->dca_mode = DCA_MODE_NETAPI;
            log_write(LOG_MSG, u"\tparse_keyvalue_dca: dca_mode to be NETAPI\n");
        } else if (is(e.value, u"EDIRECTORY")) {
            record->dca_mode = DCA_MODE_EDIRECTORY;
            log_write(LOG_MSG, u"\tparse_keyvalue_dca: dca_mode to be NOVELL EDIRECTORY\n");
        } else {
            log_write(LOG_ERROR, u"\tparse_keyvalue_dca: Invalid DCA-MODE Value: %s\n", e.value);
        }
    } else if (is(e.key, u"EVENTLOG-MONITOR-NTLM")) {
        int on = boolean_keyword(e.value);
        if (on == 1) {
            record->eventlog_monitor_ntlm = 1;
            log_write(LOG_MSG, u"\tparse_keyvalue_dca: NTLM Eventlog to be Monitored\n");
        } else if (on == 0) {
            record->eventlog_monitor_ntlm = 0;
            log_write(LOG_MSG, u"\tparse_keyvalue_dca: NTLM Eventlog not to be Monitored\n");
        } else {
            log_write(LOG_ERROR, u"\tparse_keyvalue_dca: Invalid EVENTLOG-MONITOR-NTLM Value: %s\n",
                      e.value);
        }
    } else if (is(e.key, u"DC-POLL-INTERVAL")) {
        record->dc_poll_interval = static_cast<std::uint32_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_dca: DC-POLL-INTERVAL: %d\n",
                  static_cast<std::int32_t>(record->dc_poll_interval));
    } else if (is(e.key, u"SERVER-IP")) {
        replace_text(&record->server_ip, e.value);
        log_write(LOG_MSG, u"\tparse_keyvalue_dca: SERVER-IP: %s\n", record->server_ip);
    } else if (is(e.key, u"SERVER-PORT")) {
        record->server_port = static_cast<std::uint16_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_dca: SERVER-PORT: %d\n", record->server_port);
    } else if (platform_eventlog_has_source_file && is(e.key, u"EVENTLOG-FILE")) {
        // Where the event source reads the domain controller's audit log; only a platform
        // whose event log is a file has the key.
        replace_text(&record->eventlog_file, e.value);
        log_write(LOG_MSG, u"\tparse_keyvalue_dca: EVENTLOG-FILE: %s\n", record->eventlog_file);
    } else {
        log_write(LOG_ERROR, u"parse_keyvalue_dca: Invalid Key: %s\n", e.key);
        return -1;
    }
    return 0;
}

int
parse_keyvalue_cidmgr(config_record *record, const char16_t *entry)
{
    entry_parts e;
    if (!split_entry(entry, &e)) {
        log_write(LOG_ERROR, u"parse_keyvalue_cidmgr: Invalid KeyValue: %s\n", entry);
        return -1;
    }
    log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: Key: %s\n", e.key);
    log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: Value: %s\n", e.value);
    if (is(e.key, u"ENABLED")) {
        int on = boolean_keyword(e.value);
        if (on == 1) {
            record->collector_enabled = 1;
            log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: CID Manager to be Enabled\n");
        } else if (on == 0) {
            record->collector_enabled = 0;
            log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: CID Manager to be Disabled\n");
        } else {
            log_write(LOG_ERROR, u"\tparse_keyvalue_cidmgr: Invalid ENABLED Value: %s\n", e.value);
        }
    } else if (is(e.key, u"POLLING-MODE")) {
        if (is(e.value, u"WMI")) {
            record->polling_mode = POLLING_MODE_WMI;
            log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: POLLING-MODE to be WMI\n");
        } else if (is(e.value, u"REGISTRY")) {
            record->polling_mode = POLLING_MODE_REGISTRY;
            log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: POLLING-MODE to be REGISTRY\n");
        } else if (is(e.value, u"LDAP")) {
            record->polling_mode = POLLING_MODE_LDAP;
            log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: POLLING-MODE to be LDAP\n");
        } else {
            log_write(LOG_ERROR, u"\tparse_keyvalue_cidmgr: Invalid POLLING-MODE value: %s\n",
                      e.value);
        }
    } else if (is(e.key, u"DCASERVER-PORT")) {
        record->dcaserver_port = static_cast<std::uint16_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: DCASERVER-PORT: %d\n",
                  record->dcaserver_port);
    } else if (is(e.key, u"TSSO-SERVER-PORT")) {
        record->tsso_server_port = static_cast<std::uint16_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: TSSO-SERVER-PORT: %d\n",
                  record->tsso_server_port);
    } else if (is(e.key, u"DEAD-ENTRY-TIMEOUT")) {
        // The dead-entry store reads the value as a decimal number (the line shows it read
        // with automatic base, as every other number).
        record->dead_entry_timeout = number_parse_decimal(e.value.c_str());
        log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: DEAD-ENTRY-TIMEOUT: %d\n", number(e.value));
    } else if (is(e.key, u"ALLOWED-AGENT-NETWORKS")) {
        // Without this key any address may act as an agent; with it only these networks.
        log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: ALLOWED-AGENT-NETWORKS: %s\n", e.value);
        if (add_agent_networks(e.value) != 0) {
            log_write(LOG_ERROR,
                      u"\tparse_keyvalue_cidmgr: Invalid ALLOWED-AGENT-NETWORKS Value: %s\n",
                      e.value);
            return -1;
        }
        dca_print_authnetlist(DCA_NETLIST_AGENT);
    } else {
        log_write(LOG_ERROR, u"parse_keyvalue_cidmgr: Invalid Key: %s\n", e.key);
        return -1;
    }
    return 0;
}

int
parse_keyvalue_logoffdetect(config_record *record, const char16_t *entry)
{
    entry_parts e;
    if (!split_entry(entry, &e)) {
        log_write(LOG_ERROR, u"parse_keyvalue_logoffdetect: Invalid KeyValue: %s\n", entry);
        return -1;
    }
    log_write(LOG_MSG, u"\tparse_keyvalue_logoffdetect: Key: %s\n", e.key);
    log_write(LOG_MSG, u"\tparse_keyvalue_logoffdetect: Value: %s\n", e.value);
    if (is(e.key, u"ENABLED")) {
        int on = boolean_keyword(e.value);
        if (on == 1) {
            record->logoff_detection_enabled = 1;
            log_write(LOG_MSG, u"\tparse_keyvalue_logoffdetect: Logoff Detector to be Enabled\n");
        } else if (on == 0) {
            record->logoff_detection_enabled = 0;
            log_write(LOG_MSG, u"\tparse_keyvalue_logoffdetect: Logoff Detector to be Disabled\n");
        } else {
            log_write(LOG_ERROR, u"\tparse_keyvalue_logoffdetect: Invalid ENABLED Value: %s\n",
                      e.value);
        }
    } else if (is(e.key, u"DETECTION-MODE")) {
        if (is(e.value, u"PING")) {
            record->detection_mode = DETECTION_MODE_PING;
            log_write(LOG_MSG,
                      u"\tparse_keyvalue_logoffdetect: DETECTION-MODE to be WORKSTATION-PING\n");
        } else if (is(e.value, u"WORKSTATION-POLL")) {
            record->detection_mode = DETECTION_MODE_WORKSTATION_POLL;
            log_write(LOG_MSG,
                      u"\tparse_keyvalue_logoffdetect: DETECTION-MODE to be WORKSTATION-POLL\n");
        } else if (is(e.value, u"LDAP")) {
            record->detection_mode = DETECTION_MODE_LDAP;
            log_write(LOG_MSG,
                      u"\tparse_keyvalue_logoffdetect: DETECTION-MODE to be LDAP-FILTER\n");
        } else {
            log_write(LOG_ERROR,
                      u"\tparse_keyvalue_logoffdetect: Invalid DETECTION-MODE Value: %s\n",
                      e.value);
        }
    } else if (is(e.key, u"DETECTION-INTERVAL")) {
        record->detection_interval = static_cast<std::uint16_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_logoffdetect: DETECTION-INTERVAL: %d\n",
                  record->detection_interval);
    } else if (is(e.key, u"DETECTION-RETRY")) {
        record->detection_retry = static_cast<std::uint8_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_logoffdetect: DETECTION-RETRY: %d\n",
                  record->detection_retry);
    } else if (is(e.key, u"PING-TIMEOUT")) {
        record->ping_timeout = static_cast<std::uint32_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_logoffdetect: PING-TIMEOUT: %d\n",
                  static_cast<std::int32_t>(record->ping_timeout));
    } else {
        log_write(LOG_MSG, u"parse_keyvalue_logoffdetect: Invalid Key: %s\n", e.key);
        return -1;
    }
    return 0;
}

int
parse_keyvalue_logging(config_record *record, const char16_t *entry)
{
    entry_parts e;
    if (!split_entry(entry, &e)) {
        log_write(LOG_MSG, u"parse_keyvalue_logging: Invalid KeyValue: %s\n", entry);
        return -1;
    }
    log_write(LOG_MSG, u"\tparse_keyvalue_logging: Key: %s\n", e.key);
    log_write(LOG_MSG, u"\tparse_keyvalue_logging: Value: %s\n", e.value);
    if (is(e.key, u"LOG-LEVEL")) {
        record->log_level = static_cast<std::uint8_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_logging: LOG-LEVEL: %d\n", record->log_level);
    } else if (is(e.key, u"LOG-FILE")) {
        wtext_ptr old_log(tsso_string_dup_w(record->log_path));
        wtext_ptr old_rotated(tsso_string_dup_w(record->rotated_log_path));
        std::u16string rotated = e.value + u"1";
        replace_text(&record->log_path, e.value);
        replace_text(&record->rotated_log_path, rotated);
        log_write(LOG_NOTICE,
                  u"\tparse_keyvalue_logging: log file is being re-initialized to '%s'\n", e.value);
        log_write(LOG_NOTICE,
                  u"\tparse_keyvalue_logging: please read next log messages from '%s'\n", e.value);
        log_fini();
        if (log_int(record->log_path, record->rotated_log_path, record->events_path,
                    record->rotated_events_path) != 0) {
            // Go back to the files that were open, so that this failure and what follows are
            // still written somewhere.
            config_replace_text(&record->log_path, old_log.get());
            config_replace_text(&record->rotated_log_path, old_rotated.get());
            log_int(record->log_path, record->rotated_log_path, record->events_path,
                    record->rotated_events_path);
            log_write(LOG_ERROR,
                      u"\tparse_keyvalue_logging: log file couldn't re-initialized to '%s'\n",
                      e.value);
            return -1;
        }
    } else if (is(e.key, u"BUFFER-SIZE")) {
        record->log_buffer_size = static_cast<std::uint32_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_logging: BUFFER-SIZE: %d\n",
                  static_cast<std::int32_t>(record->log_buffer_size));
    } else if (is(e.key, u"OVERFLOW-ACTION")) {
        if (is(e.value, u"TRUNCATE")) {
            record->overflow_action = LOG_OVERFLOW_TRUNCATE;
            log_write(LOG_MSG,
                      u"\tparse_keyvalue_logging: OVERFLOW-ACTION to be TRUNCATE the Logfile\n");
        } else if (is(e.value, u"ROTATE")) {
            record->overflow_action = LOG_OVERFLOW_ROTATE;
            log_write(LOG_MSG,
                      u"\tparse_keyvalue_logging: OVERFLOW-ACTION to be ROTATE the Logfile\n");
        } else {
            log_write(LOG_ERROR, u"\tparse_keyvalue_logging: Invalid OVERFLOW-ACTION Value: %s\n",
                      e.value);
        }
    } else if (is(e.key, u"LOGGING-EVENTS-BUFFER-SIZE")) {
        record->logging_events_buffer_size = static_cast<std::uint32_t>(number(e.value));
        log_write(LOG_MSG, u"\tparse_keyvalue_logging: LOGGING-EVENTS-BUFFER-SIZE: %d\n",
                  static_cast<std::int32_t>(record->logging_events_buffer_size));
    } else {
        log_write(LOG_ERROR, u"parse_keyvalue_logging: Invalid Key: %s\n", e.key);
        return -1;
    }
    return 0;
}

int
parse_keyvalue_accountcred(config_record *record, const char16_t *entry)
{
    entry_parts e;
    if (!split_entry(entry, &e)) {
        log_write(LOG_ERROR, u"parse_keyvalue_accountcred: Invalid KeyValue: %s\n", entry);
        return -1;
    }
    log_write(LOG_MAX, u"\tparse_keyvalue_accountcred: Key: %s\n", e.key);
    log_write(LOG_MAX, u"\tparse_keyvalue_accountcred: Value: %s\n", e.value);
    std::u16string result;
    if (e.value.find(u'\'') != std::u16string::npos) {
        result = config_decode_bytelist(u16_to_utf8(e.value).c_str());
    } else {
        int rc = decipher_to_text(e.value, &result);
        if (rc == -1) {
            log_write(LOG_ERROR, u"parse_keyvalue_accountcred: Decryption Data Set failed\n");
            return -1;
        }
        if (rc != 0) {
            log_write(LOG_ERROR, u"parse_keyvalue_accountcred: Decryption Data Get failed\n");
            return -1;
        }
    }
    if (is(e.key, u"USERNAME")) {
        replace_text(&record->username, result);
    } else if (is(e.key, u"PASSWORD")) {
        replace_text(&record->password, result);
    } else {
        log_write(LOG_ERROR, u"parse_keyvalue_accountcred: Invalid Key: %s\n", e.key);
        return -1;
    }
    return 0;
}

int
parse_keyvalue_edirectory(config_record *record, const char16_t *entry)
{
    entry_parts e;
    if (!split_entry(entry, &e)) {
        log_write(LOG_ERROR, u"parse_keyvalue_edirectory: Invalid KeyValue: %s\n", entry);
        return -1;
    }
    bool secret = is(e.key, u"ADMIN-USER-DN") || is(e.key, u"PASSWORD");
    log_write(LOG_DEBUG, u"parse_keyvalue_edirectory: Key: %s\n", e.key);
    // An enciphered value carries its own key: it is a secret in clear, written only at the
    // level that also shows the account credentials.
    log_write(secret ? LOG_MAX : LOG_DEBUG, u"parse_keyvalue_edirectory: Value: %s\n", e.value);
    if (is(e.key, u"EDIRECTORY-SERVER-IP")) {
        replace_text(&record->edirectory_server_ip, e.value);
        log_write(LOG_DEBUG, u"parse_keyvalue_edirectory: novell edirectory ip address: %s\n",
                  record->edirectory_server_ip);
    } else if (is(e.key, u"EDIRECTORY-SERVER-PORT")) {
        record->edirectory_server_port = number(e.value);
        log_write(LOG_DEBUG, u"parse_keyvalue_edirectory: novell edirectory port : %d\n",
                  record->edirectory_server_port);
    } else if (is(e.key, u"USER-BASE-DN")) {
        replace_text(&record->user_base_dn, e.value);
        log_write(LOG_DEBUG, u"parse_keyvalue_edirectory: novell edirectory user DN : %s\n",
                  record->user_base_dn);
    } else if (secret) {
        bool password = is(e.key, u"PASSWORD");
        if (password) {
            log_write(LOG_DEBUG, u"parse_keyvalue_edirectory: parsing password..");
        }
        std::u16string result;
        int rc = decipher_to_text(e.value, &result);
        if (rc == -1) {
            log_write(LOG_ERROR, u"parse_keyvalue_edirectory: Decryption Data Set failed\n");
            return -1;
        }
        if (rc != 0) {
            log_write(LOG_ERROR, u"parse_keyvalue_edirectory: Decryption Data Get failed\n");
            return -1;
        }
        if (password) {
            replace_text(&record->edirectory_password, result);
        } else {
            replace_text(&record->admin_user_dn, result);
            log_write(LOG_DEBUG, u"parse_keyvalue_edirectory: parsed admin DN..");
        }
    }
    return 0;
}

int
parse_keyvalue_ha_setting(config_record *record, const char16_t *entry)
{
    entry_parts e;
    if (!split_entry(entry, &e)) {
        log_write(LOG_DEBUG, u"parse_keyvalue_ha_setting: Invalid KeyValue: %s\n", entry);
        return -1;
    }
    log_write(LOG_DEBUG, u"\tparse_keyvalue_ha_setting: Key: %s\n", e.key);
    log_write(LOG_DEBUG, u"\tparse_keyvalue_ha_setting: Value: %s\n", e.value);
    if (is(e.key, u"HA-ENABLED")) {
        int on = boolean_keyword(e.value);
        if (on < 0) {
            log_write(LOG_ERROR, u"parse_keyvalue_ha_setting: Invalid Key value: %s\n", e.value);
            return -1;
        }
        record->ha_enabled = static_cast<std::uint32_t>(on);
        if (on == 1) {
            log_write(LOG_DEBUG, u"\tparse_keyvalue_ha_setting: HA Mode of Agent is Enabled\n");
        } else {
            log_write(LOG_DEBUG, u"\tparse_keyvalue_ha_setting: HA Mode of Agent is Disabled\n");
        }
    } else if (is(e.key, u"HA-MODE")) {
        if (is(e.value, u"PRIMARY")) {
            record->ha_mode = HA_MODE_PRIMARY;
            log_write(LOG_DEBUG, u"\tparse_keyvalue_ha_setting: HA Mode of Agent to be Primary\n");
        } else if (is(e.value, u"BACKUP")) {
            record->ha_mode = HA_MODE_BACKUP;
            log_write(LOG_DEBUG, u"\tparse_keyvalue_ha_setting: HA Mode of Agent to be Backup\n");
        } else {
            log_write(LOG_ERROR, u"parse_keyvalue_ha_setting: Invalid Key value: %s\n", e.value);
            return -1;
        }
    } else if (is(e.key, u"MONITORED-PORT")) {
        record->monitored_port = static_cast<std::uint16_t>(number(e.value));
        log_write(LOG_ERROR, u"\tparse_keyvalue_ha_setting: Monitored Port: %d\n",
                  record->monitored_port);
    } else if (is(e.key, u"MONITORING-IP")) {
        replace_text(&record->monitoring_ip, e.value);
        log_write(LOG_ERROR, u"\tparse_keyvalue_ha_setting: Monitoring IP: %s\n",
                  record->monitoring_ip);
    } else if (is(e.key, u"MONITORING-PORT")) {
        record->monitoring_port = static_cast<std::uint16_t>(number(e.value));
        log_write(LOG_ERROR, u"\tparse_keyvalue_ha_setting: Monitoring Port: %d\n",
                  record->monitoring_port);
    } else {
        log_write(LOG_ERROR, u"parse_keyvalue_ha_setting: Invalid Key: %s\n", e.key);
        return -1;
    }
    return 0;
}

int
parse_keyvalue(config_record *record, const char16_t *section, const char16_t *entry)
{
    using parser = int (*)(config_record *, const char16_t *);
    static constexpr struct {
        const char16_t *name;
        parser parse;
    } sections[] = {
        {u"SETTINGS", parse_keyvalue_settings},
        {u"NIV-AGENT", parse_keyvalue_dca},
        {u"NIV-COLLECTOR", parse_keyvalue_cidmgr},
        {u"LOGOFF-DETECTION", parse_keyvalue_logoffdetect},
        {u"LOGGING", parse_keyvalue_logging},
        {u"ACCOUNT-CREDENTIALS", parse_keyvalue_accountcred},
        {u"EDIRECTORY-SETTING", parse_keyvalue_edirectory},
        {u"HA-SETTING", parse_keyvalue_ha_setting},
    };
    for (const auto &s : sections) {
        if (wtext_equal_nocase(section, s.name)) {
            return s.parse(record, entry);
        }
    }
    log_write(LOG_ERROR, u"parse_keyvalue: Invalid SectionName: %s\n", section);
    return -1;
}

int
parse_configfile(const char16_t *path, config_record *record)
{
    if (path == nullptr || record == nullptr) {
        log_write(LOG_ERROR, u"parse_configfile: Invalid Input Parameters\n");
        return -1;
    }
    config_preinit(record);

    std::string narrow_path = u16_to_utf8(path);
    std::vector<char> names(SECTION_NAMES_BYTES);
    unsigned long used =
        platform_profile_section_names(names.data(), SECTION_NAMES_BYTES, narrow_path.c_str());
    if (used == SECTION_NAMES_BYTES - 2) {
        log_write(LOG_ERROR, u"parse_configfile: GetSections: buffer overflow\n");
        return -1;
    }
    std::vector<char> entries(SECTION_BYTES);
    for (unsigned long at = 0; at < used && names[at] != 0;) {
        const char *name = names.data() + at;
        std::size_t name_length = std::strlen(name);
        at += static_cast<unsigned long>(name_length) + 1;
        log_write(LOG_MSG, u"parse_configfile: SectionName: %S\n", name);

        unsigned long n =
            platform_profile_section(name, entries.data(), SECTION_BYTES, narrow_path.c_str());
        if (n == SECTION_BYTES - 2) {
            log_write(LOG_ERROR, u"parse_configfile: GetKeyValue: buffer overflow\n");
            return -1;
        }
        std::u16string section = utf8_to_u16(std::string_view(name, name_length));
        for (unsigned long e = 0; e < n && entries[e] != 0;) {
            std::size_t length = std::strlen(entries.data() + e);
            std::u16string entry = utf8_to_u16(std::string_view(entries.data() + e, length));
            e += static_cast<unsigned long>(length) + 1;
            if (parse_keyvalue(record, section.c_str(), entry.c_str()) < 0) {
                log_write(LOG_ERROR, u"parse_configfile: KeyValue parsing failed for Section: %s\n",
                          section);
                return -1;
            }
        }
    }
    if (config_postinit(record) != 0) {
        log_write(LOG_ERROR, u"parse_configfile: post-configuration failed\n");
        return -1;
    }
    return 0;
}

namespace {

// base directory + separator + name, or empty when it does not fit.
std::u16string
list_path(const config_record *record, const char16_t *name)
{
    char16_t path[PATH_UNITS];
    if (record->base_directory == nullptr ||
        config_string_cat(record->base_directory, name, path, sizeof path) != 0) {
        return {};
    }
    return path;
}

} // namespace

int
config_postinit(config_record *record)
{
    if (record == nullptr) {
        return -1;
    }
    // 1, 2. The host domain pair; an empty decoded text is as good as none (a value written
    // without the byte-list form decodes to nothing).
    if (record->host_domain == nullptr || record->host_domain[0] == 0) {
        log_write(LOG_ERROR, u"config_postinit: Unknown HOST-DOMAIN\n");
        return -1;
    }
    if (record->host_domain_fqdn == nullptr || record->host_domain_fqdn[0] == 0) {
        log_write(LOG_ERROR, u"config_postinit: Unknown HOST-DOMAIN-FQDN\n");
        return -1;
    }
    dca_set_hostdomain(record->host_domain, record->host_domain_fqdn);

    // 3.
    if (record->server_ip == nullptr) {
        config_replace_text(&record->server_ip, u"127.0.0.1");
    }
    // 4. NTLM monitoring (eventlog_monitor_ntlm) is handed to the event-log monitor at start.
    // 5.
    if (record->detection_interval > DETECTION_INTERVAL_LIMIT) {
        record->detection_interval = DETECTION_INTERVAL_LIMIT;
    }
    // 6. A DETECTION-RETRY above 5 does not touch DETECTION-INTERVAL: the retry count is bounded
    // on its own below, and an interval of 5 seconds would only flood the workstations.
    // 7, 8. The workstation ping's bounded retry count; start-up hands it and PING-TIMEOUT to
    // the ping.
    record->ping_retry_count =
        record->detection_retry != 0 ? config_ping_retry_count(record->detection_retry) : 0;

    // 9. The DC list, and two pool threads per domain controller.
    std::u16string path = list_path(record, u"dc-list.ini");
    if (!path.empty()) {
        config_parse_namefile(path.c_str(), CONFIG_LIST_DC, record);
    }
    config_print_dclist(record);
    std::uint64_t pool =
        std::uint64_t{record->threadpool_size} + 2 * std::uint64_t{config_count_dclist(record)};
    record->threadpool_size =
        static_cast<std::uint32_t>(pool > THREADPOOL_LIMIT ? THREADPOOL_LIMIT : pool);
    log_write(LOG_MSG, u"config_postinit: Threadpool Size Reset to '%d' threads\n",
              static_cast<std::int32_t>(record->threadpool_size));

    // 10. The other list files, each printed after it is read.
    if (path = list_path(record, u"gw-list.ini"); !path.empty()) {
        config_parse_namefile(path.c_str(), CONFIG_LIST_GW, record);
        config_print_gwlist(record);
    }
    if (path = list_path(record, u"authnet-list.ini"); !path.empty()) {
        config_parse_namefile(path.c_str(), CONFIG_LIST_AUTHNET, record);
        dca_print_authnetlist(DCA_NETLIST_AUTH);
    }
    if (path = list_path(record, u"logoff-exclusion-list.ini"); !path.empty()) {
        config_parse_namefile(path.c_str(), CONFIG_LIST_LOGOFF_EXCLUSION, record);
        dca_print_ipexcllist(DCA_IPLIST_LOGOFF);
        dca_print_authnetlist(DCA_NETLIST_LOGOFF);
    }
    if (path = list_path(record, u"login-ip-exclusion-list.ini"); !path.empty()) {
        config_parse_namefile(path.c_str(), CONFIG_LIST_LOGIN_EXCLUSION, record);
        dca_print_ipexcllist(DCA_IPLIST_LOGIN);
        dca_print_authnetlist(DCA_NETLIST_LOGIN);
    }
    if (path = list_path(record, u"domain-list.ini"); !path.empty()) {
        config_parse_namefile(path.c_str(), CONFIG_LIST_DOMAIN, record);
        dca_print_domainlist();
    }
    if (path = list_path(record, u"user-exclusion-list.ini"); !path.empty()) {
        config_parse_unicode_namefile(path.c_str(), CONFIG_LIST_USER_EXCLUSION, record);
        dca_print_userexcllist();
    }
    if (path = list_path(record, u"coll-list.ini"); !path.empty()) {
        config_parse_namefile(path.c_str(), CONFIG_LIST_COLLECTOR, record);
        config_print_colllist(record);
    }

    // 11. The logging settings, each only when set.
    if (record->log_level != 0) {
        log_set_loglevel(record->log_level);
    }
    if (record->log_buffer_size != 0) {
        log_set_logfile_maxsize(record->log_buffer_size);
    }
    if (record->logging_events_buffer_size != 0) {
        log_set_loggingfile_maxsize(record->logging_events_buffer_size);
    }
    if (record->overflow_action != 0) {
        log_set_overflow_action(record->overflow_action);
    }
    log_write(LOG_DEBUG, u"Starting the service configuration is done now..\n");
    return 0;
}

void
config_release(config_record *record)
{
    if (record == nullptr) {
        return;
    }
    char16_t **texts[] = {&record->username,
                          &record->password,
                          &record->admin_user_dn,
                          &record->user_base_dn,
                          &record->edirectory_password,
                          &record->edirectory_server_ip,
                          &record->host_domain,
                          &record->host_domain_fqdn,
                          &record->domain_type,
                          &record->base_directory,
                          &record->conf_path,
                          &record->db_path,
                          &record->server_ip,
                          &record->log_path,
                          &record->rotated_log_path,
                          &record->events_path,
                          &record->rotated_events_path,
                          &record->monitoring_ip,
                          &record->eventlog_file};
    for (char16_t **text : texts) {
        free_text(text);
    }
    config_free_lists(record);
    *record = config_record{};
}
