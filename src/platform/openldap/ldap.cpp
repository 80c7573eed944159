// ldap.h on the OpenLDAP client library (libldap, liblber), the same code on both sides: Debian
// packages the library for Linux, and the Windows build compiles it from Debian's source package.
//
// Sessions: an ldap:// URI from host and port, connected at once (so that an unreachable server
// fails the open, within the network time limit), simple bind, subtree searches. The client's
// own "time limit passed" code (LDAP_TIMEOUT, -5) is reported as 85, the code the callers know.
//
// Event subscription: one extended request, 2.16.840.1.113719.1.27.100.79, whose value is
//
//     SEQUENCE { count INTEGER, SET OF SEQUENCE { eventType INTEGER, eventStatus ENUMERATED } }
//
// (for {100,1},{102,1}: 30 15 02 01 02 31 10 30 06 02 01 64 0a 01 01 30 06 02 01 66 0a 01 01).
// The server answers on the same message id with one intermediate response per event
// (…100.81) and, when it ends the subscription, an extended response (…100.80) whose optional
// value has the request's form and lists the refused event requests.
//
// An event's value is
//
//     SEQUENCE { eventType INTEGER, eventResult INTEGER, eventData [n] OPTIONAL, ... }
//
// where the context tag n names the data structure and the structure's fields follow inside
// the tag without a SEQUENCE header of their own. Servers send the tag constructed or primitive;
// both are read the same way, by its contents. Elements after the ones named here are skipped
// (newer servers append more), but every element must be whole: a length that reaches beyond
// its enclosing element refuses the message. The DNs are taken as follows:
//
//   [1] entry info (perpetratorDN, entryDN, className, creationTime, verb, flags, newDN):
//       perpetratorDN is the perpetrator, entryDN the user DN (the object that logged in or
//       out); there is no base DN, so the monitor searches below its configured base.
//   [3] general DS data ([1] dstime, [2] milliseconds, [3] verb, [4] current process,
//       [5] perpetratorDN, [6] integers, [7] strings): [5] is the perpetrator; there is no user
//       DN (the monitor uses the perpetrator, who is the user for logins and logouts) and no
//       base DN.
//   [8] network address (type INTEGER, data OCTET STRING): no DN at all.
//   Any other tag: no DN.
// An empty DN counts as absent. A DN longer than PLATFORM_LDAP_DN_MAX bytes, or with a zero byte
// in it, refuses the message.
//
// The decoders use nested BER elements of their own (ber_init copies each element's contents),
// so that an element can never be read past its own end; ber_scanf's '{' does not bound a
// sequence and would read trailing elements of the enclosing one as its own.

#include "platform/ldap.h"

#include <lber.h>
#include <ldap.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

struct platform_ldap {
    LDAP *ld;
};

namespace {

constexpr const char *MONITOR_REQUEST_OID = "2.16.840.1.113719.1.27.100.79";
constexpr const char *MONITOR_END_OID = "2.16.840.1.113719.1.27.100.80";
constexpr const char *MONITOR_EVENT_OID = "2.16.840.1.113719.1.27.100.81";

// The data structures of an event, by context tag number.
constexpr ber_tag_t EVENT_DATA_ENTRY_INFO = 1;
constexpr ber_tag_t EVENT_DATA_GENERAL_DS = 3;
constexpr ber_tag_t EVENT_DATA_NETWORK_ADDRESS = 8;
constexpr ber_tag_t GENERAL_DS_PERPETRATOR = 5;

constexpr int DECODING_ERROR = LDAP_DECODING_ERROR;

struct ber_free_all {
    void operator()(BerElement *ber) const
    {
        ber_free(ber, 1);
    }
};
using ber_owner = std::unique_ptr<BerElement, ber_free_all>;

struct message_free {
    void operator()(LDAPMessage *message) const
    {
        ldap_msgfree(message);
    }
};
using message_owner = std::unique_ptr<LDAPMessage, message_free>;

struct memory_free {
    void operator()(void *memory) const
    {
        ldap_memfree(memory);
    }
};
using text_owner = std::unique_ptr<char, memory_free>;

struct berval_free {
    void operator()(berval *value) const
    {
        ber_bvfree(value);
    }
};
using berval_owner = std::unique_ptr<berval, berval_free>;

// bytes as the library's length-and-pointer pair: false when the length does not fit its length
// type (32 bits on Windows).
bool
as_berval(const void *data, std::size_t size, berval *out)
{
    if (size > std::numeric_limits<ber_len_t>::max() || (data == nullptr && size != 0)) {
        return false;
    }
    out->bv_len = static_cast<ber_len_t>(size);
    out->bv_val = static_cast<char *>(const_cast<void *>(data));
    return true;
}

int
result_code(int code)
{
    return code == LDAP_TIMEOUT ? PLATFORM_LDAP_TIMEOUT : code;
}

// A reader over a copy of bytes (null when out of memory).
ber_owner
open_reader(const berval &bytes)
{
    berval copy = bytes;
    return ber_owner(ber_init(&copy));
}

ber_len_t
remaining(BerElement *ber)
{
    ber_len_t left = 0;
    ber_get_option(ber, LBER_OPT_REMAINING_BYTES, &left);
    return left;
}

// The next element's tag and contents (pointing into ber's buffer), whatever its form: false
// when no whole element is left.
bool
take(BerElement *ber, ber_tag_t *tag, berval *contents)
{
    *tag = ber_get_stringbv(ber, contents, LBER_BV_NOTERM);
    return *tag != LBER_DEFAULT;
}

// The next element, a SEQUENCE, as a reader of its own: null when it is not one or not whole.
ber_owner
take_sequence(BerElement *ber)
{
    ber_tag_t tag;
    berval contents;
    if (!take(ber, &tag, &contents) || tag != LBER_SEQUENCE) {
        return nullptr;
    }
    return open_reader(contents);
}

bool
take_integer(BerElement *ber, ber_tag_t expected, int *value)
{
    ber_tag_t tag;
    berval contents;
    ber_int_t number = 0;
    if (!take(ber, &tag, &contents) || tag != expected || contents.bv_len == 0 ||
        ber_decode_int(&contents, &number) != 0) {
        return false;
    }
    *value = number;
    return true;
}

// Checks that what is left consists of whole elements.
bool
skip_rest(BerElement *ber)
{
    while (remaining(ber) > 0) {
        ber_tag_t tag;
        berval contents;
        if (!take(ber, &tag, &contents)) {
            return false;
        }
    }
    return true;
}

bool
dn_text(const berval &contents, std::optional<std::string> *dn)
{
    if (contents.bv_len > PLATFORM_LDAP_DN_MAX ||
        std::memchr(contents.bv_val, 0, contents.bv_len) != nullptr) {
        return false;
    }
    if (contents.bv_len > 0) {
        *dn = std::string(contents.bv_val, contents.bv_len);
    }
    return true;
}

bool
take_dn(BerElement *ber, std::optional<std::string> *dn)
{
    ber_tag_t tag;
    berval contents;
    return take(ber, &tag, &contents) && tag == LBER_OCTETSTRING && dn_text(contents, dn);
}

// The fields of the data structure n, as the comment at the top gives them.
bool
decode_event_data(ber_tag_t n, const berval &fields, platform_ldap_message *out)
{
    ber_owner ber = open_reader(fields);
    if (!ber) {
        return false;
    }
    if (n == EVENT_DATA_ENTRY_INFO) {
        if (!take_dn(ber.get(), &out->perpetrator_dn)) {
            return false;
        }
        if (remaining(ber.get()) > 0 && !take_dn(ber.get(), &out->user_dn)) {
            return false;
        }
    } else if (n == EVENT_DATA_GENERAL_DS) {
        while (remaining(ber.get()) > 0) {
            ber_tag_t tag;
            berval contents;
            if (!take(ber.get(), &tag, &contents)) {
                return false;
            }
            if ((tag & ~LBER_CONSTRUCTED) == (LBER_CLASS_CONTEXT | GENERAL_DS_PERPETRATOR) &&
                !dn_text(contents, &out->perpetrator_dn)) {
                return false;
            }
        }
    } else if (n == EVENT_DATA_NETWORK_ADDRESS) {
        int type = 0;
        ber_tag_t tag;
        berval address;
        if (!take_integer(ber.get(), LBER_INTEGER, &type) || !take(ber.get(), &tag, &address) ||
            tag != LBER_OCTETSTRING) {
            return false;
        }
    }
    return skip_rest(ber.get());
}

int
decode_event(const berval &value, platform_ldap_message *out)
{
    ber_owner outer = open_reader(value);
    ber_owner ber = outer ? take_sequence(outer.get()) : nullptr;
    if (!ber || !take_integer(ber.get(), LBER_INTEGER, &out->event_type) ||
        !take_integer(ber.get(), LBER_INTEGER, &out->event_result)) {
        return DECODING_ERROR;
    }
    if (remaining(ber.get()) > 0) {
        ber_tag_t tag;
        berval fields;
        if (!take(ber.get(), &tag, &fields)) {
            return DECODING_ERROR;
        }
        // Only a one-byte context tag names a data structure; anything else is skipped.
        if (tag <= 0xff && (tag & LBER_CLASS_MASK) == LBER_CLASS_CONTEXT &&
            !decode_event_data(tag & ~(LBER_CLASS_MASK | LBER_CONSTRUCTED), fields, out)) {
            return DECODING_ERROR;
        }
    }
    return skip_rest(ber.get()) ? 0 : DECODING_ERROR;
}

int
decode_monitor_end(const berval &value, platform_ldap_message *out)
{
    ber_owner outer = open_reader(value);
    ber_owner ber = outer ? take_sequence(outer.get()) : nullptr;
    int count = 0;
    if (!ber || !take_integer(ber.get(), LBER_INTEGER, &count)) {
        return DECODING_ERROR;
    }
    if (remaining(ber.get()) > 0) {
        ber_tag_t tag;
        berval set;
        if (!take(ber.get(), &tag, &set) || tag != LBER_SET) {
            return DECODING_ERROR;
        }
        ber_owner requests = open_reader(set);
        if (!requests) {
            return DECODING_ERROR;
        }
        while (remaining(requests.get()) > 0) {
            int event_type = 0;
            ber_owner fields = take_sequence(requests.get());
            if (!fields || !take_integer(fields.get(), LBER_INTEGER, &event_type) ||
                !skip_rest(fields.get())) {
                return DECODING_ERROR;
            }
            out->refused_event_types.push_back(event_type);
        }
    }
    return skip_rest(ber.get()) ? 0 : DECODING_ERROR;
}

// After a failed decoding nothing but the error is left of the message.
void
keep_only_failure(platform_ldap_message *out)
{
    if (out->parse_result != 0) {
        int failed = out->parse_result;
        *out = platform_ldap_message{};
        out->parse_result = failed;
    }
}

// A host as an LDAP URI takes it: letters, digits and the punctuation of names and address
// texts only, so that nothing in it can be read as another part of the URI.
bool
host_is_plain(const char *host)
{
    if (*host == '\0') {
        return false;
    }
    for (const char *c = host; *c != '\0'; ++c) {
        bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') ||
                     (*c >= '0' && *c <= '9') || *c == '.' || *c == '-' || *c == '_' || *c == ':';
        if (!plain) {
            return false;
        }
    }
    return true;
}

} // namespace

void
platform_ldap_set_defaults(long timeout_seconds, long timeout_microseconds)
{
    int version = LDAP_VERSION3;
    ldap_set_option(nullptr, LDAP_OPT_PROTOCOL_VERSION, &version);
    timeval limit{timeout_seconds, timeout_microseconds};
    ldap_set_option(nullptr, LDAP_OPT_NETWORK_TIMEOUT, &limit);
}

platform_ldap *
platform_ldap_open(const char *host, int port, int *error)
{
    *error = 0;
    if (host == nullptr || !host_is_plain(host) || port <= 0 || port > 65535) {
        *error = EINVAL;
        return nullptr;
    }
    std::string uri = "ldap://";
    uri += std::strchr(host, ':') != nullptr ? "[" + std::string(host) + "]" : host;
    uri += ":" + std::to_string(port);
    LDAP *ld = nullptr;
    int rc = ldap_initialize(&ld, uri.c_str());
    if (rc != LDAP_SUCCESS) {
        *error = EINVAL;
        return nullptr;
    }
    // The library leaves the system's error of the failed connection in errno (after its own
    // clean-up: a refused connection reads ENOTCONN).
    errno = 0;
    rc = ldap_connect(ld);
    if (rc != LDAP_SUCCESS) {
        *error = errno != 0 ? errno : EIO;
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        return nullptr;
    }
    platform_ldap *session = new (std::nothrow) platform_ldap{ld};
    if (session == nullptr) {
        ldap_unbind_ext_s(ld, nullptr, nullptr);
        *error = ENOMEM;
    }
    return session;
}

int
platform_ldap_simple_bind(platform_ldap *session, const char *dn, const char *password)
{
    const char *text = password == nullptr ? "" : password;
    berval credentials{};
    if (!as_berval(text, std::strlen(text), &credentials)) {
        return LDAP_PARAM_ERROR;
    }
    return result_code(ldap_sasl_bind_s(session->ld, dn, LDAP_SASL_SIMPLE, &credentials, nullptr,
                                        nullptr, nullptr));
}

int
platform_ldap_search(platform_ldap *session, const char *base, const char *filter,
                     long timeout_seconds, long timeout_microseconds,
                     std::vector<platform_ldap_entry> *entries)
{
    entries->clear();
    timeval limit{timeout_seconds, timeout_microseconds};
    LDAPMessage *raw = nullptr;
    int rc = ldap_search_ext_s(session->ld, base, LDAP_SCOPE_SUBTREE, filter, nullptr, 0, nullptr,
                               nullptr, &limit, LDAP_NO_LIMIT, &raw);
    message_owner result(raw);
    if (rc != LDAP_SUCCESS) {
        return result_code(rc);
    }
    for (LDAPMessage *entry = ldap_first_entry(session->ld, result.get()); entry != nullptr;
         entry = ldap_next_entry(session->ld, entry)) {
        platform_ldap_entry copy;
        text_owner dn(ldap_get_dn(session->ld, entry));
        if (dn) {
            copy.dn = dn.get();
        }
        BerElement *walk_raw = nullptr;
        text_owner name(ldap_first_attribute(session->ld, entry, &walk_raw));
        // The walk state is freed without its buffer, which belongs to the result.
        std::unique_ptr<BerElement, void (*)(BerElement *)> walk(
            walk_raw, [](BerElement *ber) { ber_free(ber, 0); });
        while (name) {
            platform_ldap_attribute attribute{name.get(), {}};
            berval **values = ldap_get_values_len(session->ld, entry, name.get());
            for (int i = 0; values != nullptr && values[i] != nullptr; ++i) {
                attribute.values.emplace_back(values[i]->bv_val, values[i]->bv_len);
            }
            ldap_value_free_len(values);
            copy.attributes.push_back(std::move(attribute));
            name.reset(ldap_next_attribute(session->ld, entry, walk.get()));
        }
        entries->push_back(std::move(copy));
    }
    return 0;
}

int
platform_ldap_last_result(platform_ldap *session)
{
    int code = LDAP_OTHER;
    ldap_get_option(session->ld, LDAP_OPT_RESULT_CODE, &code);
    return result_code(code);
}

int
platform_ldap_encode_monitor_request(const platform_ldap_event_request *requests, std::size_t count,
                                     std::string *value)
{
    value->clear();
    if (requests == nullptr || count == 0 || count > 1024) {
        return LDAP_PARAM_ERROR;
    }
    ber_owner ber(ber_alloc_t(LBER_USE_DER));
    if (!ber || ber_printf(ber.get(), "{i[", static_cast<ber_int_t>(count)) == -1) {
        return LDAP_ENCODING_ERROR;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (ber_printf(ber.get(), "{ie}", static_cast<ber_int_t>(requests[i].event_type),
                       static_cast<ber_int_t>(requests[i].event_status)) == -1) {
            return LDAP_ENCODING_ERROR;
        }
    }
    berval encoded{};
    if (ber_printf(ber.get(), "]}") == -1 || ber_flatten2(ber.get(), &encoded, 0) == -1) {
        return LDAP_ENCODING_ERROR;
    }
    value->assign(encoded.bv_val, encoded.bv_len); // encoded points into ber's buffer
    return 0;
}

int
platform_ldap_monitor_events(platform_ldap *session, const platform_ldap_event_request *requests,
                             std::size_t count, int *message_id)
{
    std::string value;
    int rc = platform_ldap_encode_monitor_request(requests, count, &value);
    if (rc != 0) {
        return rc;
    }
    berval data{};
    if (!as_berval(value.data(), value.size(), &data)) {
        return LDAP_PARAM_ERROR;
    }
    return result_code(ldap_extended_operation(session->ld, MONITOR_REQUEST_OID, &data, nullptr,
                                               nullptr, message_id));
}

int
platform_ldap_wait(platform_ldap *session, int message_id, long timeout_seconds,
                   long timeout_microseconds, platform_ldap_message *out)
{
    *out = platform_ldap_message{};
    timeval limit{timeout_seconds, timeout_microseconds};
    LDAPMessage *raw = nullptr;
    int type = ldap_result(session->ld, message_id, LDAP_MSG_ONE, &limit, &raw);
    message_owner result(raw);
    if (type == -1 || type == 0) {
        return type;
    }
    if (type == LDAP_RES_INTERMEDIATE) {
        char *oid_raw = nullptr;
        berval *value_raw = nullptr;
        int rc =
            ldap_parse_intermediate(session->ld, result.get(), &oid_raw, &value_raw, nullptr, 0);
        text_owner oid(oid_raw);
        berval_owner value(value_raw);
        if (rc != LDAP_SUCCESS) {
            out->parse_result = rc;
        } else if (!oid || std::strcmp(oid.get(), MONITOR_EVENT_OID) != 0 || !value) {
            out->parse_result = DECODING_ERROR;
        } else {
            out->parse_result = decode_event(*value, out);
        }
        keep_only_failure(out);
    } else if (type == LDAP_RES_EXTENDED) {
        // The end of the subscription. A server that does not know the operation answers
        // without the response name and without a value; its result code still tells why.
        int code = 0;
        char *text_raw = nullptr;
        int rc = ldap_parse_result(session->ld, result.get(), &code, nullptr, &text_raw, nullptr,
                                   nullptr, 0);
        text_owner text(text_raw);
        char *oid_raw = nullptr;
        berval *value_raw = nullptr;
        if (rc == LDAP_SUCCESS) {
            rc = ldap_parse_extended_result(session->ld, result.get(), &oid_raw, &value_raw, 0);
        }
        text_owner oid(oid_raw);
        berval_owner value(value_raw);
        if (rc != LDAP_SUCCESS) {
            out->parse_result = rc;
            return type;
        }
        out->result_code = code;
        out->error_text = text ? text.get() : "";
        if (value && (!oid || std::strcmp(oid.get(), MONITOR_END_OID) == 0)) {
            out->parse_result = decode_monitor_end(*value, out);
        }
        keep_only_failure(out);
    }
    return type;
}

int
platform_ldap_decode_event(const std::uint8_t *value, std::size_t size, platform_ldap_message *out)
{
    *out = platform_ldap_message{};
    berval bytes{};
    out->parse_result = value != nullptr && as_berval(value, size, &bytes)
                            ? decode_event(bytes, out)
                            : LDAP_DECODING_ERROR;
    keep_only_failure(out);
    return out->parse_result;
}

int
platform_ldap_decode_monitor_end(const std::uint8_t *value, std::size_t size,
                                 platform_ldap_message *out)
{
    *out = platform_ldap_message{};
    berval bytes{};
    out->parse_result = value != nullptr && as_berval(value, size, &bytes)
                            ? decode_monitor_end(bytes, out)
                            : LDAP_DECODING_ERROR;
    keep_only_failure(out);
    return out->parse_result;
}

void
platform_ldap_close(platform_ldap *session)
{
    if (session == nullptr) {
        return;
    }
    std::unique_ptr<platform_ldap> owner(session);
    ldap_unbind_ext_s(owner->ld, nullptr, nullptr);
}
