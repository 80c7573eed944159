// sso_wire: the datagrams between the Collector and the appliances, as bytes.
//
// Every datagram starts with a one-byte message code and a four-byte length field: the whole
// datagram's length in ASCII decimal digits, left-aligned and padded on the right with 0x00
// (213 is '2' '1' '3' 0x00). What follows depends on the code:
//
//   'Q' logon, 'R' logout (Collector to appliance): ten packet-key bytes in clear, then the
//       enciphered body, each enciphered byte written as three decimal digits (000 to 255).
//       The plain body is a sequence of items (type byte, length byte, value): type 1 the logon
//       type (four bytes: up to four decimal digits, 0x00-padded), then 2 user, 5 workstation
//       address, 4 group and 3 domain, each UTF-8 text with its terminating 0x00 counted in the
//       length; zero bytes pad the body to its size.
//   'g' heartbeat, 'j' active reply (Collector to appliance): item type 7, the request server's
//       port in decimal digits (the active reply also counts and sends a terminating 0x00).
//   11 Workstation-Poll, 12 GetAllUsers, 13 Logout Request, 102 IS_ACTIVE, 104 live_nack,
//       105 live_off (appliance to Collector): codes 11 and 13 carry one item at offset 5
//       (type 1 the workstation address, type 2 the quoted, comma-separated addresses).
//
// The builders and the decoder keep no shared state and may run on any thread (the payload
// cipher writes into an output area of the calling thread). The decoder is the appliance's side
// of the format: the simulator and the tests read the Collector's datagrams with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct UserInfo;

enum : std::uint8_t {
    SSO_CODE_LOGON = 0x51,        // 'Q'
    SSO_CODE_LOGOUT = 0x52,       // 'R'
    SSO_CODE_HEARTBEAT = 0x67,    // 'g'
    SSO_CODE_ACTIVE_REPLY = 0x6A, // 'j'
    SSO_CODE_WRKSTPOLL = 11,
    SSO_CODE_GETALLUSERS = 12,
    SSO_CODE_LOGOUT_REQUEST = 13,
    SSO_CODE_IS_ACTIVE = 102,
    SSO_CODE_LIVE_NACK = 104,
    SSO_CODE_LIVE_OFF = 105,
};

enum : std::uint8_t {
    SSO_ITEM_LOGON_TYPE = 1,
    SSO_ITEM_USER = 2,
    SSO_ITEM_DOMAIN = 3,
    SSO_ITEM_GROUP = 4,
    SSO_ITEM_WRKST_IP = 5,
    SSO_ITEM_SERVER_PORT = 7,
};
// A request's item types.
enum : std::uint8_t {
    SSO_ITEM_REQ_WRKST_IP = 1,
    SSO_ITEM_REQ_CSV_IPS = 2,
};

constexpr std::size_t SSO_HEADER_BYTES = 5;         // code and length field
constexpr std::uint16_t SSO_DEFAULT_GW_PORT = 6060; // an appliance's port when gw-list.ini has 0
constexpr std::uint16_t SSO_DEFAULT_SERVER_PORT = 6677;
constexpr std::size_t SSO_REQUEST_MAX_BYTES = 512; // longer requests are dropped
// The largest body the payload cipher takes, and its output area (ten key bytes, three digits
// per byte, a terminator).
constexpr std::size_t SSO_PAYLOAD_MAX_BYTES = 1024;
constexpr std::size_t SSO_PAYLOAD_AREA_BYTES = 3114;
// The packet key: ten bytes, the same for every datagram, sent in clear ahead of the digits.
extern const std::uint8_t SSO_PACKET_KEY[10];

// Writes the length field (offsets 1 to 4) of a datagram of length bytes (at most 9999).
void sso_put_length(std::uint8_t *datagram, std::size_t length);
// Reads a length field the way the request server does: the four characters as text ending at
// the first 0x00, a signed decimal number (leading blanks and a sign allowed, no digits read 0).
std::int32_t sso_get_length(const std::uint8_t *datagram);

// The heartbeat ('g', 7 + digits bytes) and the active reply ('j', 8 + digits bytes) for the
// request server's port.
std::vector<std::uint8_t> sso_build_heartbeat(std::uint16_t server_port);
std::vector<std::uint8_t> sso_build_active_reply(std::uint16_t server_port);

// The logon (Flags 5) or logout (Flags 4) datagram of the record, in out. 0, or -1 (logged: bad
// Flags or LogonType, a value or body the format cannot carry). The record stays with the caller.
int SSOclient_build_update(const UserInfo *record, std::vector<std::uint8_t> *out);

// Enciphers count bytes (at most 1024) into the calling thread's output area: the ten key bytes
// and three digits per byte. The encoded length (10 + 3 * count), or -1.
long SSOclient_encode_payload(const std::uint8_t *bytes, std::size_t count);
const char *SSOclient_payload_output();

// A request as an appliance sends it: code and length field, and for codes 11 and 13 the item
// (type 1 or 2 and the value as given; at most 255 bytes).
std::vector<std::uint8_t> sso_build_request(std::uint8_t code, std::string_view value = {});

// A datagram of the Collector, read back.
struct sso_update {
    std::uint8_t code = 0;
    std::size_t length_field = 0; // the length the datagram states
    std::uint16_t port = 0;       // heartbeat and active reply
    bool has_logon_type = false;
    std::int32_t logon_type = 0;
    bool has_user = false, has_domain = false, has_group = false, has_wrkst_ip = false;
    std::string user, domain, group, wrkst_ip; // UTF-8, without the terminating 0x00
    std::vector<std::uint8_t> body;            // the deciphered body ('Q' and 'R')
};

// Decodes a logon, logout, heartbeat or active reply. 0, or -1 with *error naming what is wrong
// (unknown code, length field not the datagram's length, an item that leaves the body, ...).
int sso_decode_update(const std::uint8_t *datagram, std::size_t length, sso_update *out,
                      std::string *error);
