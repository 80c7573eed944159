// Framing and (de)serialisation of the agent-collector link.

#include "dcalink/dcalink_protocol.h"

#include <cstdlib>
#include <cstring>

namespace {

void
put_u32(std::uint8_t *at, std::uint32_t value)
{
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
    at[2] = static_cast<std::uint8_t>(value >> 16);
    at[3] = static_cast<std::uint8_t>(value >> 24);
}

std::uint32_t
get_u32(const std::uint8_t *at)
{
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

void
put_i32(std::uint8_t *at, std::int32_t value)
{
    put_u32(at, static_cast<std::uint32_t>(value));
}

std::int32_t
get_i32(const std::uint8_t *at)
{
    return static_cast<std::int32_t>(get_u32(at));
}

// Payload offsets of the five text offsets, and the order in which texts are written.
enum text_slot { SLOT_USER, SLOT_DOMAIN, SLOT_GROUP, SLOT_WRKST_NAME, SLOT_WRKST_IP, SLOT_COUNT };
constexpr std::size_t OFFSET_AT[SLOT_COUNT] = {20, 24, 28, 32, 36};
constexpr text_slot WRITE_ORDER[SLOT_COUNT] = {SLOT_USER, SLOT_GROUP, SLOT_WRKST_NAME,
                                               SLOT_WRKST_IP, SLOT_DOMAIN};

} // namespace

void
dcalink_build_handshake(std::uint8_t out[DCALINK_HEADER_SIZE], std::uint8_t type,
                        std::uint8_t encryption)
{
    std::memset(out, 0, DCALINK_HEADER_SIZE);
    out[0] = type;
    out[4] = 1;
    out[5] = encryption;
}

void
dcalink_build_data_header(std::uint8_t out[DCALINK_HEADER_SIZE], std::uint8_t encryption,
                          std::uint32_t length)
{
    std::memset(out, 0, DCALINK_HEADER_SIZE);
    out[0] = DCALINK_MSG_DATA;
    out[4] = encryption;
    put_u32(out + 8, length);
}

dcalink_header
dcalink_parse_header(const std::uint8_t in[DCALINK_HEADER_SIZE])
{
    return dcalink_header{in[0], in[4], in[5], get_u32(in + 8)};
}

std::size_t
dcalink_serialize(const dcalink_record &record, std::uint8_t *out, std::size_t capacity)
{
    if (out == nullptr || capacity < DCALINK_PAYLOAD_MAX) {
        return 0;
    }
    std::memset(out, 0, DCALINK_PAYLOAD_FIXED);
    put_i32(out + 4, record.create_time);
    put_i32(out + 8, record.expire_time);
    put_i32(out + 12, record.logon_type);
    put_i32(out + 16, record.flags);
    const char16_t *texts[SLOT_COUNT] = {record.user, record.domain, record.group,
                                         record.wrkst_name, record.wrkst_ip};
    std::size_t budget = DCALINK_TEXT_BUDGET;
    std::size_t area = 0; // bytes of the text area written
    bool closed = false;  // a text was cut or the budget ran out: later texts stay out
    for (text_slot slot : WRITE_ORDER) {
        const char16_t *text = texts[slot];
        if (text == nullptr || closed || budget == 0) {
            put_i32(out + OFFSET_AT[slot], -1);
            continue;
        }
        std::size_t units = wtext_length(text);
        if (units >= budget) {
            closed = true; // cut, or exactly the rest of the budget
            units = budget;
        }
        put_i32(out + OFFSET_AT[slot], static_cast<std::int32_t>(area));
        std::uint8_t *at = out + DCALINK_PAYLOAD_FIXED + area;
        for (std::size_t i = 0; i < units; ++i) {
            at[2 * i] = static_cast<std::uint8_t>(text[i] & 0xFF);
            at[2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
        }
        at[2 * units] = 0;
        at[2 * units + 1] = 0;
        area += 2 * (units + 1);
        budget -= units;
    }
    return DCALINK_PAYLOAD_FIXED + area;
}

dcalink_parse_result
dcalink_parse(const std::uint8_t *payload, std::size_t length, dcalink_received *out)
{
    if (length < DCALINK_PAYLOAD_FIXED) {
        return DCALINK_PARSE_TOO_SHORT;
    }
    if (length > DCALINK_PAYLOAD_MAX) {
        return DCALINK_PARSE_TOO_LONG;
    }
    out->create_time = get_i32(payload + 4);
    out->expire_time = get_i32(payload + 8);
    out->logon_type = get_i32(payload + 12);
    out->flags = get_i32(payload + 16);
    wtext_ptr *fields[SLOT_COUNT] = {&out->user, &out->domain, &out->group, &out->wrkst_name,
                                     &out->wrkst_ip};
    const std::uint8_t *area = payload + DCALINK_PAYLOAD_FIXED;
    std::size_t area_length = length - DCALINK_PAYLOAD_FIXED;
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        fields[slot]->reset();
        std::int32_t offset = get_i32(payload + OFFSET_AT[slot]);
        if (offset == -1) {
            continue;
        }
        if (offset < 0 || static_cast<std::size_t>(offset) >= area_length) {
            return DCALINK_PARSE_BAD_OFFSET;
        }
        // Find the terminator unit inside the payload; texts may sit at odd offsets.
        std::size_t start = static_cast<std::size_t>(offset);
        std::size_t units = 0;
        bool terminated = false;
        for (std::size_t at = start; at + 1 < area_length; at += 2, ++units) {
            if (area[at] == 0 && area[at + 1] == 0) {
                terminated = true;
                break;
            }
        }
        if (!terminated) {
            return DCALINK_PARSE_UNTERMINATED;
        }
        auto *text = static_cast<char16_t *>(std::malloc((units + 1) * sizeof(char16_t)));
        if (text == nullptr) {
            return DCALINK_PARSE_NO_MEMORY;
        }
        for (std::size_t i = 0; i < units; ++i) {
            text[i] = static_cast<char16_t>(area[start + 2 * i] | area[start + 2 * i + 1] << 8);
        }
        text[units] = 0;
        fields[slot]->reset(text);
    }
    return DCALINK_PARSE_OK;
}
