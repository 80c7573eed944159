// Windows side of ldap.h, on the system's directory client (wldap32).
//
// Sessions: ldap_initW with host and port, connected at once with ldap_connect within the
// network time limit (so that an unreachable server fails the open), simple bind, subtree
// searches. Texts cross the client in UTF-16 (the W calls), so DNs and filters keep every
// character; attribute values are read binary-safe with ldap_get_values_lenW. The client's own
// "time limit passed" code is already 85.
//
// Event subscription: one extended request, 2.16.840.1.113719.1.27.100.79, whose value is
//
//     SEQUENCE { count INTEGER, SET OF SEQUENCE { eventType INTEGER, eventStatus ENUMERATED } }
//
// (for {100,1},{102,1}: 30 15 02 01 02 31 10 30 06 02 01 64 0a 01 01 30 06 02 01 66 0a 01 01).
// The server answers on the same message id with one intermediate response (0x79) per event
// (…100.81) and, when it ends the subscription, an extended response (0x78, …100.80) whose
// optional value has the request's form and lists the refused event requests. The Windows
// client has no call that reads the name and value of an intermediate response: such a message
// is reported as a failure of the wait (LDAP_NOT_SUPPORTED), never as an event that was read.
//
// The values of events and of the end are decoded as the POSIX side does (see posix/ldap.cpp
// for the data structures and which DN is taken from each): an element's contents are read by
// the element, whatever its tag and form; every element must be whole, trailing elements are
// skipped, a DN over PLATFORM_LDAP_DN_MAX bytes or with a zero byte refuses the message.
//
// The BER work uses wldap32's ber_init / ber_peek_tag / ber_scanf ('O' for an element's
// contents, 'i' for an INTEGER) / ber_printf ('{' '}' '[' ']' 'i' 'e') / ber_flatten. Each
// constructed element is read with a reader of its own over a copy of its contents, so nothing
// can be read past its end; as the Windows BER interface cannot tell how many bytes a reader
// has left, the reader keeps that count itself from the sizes of the element headers the
// library has just checked.

#include "platform/ldap.h"

#include <windows.h>
// winber.h needs the types of winldap.h.
#include <winldap.h>
#include <winber.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <new>

struct platform_ldap {
    LDAP *ld;
};

namespace {

constexpr const wchar_t *MONITOR_REQUEST_OID = L"2.16.840.1.113719.1.27.100.79";
constexpr const wchar_t *MONITOR_END_OID = L"2.16.840.1.113719.1.27.100.80";

// The message type of an intermediate response (not named by the Windows headers).
constexpr ULONG RES_INTERMEDIATE = 0x79;

// BER tags as the library returns them.
constexpr ULONG TAG_INTEGER = 0x02;
constexpr ULONG TAG_OCTETSTRING = 0x04;
constexpr ULONG TAG_SEQUENCE = 0x30;
constexpr ULONG TAG_SET = 0x31;
constexpr ULONG TAG_CLASS_MASK = 0xc0;
constexpr ULONG TAG_CLASS_CONTEXT = 0x80;
constexpr ULONG TAG_CONSTRUCTED = 0x20;

// The data structures of an event, by context tag number.
constexpr ULONG EVENT_DATA_ENTRY_INFO = 1;
constexpr ULONG EVENT_DATA_GENERAL_DS = 3;
constexpr ULONG EVENT_DATA_NETWORK_ADDRESS = 8;
constexpr ULONG GENERAL_DS_PERPETRATOR = 5;

constexpr int DECODING_ERROR = LDAP_DECODING_ERROR;

struct ldap_state {
    std::mutex lock; // the defaults are set by one thread and read by every open
    l_timeval network_limit{0, 0};
};
ldap_state g_ldap;

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

struct text_free {
    void operator()(wchar_t *text) const
    {
        ldap_memfreeW(text);
    }
};
using text_owner = std::unique_ptr<wchar_t, text_free>;

struct berval_free {
    void operator()(berval *value) const
    {
        ber_bvfree(value);
    }
};
using berval_owner = std::unique_ptr<berval, berval_free>;

// UTF-8 to UTF-16 and back; false for text that is not valid (or when memory ran out).
bool
to_wide(const char *text, std::wstring *out)
{
    out->clear();
    if (text == nullptr || *text == '\0') {
        return true;
    }
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 0) {
        return false;
    }
    try {
        out->resize(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc &) {
        return false;
    }
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out->data(), n);
    out->resize(static_cast<std::size_t>(n - 1));
    return true;
}

std::string
to_utf8(const wchar_t *text)
{
    if (text == nullptr || *text == L'\0') {
        return {};
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return {};
    }
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

// A reader over a copy of one element's contents.
struct ber_reader {
    std::string bytes;   // what the reader was made from, to measure the element headers
    std::size_t off = 0; // where the next element starts in bytes
    ber_owner ber;       // null when there is nothing to read
};

std::size_t
remaining(const ber_reader &reader)
{
    return reader.bytes.size() - reader.off;
}

// Makes reader read bytes: false when out of memory.
bool
open_reader(const std::string &bytes, ber_reader *reader)
{
    reader->bytes = bytes;
    reader->off = 0;
    reader->ber.reset();
    if (bytes.empty()) {
        return true;
    }
    berval value{static_cast<ULONG>(bytes.size()), reader->bytes.data()};
    reader->ber.reset(ber_init(&value)); // copies the bytes
    return static_cast<bool>(reader->ber);
}

// The size of the tag and length octets at the reader's place, which the library has checked:
// a tag of one octet or, after a first octet with all number bits set, continued while the top
// bit is set; a length of one octet or 0x80 + n followed by n octets.
std::size_t
header_size(const ber_reader &reader)
{
    const auto *b = reinterpret_cast<const unsigned char *>(reader.bytes.data());
    std::size_t end = reader.bytes.size();
    std::size_t i = reader.off;
    if (i < end && (b[i] & 0x1f) == 0x1f) {
        ++i;
        while (i < end && (b[i] & 0x80) != 0) {
            ++i;
        }
    }
    ++i;
    if (i < end && (b[i] & 0x80) != 0) {
        i += b[i] & 0x7f;
    }
    ++i;
    return i - reader.off;
}

// Reads the next element with format (one conversion into argument) after checking that a whole
// element is left: its tag, and the length of its contents, in *length.
bool
take_with(ber_reader *reader, const char *format, void *argument, ULONG *tag, ULONG *length)
{
    if (remaining(*reader) == 0 || !reader->ber) {
        return false;
    }
    *tag = ber_peek_tag(reader->ber.get(), length);
    if (*tag == static_cast<ULONG>(LBER_DEFAULT)) {
        return false;
    }
    std::size_t size = header_size(*reader) + *length;
    if (size > remaining(*reader)) {
        return false;
    }
    if (ber_scanf(reader->ber.get(), const_cast<char *>(format), argument) ==
        static_cast<ULONG>(LBER_ERROR)) {
        return false;
    }
    reader->off += size;
    return true;
}

// The next element's tag and contents, whatever its form: false when no whole element is left.
bool
take(ber_reader *reader, ULONG *tag, std::string *contents)
{
    berval *raw = nullptr;
    ULONG length = 0;
    bool taken = take_with(reader, "O", &raw, tag, &length);
    berval_owner value(raw);
    if (!taken || !value || value->bv_len != length) {
        return false;
    }
    contents->assign(value->bv_val != nullptr ? value->bv_val : "", value->bv_len);
    return true;
}

// The next element, a SEQUENCE, as a reader of its own: false when it is not one or not whole.
bool
take_sequence(ber_reader *reader, ber_reader *sequence)
{
    ULONG tag = 0;
    std::string contents;
    return take(reader, &tag, &contents) && tag == TAG_SEQUENCE && open_reader(contents, sequence);
}

// The next element, an INTEGER of one to four octets.
bool
take_integer(ber_reader *reader, int *value)
{
    if (remaining(*reader) == 0 || !reader->ber) {
        return false;
    }
    ULONG length = 0;
    ULONG tag = ber_peek_tag(reader->ber.get(), &length);
    if (tag != TAG_INTEGER || length == 0 || length > 4) {
        return false;
    }
    int number = 0;
    if (!take_with(reader, "i", &number, &tag, &length)) {
        return false;
    }
    *value = number;
    return true;
}

// Checks that what is left consists of whole elements.
bool
skip_rest(ber_reader *reader)
{
    while (remaining(*reader) > 0) {
        ULONG tag = 0;
        std::string contents;
        if (!take(reader, &tag, &contents)) {
            return false;
        }
    }
    return true;
}

bool
dn_text(const std::string &contents, std::optional<std::string> *dn)
{
    if (contents.size() > PLATFORM_LDAP_DN_MAX || contents.find('\0') != std::string::npos) {
        return false;
    }
    if (!contents.empty()) {
        *dn = contents;
    }
    return true;
}

bool
take_dn(ber_reader *reader, std::optional<std::string> *dn)
{
    ULONG tag = 0;
    std::string contents;
    return take(reader, &tag, &contents) && tag == TAG_OCTETSTRING && dn_text(contents, dn);
}

// The fields of the data structure n, as the comment at the top gives them.
bool
decode_event_data(ULONG n, const std::string &fields, platform_ldap_message *out)
{
    ber_reader reader;
    if (!open_reader(fields, &reader)) {
        return false;
    }
    if (n == EVENT_DATA_ENTRY_INFO) {
        if (!take_dn(&reader, &out->perpetrator_dn)) {
            return false;
        }
        if (remaining(reader) > 0 && !take_dn(&reader, &out->user_dn)) {
            return false;
        }
    } else if (n == EVENT_DATA_GENERAL_DS) {
        while (remaining(reader) > 0) {
            ULONG tag = 0;
            std::string contents;
            if (!take(&reader, &tag, &contents)) {
                return false;
            }
            if ((tag & ~TAG_CONSTRUCTED) == (TAG_CLASS_CONTEXT | GENERAL_DS_PERPETRATOR) &&
                !dn_text(contents, &out->perpetrator_dn)) {
                return false;
            }
        }
    } else if (n == EVENT_DATA_NETWORK_ADDRESS) {
        int type = 0;
        ULONG tag = 0;
        std::string address;
        if (!take_integer(&reader, &type) || !take(&reader, &tag, &address) ||
            tag != TAG_OCTETSTRING) {
            return false;
        }
    }
    return skip_rest(&reader);
}

int
decode_event_value(const std::string &value, platform_ldap_message *out)
{
    ber_reader outer;
    ber_reader reader;
    if (!open_reader(value, &outer) || !take_sequence(&outer, &reader) ||
        !take_integer(&reader, &out->event_type) || !take_integer(&reader, &out->event_result)) {
        return DECODING_ERROR;
    }
    if (remaining(reader) > 0) {
        ULONG tag = 0;
        std::string fields;
        if (!take(&reader, &tag, &fields)) {
            return DECODING_ERROR;
        }
        // Only a one-octet context tag names a data structure; anything else is skipped.
        if (tag <= 0xff && (tag & TAG_CLASS_MASK) == TAG_CLASS_CONTEXT &&
            !decode_event_data(tag & ~(TAG_CLASS_MASK | TAG_CONSTRUCTED), fields, out)) {
            return DECODING_ERROR;
        }
    }
    return skip_rest(&reader) ? 0 : DECODING_ERROR;
}

int
decode_monitor_end_value(const std::string &value, platform_ldap_message *out)
{
    ber_reader outer;
    ber_reader reader;
    int count = 0;
    if (!open_reader(value, &outer) || !take_sequence(&outer, &reader) ||
        !take_integer(&reader, &count)) {
        return DECODING_ERROR;
    }
    if (remaining(reader) > 0) {
        ULONG tag = 0;
        std::string set;
        ber_reader requests;
        if (!take(&reader, &tag, &set) || tag != TAG_SET || !open_reader(set, &requests)) {
            return DECODING_ERROR;
        }
        while (remaining(requests) > 0) {
            int event_type = 0;
            ber_reader fields;
            if (!take_sequence(&requests, &fields) || !take_integer(&fields, &event_type) ||
                !skip_rest(&fields)) {
                return DECODING_ERROR;
            }
            out->refused_event_types.push_back(event_type);
        }
    }
    return skip_rest(&reader) ? 0 : DECODING_ERROR;
}

// The decoders on bytes; running out of memory refuses the message.
int
decode_event(const char *value, std::size_t size, platform_ldap_message *out)
{
    try {
        return decode_event_value(std::string(value, size), out);
    } catch (const std::bad_alloc &) {
        return LDAP_NO_MEMORY;
    }
}

int
decode_monitor_end(const char *value, std::size_t size, platform_ldap_message *out)
{
    try {
        return decode_monitor_end_value(std::string(value, size), out);
    } catch (const std::bad_alloc &) {
        return LDAP_NO_MEMORY;
    }
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

// A host as the client takes it: letters, digits and the punctuation of names and address
// texts only (the client reads a space as the start of another host).
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
    // The version and the limit are set on each session at its open: the Windows client has no
    // process-wide defaults for them.
    std::lock_guard guard(g_ldap.lock);
    g_ldap.network_limit = l_timeval{timeout_seconds, timeout_microseconds};
}

platform_ldap *
platform_ldap_open(const char *host, int port, int *error)
{
    *error = 0;
    std::wstring wide_host;
    if (host == nullptr || !host_is_plain(host) || port <= 0 || port > 65535 ||
        !to_wide(host, &wide_host)) {
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    LDAP *ld = ldap_initW(wide_host.data(), static_cast<ULONG>(port));
    if (ld == nullptr) {
        *error = static_cast<int>(LdapMapErrorToWin32(LdapGetLastError()));
        return nullptr;
    }
    ULONG version = LDAP_VERSION3;
    ULONG rc = ldap_set_optionW(ld, LDAP_OPT_PROTOCOL_VERSION, &version);
    if (rc == LDAP_SUCCESS) {
        l_timeval limit{};
        {
            std::lock_guard guard(g_ldap.lock);
            limit = g_ldap.network_limit;
        }
        // A zero limit would mean the client's own default wait.
        rc = ldap_connect(ld, limit.tv_sec != 0 || limit.tv_usec != 0 ? &limit : nullptr);
    }
    if (rc != LDAP_SUCCESS) {
        *error = static_cast<int>(LdapMapErrorToWin32(rc));
        ldap_unbind(ld);
        return nullptr;
    }
    platform_ldap *session = new (std::nothrow) platform_ldap{ld};
    if (session == nullptr) {
        ldap_unbind(ld);
        *error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return session;
}

int
platform_ldap_simple_bind(platform_ldap *session, const char *dn, const char *password)
{
    std::wstring wide_dn;
    std::wstring wide_password;
    if (!to_wide(dn, &wide_dn) || !to_wide(password, &wide_password)) {
        return LDAP_PARAM_ERROR;
    }
    int rc =
        static_cast<int>(ldap_simple_bind_sW(session->ld, wide_dn.data(), wide_password.data()));
    SecureZeroMemory(wide_password.data(), wide_password.size() * sizeof(wchar_t));
    return rc;
}

int
platform_ldap_search(platform_ldap *session, const char *base, const char *filter,
                     long timeout_seconds, long timeout_microseconds,
                     std::vector<platform_ldap_entry> *entries)
{
    entries->clear();
    std::wstring wide_base;
    std::wstring wide_filter;
    // Without a limit the client would wait for ever; the callers never mean that.
    if ((timeout_seconds == 0 && timeout_microseconds == 0) || timeout_seconds < 0 ||
        timeout_microseconds < 0 || !to_wide(base, &wide_base) || !to_wide(filter, &wide_filter)) {
        return LDAP_PARAM_ERROR;
    }
    l_timeval limit{timeout_seconds, timeout_microseconds};
    LDAPMessage *raw = nullptr;
    ULONG rc =
        ldap_search_ext_sW(session->ld, wide_base.data(), LDAP_SCOPE_SUBTREE, wide_filter.data(),
                           nullptr, 0, nullptr, nullptr, &limit, 0, &raw);
    message_owner result(raw); // the client may leave a message also on failure
    if (rc != LDAP_SUCCESS) {
        return static_cast<int>(rc);
    }
    try {
        for (LDAPMessage *entry = ldap_first_entry(session->ld, result.get()); entry != nullptr;
             entry = ldap_next_entry(session->ld, entry)) {
            platform_ldap_entry copy;
            text_owner dn(ldap_get_dnW(session->ld, entry));
            copy.dn = to_utf8(dn.get());
            BerElement *walk_raw = nullptr;
            text_owner name(ldap_first_attributeW(session->ld, entry, &walk_raw));
            // The walk state is freed without its buffer, which belongs to the result.
            std::unique_ptr<BerElement, void (*)(BerElement *)> walk(
                walk_raw, [](BerElement *ber) { ber_free(ber, 0); });
            while (name) {
                platform_ldap_attribute attribute{to_utf8(name.get()), {}};
                berval **values = ldap_get_values_lenW(session->ld, entry, name.get());
                for (int i = 0; values != nullptr && values[i] != nullptr; ++i) {
                    attribute.values.emplace_back(values[i]->bv_val, values[i]->bv_len);
                }
                ldap_value_free_len(values);
                copy.attributes.push_back(std::move(attribute));
                name.reset(ldap_next_attributeW(session->ld, entry, walk.get()));
            }
            entries->push_back(std::move(copy));
        }
    } catch (const std::bad_alloc &) {
        entries->clear();
        return LDAP_NO_MEMORY;
    }
    return 0;
}

int
platform_ldap_last_result(platform_ldap *session)
{
    ULONG code = LDAP_OTHER;
    ldap_get_optionW(session->ld, LDAP_OPT_ERROR_NUMBER, &code);
    return static_cast<int>(code);
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
    if (!ber || ber_printf(ber.get(), const_cast<char *>("{i["), static_cast<int>(count)) == -1) {
        return LDAP_ENCODING_ERROR;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (ber_printf(ber.get(), const_cast<char *>("{ie}"), requests[i].event_type,
                       requests[i].event_status) == -1) {
            return LDAP_ENCODING_ERROR;
        }
    }
    berval *raw = nullptr;
    if (ber_printf(ber.get(), const_cast<char *>("]}")) == -1 ||
        ber_flatten(ber.get(), &raw) != 0) {
        ber_bvfree(raw);
        return LDAP_ENCODING_ERROR;
    }
    berval_owner encoded(raw);
    if (!encoded) {
        return LDAP_ENCODING_ERROR;
    }
    value->assign(encoded->bv_val, encoded->bv_len);
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
    berval data{static_cast<ULONG>(value.size()), value.data()};
    ULONG id = 0;
    rc = static_cast<int>(ldap_extended_operationW(
        session->ld, const_cast<wchar_t *>(MONITOR_REQUEST_OID), &data, nullptr, nullptr, &id));
    if (rc == 0) {
        *message_id = static_cast<int>(id);
    }
    return rc;
}

int
platform_ldap_wait(platform_ldap *session, int message_id, long timeout_seconds,
                   long timeout_microseconds, platform_ldap_message *out)
{
    *out = platform_ldap_message{};
    l_timeval limit{timeout_seconds, timeout_microseconds};
    LDAPMessage *raw = nullptr;
    ULONG type =
        ldap_result(session->ld, static_cast<ULONG>(message_id), LDAP_MSG_ONE, &limit, &raw);
    message_owner result(raw);
    if (type == static_cast<ULONG>(-1) || type == 0) {
        return type == 0 ? 0 : -1;
    }
    if (type == RES_INTERMEDIATE) {
        // No call of this client reads an intermediate response's name and value (the parse
        // calls refuse the message as a bad parameter): the event cannot be read, so the wait
        // fails and the caller starts a new subscription.
        ULONG code = LDAP_NOT_SUPPORTED;
        ldap_set_optionW(session->ld, LDAP_OPT_ERROR_NUMBER, &code);
        return -1;
    }
    if (type == static_cast<ULONG>(LDAP_RES_EXTENDED)) {
        // The end of the subscription. A server that does not know the operation answers
        // without the response name and without a value; its result code still tells why.
        ULONG code = 0;
        wchar_t *text_raw = nullptr;
        ULONG rc = ldap_parse_resultW(session->ld, result.get(), &code, nullptr, &text_raw, nullptr,
                                      nullptr, FALSE);
        text_owner text(text_raw);
        wchar_t *oid_raw = nullptr;
        berval *value_raw = nullptr;
        if (rc == LDAP_SUCCESS) {
            rc =
                ldap_parse_extended_resultW(session->ld, result.get(), &oid_raw, &value_raw, FALSE);
        }
        text_owner oid(oid_raw);
        berval_owner value(value_raw);
        if (rc != LDAP_SUCCESS) {
            out->parse_result = static_cast<int>(rc);
            return PLATFORM_LDAP_RES_EXTENDED;
        }
        out->result_code = static_cast<int>(code);
        try {
            out->error_text = to_utf8(text.get());
        } catch (const std::bad_alloc &) {
            out->parse_result = LDAP_NO_MEMORY;
            keep_only_failure(out);
            return PLATFORM_LDAP_RES_EXTENDED;
        }
        if (value && (!oid || std::wcscmp(oid.get(), MONITOR_END_OID) == 0)) {
            out->parse_result = decode_monitor_end(value->bv_val, value->bv_len, out);
        }
        keep_only_failure(out);
        return PLATFORM_LDAP_RES_EXTENDED;
    }
    return static_cast<int>(type);
}

int
platform_ldap_decode_event(const std::uint8_t *value, std::size_t size, platform_ldap_message *out)
{
    *out = platform_ldap_message{};
    out->parse_result = decode_event(reinterpret_cast<const char *>(value), size, out);
    keep_only_failure(out);
    return out->parse_result;
}

int
platform_ldap_decode_monitor_end(const std::uint8_t *value, std::size_t size,
                                 platform_ldap_message *out)
{
    *out = platform_ldap_message{};
    out->parse_result = decode_monitor_end(reinterpret_cast<const char *>(value), size, out);
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
    ldap_unbind(owner->ld);
}
