// nivo.ini and the post-processing of the configuration.

#include "config/config_parse.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <type_traits>
#include <vector>

#include "common/log.h"
#include "common/number.h"
#include "common/pc1.h"
#include "common/text.h"
#include "config/config_lists.h"
#include "config/detector_settings.h"
#include "dca/filter/dca_filter.h"
#include "platform/eventlog.h"
#include "platform/profile.h"
#include "platform/socket.h"

namespace {

// The profile reader's buffers and its sign of a too small one (size - 2).
constexpr unsigned long SECTION_NAMES_BYTES = 2048;
constexpr unsigned long SECTION_BYTES = 8192;
constexpr std::size_t PATH_UNITS = 1024;
constexpr std::uint32_t THREADPOOL_LIMIT = 1024;

// The shared conversions, with buffers that always suffice: UTF-8 takes at least one byte for
// each UTF-16 unit it gives, and a UTF-16 unit never needs more than three bytes of UTF-8.
// Malformed input reads as U+FFFD.
std::u16string
utf8_to_u16(const char *text)
{
    std::vector<char16_t> out(std::strlen(text) + 2);
    int units = convert_ascii_to_unicode(text, out.data(), out.size());
    return units > 0 ? std::u16string(out.data(), static_cast<std::size_t>(units - 1))
                     : std::u16string();
}

std::string
u16_to_utf8(const char16_t *text)
{
    std::string out(3 * wtext_length(text) + 1, '\0');
    if (convert_unicode_to_ascii(text, out.data(), out.size()) != 0) {
        return {};
    }
    out.resize(std::strlen(out.c_str()));
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

// A list of networks: "address/prefix" items separated by commas, blanks around an item
// allowed. Every item must be an IPv4 network with a decimal prefix from 0 to 32, each handed to
// add; an empty item (an empty value included) is refused like any other bad one. 0, or -1
// (logged by who, or by add).
int
add_networks(const char16_t *who, const std::u16string &value, config_record *record,
             int (*add)(config_record *, const std::u16string &item, int bits))
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
            log_write(LOG_ERROR, u"%s: '%s' is not address/bits\n", who, item);
            return -1;
        }
        if (add(record, item, bits) != 0) {
            return -1;
        }
        if (comma == std::u16string::npos) {
            return 0;
        }
        start = comma + 1;
    }
}

int
add_agent_network(config_record *, const std::u16string &item, int)
{
    return dca_agent_addnet_authnetlist(item.c_str());
}

// One network of ALLOWED-NETWORKS, appended to the record's list (masked, host byte order).
int
add_remote_config_network(config_record *record, const std::u16string &item, int bits)
{
    std::u16string address = item.substr(0, item.find(u'/'));
    std::uint32_t ipv4 = 0;
    if (platform_ipv4_from_text(address.c_str(), &ipv4) != 0) {
        log_write(LOG_ERROR, u"add_remote_config_networks: '%s' is not address/bits\n", item);
        return -1;
    }
    std::uint32_t mask = number_prefix_to_mask(bits);
    auto *node = new (std::nothrow) gw_net_node{ipv4 & mask, mask, nullptr};
    if (node == nullptr) {
        return -1;
    }
    gw_net_node **tail = &record->remote_config_networks;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = node;
    return 0;
}

void
free_remote_config_networks(config_record *record)
{
    for (gw_net_node *net = record->remote_config_networks; net != nullptr;) {
        gw_net_node *next = net->next;
        delete net;
        net = next;
    }
    record->remote_config_networks = nullptr;
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
    int rc = config_decipher_value(u16_to_utf8(value.c_str()).c_str(), &plain);
    if (rc == 0) {
        *out = utf8_to_u16(plain.c_str());
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

namespace {

// The keys of nivo.ini are declared in one table, KEYS below: a row names its section, its key,
// how the value is read (its kind), the field of the record it fills and the lines it logs.
// parse_section_entry does the rest the same way for every key; a key that truly needs more
// names a function of its own (kind custom).

// A log line of a table row or section, its format checked against Args when the table is
// compiled (as log_write checks its literal). A row without the line leaves it empty.
template <class... Args> struct row_line {
    const char16_t *format = nullptr;

    constexpr row_line() = default;
    template <std::size_t N>
    consteval row_line(const char16_t (&literal)[N]) // NOLINT: implicit on purpose
        : format(wfmt<Args...>(literal).text)
    {
    }
};

template <class... Args>
void
write_line(unsigned int level, const row_line<Args...> &line,
           const std::type_identity_t<Args> &...args)
{
    if (line.format == nullptr || !log_is_enabled(level)) {
        return;
    }
    const fmt_arg packed[sizeof...(Args) + 1] = {fmt_detail::make_arg(args)..., fmt_arg{}};
    log_write_packed(level, line.format, packed, sizeof...(Args));
}

// A number field of the record: a value is stored in the field's width (16- and 8-bit fields
// keep the low bits) and read back as the field holds it.
struct number_field {
    void (*store)(config_record *, std::int32_t) = nullptr;
    std::int64_t (*load)(const config_record *) = nullptr;
};

template <auto Member>
constexpr number_field FIELD = {
    [](config_record *record, std::int32_t value) {
        using type = std::remove_reference_t<decltype(record->*Member)>;
        record->*Member = static_cast<type>(value);
    },
    [](const config_record *record) -> std::int64_t { return record->*Member; },
};

enum class key_kind : std::uint8_t {
    flag,      // TRUE stores 1, FALSE 0
    keyword,   // one of the row's words, each with its value
    number,    // automatic base, kept in the field's width
    text,      // stored as it stands
    byte_list, // the byte-list encoding, decoded
    secret,    // enciphered (or a byte list where the section allows it), deciphered
    custom,    // the row's own function
};

// What a section does with a key it does not know.
enum class unknown_key_rule : std::uint8_t {
    refuse,        // the section's Invalid Key line; the entry is refused
    ignore,        // accepted without a word
    decode_refuse, // the value is decoded as a secret first (a failure is logged as such)
};

struct section_rules {
    const char16_t *name;
    unsigned int trace_level; // of the Key and Value lines
    row_line<std::u16string> key_line;
    row_line<std::u16string> value_line;
    unsigned int no_equals_level; // an entry without "=" is refused with this line
    row_line<const char16_t *> no_equals;
    unsigned int unknown_level = LOG_ERROR;
    row_line<std::u16string> unknown_key = {};
    unknown_key_rule unknown = unknown_key_rule::refuse;
    bool secret_byte_lists = false;   // a secret holding an apostrophe is a byte list
    row_line<> secret_too_long = {};  // the cipher's "Data Set" failure, at LOG_ERROR
    row_line<> secret_too_short = {}; // its "Data Get" failure, at LOG_ERROR
};

struct keyword {
    const char16_t *word = nullptr;
    std::int32_t value = 0;
    row_line<> line;
};

struct key_row {
    const section_rules *section;
    const char16_t *key;
    key_kind kind;
    number_field number = {};                  // flag, keyword, number
    char16_t *config_record::*text = nullptr;  // text, byte_list, secret
    unsigned int level = LOG_MSG;              // of the row's own lines
    row_line<std::int32_t> number_line = {};   // number: the value as the field holds it
    row_line<const char16_t *> text_line = {}; // text, byte_list: the text stored
    row_line<> on = {}, off = {};              // flag
    keyword words[3] = {};                     // keyword
    row_line<std::u16string> bad_value = {};   // flag, keyword: at LOG_ERROR, the field kept...
    bool bad_value_refused = false;            // ... or the entry refused
    std::int64_t most = 0;                     // number: the post-processing's bound (0: none)
    row_line<> before = {}, after = {};        // secret: around the decoding
    int (*apply)(config_record *, const std::u16string &) = nullptr; // custom
    const bool *offered = nullptr; // the key exists only where this is true
};

// LOG-FILE: the log moves to the new file at once.
int
apply_log_file(config_record *record, const std::u16string &value)
{
    wtext_ptr old_log(tsso_string_dup_w(record->log_path));
    wtext_ptr old_rotated(tsso_string_dup_w(record->rotated_log_path));
    std::u16string rotated = value + u"1";
    replace_text(&record->log_path, value);
    replace_text(&record->rotated_log_path, rotated);
    log_write(LOG_NOTICE, u"\tparse_keyvalue_logging: log file is being re-initialized to '%s'\n",
              value);
    log_write(LOG_NOTICE, u"\tparse_keyvalue_logging: please read next log messages from '%s'\n",
              value);
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
                  u"\tparse_keyvalue_logging: log file couldn't re-initialized to '%s'\n", value);
        return -1;
    }
    return 0;
}

// DEAD-ENTRY-TIMEOUT: the dead-entry store reads the value as a decimal number (the line shows it
// read with automatic base, as every other number).
int
apply_dead_entry_timeout(config_record *record, const std::u16string &value)
{
    record->dead_entry_timeout = number_parse_decimal(value.c_str());
    log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: DEAD-ENTRY-TIMEOUT: %d\n", number(value));
    return 0;
}

// BATCH-SIZE and BATCH-PAUSE: numbers held to their bounds at once; BATCH-SIZE 0 is "not set"
// and keeps the default.
int
apply_batch_size(config_record *record, const std::u16string &value)
{
    std::int32_t size = number(value);
    record->logoff_batch_size =
        size == 0
            ? LOGOFF_DEFAULT_BATCH_SIZE
            : static_cast<std::uint16_t>(std::clamp<std::int32_t>(size, 1, LOGOFF_BATCH_SIZE_MAX));
    log_write(LOG_MSG, u"\tparse_keyvalue_logoffdetect: BATCH-SIZE: %d\n",
              static_cast<std::int32_t>(record->logoff_batch_size));
    return 0;
}

int
apply_batch_pause(config_record *record, const std::u16string &value)
{
    record->logoff_batch_pause = static_cast<std::uint16_t>(
        std::clamp<std::int32_t>(number(value), 0, LOGOFF_BATCH_PAUSE_MAX));
    log_write(LOG_MSG, u"\tparse_keyvalue_logoffdetect: BATCH-PAUSE: %d\n",
              static_cast<std::int32_t>(record->logoff_batch_pause));
    return 0;
}

// ALLOWED-AGENT-NETWORKS: without this key any address may act as an agent; with it only these
// networks.
int
apply_agent_networks(config_record *record, const std::u16string &value)
{
    log_write(LOG_MSG, u"\tparse_keyvalue_cidmgr: ALLOWED-AGENT-NETWORKS: %s\n", value);
    if (add_networks(u"add_agent_networks", value, record, add_agent_network) != 0) {
        log_write(LOG_ERROR, u"\tparse_keyvalue_cidmgr: Invalid ALLOWED-AGENT-NETWORKS Value: %s\n",
                  value);
        return -1;
    }
    dca_print_authnetlist(DCA_NETLIST_AGENT);
    return 0;
}

// ALLOWED-NETWORKS: the networks the configuration receiver takes pushes from; a second
// occurrence adds its networks to those of the first.
int
apply_remote_config_networks(config_record *record, const std::u16string &value)
{
    log_write(LOG_MSG, u"\tparse_keyvalue_remote_config: ALLOWED-NETWORKS: %s\n", value);
    if (add_networks(u"add_remote_config_networks", value, record, add_remote_config_network) !=
        0) {
        log_write(LOG_ERROR,
                  u"\tparse_keyvalue_remote_config: Invalid ALLOWED-NETWORKS Value: %s\n", value);
        return -1;
    }
    return 0;
}

constexpr section_rules SECTION_SETTINGS = {
    .name = u"SETTINGS",
    .trace_level = LOG_MSG,
    .key_line = u"\tparse_keyvalue_settings: Key: %s\n",
    .value_line = u"\tparse_keyvalue_settings: Value: %s\n",
    .no_equals_level = LOG_ERROR,
    .no_equals = u"parse_keyvalue_settings: Invalid KeyValue: %s\n",
    .unknown_level = LOG_ERROR,
    .unknown_key = u"parse_keyvalue_settings: Invalid Key: %s\n",
};

constexpr section_rules SECTION_NIV_AGENT = {
    .name = u"NIV-AGENT",
    .trace_level = LOG_MSG,
    .key_line = u"\tparse_keyvalue_dca: Key: %s\n",
    .value_line = u"\tparse_keyvalue_dca: Value: %s\n",
    .no_equals_level = LOG_MSG,
    .no_equals = u"parse_keyvalue_dca: Invalid KeyValue: %s\n",
    .unknown_level = LOG_ERROR,
    .unknown_key = u"parse_keyvalue_dca: Invalid Key: %s\n",
};

constexpr section_rules SECTION_NIV_COLLECTOR = {
    .name = u"NIV-COLLECTOR",
    .trace_level = LOG_MSG,
    .key_line = u"\tparse_keyvalue_cidmgr: Key: %s\n",
    .value_line = u"\tparse_keyvalue_cidmgr: Value: %s\n",
    .no_equals_level = LOG_ERROR,
    .no_equals = u"parse_keyvalue_cidmgr: Invalid KeyValue: %s\n",
    .unknown_level = LOG_ERROR,
    .unknown_key = u"parse_keyvalue_cidmgr: Invalid Key: %s\n",
};

constexpr section_rules SECTION_LOGOFF_DETECTION = {
    .name = u"LOGOFF-DETECTION",
    .trace_level = LOG_MSG,
    .key_line = u"\tparse_keyvalue_logoffdetect: Key: %s\n",
    .value_line = u"\tparse_keyvalue_logoffdetect: Value: %s\n",
    .no_equals_level = LOG_ERROR,
    .no_equals = u"parse_keyvalue_logoffdetect: Invalid KeyValue: %s\n",
    .unknown_level = LOG_MSG,
    .unknown_key = u"parse_keyvalue_logoffdetect: Invalid Key: %s\n",
};

constexpr section_rules SECTION_LOGGING = {
    .name = u"LOGGING",
    .trace_level = LOG_MSG,
    .key_line = u"\tparse_keyvalue_logging: Key: %s\n",
    .value_line = u"\tparse_keyvalue_logging: Value: %s\n",
    .no_equals_level = LOG_MSG,
    .no_equals = u"parse_keyvalue_logging: Invalid KeyValue: %s\n",
    .unknown_level = LOG_ERROR,
    .unknown_key = u"parse_keyvalue_logging: Invalid Key: %s\n",
};

// Every value is decoded before its key is looked at.
constexpr section_rules SECTION_ACCOUNT_CREDENTIALS = {
    .name = u"ACCOUNT-CREDENTIALS",
    .trace_level = LOG_MAX,
    .key_line = u"\tparse_keyvalue_accountcred: Key: %s\n",
    .value_line = u"\tparse_keyvalue_accountcred: Value: %s\n",
    .no_equals_level = LOG_ERROR,
    .no_equals = u"parse_keyvalue_accountcred: Invalid KeyValue: %s\n",
    .unknown_level = LOG_ERROR,
    .unknown_key = u"parse_keyvalue_accountcred: Invalid Key: %s\n",
    .unknown = unknown_key_rule::decode_refuse,
    .secret_byte_lists = true,
    .secret_too_long = u"parse_keyvalue_accountcred: Decryption Data Set failed\n",
    .secret_too_short = u"parse_keyvalue_accountcred: Decryption Data Get failed\n",
};

constexpr section_rules SECTION_EDIRECTORY_SETTING = {
    .name = u"EDIRECTORY-SETTING",
    .trace_level = LOG_DEBUG,
    .key_line = u"parse_keyvalue_edirectory: Key: %s\n",
    .value_line = u"parse_keyvalue_edirectory: Value: %s\n",
    .no_equals_level = LOG_ERROR,
    .no_equals = u"parse_keyvalue_edirectory: Invalid KeyValue: %s\n",
    .unknown = unknown_key_rule::ignore,
    .secret_too_long = u"parse_keyvalue_edirectory: Decryption Data Set failed\n",
    .secret_too_short = u"parse_keyvalue_edirectory: Decryption Data Get failed\n",
};

// Unlike the other sections, this one refuses a bad keyword (bad_value_refused in its rows).
constexpr section_rules SECTION_HA_SETTING = {
    .name = u"HA-SETTING",
    .trace_level = LOG_DEBUG,
    .key_line = u"\tparse_keyvalue_ha_setting: Key: %s\n",
    .value_line = u"\tparse_keyvalue_ha_setting: Value: %s\n",
    .no_equals_level = LOG_DEBUG,
    .no_equals = u"parse_keyvalue_ha_setting: Invalid KeyValue: %s\n",
    .unknown_level = LOG_ERROR,
    .unknown_key = u"parse_keyvalue_ha_setting: Invalid Key: %s\n",
};

// Who may push configuration. A bad keyword is refused: a typing error must not leave the
// receiver open where it was meant to be closed.
constexpr section_rules SECTION_REMOTE_CONFIG = {
    .name = u"REMOTE-CONFIG",
    .trace_level = LOG_MSG,
    .key_line = u"\tparse_keyvalue_remote_config: Key: %s\n",
    .value_line = u"\tparse_keyvalue_remote_config: Value: %s\n",
    .no_equals_level = LOG_ERROR,
    .no_equals = u"parse_keyvalue_remote_config: Invalid KeyValue: %s\n",
    .unknown_level = LOG_ERROR,
    .unknown_key = u"parse_keyvalue_remote_config: Invalid Key: %s\n",
};

constexpr const section_rules *SECTIONS[] = {
    &SECTION_SETTINGS,           &SECTION_NIV_AGENT,  &SECTION_NIV_COLLECTOR,
    &SECTION_LOGOFF_DETECTION,   &SECTION_LOGGING,    &SECTION_ACCOUNT_CREDENTIALS,
    &SECTION_EDIRECTORY_SETTING, &SECTION_HA_SETTING, &SECTION_REMOTE_CONFIG,
};

// Where the post-processing bounds DETECTION-INTERVAL, in seconds.
constexpr std::int64_t DETECTION_INTERVAL_LIMIT = 1800;
// And GETALLUSERS-RATE, in datagrams a second.
constexpr std::int64_t GETALLUSERS_RATE_LIMIT = 1000000;

constexpr key_row KEYS[] = {
    // SETTINGS
    {.section = &SECTION_SETTINGS,
     .key = u"THREADPOOL-SIZE",
     .kind = key_kind::number,
     .number = FIELD<&config_record::threadpool_size>,
     .number_line = u"\tparse_keyvalue_settings: Threadpool Size: %d\n"},
    {.section = &SECTION_SETTINGS,
     .key = u"HOST-DOMAIN",
     .kind = key_kind::byte_list,
     .text = &config_record::host_domain,
     .text_line = u"\tparse_keyvalue_settings: Host Domain: %s\n"},
    {.section = &SECTION_SETTINGS,
     .key = u"HOST-DOMAIN-FQDN",
     .kind = key_kind::byte_list,
     .text = &config_record::host_domain_fqdn,
     .text_line = u"\tparse_keyvalue_settings: Host Domain (FQDN): %s\n"},
    {.section = &SECTION_SETTINGS,
     .key = u"DOMAIN-TYPE",
     .kind = key_kind::text,
     .text = &config_record::domain_type,
     .text_line = u"\tparse_keyvalue_settings: Domain Type : %s\n"},

    // NIV-AGENT
    {.section = &SECTION_NIV_AGENT,
     .key = u"ENABLED",
     .kind = key_kind::flag,
     .number = FIELD<&config_record::dca_enabled>,
     .on = u"\tparse_keyvalue_dca: DC Agent to be Enabled\n",
     .off = u"\tparse_keyvalue_dca: DC Agent to be Disabled\n",
     .bad_value = u"\tparse_keyvalue_dca: Invalid ENABLED Value: %s\n"},
    {.section = &SECTION_NIV_AGENT,
     .key = u"DCA-MODE",
     .kind = key_kind::keyword,
     .number = FIELD<&config_record::dca_mode>,
     .words = {{u"EVENTLOG", DCA_MODE_EVENTLOG, u"\tparse_keyvalue_dca: dca_mode to be EVENTLOG\n"},
               {u"NETAPI", DCA_MODE_NETAPI, u"\tparse_keyvalue_dca: dca_mode to be NETAPI\n"},
               {u"EDIRECTORY", DCA_MODE_EDIRECTORY,
                u"\tparse_keyvalue_dca: dca_mode to be NOVELL EDIRECTORY\n"}},
     .bad_value = u"\tparse_keyvalue_dca: Invalid DCA-MODE Value: %s\n"},
    {.section = &SECTION_NIV_AGENT,
     .key = u"EVENTLOG-MONITOR-NTLM",
     .kind = key_kind::flag,
     .number = FIELD<&config_record::eventlog_monitor_ntlm>,
     .on = u"\tparse_keyvalue_dca: NTLM Eventlog to be Monitored\n",
     .off = u"\tparse_keyvalue_dca: NTLM Eventlog not to be Monitored\n",
     .bad_value = u"\tparse_keyvalue_dca: Invalid EVENTLOG-MONITOR-NTLM Value: %s\n"},
    {.section = &SECTION_NIV_AGENT,
     .key = u"DC-POLL-INTERVAL",
     .kind = key_kind::number,
     .number = FIELD<&config_record::dc_poll_interval>,
     .number_line = u"\tparse_keyvalue_dca: DC-POLL-INTERVAL: %d\n"},
    {.section = &SECTION_NIV_AGENT,
     .key = u"SERVER-IP",
     .kind = key_kind::text,
     .text = &config_record::server_ip,
     .text_line = u"\tparse_keyvalue_dca: SERVER-IP: %s\n"},
    {.section = &SECTION_NIV_AGENT,
     .key = u"SERVER-PORT",
     .kind = key_kind::number,
     .number = FIELD<&config_record::server_port>,
     .number_line = u"\tparse_keyvalue_dca: SERVER-PORT: %d\n"},
    // Where the event source reads the domain controller's audit log; only a platform whose
    // event log is a file has the key.
    {.section = &SECTION_NIV_AGENT,
     .key = u"EVENTLOG-FILE",
     .kind = key_kind::text,
     .text = &config_record::eventlog_file,
     .text_line = u"\tparse_keyvalue_dca: EVENTLOG-FILE: %s\n",
     .offered = &platform_eventlog_has_source_file},

    // NIV-COLLECTOR
    {.section = &SECTION_NIV_COLLECTOR,
     .key = u"ENABLED",
     .kind = key_kind::flag,
     .number = FIELD<&config_record::collector_enabled>,
     .on = u"\tparse_keyvalue_cidmgr: CID Manager to be Enabled\n",
     .off = u"\tparse_keyvalue_cidmgr: CID Manager to be Disabled\n",
     .bad_value = u"\tparse_keyvalue_cidmgr: Invalid ENABLED Value: %s\n"},
    {.section = &SECTION_NIV_COLLECTOR,
     .key = u"POLLING-MODE",
     .kind = key_kind::keyword,
     .number = FIELD<&config_record::polling_mode>,
     .words = {{u"WMI", POLLING_MODE_WMI, u"\tparse_keyvalue_cidmgr: POLLING-MODE to be WMI\n"},
               {u"REGISTRY", POLLING_MODE_REGISTRY,
                u"\tparse_keyvalue_cidmgr: POLLING-MODE to be REGISTRY\n"},
               {u"LDAP", POLLING_MODE_LDAP, u"\tparse_keyvalue_cidmgr: POLLING-MODE to be LDAP\n"}},
     .bad_value = u"\tparse_keyvalue_cidmgr: Invalid POLLING-MODE value: %s\n"},
    {.section = &SECTION_NIV_COLLECTOR,
     .key = u"DCASERVER-PORT",
     .kind = key_kind::number,
     .number = FIELD<&config_record::dcaserver_port>,
     .number_line = u"\tparse_keyvalue_cidmgr: DCASERVER-PORT: %d\n"},
    {.section = &SECTION_NIV_COLLECTOR,
     .key = u"TSSO-SERVER-PORT",
     .kind = key_kind::number,
     .number = FIELD<&config_record::tsso_server_port>,
     .number_line = u"\tparse_keyvalue_cidmgr: TSSO-SERVER-PORT: %d\n"},
    {.section = &SECTION_NIV_COLLECTOR,
     .key = u"MAX-AGENT-CONNECTIONS",
     .kind = key_kind::number,
     .number = FIELD<&config_record::max_agent_connections>,
     .number_line = u"\tparse_keyvalue_cidmgr: MAX-AGENT-CONNECTIONS: %d\n"},
    {.section = &SECTION_NIV_COLLECTOR,
     .key = u"DEAD-ENTRY-TIMEOUT",
     .kind = key_kind::custom,
     .apply = apply_dead_entry_timeout},
    {.section = &SECTION_NIV_COLLECTOR,
     .key = u"ALLOWED-AGENT-NETWORKS",
     .kind = key_kind::custom,
     .apply = apply_agent_networks},
    {.section = &SECTION_NIV_COLLECTOR,
     .key = u"GETALLUSERS-RATE",
     .kind = key_kind::number,
     .number = FIELD<&config_record::getallusers_rate>,
     .number_line = u"\tparse_keyvalue_cidmgr: GETALLUSERS-RATE: %d\n",
     .most = GETALLUSERS_RATE_LIMIT},

    // LOGOFF-DETECTION
    {.section = &SECTION_LOGOFF_DETECTION,
     .key = u"ENABLED",
     .kind = key_kind::flag,
     .number = FIELD<&config_record::logoff_detection_enabled>,
     .on = u"\tparse_keyvalue_logoffdetect: Logoff Detector to be Enabled\n",
     .off = u"\tparse_keyvalue_logoffdetect: Logoff Detector to be Disabled\n",
     .bad_value = u"\tparse_keyvalue_logoffdetect: Invalid ENABLED Value: %s\n"},
    {.section = &SECTION_LOGOFF_DETECTION,
     .key = u"DETECTION-MODE",
     .kind = key_kind::keyword,
     .number = FIELD<&config_record::detection_mode>,
     .words = {{u"PING", DETECTION_MODE_PING,
                u"\tparse_keyvalue_logoffdetect: DETECTION-MODE to be WORKSTATION-PING\n"},
               {u"WORKSTATION-POLL", DETECTION_MODE_WORKSTATION_POLL,
                u"\tparse_keyvalue_logoffdetect: DETECTION-MODE to be WORKSTATION-POLL\n"},
               {u"LDAP", DETECTION_MODE_LDAP,
                u"\tparse_keyvalue_logoffdetect: DETECTION-MODE to be LDAP-FILTER\n"}},
     .bad_value = u"\tparse_keyvalue_logoffdetect: Invalid DETECTION-MODE Value: %s\n"},
    {.section = &SECTION_LOGOFF_DETECTION,
     .key = u"DETECTION-INTERVAL",
     .kind = key_kind::number,
     .number = FIELD<&config_record::detection_interval>,
     .number_line = u"\tparse_keyvalue_logoffdetect: DETECTION-INTERVAL: %d\n",
     .most = DETECTION_INTERVAL_LIMIT},
    {.section = &SECTION_LOGOFF_DETECTION,
     .key = u"DETECTION-RETRY",
     .kind = key_kind::number,
     .number = FIELD<&config_record::detection_retry>,
     .number_line = u"\tparse_keyvalue_logoffdetect: DETECTION-RETRY: %d\n"},
    {.section = &SECTION_LOGOFF_DETECTION,
     .key = u"PING-TIMEOUT",
     .kind = key_kind::number,
     .number = FIELD<&config_record::ping_timeout>,
     .number_line = u"\tparse_keyvalue_logoffdetect: PING-TIMEOUT: %d\n"},
    {.section = &SECTION_LOGOFF_DETECTION,
     .key = u"BATCH-SIZE",
     .kind = key_kind::custom,
     .apply = apply_batch_size},
    {.section = &SECTION_LOGOFF_DETECTION,
     .key = u"BATCH-PAUSE",
     .kind = key_kind::custom,
     .apply = apply_batch_pause},

    // LOGGING
    {.section = &SECTION_LOGGING,
     .key = u"LOG-LEVEL",
     .kind = key_kind::number,
     .number = FIELD<&config_record::log_level>,
     .number_line = u"\tparse_keyvalue_logging: LOG-LEVEL: %d\n"},
    {.section = &SECTION_LOGGING,
     .key = u"LOG-FILE",
     .kind = key_kind::custom,
     .apply = apply_log_file},
    {.section = &SECTION_LOGGING,
     .key = u"BUFFER-SIZE",
     .kind = key_kind::number,
     .number = FIELD<&config_record::log_buffer_size>,
     .number_line = u"\tparse_keyvalue_logging: BUFFER-SIZE: %d\n"},
    {.section = &SECTION_LOGGING,
     .key = u"OVERFLOW-ACTION",
     .kind = key_kind::keyword,
     .number = FIELD<&config_record::overflow_action>,
     .words = {{u"TRUNCATE", LOG_OVERFLOW_TRUNCATE,
                u"\tparse_keyvalue_logging: OVERFLOW-ACTION to be TRUNCATE the Logfile\n"},
               {u"ROTATE", LOG_OVERFLOW_ROTATE,
                u"\tparse_keyvalue_logging: OVERFLOW-ACTION to be ROTATE the Logfile\n"}},
     .bad_value = u"\tparse_keyvalue_logging: Invalid OVERFLOW-ACTION Value: %s\n"},
    {.section = &SECTION_LOGGING,
     .key = u"LOGGING-EVENTS-BUFFER-SIZE",
     .kind = key_kind::number,
     .number = FIELD<&config_record::logging_events_buffer_size>,
     .number_line = u"\tparse_keyvalue_logging: LOGGING-EVENTS-BUFFER-SIZE: %d\n"},

    // ACCOUNT-CREDENTIALS
    {.section = &SECTION_ACCOUNT_CREDENTIALS,
     .key = u"USERNAME",
     .kind = key_kind::secret,
     .text = &config_record::username},
    {.section = &SECTION_ACCOUNT_CREDENTIALS,
     .key = u"PASSWORD",
     .kind = key_kind::secret,
     .text = &config_record::password},

    // EDIRECTORY-SETTING
    {.section = &SECTION_EDIRECTORY_SETTING,
     .key = u"EDIRECTORY-SERVER-IP",
     .kind = key_kind::text,
     .text = &config_record::edirectory_server_ip,
     .level = LOG_DEBUG,
     .text_line = u"parse_keyvalue_edirectory: novell edirectory ip address: %s\n"},
    {.section = &SECTION_EDIRECTORY_SETTING,
     .key = u"EDIRECTORY-SERVER-PORT",
     .kind = key_kind::number,
     .number = FIELD<&config_record::edirectory_server_port>,
     .level = LOG_DEBUG,
     .number_line = u"parse_keyvalue_edirectory: novell edirectory port : %d\n"},
    {.section = &SECTION_EDIRECTORY_SETTING,
     .key = u"USER-BASE-DN",
     .kind = key_kind::text,
     .text = &config_record::user_base_dn,
     .level = LOG_DEBUG,
     .text_line = u"parse_keyvalue_edirectory: novell edirectory user DN : %s\n"},
    {.section = &SECTION_EDIRECTORY_SETTING,
     .key = u"ADMIN-USER-DN",
     .kind = key_kind::secret,
     .text = &config_record::admin_user_dn,
     .level = LOG_DEBUG,
     .after = u"parse_keyvalue_edirectory: parsed admin DN.."},
    {.section = &SECTION_EDIRECTORY_SETTING,
     .key = u"PASSWORD",
     .kind = key_kind::secret,
     .text = &config_record::edirectory_password,
     .level = LOG_DEBUG,
     .before = u"parse_keyvalue_edirectory: parsing password.."},

    // HA-SETTING
    {.section = &SECTION_HA_SETTING,
     .key = u"HA-ENABLED",
     .kind = key_kind::flag,
     .number = FIELD<&config_record::ha_enabled>,
     .level = LOG_DEBUG,
     .on = u"\tparse_keyvalue_ha_setting: HA Mode of Agent is Enabled\n",
     .off = u"\tparse_keyvalue_ha_setting: HA Mode of Agent is Disabled\n",
     .bad_value = u"parse_keyvalue_ha_setting: Invalid Key value: %s\n",
     .bad_value_refused = true},
    {.section = &SECTION_HA_SETTING,
     .key = u"HA-MODE",
     .kind = key_kind::keyword,
     .number = FIELD<&config_record::ha_mode>,
     .level = LOG_DEBUG,
     .words = {{u"PRIMARY", HA_MODE_PRIMARY,
                u"\tparse_keyvalue_ha_setting: HA Mode of Agent to be Primary\n"},
               {u"BACKUP", HA_MODE_BACKUP,
                u"\tparse_keyvalue_ha_setting: HA Mode of Agent to be Backup\n"}},
     .bad_value = u"parse_keyvalue_ha_setting: Invalid Key value: %s\n",
     .bad_value_refused = true},
    {.section = &SECTION_HA_SETTING,
     .key = u"MONITORED-PORT",
     .kind = key_kind::number,
     .number = FIELD<&config_record::monitored_port>,
     .level = LOG_ERROR,
     .number_line = u"\tparse_keyvalue_ha_setting: Monitored Port: %d\n"},
    {.section = &SECTION_HA_SETTING,
     .key = u"MONITORING-IP",
     .kind = key_kind::text,
     .text = &config_record::monitoring_ip,
     .level = LOG_ERROR,
     .text_line = u"\tparse_keyvalue_ha_setting: Monitoring IP: %s\n"},
    {.section = &SECTION_HA_SETTING,
     .key = u"MONITORING-PORT",
     .kind = key_kind::number,
     .number = FIELD<&config_record::monitoring_port>,
     .level = LOG_ERROR,
     .number_line = u"\tparse_keyvalue_ha_setting: Monitoring Port: %d\n"},

    // REMOTE-CONFIG
    {.section = &SECTION_REMOTE_CONFIG,
     .key = u"ENABLED",
     .kind = key_kind::flag,
     .number = FIELD<&config_record::remote_config_enabled>,
     .on = u"\tparse_keyvalue_remote_config: Configuration Receiver to be Enabled\n",
     .off = u"\tparse_keyvalue_remote_config: Configuration Receiver to be Disabled\n",
     .bad_value = u"\tparse_keyvalue_remote_config: Invalid ENABLED Value: %s\n",
     .bad_value_refused = true},
    {.section = &SECTION_REMOTE_CONFIG,
     .key = u"ALLOWED-NETWORKS",
     .kind = key_kind::custom,
     .apply = apply_remote_config_networks},
};

const key_row *
find_key(const section_rules &section, const std::u16string &key)
{
    for (const key_row &row : KEYS) {
        if (row.section == &section && (row.offered == nullptr || *row.offered) &&
            is(key, row.key)) {
            return &row;
        }
    }
    return nullptr;
}

// flag and keyword: the value is one of the words, or a bad value.
int
apply_word(const key_row &row, std::span<const keyword> words, config_record *record,
           const std::u16string &value)
{
    for (const keyword &w : words) {
        if (w.word != nullptr && is(value, w.word)) {
            row.number.store(record, w.value);
            write_line(row.level, w.line);
            return 0;
        }
    }
    write_line(LOG_ERROR, row.bad_value, value);
    return row.bad_value_refused ? -1 : 0;
}

int
apply_number(const key_row &row, config_record *record, const std::u16string &value)
{
    row.number.store(record, number(value));
    // The line shows what the field holds, as a 32-bit number.
    write_line(row.level, row.number_line, static_cast<std::int32_t>(row.number.load(record)));
    return 0;
}

int
apply_text(const key_row &row, config_record *record, const std::u16string &value)
{
    char16_t **field = &(record->*row.text);
    if (row.kind == key_kind::byte_list) {
        replace_text(field, config_decode_bytelist(u16_to_utf8(value.c_str()).c_str()));
    } else {
        replace_text(field, value);
    }
    const char16_t *stored = *field;
    write_line(row.level, row.text_line, stored);
    return 0;
}

// A secret's clear text into *out: 0, or -1 (logged with the section's line).
int
decode_secret(const section_rules &section, const std::u16string &value, std::u16string *out)
{
    if (section.secret_byte_lists && value.find(u'\'') != std::u16string::npos) {
        *out = config_decode_bytelist(u16_to_utf8(value.c_str()).c_str());
        return 0;
    }
    int rc = decipher_to_text(value, out);
    if (rc == -1) {
        write_line(LOG_ERROR, section.secret_too_long);
        return -1;
    }
    if (rc != 0) {
        write_line(LOG_ERROR, section.secret_too_short);
        return -1;
    }
    return 0;
}

int
apply_secret(const key_row &row, config_record *record, const std::u16string &value)
{
    write_line(row.level, row.before);
    std::u16string text;
    if (decode_secret(*row.section, value, &text) != 0) {
        return -1;
    }
    replace_text(&(record->*row.text), text);
    write_line(row.level, row.after);
    return 0;
}

int
apply_key(const key_row &row, config_record *record, const std::u16string &value)
{
    switch (row.kind) {
    case key_kind::flag: {
        const keyword words[] = {{u"TRUE", 1, row.on}, {u"FALSE", 0, row.off}};
        return apply_word(row, words, record, value);
    }
    case key_kind::keyword:
        return apply_word(row, row.words, record, value);
    case key_kind::number:
        return apply_number(row, record, value);
    case key_kind::text:
    case key_kind::byte_list:
        return apply_text(row, record, value);
    case key_kind::secret:
        return apply_secret(row, record, value);
    case key_kind::custom:
        return row.apply(record, value);
    }
    return -1;
}

int
refuse_key(const section_rules &section, const entry_parts &e)
{
    if (section.unknown == unknown_key_rule::ignore) {
        return 0;
    }
    if (section.unknown == unknown_key_rule::decode_refuse) {
        std::u16string ignored;
        if (decode_secret(section, e.value, &ignored) != 0) {
            return -1;
        }
    }
    write_line(section.unknown_level, section.unknown_key, e.key);
    return -1;
}

// One entry of a section: split at its first "=", traced, then handed to its key's row.
int
parse_section_entry(config_record *record, const section_rules &section, const char16_t *entry)
{
    entry_parts e;
    if (!split_entry(entry, &e)) {
        write_line(section.no_equals_level, section.no_equals, entry);
        return -1;
    }
    const key_row *row = find_key(section, e.key);
    write_line(section.trace_level, section.key_line, e.key);
    // An enciphered value carries its own key: it is a secret in clear, written only at the
    // level that also shows the account credentials.
    bool secret = row != nullptr && row->kind == key_kind::secret;
    write_line(secret ? LOG_MAX : section.trace_level, section.value_line, e.value);
    if (row == nullptr) {
        return refuse_key(section, e);
    }
    return apply_key(*row, record, e.value);
}

// The post-processing's bounds of the numbers.
void
clamp_numbers(config_record *record)
{
    for (const key_row &row : KEYS) {
        if (row.most != 0 && row.number.load(record) > row.most) {
            row.number.store(record, static_cast<std::int32_t>(row.most));
        }
    }
}

} // namespace

int
parse_keyvalue_settings(config_record *record, const char16_t *entry)
{
    return parse_section_entry(record, SECTION_SETTINGS, entry);
}

int
parse_keyvalue_dca(config_record *record, const char16_t *entry)
{
    return parse_section_entry(record, SECTION_NIV_AGENT, entry);
}

int
parse_keyvalue_cidmgr(config_record *record, const char16_t *entry)
{
    return parse_section_entry(record, SECTION_NIV_COLLECTOR, entry);
}

int
parse_keyvalue_logoffdetect(config_record *record, const char16_t *entry)
{
    return parse_section_entry(record, SECTION_LOGOFF_DETECTION, entry);
}

int
parse_keyvalue_logging(config_record *record, const char16_t *entry)
{
    return parse_section_entry(record, SECTION_LOGGING, entry);
}

int
parse_keyvalue_accountcred(config_record *record, const char16_t *entry)
{
    return parse_section_entry(record, SECTION_ACCOUNT_CREDENTIALS, entry);
}

int
parse_keyvalue_edirectory(config_record *record, const char16_t *entry)
{
    return parse_section_entry(record, SECTION_EDIRECTORY_SETTING, entry);
}

int
parse_keyvalue_ha_setting(config_record *record, const char16_t *entry)
{
    return parse_section_entry(record, SECTION_HA_SETTING, entry);
}

int
parse_keyvalue_remote_config(config_record *record, const char16_t *entry)
{
    return parse_section_entry(record, SECTION_REMOTE_CONFIG, entry);
}

int
parse_keyvalue(config_record *record, const char16_t *section, const char16_t *entry)
{
    for (const section_rules *rules : SECTIONS) {
        if (wtext_equal_nocase(section, rules->name)) {
            return parse_section_entry(record, *rules, entry);
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
        std::u16string section = utf8_to_u16(name);
        for (unsigned long e = 0; e < n && entries[e] != 0;) {
            std::size_t length = std::strlen(entries.data() + e);
            std::u16string entry = utf8_to_u16(entries.data() + e);
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

// 1, 2. The host domain pair; an empty decoded text is as good as none (a value written
// without the byte-list form decodes to nothing). 0, or -1 (logged).
int
postinit_host_domain(const config_record *record)
{
    if (record->host_domain == nullptr || record->host_domain[0] == 0) {
        log_write(LOG_ERROR, u"config_postinit: Unknown HOST-DOMAIN\n");
        return -1;
    }
    if (record->host_domain_fqdn == nullptr || record->host_domain_fqdn[0] == 0) {
        log_write(LOG_ERROR, u"config_postinit: Unknown HOST-DOMAIN-FQDN\n");
        return -1;
    }
    dca_set_hostdomain(record->host_domain, record->host_domain_fqdn);
    return 0;
}

// Steps 9 to 11 of the post-processing, defined after it.
void postinit_dc_list(config_record *record);
void postinit_list_files(config_record *record);
void postinit_logging(const config_record *record);

} // namespace

int
config_postinit(config_record *record)
{
    if (record == nullptr) {
        return -1;
    }
    // 1, 2.
    if (postinit_host_domain(record) != 0) {
        return -1;
    }
    // 3.
    if (record->server_ip == nullptr) {
        config_replace_text(&record->server_ip, u"127.0.0.1");
    }
    // 4. NTLM monitoring (eventlog_monitor_ntlm) is handed to the event-log monitor at start.
    // 5. The numbers above the bound of their row (DETECTION-INTERVAL: 1800 seconds).
    clamp_numbers(record);
    // 6. A DETECTION-RETRY above 5 does not touch DETECTION-INTERVAL: the retry count is bounded
    // on its own below, and an interval of 5 seconds would only flood the workstations.
    // 7, 8. The workstation ping's bounded retry count; start-up hands it and PING-TIMEOUT to
    // the ping.
    record->ping_retry_count =
        record->detection_retry != 0 ? config_ping_retry_count(record->detection_retry) : 0;
    // 9.
    postinit_dc_list(record);
    // 10.
    postinit_list_files(record);
    // 11.
    postinit_logging(record);
    log_write(LOG_DEBUG, u"Starting the service configuration is done now..\n");
    return 0;
}

namespace {

// 9. The DC list, and two pool threads per domain controller.
void
postinit_dc_list(config_record *record)
{
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
}

// 10. The other list files, in this order, each printed after it is read.
struct list_file {
    const char16_t *name;
    int type;
    void (*print)(const config_record *);
};

constexpr list_file LIST_FILES[] = {
    {u"gw-list.ini", CONFIG_LIST_GW, config_print_gwlist},
    {u"authnet-list.ini", CONFIG_LIST_AUTHNET,
     [](const config_record *) { dca_print_authnetlist(DCA_NETLIST_AUTH); }},
    {u"logoff-exclusion-list.ini", CONFIG_LIST_LOGOFF_EXCLUSION,
     [](const config_record *) {
         dca_print_ipexcllist(DCA_IPLIST_LOGOFF);
         dca_print_authnetlist(DCA_NETLIST_LOGOFF);
     }},
    {u"login-ip-exclusion-list.ini", CONFIG_LIST_LOGIN_EXCLUSION,
     [](const config_record *) {
         dca_print_ipexcllist(DCA_IPLIST_LOGIN);
         dca_print_authnetlist(DCA_NETLIST_LOGIN);
     }},
    {u"domain-list.ini", CONFIG_LIST_DOMAIN, [](const config_record *) { dca_print_domainlist(); }},
    {u"user-exclusion-list.ini", CONFIG_LIST_USER_EXCLUSION,
     [](const config_record *) { dca_print_userexcllist(); }},
    {u"coll-list.ini", CONFIG_LIST_COLLECTOR, config_print_colllist},
};

void
postinit_list_files(config_record *record)
{
    for (const list_file &list : LIST_FILES) {
        std::u16string path = list_path(record, list.name);
        if (path.empty()) {
            continue;
        }
        // The user exclusion list is the one written in UTF-16.
        if (list.type == CONFIG_LIST_USER_EXCLUSION) {
            config_parse_unicode_namefile(path.c_str(), list.type, record);
        } else {
            config_parse_namefile(path.c_str(), list.type, record);
        }
        list.print(record);
    }
}

// 11. The logging settings, each only when set.
void
postinit_logging(const config_record *record)
{
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
}

} // namespace

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
    free_remote_config_networks(record);
    *record = config_record{};
}
