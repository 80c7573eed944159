// dcalink_protocol: what travels between a DC agent and a Collector over TCP, in one place for
// both ends.
//
// Every connection starts with a twelve-byte REQUEST from the agent and a twelve-byte RESPONSE
// from the Collector; then the agent sends DATA messages, each a twelve-byte header and one
// serialised logon record, enciphered as a whole (encryption type 2) or in clear (type 1).
// Integers are little-endian, texts UTF-16LE.
//
// Header:  0 type (1 REQUEST, 2 RESPONSE, 3 DATA), 1-3 zero,
//          4 REQUEST/RESPONSE: 1; DATA: the payload's encryption type,
//          5 REQUEST: encryption requested; RESPONSE: encryption in use; DATA: 0,
//          6-7 zero, 8-11 DATA: payload length.
// Payload: 0 reserved, 4 CreateTime, 8 ExpireTime, 12 LogonType, 16 Flags (signed 32-bit each),
//          20 User, 24 Domain, 28 Group, 32 WrkstName, 36 WrkstIP: byte offsets into the text
//          area at 40, or -1 for an absent text. The text area holds the present texts in the
//          order User, Group, WrkstName, WrkstIP, Domain, each followed by one 0x0000.
//
// Stateless; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/text.h"

constexpr std::size_t DCALINK_HEADER_SIZE = 12;
constexpr std::size_t DCALINK_PAYLOAD_FIXED = 40;
// All texts of a record together hold at most this many UTF-16 units, terminators not counted.
constexpr std::size_t DCALINK_TEXT_BUDGET = 5119;
// The largest payload a sender builds: the budget plus five terminators. A receiver refuses
// anything longer.
constexpr std::size_t DCALINK_PAYLOAD_MAX = DCALINK_PAYLOAD_FIXED + (DCALINK_TEXT_BUDGET + 5) * 2;

enum : std::uint8_t {
    DCALINK_MSG_REQUEST = 1,
    DCALINK_MSG_RESPONSE = 2,
    DCALINK_MSG_DATA = 3,
};

enum : std::uint8_t {
    DCALINK_ENCRYPTION_NONE = 1,
    DCALINK_ENCRYPTION_RC4 = 2,
};

struct dcalink_header {
    std::uint8_t type;
    std::uint8_t byte4;      // DATA: the payload's encryption type
    std::uint8_t encryption; // REQUEST/RESPONSE: the encryption type asked for or in use
    std::uint32_t length;    // DATA: payload bytes
};

// A REQUEST or RESPONSE header with the encryption type.
void dcalink_build_handshake(std::uint8_t out[DCALINK_HEADER_SIZE], std::uint8_t type,
                             std::uint8_t encryption);
// A DATA header for a payload of length bytes in the given encryption type.
void dcalink_build_data_header(std::uint8_t out[DCALINK_HEADER_SIZE], std::uint8_t encryption,
                               std::uint32_t length);
dcalink_header dcalink_parse_header(const std::uint8_t in[DCALINK_HEADER_SIZE]);

// The record's fields that travel. Absent texts are null.
struct dcalink_record {
    std::int32_t create_time;
    std::int32_t expire_time;
    std::int32_t logon_type;
    std::int32_t flags;
    const char16_t *user;
    const char16_t *domain;
    const char16_t *group;
    const char16_t *wrkst_name;
    const char16_t *wrkst_ip;
};

// Serialises the record into out (at least DCALINK_PAYLOAD_MAX bytes). Returns the payload
// length, or 0 when out is too small. Texts beyond the budget are cut or left out.
std::size_t dcalink_serialize(const dcalink_record &record, std::uint8_t *out,
                              std::size_t capacity);

// A received record, its texts newly allocated.
struct dcalink_received {
    std::int32_t create_time;
    std::int32_t expire_time;
    std::int32_t logon_type;
    std::int32_t flags;
    wtext_ptr user;
    wtext_ptr domain;
    wtext_ptr group;
    wtext_ptr wrkst_name;
    wtext_ptr wrkst_ip;
};

enum dcalink_parse_result {
    DCALINK_PARSE_OK = 0,
    DCALINK_PARSE_TOO_SHORT,    // under 40 bytes
    DCALINK_PARSE_TOO_LONG,     // over DCALINK_PAYLOAD_MAX
    DCALINK_PARSE_BAD_OFFSET,   // an offset outside the text area (or negative but not -1)
    DCALINK_PARSE_UNTERMINATED, // a text without its terminator inside the payload
    DCALINK_PARSE_NO_MEMORY,
};

// Reads a payload, never past its length.
dcalink_parse_result dcalink_parse(const std::uint8_t *payload, std::size_t length,
                                   dcalink_received *out);
