// The appliance datagrams as bytes.

#include "sso/sso_wire.h"

#include <cstring>
#include <new>

#include "base/utf.h"
#include "common/log.h"
#include "common/number.h"
#include "common/pc1.h"
#include "common/text.h"
#include "userdb/userinfo.h"

// Printable, so that the clear part of a datagram reads as text in a capture.
const std::uint8_t SSO_PACKET_KEY[10] = {'N', 'i', 'v', 'o', 'G', 'w', 'L', 'i', 'n', 'k'};

void
sso_put_length(std::uint8_t *datagram, std::size_t length)
{
    char digits[8] = {};
    std::size_t n = 0;
    char reversed[8];
    do {
        reversed[n++] = static_cast<char>('0' + length % 10);
        length /= 10;
    } while (length > 0 && n < 4);
    for (std::size_t i = 0; i < n; ++i) {
        digits[i] = reversed[n - 1 - i];
    }
    std::memcpy(datagram + 1, digits, 4); // unused places stay 0x00
}

std::int32_t
sso_get_length(const std::uint8_t *datagram)
{
    char text[5] = {};
    std::memcpy(text, datagram + 1, 4);
    return number_parse_decimal_a(text);
}

namespace {

std::vector<std::uint8_t>
build_port_datagram(std::uint8_t code, std::uint16_t port, bool terminated)
{
    std::string digits = std::to_string(port);
    std::vector<std::uint8_t> out(SSO_HEADER_BYTES);
    out[0] = code;
    out.push_back(SSO_ITEM_SERVER_PORT);
    out.push_back(static_cast<std::uint8_t>(digits.size() + (terminated ? 1 : 0)));
    out.insert(out.end(), digits.begin(), digits.end());
    if (terminated) {
        out.push_back(0);
    }
    sso_put_length(out.data(), out.size());
    return out;
}

} // namespace

std::vector<std::uint8_t>
sso_build_heartbeat(std::uint16_t server_port)
{
    return build_port_datagram(SSO_CODE_HEARTBEAT, server_port, false);
}

std::vector<std::uint8_t>
sso_build_active_reply(std::uint16_t server_port)
{
    return build_port_datagram(SSO_CODE_ACTIVE_REPLY, server_port, true);
}

namespace {

constexpr std::int32_t MAX_LOGON_TYPE = 9999;
constexpr std::size_t MAX_ESTIMATE = 9999;
constexpr std::size_t MAX_ITEM_VALUE = 255; // one length byte, the 0x00 included

// The cipher's output area. The update thread is its only user in the service; one per thread
// keeps a test or tool that builds datagrams on another thread apart from it.
thread_local char t_payload_area[SSO_PAYLOAD_AREA_BYTES];

// The text items of a logon or logout, in the order they are sent.
constexpr int TEXT_ITEMS = 4;
constexpr std::uint8_t TEXT_ITEM_TYPES[TEXT_ITEMS] = {SSO_ITEM_USER, SSO_ITEM_WRKST_IP,
                                                      SSO_ITEM_GROUP, SSO_ITEM_DOMAIN};
using text_fields = const char16_t *[TEXT_ITEMS];

// The message code for the record's Flags, or 0 (logged) for any other Flags.
std::uint8_t
update_code(std::int32_t flags)
{
    if (flags == UI_FLAG_LOGON) {
        return SSO_CODE_LOGON;
    }
    if (flags == UI_FLAG_LOGOUT) {
        return SSO_CODE_LOGOUT;
    }
    log_write(LOG_ERROR, u"SSOclient_update_GW: userinfo flag invalid\n");
    return 0;
}

// The size estimate E: the header and logon-type item, and two bytes per UTF-16 unit plus four
// for each text present. The body holds E - 5 bytes.
std::size_t
update_estimate(const text_fields &fields)
{
    std::size_t estimate = 11;
    for (const char16_t *field : fields) {
        if (field != nullptr) {
            estimate += 2 * wtext_length(field) + 4;
        }
    }
    return estimate;
}

// False (logged) when the estimate or the logon type is beyond what the format carries.
bool
update_within_limits(const UserInfo *record, std::size_t estimate)
{
    if (record->Domain != nullptr) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: domain name is there with length %d , %s\n",
                  wtext_length(record->Domain), record->Domain);
    } else {
        log_write(LOG_ERROR, u"SSOclient_update_GW: no domain name\n");
    }
    if (estimate > MAX_ESTIMATE) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: packet size is too long\n");
        return false;
    }
    if (static_cast<std::uint32_t>(record->LogonType) > MAX_LOGON_TYPE) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: logon type value is too big\n");
        return false;
    }
    return true;
}

// A UTF-16 field as UTF-8 with its terminating 0x00.
std::string
item_value(const char16_t *text)
{
    std::string out;
    std::size_t n = wtext_length(text);
    for (std::size_t i = 0; i < n;) {
        std::size_t used;
        char32_t cp = utf16_decode(text + i, n - i, &used);
        char units[4];
        out.append(units, static_cast<std::size_t>(utf_encode<char>(cp, units)));
        i += used;
    }
    out.push_back('\0');
    return out;
}

void
append_logon_type_item(std::int32_t logon_type, std::vector<std::uint8_t> *body)
{
    std::string digits = std::to_string(logon_type);
    digits.resize(4, '\0');
    body->push_back(SSO_ITEM_LOGON_TYPE);
    body->push_back(4);
    body->insert(body->end(), digits.begin(), digits.end());
}

void
log_text_item(std::uint8_t type, const char16_t *field, int length)
{
    switch (type) {
    case SSO_ITEM_USER:
        log_write(LOG_ERROR, u"USERNAME %s Length %d\n", field, length);
        break;
    case SSO_ITEM_WRKST_IP:
        log_write(LOG_ERROR, u"WORKSTN IP %s Length %d\n", field, length);
        break;
    case SSO_ITEM_GROUP:
        log_write(LOG_ERROR, u"GROUP %s Length %d\n", field, length);
        break;
    default:
        log_write(LOG_ERROR, u"DOMAIN %s Length %d\n", field, length);
        break;
    }
}

// Appends an item for every text present. False (logged) when one does not fit its length byte.
bool
append_text_items(const text_fields &fields, std::vector<std::uint8_t> *body)
{
    for (int i = 0; i < TEXT_ITEMS; ++i) {
        if (fields[i] == nullptr) {
            continue;
        }
        std::string value = item_value(fields[i]);
        if (value.size() > MAX_ITEM_VALUE) {
            // The length byte cannot say more; a cut name would name someone else.
            log_write(LOG_ERROR,
                      u"SSOclient_update_GW: item %d too long for the datagram: %d bytes\n",
                      static_cast<int>(TEXT_ITEM_TYPES[i]), value.size());
            return false;
        }
        body->push_back(TEXT_ITEM_TYPES[i]);
        body->push_back(static_cast<std::uint8_t>(value.size()));
        body->insert(body->end(), value.begin(), value.end());
        log_text_item(TEXT_ITEM_TYPES[i], fields[i], static_cast<int>(value.size()));
    }
    return true;
}

// Pads the body with zero bytes to E - 5 bytes. False (logged) when it outgrows the cipher.
bool
pad_body(std::size_t estimate, std::vector<std::uint8_t> *body)
{
    // Characters above U+07FF take three UTF-8 bytes for one UTF-16 unit, so the items can
    // outgrow the estimate: the body then grows to hold them whole.
    std::size_t body_size = estimate - SSO_HEADER_BYTES;
    if (body->size() > body_size) {
        body_size = body->size();
    }
    if (body_size > SSO_PAYLOAD_MAX_BYTES) {
        log_write(LOG_ERROR,
                  u"SSOclient_update_GW: packet body of %d bytes is longer than %d bytes\n",
                  body_size, SSO_PAYLOAD_MAX_BYTES);
        return false;
    }
    body->resize(body_size, 0);
    return true;
}

// The datagram in out: the header and the enciphered body. False (logged) when the cipher fails.
bool
encipher_datagram(std::uint8_t code, const std::vector<std::uint8_t> &body,
                  std::vector<std::uint8_t> *out)
{
    long encoded = SSOclient_encode_payload(body.data(), body.size());
    if (encoded < 0) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: payload encoding failed\n");
        return false;
    }
    out->assign(SSO_HEADER_BYTES, 0);
    (*out)[0] = code;
    out->insert(out->end(), t_payload_area, t_payload_area + encoded);
    sso_put_length(out->data(), out->size());
    char shown[5] = {};
    std::memcpy(shown, out->data() + 1, 4);
    log_write(LOG_ERROR, u"SSOclient : PACKET SIZE %d %S ", out->size(),
              static_cast<const char *>(shown));
    return true;
}

} // namespace

int
SSOclient_build_update(const UserInfo *record, std::vector<std::uint8_t> *out)
{
    if (record == nullptr || out == nullptr) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: Invalid Input Arguments\n");
        return -1;
    }
    std::uint8_t code = update_code(record->Flags);
    if (code == 0) {
        return -1;
    }
    const text_fields fields = {record->User, record->WrkstIP, record->Group, record->Domain};
    std::size_t estimate = update_estimate(fields);
    if (!update_within_limits(record, estimate)) {
        return -1;
    }
    try {
        std::vector<std::uint8_t> body;
        body.reserve(estimate);
        append_logon_type_item(record->LogonType, &body);
        if (!append_text_items(fields, &body) || !pad_body(estimate, &body) ||
            !encipher_datagram(code, body, out)) {
            return -1;
        }
    } catch (const std::bad_alloc &) {
        log_write(LOG_ERROR, u"SSOclient_update_GW: Memory Allocation Failed\n");
        return -1;
    }
    return 0;
}

long
SSOclient_encode_payload(const std::uint8_t *bytes, std::size_t count)
{
    if (bytes == nullptr || count > SSO_PAYLOAD_MAX_BYTES) {
        return -1;
    }
    std::memset(t_payload_area, 0, sizeof t_payload_area);
    return pc1_encipher_text(SSO_PACKET_KEY, bytes, count, t_payload_area, sizeof t_payload_area);
}

const char *
SSOclient_payload_output()
{
    return t_payload_area;
}

std::vector<std::uint8_t>
sso_build_request(std::uint8_t code, std::string_view value)
{
    std::vector<std::uint8_t> out(SSO_HEADER_BYTES);
    out[0] = code;
    if (code == SSO_CODE_WRKSTPOLL || code == SSO_CODE_LOGOUT_REQUEST) {
        std::size_t n = value.size() > 255 ? 255 : value.size();
        out.push_back(code == SSO_CODE_WRKSTPOLL ? SSO_ITEM_REQ_WRKST_IP : SSO_ITEM_REQ_CSV_IPS);
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), value.begin(), value.begin() + static_cast<std::ptrdiff_t>(n));
    }
    sso_put_length(out.data(), out.size());
    return out;
}

namespace {

// A text item's value: the bytes up to its terminating 0x00 (all of them when it has none).
std::string
item_text(const std::uint8_t *value, std::size_t length)
{
    const void *end = std::memchr(value, 0, length);
    std::size_t n = end != nullptr
                        ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(end) - value)
                        : length;
    return std::string(reinterpret_cast<const char *>(value), n);
}

int
decode_body(sso_update *out, std::string *error)
{
    const std::vector<std::uint8_t> &body = out->body;
    std::size_t at = 0;
    while (at < body.size()) {
        std::uint8_t type = body[at];
        if (type == 0) {
            // Padding: everything from here on must be zero.
            for (std::size_t i = at; i < body.size(); ++i) {
                if (body[i] != 0) {
                    *error = "non-zero byte in the padding";
                    return -1;
                }
            }
            return 0;
        }
        if (at + 2 > body.size() || at + 2 + body[at + 1] > body.size()) {
            *error = "item " + std::to_string(type) + " leaves the body";
            return -1;
        }
        std::size_t length = body[at + 1];
        const std::uint8_t *value = body.data() + at + 2;
        switch (type) {
        case SSO_ITEM_LOGON_TYPE: {
            char digits[5] = {};
            std::memcpy(digits, value, length < 4 ? length : 4);
            out->has_logon_type = true;
            out->logon_type = number_parse_decimal_a(digits);
            break;
        }
        case SSO_ITEM_USER:
            out->has_user = true;
            out->user = item_text(value, length);
            break;
        case SSO_ITEM_DOMAIN:
            out->has_domain = true;
            out->domain = item_text(value, length);
            break;
        case SSO_ITEM_GROUP:
            out->has_group = true;
            out->group = item_text(value, length);
            break;
        case SSO_ITEM_WRKST_IP:
            out->has_wrkst_ip = true;
            out->wrkst_ip = item_text(value, length);
            break;
        default:
            *error = "unknown item type " + std::to_string(type);
            return -1;
        }
        if (type != SSO_ITEM_LOGON_TYPE && (length == 0 || value[length - 1] != 0)) {
            *error = "item " + std::to_string(type) + " without its terminating 0x00";
            return -1;
        }
        at += 2 + length;
    }
    return 0;
}

} // namespace

int
sso_decode_update(const std::uint8_t *datagram, std::size_t length, sso_update *out,
                  std::string *error)
{
    *out = sso_update{};
    std::string scratch;
    if (error == nullptr) {
        error = &scratch;
    }
    if (datagram == nullptr || length < SSO_HEADER_BYTES) {
        *error = "shorter than its header";
        return -1;
    }
    out->code = datagram[0];
    std::int32_t stated = sso_get_length(datagram);
    out->length_field = stated < 0 ? 0 : static_cast<std::size_t>(stated);
    if (out->length_field != length) {
        *error =
            "length field " + std::to_string(stated) + " for " + std::to_string(length) + " bytes";
        return -1;
    }
    switch (out->code) {
    case SSO_CODE_HEARTBEAT:
    case SSO_CODE_ACTIVE_REPLY: {
        if (length < SSO_HEADER_BYTES + 2 || datagram[5] != SSO_ITEM_SERVER_PORT ||
            SSO_HEADER_BYTES + 2 + datagram[6] != length) {
            *error = "port item malformed";
            return -1;
        }
        std::string digits = item_text(datagram + 7, datagram[6]);
        out->port = static_cast<std::uint16_t>(number_parse_decimal_a(digits.c_str()));
        return 0;
    }
    case SSO_CODE_LOGON:
    case SSO_CODE_LOGOUT: {
        std::size_t text = length - SSO_HEADER_BYTES;
        if (text < PC1_KEY_BYTES || (text - PC1_KEY_BYTES) % 3 != 0) {
            *error = "enciphered part is not ten key bytes and groups of three digits";
            return -1;
        }
        for (std::size_t i = SSO_HEADER_BYTES + PC1_KEY_BYTES; i < length; ++i) {
            if (datagram[i] < '0' || datagram[i] > '9') {
                *error = "enciphered part holds a non-digit";
                return -1;
            }
        }
        out->body.resize((text - PC1_KEY_BYTES) / 3);
        long n = pc1_decipher_text(reinterpret_cast<const char *>(datagram + SSO_HEADER_BYTES),
                                   text, out->body.data(), out->body.size());
        if (n < 0 || static_cast<std::size_t>(n) != out->body.size()) {
            *error = "body cannot be deciphered";
            return -1;
        }
        return decode_body(out, error);
    }
    default:
        *error = "unknown message code " + std::to_string(out->code);
        return -1;
    }
}
