// The directory access of the eDirectory monitor and the directory poll (see edir.h).

#include "dca/edir/edir.h"

#include <atomic>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

#include "base/utf.h"
#include "common/log.h"
#include "common/stop_signal.h"
#include "common/text.h"
#include "config/detector_settings.h"

namespace {

struct edir_state {
    // Serialises the set-up of sessions: the client's options are process-wide.
    std::mutex connection_lock;
    std::mutex base_lock; // search_base and login_dn
    std::string search_base;
    std::u16string login_dn;
    std::atomic<long> time_limit{EDIR_TIME_LIMIT_START};
    std::atomic<unsigned long> pause_divisor{1};
    stop_signal stop;
};
edir_state g_edir;

std::int32_t
clamp_time(long long value)
{
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<std::int32_t>(value);
}

// CreateTime, and ExpireTime the detection interval later.
void
set_times(UserInfo *record, long long create)
{
    record->CreateTime = clamp_time(create);
    record->ExpireTime =
        clamp_time(static_cast<long long>(record->CreateTime) + logoff_detector_get_interval());
}

// A signed decimal number after leading white space: the leading digits are read, the rest is
// ignored; 0 without digits. Saturates instead of overflowing.
long long
parse_decimal(std::string_view text)
{
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    long long value = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        if (value < LLONG_MAX / 100) {
            value = value * 10 + (text[at] - '0');
        }
    }
    return negative ? -value : value;
}

// Attribute names compare without regard to ASCII case.
bool
name_is(const std::string &name, const char *wanted)
{
    std::size_t length = std::strlen(wanted);
    if (name.size() != length) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        char a = name[i];
        char b = wanted[i];
        if (a >= 'A' && a <= 'Z') {
            a = static_cast<char>(a - 'A' + 'a');
        }
        if (b >= 'A' && b <= 'Z') {
            b = static_cast<char>(b - 'A' + 'a');
        }
        if (a != b) {
            return false;
        }
    }
    return true;
}

// A directory value as a record text of at most max units (longer values are cut: these are
// names, not DNs).
int
set_value(char16_t **field, const std::string &value, std::size_t max)
{
    std::u16string text = edir_to_u16(value);
    if (text.size() > max) {
        text.resize(max);
    }
    return userdb_set_text(field, text.c_str());
}

// A value for a search filter: the characters that would change the filter's meaning (a name
// "*" would match every user) are written as a backslash and two hexadecimal digits.
std::string
escape_filter_value(std::string_view value)
{
    std::string out;
    for (char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0) {
            char escaped[4];
            string_printf_a(escaped, sizeof escaped, "\\%2.2x",
                            static_cast<unsigned int>(static_cast<unsigned char>(c)));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

// A session's id for the log lines.
unsigned int
session_id(const platform_ldap *session)
{
    return static_cast<unsigned int>(reinterpret_cast<std::uintptr_t>(session));
}

// A text for the directory client: UTF-8 of at most EDIR_TEXT_MAX bytes. False (logged) when
// longer.
bool
to_client_text(const char16_t *text, const char *what, std::string *out)
{
    *out = edir_to_u8(text);
    if (out->size() > EDIR_TEXT_MAX) {
        log_write_event(LOG_ERROR, u"nd_init_ldap: %S is longer than %d bytes, refused\n", what,
                        static_cast<int>(EDIR_TEXT_MAX));
        return false;
    }
    return true;
}

// Binds session until the directory accepts the credentials. The pause doubles from 100 ms to
// 10 s; the failure is logged once, then at most once a minute of pauses. The lock is held only
// for each attempt. False after a stop.
bool
bind_until_accepted(platform_ldap *session, const std::string &dn, const std::string &password)
{
    unsigned long pause = EDIR_BIND_PAUSE_FIRST_MS;
    unsigned long since_logged = 0;
    bool logged = false;
    for (;;) {
        int result;
        {
            std::lock_guard guard(g_edir.connection_lock);
            result = platform_ldap_simple_bind(session, dn.c_str(), password.c_str());
        }
        if (result == 0) {
            return true;
        }
        if (!logged || since_logged >= EDIR_BIND_LOG_EVERY_MS) {
            log_write_event(LOG_ERROR, u"nd_init_ldap: bind failed: %d, retrying\n", result);
            logged = true;
            since_logged = 0;
        }
        if (edir_pause(pause)) {
            return false;
        }
        since_logged += pause;
        pause = pause * 2 > EDIR_BIND_PAUSE_MAX_MS ? EDIR_BIND_PAUSE_MAX_MS : pause * 2;
    }
}

} // namespace

std::u16string
edir_to_u16(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    const auto *bytes = reinterpret_cast<const unsigned char *>(utf8.data());
    std::size_t at = 0;
    while (at < utf8.size()) {
        std::size_t used = 0;
        char32_t cp = utf8_decode(bytes + at, utf8.size() - at, &used);
        char16_t units[2];
        out.append(units, static_cast<std::size_t>(utf_encode(cp, units)));
        at += used;
    }
    return out;
}

std::string
edir_to_u8(const char16_t *text)
{
    std::string out;
    if (text == nullptr) {
        return out;
    }
    std::size_t length = wtext_length(text);
    std::size_t at = 0;
    while (at < length) {
        std::size_t used = 0;
        char32_t cp = utf16_decode(text + at, length - at, &used);
        char units[4];
        out.append(units, static_cast<std::size_t>(utf_encode(cp, units)));
        at += used;
    }
    return out;
}

bool
edir_pause(unsigned long milliseconds)
{
    return g_edir.stop.pause(milliseconds / g_edir.pause_divisor.load());
}

bool
edir_stopping()
{
    return g_edir.stop.stopping();
}

void
edir_stop()
{
    g_edir.stop.stop();
}

void
edir_reset(unsigned long pause_divisor)
{
    g_edir.stop.reset();
    g_edir.pause_divisor = pause_divisor == 0 ? 1 : pause_divisor;
    g_edir.time_limit = EDIR_TIME_LIMIT_START;
    std::lock_guard guard(g_edir.base_lock);
    g_edir.search_base.clear();
    g_edir.login_dn.clear();
}

std::string
edir_get_search_base()
{
    std::lock_guard guard(g_edir.base_lock);
    return g_edir.search_base;
}

void
edir_set_search_base(std::string_view base)
{
    std::lock_guard guard(g_edir.base_lock);
    g_edir.search_base.assign(base.substr(0, EDIR_TEXT_MAX));
}

std::u16string
edir_get_login_dn()
{
    std::lock_guard guard(g_edir.base_lock);
    return g_edir.login_dn;
}

void
edir_set_time_limit(long seconds)
{
    g_edir.time_limit = seconds;
}

long
edir_get_time_limit()
{
    return g_edir.time_limit;
}

int
nd_init_ldap(const char16_t *host, const char16_t *dn, const char16_t *password, std::int32_t port,
             platform_ldap **out)
{
    if (dn == nullptr || out == nullptr) {
        return -1;
    }
    std::string host_text;
    std::string dn_text;
    std::string password_text;
    if (!to_client_text(host, "host", &host_text) || !to_client_text(dn, "login DN", &dn_text) ||
        !to_client_text(password, "password", &password_text)) {
        return -1;
    }
    platform_ldap *session = nullptr;
    for (int attempt = 1;; ++attempt) {
        {
            std::lock_guard guard(g_edir.connection_lock);
            long limit = g_edir.time_limit;
            platform_ldap_set_defaults(limit, 0);
            log_write_event(LOG_DEBUG,
                            u"nd_init_ldap: initializing novell edirectory at host %s:%d ,timeout "
                            u"%d\n",
                            host, port, static_cast<int>(limit));
            int error = 0;
            session = platform_ldap_open(host_text.c_str(), port, &error);
            if (session != nullptr) {
                std::lock_guard base_guard(g_edir.base_lock);
                g_edir.login_dn = dn;
                break;
            }
            log_write_event(LOG_ERROR,
                            u"nd_init_ldap: LDAP session initialization failed Error is %d\r\n",
                            error);
        }
        // The pause runs without the lock: another caller may set up its session meanwhile.
        if (attempt == EDIR_OPEN_ATTEMPTS || edir_pause(EDIR_OPEN_PAUSE_MS)) {
            return -1;
        }
    }
    log_write_event(LOG_DEBUG, u"nd_init_ldap: LDAP session initialized session id =%x\n",
                    session_id(session));
    log_write_event(LOG_DEBUG, u"nd_init_ldap: Login DN: %s\r\n", dn);
    if (!bind_until_accepted(session, dn_text, password_text)) {
        platform_ldap_close(session);
        return -1;
    }
    *out = session;
    log_write_event(LOG_ERROR, u"nd_init_ldap: Bind successful session id =%x\n",
                    session_id(session));
    return 0;
}

int
nd_build_networkaddress_filter(const char *ip, std::string *out, const char *prefix)
{
    out->clear();
    if (ip == nullptr || *ip == 0) {
        return -1;
    }
    // Four decimal parts of one to three digits, each at most 255, and nothing else.
    unsigned int parts[4] = {};
    const char *at = ip;
    for (int part = 0; part < 4; ++part) {
        int digits = 0;
        unsigned int value = 0;
        while (*at >= '0' && *at <= '9' && digits < 4) {
            value = value * 10 + static_cast<unsigned int>(*at - '0');
            ++digits;
            ++at;
        }
        bool separator_ok = part < 3 ? *at == '.' : *at == 0;
        if (digits == 0 || digits > 3 || value > 255 || !separator_ok) {
            log_write_event(LOG_ERROR, u"nd_build_networkaddress_filter: not an IPv4 address: %S\n",
                            ip);
            return -1;
        }
        parts[part] = value;
        if (part < 3) {
            ++at;
        }
    }
    char text[96];
    string_printf_a(text, sizeof text, "(networkAddress=%s\\%2.2x\\%2.2x\\%2.2x\\%2.2x)", prefix,
                    parts[0], parts[1], parts[2], parts[3]);
    out->assign(text);
    return 0;
}

UserInfo *
GetUserDataFromNovellSearchByIP(platform_ldap *session, const char *ip, const char *base)
{
    std::string filter;
    if (nd_build_networkaddress_filter(ip, &filter, EDIR_PREFIX_TCP) != 0) {
        return nullptr;
    }
    if (session == nullptr) {
        log_write_event(LOG_ERROR, u"GetUserDataFromNovellSearchByIP: ldap session is not valid. "
                                   u"not connected to ldap\n");
        return nullptr;
    }
    std::vector<platform_ldap_entry> entries;
    for (const char *prefix : {EDIR_PREFIX_TCP, EDIR_PREFIX_IP}) {
        if (prefix != EDIR_PREFIX_TCP) {
            (void)nd_build_networkaddress_filter(ip, &filter, prefix);
        }
        log_write_event(LOG_MSG,
                        u"GetUserDataFromNovellSearchByIP: searching ldap with search string: "
                        u"%s\n",
                        edir_to_u16(filter));
        int result =
            platform_ldap_search(session, base, filter.c_str(), edir_get_time_limit(), 0, &entries);
        if (result != 0) {
            log_write_event(LOG_ERROR, u"GetUserDataFromNovellSearchByIP: ldap_search_ext_s: %d\n",
                            result);
            return nullptr;
        }
        if (!entries.empty()) {
            break;
        }
    }
    for (const platform_ldap_entry &entry : entries) {
        userinfo_ptr record(userdb_allocate_userinfo());
        if (record == nullptr) {
            return nullptr;
        }
        bool found = false;
        for (const platform_ldap_attribute &attribute : entry.attributes) {
            for (const std::string &value : attribute.values) {
                if (name_is(attribute.name, "uid")) {
                    (void)set_value(&record->User, value, EDIR_TEXT_MAX);
                    log_write_event(LOG_MSG, u"GetUserDataFromNovellSearchByIP: UID %s",
                                    record->User);
                    found = true;
                } else if (name_is(attribute.name, "loginTime")) {
                    set_times(record.get(), parse_decimal(value));
                } else if (name_is(attribute.name, "messageServer")) {
                    (void)set_value(&record->WrkstName, value, 127);
                    log_write_event(LOG_DEBUG,
                                    u"GetUserDataFromNovellSearchByIP: Workstationname %s",
                                    record->WrkstName);
                }
            }
        }
        if (found) {
            log_write_event(LOG_DEBUG,
                            u"GetUserDataFromNovellSearchByIP: found entry in novell with "
                            u"username %s",
                            record->User);
            return record.release();
        }
    }
    return nullptr;
}

std::string
edir_networkaddress_to_ip(std::string_view value)
{
    // "<type>#" and the raw bytes: type 9 (TCP) has two port bytes before the address.
    std::size_t offset;
    if (value.size() >= 8 && value[0] == '9' && value[1] == '#') {
        offset = 4;
    } else if (value.size() >= 6 && value[0] == '1' && value[1] == '#') {
        offset = 2;
    } else {
        return {};
    }
    char text[16];
    string_printf_a(text, sizeof text, "%d.%d.%d.%d", static_cast<unsigned char>(value[offset]),
                    static_cast<unsigned char>(value[offset + 1]),
                    static_cast<unsigned char>(value[offset + 2]),
                    static_cast<unsigned char>(value[offset + 3]));
    return text;
}

UserInfo *
GetUserDataFromNovellSearch(platform_ldap *session, const char *uid, const char *base)
{
    if (session == nullptr) {
        log_write_event(LOG_ERROR,
                        u"GetIPFromNovellSearch: ldap session is not valid. not connected to "
                        u"ldap\n");
        return nullptr;
    }
    std::string filter = "(&(uid=" + escape_filter_value(uid) + ")(networkAddress=*))";
    std::u16string filter_w = edir_to_u16(filter);
    log_write_event(LOG_INFO,
                    u"GetUserDataFromNovellSearch: searching ldap with search string: %s and "
                    u"DN=%S and Search Filter=%S\n",
                    filter_w, base, filter.c_str());
    if (edir_pause(EDIR_SEARCH_DELAY_MS)) {
        return nullptr;
    }
    std::vector<platform_ldap_entry> entries;
    int result = PLATFORM_LDAP_TIMEOUT;
    // A directory that keeps running out of time counts as not knowing the user.
    for (int tries = 0; result == PLATFORM_LDAP_TIMEOUT && tries < EDIR_SEARCH_TIMEOUT_TRIES;
         ++tries) {
        if (tries > 0 && edir_pause(EDIR_SEARCH_RETRY_PAUSE_MS)) {
            return nullptr;
        }
        result =
            platform_ldap_search(session, base, filter.c_str(), edir_get_time_limit(), 0, &entries);
    }
    if (result != 0) {
        log_write_event(LOG_ERROR,
                        u"GetUserDataFromNovellSearch: ldap_search_ext_s() failed.: %d\n", result);
        return nullptr;
    }
    log_write_event(LOG_ERROR,
                    u"GetUserDataFromNovellSearch: ldap_search_ext_s() Fetched %d records\n",
                    static_cast<int>(entries.size()));
    userinfo_ptr record;
    for (const platform_ldap_entry &entry : entries) {
        if (entry.dn.find(uid) == std::string::npos) {
            log_write_event(LOG_MSG,
                            u"GetUserDataFromNovellSearch: login dn and searched does not match");
            continue;
        }
        log_write_event(LOG_ERROR, u"GetUserDataFromNovellSearch: Got the user dn: %s",
                        edir_to_u16(uid));
        record.reset(userdb_allocate_userinfo());
        if (record == nullptr) {
            return nullptr;
        }
        for (const platform_ldap_attribute &attribute : entry.attributes) {
            for (const std::string &value : attribute.values) {
                if (name_is(attribute.name, "uid")) {
                    (void)set_value(&record->User, value, EDIR_TEXT_MAX);
                    log_write_event(LOG_MSG, u"GetUserDataFromNovellSearch: UID %s", record->User);
                } else if (name_is(attribute.name, "loginTime")) {
                    set_times(record.get(), static_cast<long long>(std::time(nullptr)));
                } else if (name_is(attribute.name, "messageServer")) {
                    (void)set_value(&record->WrkstName, value, 127);
                    log_write_event(LOG_DEBUG, u"GetUserDataFromNovellSearch: Workstationname %s",
                                    record->WrkstName);
                } else if (name_is(attribute.name, "networkAddress")) {
                    std::string ip = edir_networkaddress_to_ip(value);
                    if (ip.empty()) {
                        continue;
                    }
                    bool first = record->WrkstIP == nullptr;
                    (void)set_value(&record->WrkstIP, ip, 15);
                    if (first) {
                        log_write_event(LOG_DEBUG,
                                        u"GetUserDataFromNovell: Users's Old IP address: %s",
                                        record->WrkstIP);
                    } else {
                        log_write_event(LOG_DEBUG,
                                        u"GetUserDataFromNovell: Users's New IP address: %s",
                                        record->WrkstIP);
                    }
                }
            }
        }
    }
    return record.release();
}

int
GetUserNameFromUserDN(char16_t **out, const char16_t *dn)
{
    if (dn == nullptr) {
        return -1;
    }
    std::u16string_view text(dn);
    if (text.size() > EDIR_TEXT_MAX) {
        log_write_event(LOG_ERROR, u"GetUserNameFromUserDN: DN longer than %d units, refused\n",
                        static_cast<int>(EDIR_TEXT_MAX));
        return -1;
    }
    std::u16string partial(text.substr(0, text.find(u',')));
    log_write_event(LOG_DEBUG, u"GetUserNameFromUserDN: userdn partial %s", partial);
    std::size_t at = partial.find(u"cn=");
    if (at == std::u16string::npos) {
        log_write_event(LOG_DEBUG, u"GetUserNameFromUserDN: Cound not find usrname");
        return -1;
    }
    std::u16string name = partial.substr(at + 3);
    log_write_event(LOG_DEBUG, u"GetUserNameFromUserDN: temp partial %s", name);
    *out = tsso_string_dup_w(name.c_str());
    log_write_event(LOG_DEBUG, u"GetUserNameFromUserDN: UID %s", *out);
    return 0;
}
