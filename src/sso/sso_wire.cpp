// The appliance datagrams as bytes.

#include "sso/sso_wire.h"

#include <cstring>

#include "common/number.h"
#include "common/pc1.h"

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
    std::size_t n = end != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t *>(end) - value)
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
        *error = "length field " + std::to_string(stated) + " for " + std::to_string(length) +
                 " bytes";
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
