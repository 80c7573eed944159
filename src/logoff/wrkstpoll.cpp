// The handlers that apply what a workstation check found.

#include "logoff/wrkstpoll.h"

#include <atomic>
#include <ctime>
#include <string>
#include <string_view>

#include "common/log.h"
#include "common/text.h"
#include "config/config.h"
#include "platform/system.h"
#include "dca/filter/dca_filter.h"
#include "config/detector_settings.h"
#include "platform/wrkstquery.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

struct poll_settings {
    // Written once during start-up before any poll; atomics keep tests that change them
    // between runs free of data races.
    std::atomic<std::uint8_t> mode{0};
    std::atomic<const char16_t *> account{nullptr};
    std::atomic<const char16_t *> password{nullptr};
};
poll_settings g_poll;

constexpr const char16_t *WMI_QUERY = u"SELECT UserName FROM Win32_ComputerSystem";
constexpr std::size_t NAME_UNITS = 256;        // account and domain names
constexpr std::size_t NAMESPACE_UNITS = 128;   // "\\address\root\cimv2" and its terminator
constexpr std::size_t HOST_UNITS = 64;         // "\\address" and its terminator
constexpr std::size_t WMI_USER_UNITS = 514;    // domain, backslash and user
constexpr unsigned long SUBKEY_LIMIT = 100000; // a bound on the enumeration of one key

struct wmi_closer {
    void operator()(platform_wmi *wmi) const
    {
        platform_wmi_close(wmi);
    }
};
struct hku_closer {
    void operator()(platform_hku *hku) const
    {
        platform_hku_close(hku);
    }
};

// The address as narrow text for the narrow log lines.
std::string
narrow_address(const char16_t *address)
{
    char text[64] = {};
    if (address != nullptr && convert_unicode_to_ascii(address, text, sizeof text) != 0) {
        text[0] = 0;
    }
    return text;
}

// A user found at the workstation whose name came without a domain: the user is present, so a
// stored logon is renewed as it would be for the same user.
void
renew_present_user(userinfo_ptr record)
{
    if (record->Flags == UI_FLAG_POLL_REQUEST) {
        return; // an appliance's question: no row to renew
    }
    record->ExpireTime =
        static_cast<std::int32_t>(std::time(nullptr)) + logoff_detector_get_interval();
    record->Flags = UI_FLAG_ACTIVE;
    if (userinfo_db_update(record.get()) != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi: userinfo couldn't updated");
        return;
    }
    log_write(LOG_DEBUG, u"wrkstpoll_workerthread_wmi: userinfo updated");
}

// Steps 8 and 9 of the WMI poll: true when a user name was read into name (WMI_USER_UNITS).
bool
wmi_read_username(platform_wmi *wmi, char16_t *name)
{
    unsigned long rc = platform_wmi_set_blanket(wmi);
    if (rc != 0) {
        log_write(LOG_ERROR,
                  u"wrkstpoll_workerthread_wmi: Proxy Blanket Security Settings failed: 0x%x",
                  static_cast<unsigned int>(rc));
        return false;
    }
    log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi: Success - Proxy Blanket Security Settings");
    rc = platform_wmi_exec_query(wmi, WMI_QUERY);
    if (rc != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi: WMI Query '%s' failed: 0x%x", WMI_QUERY,
                  static_cast<unsigned int>(rc));
        return false;
    }
    log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi: Success - WMI Query for: %s", WMI_QUERY);
    unsigned long count = 0;
    rc = platform_wmi_next(wmi, WRKSTPOLL_WMI_WAIT_MS, &count);
    if (rc != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi: enumeration iteration failed: 0x%x",
                  static_cast<unsigned int>(rc));
        return false;
    }
    if (count == 0) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi: enumeration is empty");
        return false;
    }
    bool is_null = false;
    rc = platform_wmi_get_username(wmi, name, WMI_USER_UNITS, &is_null);
    if (rc != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi: couldnt get UserName: 0x%x",
                  static_cast<unsigned int>(rc));
        return false;
    }
    if (is_null) {
        log_write(LOG_DEBUG, u"wrkstpoll_workerthread_wmi: no loggedin user found");
        return false;
    }
    name[WMI_USER_UNITS - 1] = 0;
    return true;
}

// Parses one unsigned decimal below 2^32 at *p; false when there is none or it is too large.
bool
parse_decimal(const char16_t *&p, std::uint64_t limit, std::uint64_t *value)
{
    if (*p < u'0' || *p > u'9') {
        return false;
    }
    std::uint64_t v = 0;
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        v = v * 10 + static_cast<std::uint64_t>(*p - u'0');
        if (v > limit) {
            return false;
        }
    }
    *value = v;
    return true;
}

bool
parse_hex(const char16_t *&p, std::uint64_t *value)
{
    if (p[0] == u'0' && (p[1] == u'x' || p[1] == u'X')) {
        p += 2;
    }
    std::uint64_t v = 0;
    int digits = 0;
    for (;; ++p, ++digits) {
        int d = *p >= u'0' && *p <= u'9'   ? *p - u'0'
                : *p >= u'a' && *p <= u'f' ? *p - u'a' + 10
                : *p >= u'A' && *p <= u'F' ? *p - u'A' + 10
                                           : -1;
        if (d < 0) {
            break;
        }
        v = v * 16 + static_cast<std::uint64_t>(d);
        if (v > 0xFFFFFFFFULL) {
            return false;
        }
    }
    *value = v;
    return digits > 0;
}

} // namespace

int
wrkstpoll_parse_sid(const char16_t *text, platform_sid *sid)
{
    *sid = platform_sid{};
    if (text == nullptr || text[0] != u'S' || text[1] != u'-') {
        return 0;
    }
    const char16_t *p = text + 2;
    std::uint64_t value = 0;
    if (!parse_decimal(p, 0xFF, &value)) {
        return 0;
    }
    sid->revision = static_cast<std::uint8_t>(value);
    int fields = 1;
    if (*p != u'-') {
        return fields;
    }
    ++p;
    // The authority's text is hexadecimal and fills the low 32 bits of the 48-bit big-endian
    // authority; the two high bytes stay 0.
    if (!parse_hex(p, &value)) {
        return fields;
    }
    for (int i = 0; i < 4; ++i) {
        sid->authority[5 - i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    ++fields;
    while (sid->count < 8 && *p == u'-') {
        ++p;
        if (!parse_decimal(p, 0xFFFFFFFFULL, &value)) {
            break;
        }
        sid->sub_authority[sid->count++] = static_cast<std::uint32_t>(value);
        ++fields;
    }
    return fields;
}

std::uint8_t
wrkstpoll_get_mode()
{
    return g_poll.mode;
}

int
wrkstpoll_wmi_init(const char16_t *account, const char16_t *password)
{
    unsigned long rc = platform_wmi_startup();
    if (rc != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_wmi_init: COM Initialization failed: 0x%x",
                  static_cast<unsigned int>(rc));
        return -1;
    }
    rc = platform_wmi_startup_security();
    if (rc != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_wmi_init: COM Security Initialization failed: 0x%x",
                  static_cast<unsigned int>(rc));
        platform_wmi_shutdown();
        return -1;
    }
    g_poll.account = account;
    g_poll.password = password;
    return 0;
}

namespace {

// A query whose client failed without an answer from the workstation: its reason, which would
// otherwise be lost, for the operator.
void
wrkstpoll_log_query_failure(const char *text)
{
    log_write_a(LOG_ERROR, "wrkstpoll_log_query_failure: %s\n", text);
}

} // namespace

int
wrkstpoll_init(std::uint8_t mode, const char16_t *account, const char16_t *password)
{
    g_poll.mode = mode;
    log_write(LOG_MSG, u"wrkstpoll_init: polling mode: %d", static_cast<int>(mode));
    platform_wrkst_set_failure_sink(wrkstpoll_log_query_failure);
    // The registry poll uses the same credentials: on a platform without the service's domain
    // identity they are the only way in.
    g_poll.account = account;
    g_poll.password = password;
    if (mode == POLLING_MODE_WMI && wrkstpoll_wmi_init(account, password) != 0) {
        log_write(LOG_ERROR, u"wrkstpoll_init: WMI Initialization failed");
        return -1;
    }
    // A registry client that cannot work would make every polled workstation look unreachable
    // and log its user out: start-up fails instead, as it does for WMI.
    if (mode == POLLING_MODE_REGISTRY) {
        unsigned long rc = platform_hku_startup();
        if (rc != 0) {
            log_write(LOG_ERROR, u"wrkstpoll_init: Remote Registry Initialization failed: %d",
                      static_cast<int>(rc));
            return -1;
        }
    }
    return 0;
}

void
wrkstpoll_dispatch(void *argument)
{
    auto *record = static_cast<UserInfo *>(argument);
    switch (g_poll.mode) {
    case POLLING_MODE_WMI:
        (void)wrkstpoll_workerthread_wmi(record);
        break;
    case POLLING_MODE_REGISTRY:
        (void)wrkstpoll_workerthread_reg(record);
        break;
    case POLLING_MODE_LDAP:
        (void)wrkstpoll_workerthread_ldap(record);
        break;
    default:
        // No worker for this mode; the record is not lost silently.
        log_write(LOG_ERROR,
                  u"wrkstpoll_dispatch: no workstation poll worker available for mode %d\n",
                  static_cast<int>(g_poll.mode.load()));
        userdb_free_userinfo(record);
        break;
    }
}

namespace {

// Calls connect_once up to WRKSTPOLL_CONNECT_ATTEMPTS times, a pause apart, until it reports a
// connection; false when every attempt failed. Each attempt logs its own failure.
template <typename Connect>
bool
connect_with_retries(Connect connect_once)
{
    for (int attempt = 1;; ++attempt) {
        if (connect_once()) {
            return true;
        }
        if (attempt >= WRKSTPOLL_CONNECT_ATTEMPTS) {
            return false;
        }
        platform_sleep_ms(WRKSTPOLL_RETRY_PAUSE_MS);
    }
}

// Hands the record to the logon handler and returns its result. On -2 the handler has left the
// record with the caller, and it is back in record; otherwise the handler owns it.
int
hand_to_logon_handler(userinfo_ptr &record, const char16_t *user, const char16_t *domain)
{
    UserInfo *kept = record.get();
    int handled = wrkstpoll_handle_logon_req(record.release(), user, domain);
    if (handled == -2) {
        record.reset(kept);
    }
    return handled;
}

// Step 2 of the WMI poll: true when the workstation's address is on an exclusion list (a due
// row then stays at flags 2 until the next start).
bool
wmi_address_excluded(const UserInfo *record)
{
    if (record->WrkstIP != nullptr && login_excluded(record)) {
        log_write(LOG_DEBUG,
                  u"wrkstpoll_workerthread_wmi: IP %s found in login exclusion list, filtered out ",
                  record->WrkstIP);
        return true;
    }
    if (record->WrkstIP != nullptr && logoff_excluded(record)) {
        log_write_a(
            LOG_INFO,
            "wrkstpoll_workerthread_wmi: IP %s found in logout exclusion list, filtered out",
            narrow_address(record->WrkstIP).c_str());
        return true;
    }
    return false;
}

// Steps 4 and 5: the workstation's namespace ("\\address\root\cimv2"); false when it does not
// fit.
bool
wmi_format_namespace(const char16_t *address, char16_t (&name_space)[NAMESPACE_UNITS])
{
    std::int32_t hr =
        string_printf_w(name_space, sizeof name_space, u"\\\\%s\\root\\cimv2", address);
    if (hr != STRING_S_OK) {
        log_write(LOG_ERROR,
                  u"wrkstpoll_workerthread_wmi: namespace string preparation failed: 0x%x",
                  static_cast<unsigned int>(hr));
        return false;
    }
    return true;
}

// One attempt of step 6: the poll's account first, the local identity where the platform asks
// for it.
bool
wmi_connect_once(const char16_t *name_space, long flags, platform_wmi **wmi)
{
    const char16_t *account = g_poll.account;
    const char16_t *password = g_poll.password;
    log_write(LOG_DEBUG, u"wrkstpoll_workerthread_wmi: connecting to WMI Namespace '%s'",
              name_space);
    log_write(LOG_MSG, u"wrkstpoll_workerthread_wmi: username:%s", account);
    unsigned long rc = platform_wmi_connect(name_space, account, password, flags, wmi);
    if (rc == PLATFORM_WMI_LOCAL_CREDENTIALS) {
        log_write(LOG_MSG, u"wrkstpoll_workerthread_wmi: connecting to Local Namespace.... ");
        rc = platform_wmi_connect(name_space, nullptr, nullptr, flags, wmi);
    }
    if (rc == 0) {
        return true;
    }
    log_write(LOG_ERROR,
              u"wrkstpoll_workerthread_wmi: couldnt connected to WMI Namespace '%s': 0x%x",
              name_space, static_cast<unsigned int>(rc));
    return false;
}

// Step 6: up to three connections, a second apart. nullptr when none succeeded (logged).
std::unique_ptr<platform_wmi, wmi_closer>
wmi_connect(const char16_t *name_space)
{
    const os_version_record *version = config_os_version();
    long flags = version->major >= 5 && version->minor > 0 ? PLATFORM_WMI_FLAG_MAX_WAIT : 0;
    platform_wmi *raw = nullptr;
    if (!connect_with_retries([&] { return wmi_connect_once(name_space, flags, &raw); })) {
        log_write(LOG_ERROR,
                  u"wrkstpoll_workerthread_wmi: WMI Namespace Connect Retry Exceeded for '%s'",
                  name_space);
        return nullptr;
    }
    log_write(LOG_MSG, u"wrkstpoll_workerthread_wmi: Success - Connected to WMI Namespace: %s",
              name_space);
    return std::unique_ptr<platform_wmi, wmi_closer>(raw);
}

// Nobody, or a user of an unknown domain, is at the workstation: the record's user is logged
// out, and failure is logged with the poll's own line. 0, or -1.
int
hand_to_logoff_handler(userinfo_ptr record, wfmt<> failure)
{
    if (wrkstpoll_handle_logoff_req(record.release(), 1) != 0) {
        log_write(LOG_ERROR, failure);
        return -1;
    }
    return 0;
}

// The WMI poll's logout, with its line.
int
wmi_log_off(userinfo_ptr record)
{
    return hand_to_logoff_handler(
        std::move(record), u"wrkstpoll_workerthread_wmi: User Logout event couldn't handled");
}

// Step 10: applies the "domain\user" read at the workstation to the record.
int
wmi_apply_user(userinfo_ptr record, const char16_t *user_name)
{
    std::u16string_view whole(user_name);
    std::size_t first = whole.find(u'\\');
    std::size_t last = whole.rfind(u'\\');
    if (first == std::u16string_view::npos) {
        renew_present_user(std::move(record));
        return 0;
    }
    std::u16string domain(whole.substr(0, first));
    std::u16string user(whole.substr(last + 1));
    log_write(LOG_MSG, u"wrkstpoll_workerthread_wmi: Logged-In USER '%s\\%s' on '%s'",
              domain.c_str(), user.c_str(), record->WrkstIP);
    int handled = hand_to_logon_handler(record, user.c_str(), domain.c_str());
    if (handled < 0) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi: user logon event couldn't handled");
    }
    if (handled != -2) {
        return 0;
    }
    log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi: new user is on unknown domain: '%s'",
              domain.c_str());
    log_write(LOG_MSG, u"wrkstpoll_workerthread_wmi: logging-off previous user '%s\\%s",
              record->Domain, record->User);
    return wmi_log_off(std::move(record));
}

// The account and domain of the user found in a workstation's registry.
struct reg_user {
    char16_t account[NAME_UNITS];
    char16_t domain[NAME_UNITS];
};

// Step 2 of the registry poll: the remote host's name ("\\address"); false when it does not fit.
bool
reg_format_host(const char16_t *address, char16_t (&host)[HOST_UNITS])
{
    std::int32_t hr = string_printf_w(host, sizeof host, u"\\\\%s", address);
    if (hr != STRING_S_OK) {
        log_write(LOG_ERROR,
                  u"wrkstpoll_workerthread_reg: remote host string preparation failed: %d",
                  static_cast<int>(hr));
        return false;
    }
    return true;
}

// One attempt of step 3.
bool
reg_connect_once(const char16_t *host, platform_hku **hku)
{
    log_write(LOG_DEBUG, u"wrkstpoll_workerthread_reg: Connecting to Registry of '%s'", host);
    unsigned long rc = platform_hku_connect(host, g_poll.account, g_poll.password, hku);
    if (rc == 0) {
        return true;
    }
    log_write(LOG_ERROR, u"wrkstpoll_workerthread_reg: Registry Connect failed for '%s': %d", host,
              static_cast<int>(rc));
    return false;
}

// Step 3: up to three connections, a second apart. nullptr when none succeeded (logged).
std::unique_ptr<platform_hku, hku_closer>
reg_connect(const char16_t *host)
{
    platform_hku *raw = nullptr;
    if (!connect_with_retries([&] { return reg_connect_once(host, &raw); })) {
        log_write(LOG_ERROR,
                  u"wrkstpoll_workerthread_reg: Registry Connect Retry Exceeded for '%s'", host);
        return nullptr;
    }
    return std::unique_ptr<platform_hku, hku_closer>(raw);
}

// The SID of a loaded user's hive: its classes key is named "<SID>_Classes". False for any
// other key, and for a name that holds no SID. subkey is cut at "_Classes".
bool
reg_hive_sid(char16_t *subkey, platform_sid *sid)
{
    if (wtext_equal_nocase(subkey, u".default")) {
        return false;
    }
    std::u16string_view name(subkey);
    std::size_t classes = name.find(u"_Classes");
    if (classes == std::u16string_view::npos) {
        return false;
    }
    subkey[classes] = 0;
    log_write(LOG_DEBUG, u"wrkstpoll_workerthread_reg: Selected SubKeyName: %s",
              static_cast<const char16_t *>(subkey));
    int fields = wrkstpoll_parse_sid(subkey, sid);
    if (fields < 3) {
        return false;
    }
    sid->count = static_cast<std::uint8_t>(fields - 2);
    return true;
}

// The account behind sid into *user: true for a user or domain account.
bool
reg_lookup_account(platform_hku *hku, const platform_sid &sid, reg_user *user)
{
    int sid_type = 0;
    user->account[0] = 0;
    user->domain[0] = 0;
    if (platform_hku_lookup_sid(hku, sid, user->account, user->domain, NAME_UNITS, &sid_type) !=
        0) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_reg: Lookup Account Name failed");
        return false;
    }
    user->account[NAME_UNITS - 1] = 0;
    user->domain[NAME_UNITS - 1] = 0;
    return sid_type == 1 || sid_type == 3;
}

// Steps 4 and 5: the first loaded hive of a user or domain account is the logged-on user.
bool
reg_find_logged_on_user(platform_hku *hku, reg_user *user)
{
    char16_t subkey[NAME_UNITS];
    for (unsigned long index = 0; index < SUBKEY_LIMIT; ++index) {
        subkey[0] = 0;
        if (platform_hku_enum_key(hku, index, subkey, NAME_UNITS) != 0) {
            break;
        }
        subkey[NAME_UNITS - 1] = 0;
        platform_sid sid;
        if (reg_hive_sid(subkey, &sid) && reg_lookup_account(hku, sid, user)) {
            return true;
        }
    }
    return false;
}

// The registry poll's logout, with its line.
int
reg_log_off(userinfo_ptr record)
{
    return hand_to_logoff_handler(
        std::move(record), u"wrkstpoll_workerthread_reg: user logout event couldn't handled");
}

// Step 6: applies the user found at the workstation to the record.
int
reg_apply_user(userinfo_ptr record, const reg_user &user, const char16_t *host)
{
    log_write(LOG_MSG, u"wrkstpoll_workerthread_reg: Logged-In USER: '%s' on '%s'",
              static_cast<const char16_t *>(user.account), host);
    int handled = hand_to_logon_handler(record, user.account, user.domain);
    if (handled == -2) {
        // A user of another domain sits at the workstation: the stored user has left it, as
        // the WMI poll concludes too.
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_reg: new user is on unknown domain: '%s'",
                  static_cast<const char16_t *>(user.domain));
        log_write(LOG_MSG, u"wrkstpoll_workerthread_reg: logging-off previous user '%s\\%s",
                  record->Domain, record->User);
        return reg_log_off(std::move(record));
    }
    if (handled < 0) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_reg: user logon event couldn't handled");
        return -1;
    }
    return 0;
}

} // namespace

int
wrkstpoll_workerthread_wmi(UserInfo *argument)
{
    if (argument == nullptr) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi:Invalid Input Parameters");
        return -1;
    }
    userinfo_ptr record(argument);
    if (wmi_address_excluded(record.get())) {
        return 0;
    }
    // 3.
    if (record->WrkstIP == nullptr) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_wmi: Workstation to be Polled is unknown");
        (void)wrkstpoll_handle_logoff_req(record.release(), 1);
        return -1;
    }
    char16_t name_space[NAMESPACE_UNITS];
    if (!wmi_format_namespace(record->WrkstIP, name_space)) {
        return -1;
    }
    std::unique_ptr<platform_wmi, wmi_closer> wmi = wmi_connect(name_space);
    if (wmi == nullptr) {
        (void)wrkstpoll_handle_logoff_req(record.release(), 1);
        return -1;
    }
    // 7 to 9. Without a user name read, the user counts as gone.
    char16_t user_name[WMI_USER_UNITS] = {};
    bool read = wmi_read_username(wmi.get(), user_name);
    wmi.reset(); // 11. released before the handlers run
    if (!read) {
        return wmi_log_off(std::move(record));
    }
    return wmi_apply_user(std::move(record), user_name);
}

int
wrkstpoll_workerthread_reg(UserInfo *argument)
{
    if (argument == nullptr) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_reg: Invalid Input Parameters");
        return -1;
    }
    userinfo_ptr record(argument);
    if (record->WrkstIP == nullptr) {
        log_write(LOG_ERROR, u"wrkstpoll_workerthread_reg: Workstation to be Polled is unknown");
        (void)wrkstpoll_handle_logoff_req(record.release(), 1);
        return -1;
    }
    char16_t host[HOST_UNITS];
    if (!reg_format_host(record->WrkstIP, host)) {
        return -1;
    }
    std::unique_ptr<platform_hku, hku_closer> hku = reg_connect(host);
    if (hku == nullptr) {
        (void)wrkstpoll_handle_logoff_req(record.release(), 1);
        return -1;
    }
    reg_user user;
    bool found = reg_find_logged_on_user(hku.get(), &user);
    hku.reset();  // released before the handlers run
    if (!found) { // 7.
        return reg_log_off(std::move(record));
    }
    return reg_apply_user(std::move(record), user, host);
}
