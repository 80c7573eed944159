// POSIX side of the event source: the audit line format (see audit_line.h).

#include "platform/posix/audit_line.h"

#include "base/civil_date.h"
#include "base/utf.h"

#include <cstring>
#include <new>
#include <string_view>

#include <nlohmann/json.hpp>

namespace posix {

namespace {

using json = nlohmann::json;

constexpr std::uint32_t EVENT_KERBEROS_TGT = 4768;
constexpr std::uint32_t EVENT_NTLM_VALIDATION = 4776;
constexpr std::uint16_t TYPE_INFORMATION = 4;
constexpr std::uint16_t TYPE_AUDIT_SUCCESS = 8;
constexpr std::uint16_t TYPE_AUDIT_FAILURE = 16;

bool
read_digits(std::string_view text, std::size_t at, std::size_t count, unsigned *value)
{
    if (at + count > text.size()) {
        return false;
    }
    unsigned v = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        v = v * 10 + static_cast<unsigned>(text[i] - '0');
    }
    *value = v;
    return true;
}

// "YYYY-MM-DDTHH:MM:SS[.ffffff](+HHMM|+HH:MM|Z)" as seconds since 1970 UTC; false when the text
// is not of that form or lies outside what 32 unsigned bits hold.
bool
parse_timestamp(std::string_view text, std::uint32_t *seconds)
{
    unsigned year, month, day, hour, minute, second;
    if (!read_digits(text, 0, 4, &year) || text.size() < 19 || text[4] != '-' ||
        !read_digits(text, 5, 2, &month) || text[7] != '-' || !read_digits(text, 8, 2, &day) ||
        (text[10] != 'T' && text[10] != ' ') || !read_digits(text, 11, 2, &hour) ||
        text[13] != ':' || !read_digits(text, 14, 2, &minute) || text[16] != ':' ||
        !read_digits(text, 17, 2, &second)) {
        return false;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    std::size_t at = 19;
    if (at < text.size() && text[at] == '.') {
        ++at;
        std::size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 9) {
            ++at;
            ++digits;
        }
        if (digits == 0) {
            return false;
        }
    }
    long long offset = 0;
    if (at < text.size() && text[at] == 'Z') {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int sign = text[at] == '-' ? -1 : 1;
        unsigned oh, om;
        if (!read_digits(text, at + 1, 2, &oh)) {
            return false;
        }
        std::size_t mm = at + 3;
        if (mm < text.size() && text[mm] == ':') {
            ++mm;
        }
        if (!read_digits(text, mm, 2, &om) || oh > 23 || om > 59) {
            return false;
        }
        offset = sign * static_cast<long long>(oh * 3600 + om * 60);
        at = mm + 2;
    } else {
        return false;
    }
    if (at != text.size()) {
        return false;
    }
    long long t =
        days_from_civil(year, month, day) * 86400 + hour * 3600LL + minute * 60LL + second - offset;
    if (t < 0 || t > 0xFFFFFFFFLL) {
        return false;
    }
    *seconds = static_cast<std::uint32_t>(t);
    return true;
}

enum field_result { FIELD_ABSENT, FIELD_NULL, FIELD_TEXT, FIELD_BAD };

// A member that must be a text: absent, null, a usable text, or unusable (wrong type, a NUL
// inside, too long).
field_result
text_field(const json &object, const char *name, std::string *out, const char **reason)
{
    auto it = object.find(name);
    if (it == object.end()) {
        return FIELD_ABSENT;
    }
    if (it->is_null()) {
        return FIELD_NULL;
    }
    if (!it->is_string()) {
        *reason = "a field that should be a text is not";
        return FIELD_BAD;
    }
    const std::string &text = it->get_ref<const std::string &>();
    if (text.size() > AUDIT_FIELD_MAX) {
        *reason = "a text field is too long";
        return FIELD_BAD;
    }
    if (text.find('\0') != std::string::npos) {
        *reason = "a text field holds a NUL character";
        return FIELD_BAD;
    }
    *out = text;
    return FIELD_TEXT;
}

// The first of the named members that holds a non-empty text. false with *reason set when one
// of them is unusable.
bool
first_text(const json &object, std::initializer_list<const char *> names, std::string *out,
           const char **reason)
{
    out->clear();
    for (const char *name : names) {
        std::string value;
        field_result r = text_field(object, name, &value, reason);
        if (r == FIELD_BAD) {
            return false;
        }
        if (r == FIELD_TEXT && !value.empty()) {
            *out = value;
            return true;
        }
    }
    return true;
}

bool
contains(std::string_view text, std::string_view part)
{
    return text.find(part) != std::string_view::npos;
}

// "ipv4:a.b.c.d:port" gives "::ffff:a.b.c.d" and the port, "ipv6:addr:port" the address
// (without brackets, as Samba writes it) and the port. false for anything else.
bool
split_remote_address(std::string_view text, std::string *address, std::string *port)
{
    bool v4 = text.substr(0, 5) == "ipv4:";
    bool v6 = text.substr(0, 5) == "ipv6:";
    if (!v4 && !v6) {
        return false;
    }
    std::string_view rest = text.substr(5);
    std::size_t colon = rest.rfind(':');
    if (colon == std::string_view::npos || colon == 0) {
        return false;
    }
    std::string_view host = rest.substr(0, colon);
    std::string_view service = rest.substr(colon + 1);
    for (char c : service) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    for (char c : host) {
        bool ok = (c >= '0' && c <= '9') || c == '.' || c == ':' || (c >= 'a' && c <= 'f') ||
                  (c >= 'A' && c <= 'F') || c == '%';
        if (!ok || (v4 && c == ':')) {
            return false;
        }
    }
    *address = v4 ? "::ffff:" + std::string(host) : std::string(host);
    *port = std::string(service);
    return true;
}

int
refuse(const char **reason, const char *why)
{
    *reason = why;
    return -1;
}

// What every authentication event carries: its outcome, and the account the client named.
struct auth_outcome {
    bool success = false;
    std::string status; // the status text, "NT_STATUS_OK" on success
    std::string client_account;
};

// The user and the domain of a Kerberos event: the account as the directory knows it; the name
// as the client gave it (without its realm) only when the directory did not map it, as in most
// failures.
bool
kerberos_account(const json &auth, const std::string &client_account, std::string *user,
                 std::string *domain, const char **reason)
{
    if (!first_text(auth, {"mappedAccount", "becameAccount"}, user, reason) ||
        !first_text(auth, {"mappedDomain", "becameDomain", "clientDomain"}, domain, reason)) {
        return false;
    }
    std::size_t at = client_account.find('@');
    if (user->empty()) {
        *user = client_account.substr(0, at);
    }
    if (domain->empty() && at != std::string::npos) {
        *domain = client_account.substr(at + 1);
    }
    return true;
}

int
parse_kerberos(const json &auth, const auth_outcome &outcome, audit_event *event,
               const char **reason)
{
    std::string user, domain;
    if (!kerberos_account(auth, outcome.client_account, &user, &domain, reason)) {
        return -1;
    }
    std::string remote, address, port;
    field_result r = text_field(auth, "remoteAddress", &remote, reason);
    if (r == FIELD_BAD) {
        return -1;
    }
    bool have_address = r == FIELD_TEXT && split_remote_address(remote, &address, &port);
    if (outcome.success && user.empty()) {
        return refuse(reason, "a successful Kerberos logon without a user");
    }
    if (outcome.success && !have_address) {
        return refuse(reason, "a successful Kerberos logon without a readable address");
    }
    std::string sid;
    if (text_field(auth, "becameSid", &sid, reason) == FIELD_BAD) {
        return -1;
    }
    event->event_id = EVENT_KERBEROS_TGT;
    event->num_strings = 11;
    event->strings[0] = user;
    event->strings[1] = domain;
    event->strings[2] = sid;
    event->strings[3] = "krbtgt";
    event->strings[6] = outcome.success ? "0x0" : outcome.status;
    event->strings[9] = have_address ? address : "-";
    event->strings[10] = have_address ? port : "0";
    return 0;
}

int
parse_ntlm(const json &auth, const auth_outcome &outcome, audit_event *event, const char **reason)
{
    std::string workstation;
    field_result w = text_field(auth, "workstation", &workstation, reason);
    if (w == FIELD_BAD) {
        return -1;
    }
    if (outcome.success && outcome.client_account.empty()) {
        return refuse(reason, "a successful NTLM logon without a user");
    }
    if (outcome.success && (w != FIELD_TEXT || workstation.empty())) {
        return refuse(reason, "a successful NTLM logon without a workstation");
    }
    event->event_id = EVENT_NTLM_VALIDATION;
    event->num_strings = 4;
    event->strings[0] = "MICROSOFT_AUTHENTICATION_PACKAGE_V1_0";
    event->strings[1] = outcome.client_account;
    event->strings[2] = workstation;
    event->strings[3] = outcome.success ? "0x0" : outcome.status;
    return 0;
}

// The event id an authentication of neither kind states itself, or 0.
std::uint32_t
stated_event_id(const json &auth)
{
    auto id = auth.find("eventId");
    return id != auth.end() && id->is_number_unsigned() && id->get<std::uint64_t>() <= 0xFFFFFFFFu
               ? static_cast<std::uint32_t>(id->get<std::uint64_t>())
               : 0;
}

int
parse_authentication(const json &auth, audit_event *event, const char **reason)
{
    auth_outcome outcome;
    std::string service, password_type;
    if (text_field(auth, "status", &outcome.status, reason) == FIELD_BAD ||
        text_field(auth, "serviceDescription", &service, reason) == FIELD_BAD ||
        text_field(auth, "passwordType", &password_type, reason) == FIELD_BAD) {
        return -1;
    }
    outcome.success = outcome.status == "NT_STATUS_OK";
    event->event_type = outcome.success ? TYPE_AUDIT_SUCCESS : TYPE_AUDIT_FAILURE;

    bool kerberos = service == "Kerberos KDC";
    bool ntlm = !kerberos && (service == "SamLogon" || contains(password_type, "NTLM") ||
                              password_type == "LANMan");
    if (!kerberos && !ntlm) {
        event->event_id = stated_event_id(auth);
        return 0;
    }
    if (text_field(auth, "clientAccount", &outcome.client_account, reason) == FIELD_BAD) {
        return -1;
    }
    return kerberos ? parse_kerberos(auth, outcome, event, reason)
                    : parse_ntlm(auth, outcome, event, reason);
}

int
parse_object(const json &root, audit_event *event, const char **reason)
{
    if (!root.is_object()) {
        return refuse(reason, "the line is not a JSON object");
    }
    std::string stamp;
    if (text_field(root, "timestamp", &stamp, reason) != FIELD_TEXT) {
        return refuse(reason, "the timestamp is missing or not a text");
    }
    if (!parse_timestamp(stamp, &event->time_generated)) {
        return refuse(reason, "the timestamp cannot be read");
    }
    std::string type;
    if (text_field(root, "type", &type, reason) == FIELD_BAD) {
        return -1;
    }
    auto body = root.find("Authentication");
    if (type != "Authentication" || body == root.end()) {
        event->event_id = 0;
        event->event_type = TYPE_INFORMATION;
        return 0;
    }
    if (!body->is_object()) {
        return refuse(reason, "the Authentication member is not an object");
    }
    return parse_authentication(*body, event, reason);
}

} // namespace

bool
audit_utf8_valid(const unsigned char *text, std::size_t length)
{
    // The shared decoder answers a malformed, overlong, surrogate or cut sequence with U+FFFD
    // taken from one byte; a real U+FFFD takes three.
    for (std::size_t i = 0; i < length;) {
        std::size_t used;
        if (utf8_decode(text + i, length - i, &used) == 0xFFFD && used == 1) {
            return false;
        }
        i += used;
    }
    return true;
}

int
audit_line_parse(const char *line, std::size_t length, audit_event *event, const char **reason)
{
    static const char *unused;
    if (reason == nullptr) {
        reason = &unused;
    }
    if (line == nullptr || event == nullptr) {
        return refuse(reason, "no line");
    }
    *event = audit_event{};
    if (length > AUDIT_LINE_MAX) {
        return refuse(reason, "the line is too long");
    }
    if (!audit_utf8_valid(reinterpret_cast<const unsigned char *>(line), length)) {
        return refuse(reason, "the line is not valid UTF-8");
    }
    const char *open = static_cast<const char *>(std::memchr(line, '{', length));
    if (open == nullptr) {
        return refuse(reason, "the line holds no JSON object");
    }
    try {
        json root = json::parse(open, line + length, nullptr, false);
        if (root.is_discarded()) {
            return refuse(reason, "the line is not one whole JSON object (malformed or cut)");
        }
        return parse_object(root, event, reason);
    } catch (const std::bad_alloc &) {
        return refuse(reason, "out of memory");
    } catch (const std::exception &) {
        return refuse(reason, "the JSON object has an unexpected shape");
    }
}

} // namespace posix
