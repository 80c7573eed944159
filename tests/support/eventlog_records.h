// The records of an event-log read as the reader hands them over, checked against the layout
// its callers rely on (tests of both platforms' event sources).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/eventlog.h"

namespace nivo_test {

struct read_record {
    std::uint32_t number;
    std::uint32_t id;
    std::uint16_t type;
    std::vector<std::u16string> strings;
};

// The n bytes of a read as records: each a multiple of four bytes, its strings right behind
// its header, each string terminated inside the record, nothing left over.
inline std::vector<read_record>
records_of(const unsigned char *buffer, std::size_t n)
{
    std::vector<read_record> out;
    eventlog_record header;
    for (std::size_t at = 0; at < n; at += header.length) {
        if (n - at < sizeof header) {
            ADD_FAILURE() << n - at << " bytes left over";
            break;
        }
        std::memcpy(&header, buffer + at, sizeof header);
        EXPECT_EQ(header.length % 4, 0u);
        EXPECT_EQ(header.string_offset, sizeof header);
        if (header.length < sizeof header || header.length > n - at) {
            ADD_FAILURE() << "record of " << header.length << " bytes at " << at;
            break;
        }
        read_record record{header.record_number, header.event_id, header.event_type, {}};
        const unsigned char *text = buffer + at + header.string_offset;
        const unsigned char *end = buffer + at + header.length;
        for (int i = 0; i < header.num_strings && text < end; ++i) {
            std::u16string string;
            char16_t unit = 1;
            while (end - text >= 2 && (std::memcpy(&unit, text, 2), text += 2, unit != 0)) {
                string += unit;
            }
            EXPECT_EQ(unit, 0) << "string " << i << " of record " << header.record_number;
            record.strings.push_back(string);
        }
        out.push_back(record);
    }
    return out;
}

} // namespace nivo_test
