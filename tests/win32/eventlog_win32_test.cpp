// The event source on the system's event log: records rewritten into the header's layout, and
// what it refuses.

#include <gtest/gtest.h>

#include "platform/eventlog.h"
#include "platform/win32/eventlog_records.h"
#include "support/eventlog_records.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

using nivo_test::read_record;
using nivo_test::records_of;

namespace {

// Appends a system record: the fixed header, source and computer names, a SID, the strings
// (the last one without its terminator when cut), binary data, padding and the closing length.
void
append_system_record(std::vector<unsigned char> *out, DWORD number, DWORD id, WORD type,
                     const std::vector<std::u16string> &strings, bool cut)
{
    std::vector<unsigned char> r(sizeof(EVENTLOGRECORD), 0);
    auto put = [&r](const std::u16string &text, bool terminated) {
        for (char16_t c : text) {
            r.push_back(static_cast<unsigned char>(c & 0xFF));
            r.push_back(static_cast<unsigned char>(c >> 8));
        }
        if (terminated) {
            r.insert(r.end(), 2, 0);
        }
    };
    put(u"Microsoft-Windows-Security-Auditing", true);
    put(u"DC01", true);
    r.resize((r.size() + 3) & ~std::size_t{3}, 0);
    EVENTLOGRECORD h{};
    h.UserSidOffset = static_cast<DWORD>(r.size());
    h.UserSidLength = 12;
    r.insert(r.end(), 12, 0xEE);
    h.StringOffset = static_cast<DWORD>(r.size());
    for (std::size_t i = 0; i < strings.size(); ++i) {
        put(strings[i], !(cut && i + 1 == strings.size()));
    }
    h.DataOffset = static_cast<DWORD>(r.size());
    h.DataLength = cut ? 0 : 5;
    r.insert(r.end(), h.DataLength, 0xDD);
    r.resize((r.size() + 3) & ~std::size_t{3}, 0);
    h.Length = static_cast<DWORD>(r.size() + sizeof(DWORD));
    r.insert(r.end(), reinterpret_cast<const unsigned char *>(&h.Length),
             reinterpret_cast<const unsigned char *>(&h.Length) + sizeof(DWORD));
    h.Reserved = 0x654c664c;
    h.RecordNumber = number;
    h.TimeGenerated = 1700000000 + number;
    h.TimeWritten = 1700000001 + number;
    h.EventID = id;
    h.EventType = type;
    h.NumStrings = static_cast<WORD>(strings.size());
    h.EventCategory = 14339;
    std::memcpy(r.data(), &h, sizeof h);
    out->insert(out->end(), r.begin(), r.end());
}

TEST(EventlogWin32, SystemRecordsAreRewrittenInPlaceWithTheirWholeStrings)
{
    std::vector<unsigned char> system;
    append_system_record(&system, 41, 4768, EVENTLOG_AUDIT_SUCCESS,
                         {u"alice", u"NIVOTEST", u"::ffff:127.0.0.5"}, false);
    append_system_record(&system, 42, 4624, EVENTLOG_AUDIT_FAILURE, {}, false);
    // "no end" runs into the closing length: it is no string.
    append_system_record(&system, 43, 0x40000000 | 4776, EVENTLOG_AUDIT_SUCCESS,
                         {u"", u"bob", u"WS01-\u00e9", u"no end"}, true);
    std::size_t whole = system.size();
    system.insert(system.end(), {0x55, 0x55, 0x55}); // the start of a record not read whole

    for (std::size_t shift = 0; shift < 3; ++shift) { // any alignment of the caller's buffer
        std::vector<unsigned char> buffer(shift, 0xAA);
        buffer.insert(buffer.end(), system.begin(), system.end());
        std::size_t n = eventlog_rewrite_records(buffer.data() + shift, system.size());
        ASSERT_GT(n, 0u);
        ASSERT_LT(n, whole);
        std::vector<read_record> records = records_of(buffer.data() + shift, n);
        ASSERT_EQ(records.size(), 3u) << "shift " << shift;
        EXPECT_EQ(records[0].number, 41u);
        EXPECT_EQ(records[0].id, 4768u);
        EXPECT_EQ(records[0].type, EVENTLOG_AUDIT_SUCCESS);
        EXPECT_EQ(records[0].strings,
                  (std::vector<std::u16string>{u"alice", u"NIVOTEST", u"::ffff:127.0.0.5"}));
        EXPECT_EQ(records[1].number, 42u);
        EXPECT_EQ(records[1].type, EVENTLOG_AUDIT_FAILURE);
        EXPECT_TRUE(records[1].strings.empty());
        EXPECT_EQ(records[2].id, 0x40000000u | 4776);
        EXPECT_EQ(records[2].strings, (std::vector<std::u16string>{u"", u"bob", u"WS01-\u00e9"}));
        eventlog_record first;
        std::memcpy(&first, buffer.data() + shift, sizeof first);
        EXPECT_EQ(first.time_generated, 1700000041u);
    }

    // A first record longer than the bytes read, or shorter than a record can be: nothing.
    std::vector<unsigned char> one;
    append_system_record(&one, 1, 4768, EVENTLOG_AUDIT_SUCCESS, {u"a"}, false);
    EXPECT_EQ(eventlog_rewrite_records(one.data(), one.size() - 4), 0u);
    DWORD too_short = 20;
    std::memcpy(one.data(), &too_short, sizeof too_short);
    EXPECT_EQ(eventlog_rewrite_records(one.data(), one.size()), 0u);
}

TEST(EventlogWin32, RefusesWhatItCannotOpenOrWaitFor)
{
    SetLastError(0);
    EXPECT_EQ(platform_eventlog_open(nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(platform_eventlog_open(u"", nullptr, nullptr), nullptr);
    EXPECT_EQ(platform_eventlog_wait(nullptr, 0), -1);
}

} // namespace
