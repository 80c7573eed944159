// The agent-collector frames and the serialised record (plain and enciphered): the bytes peers
// depend on, the text budget, and a receiver that never reads past what it was given.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/crypto.h"
#include "dcalink/dcalink_protocol.h"

namespace {

std::int32_t
i32_at(const std::uint8_t *p)
{
    return static_cast<std::int32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                     static_cast<std::uint32_t>(p[3]) << 24);
}

TEST(DcalinkProtocol, SerialisesTheExampleRecord)
{
    dcalink_record record{1700000000, 1700000600, 2,       5,          u"alice",
                          u"CORP",    nullptr,    nullptr, u"10.0.0.1"};
    std::vector<std::uint8_t> payload(DCALINK_PAYLOAD_MAX);
    std::size_t length = dcalink_serialize(record, payload.data(), payload.size());
    ASSERT_EQ(length, 80u);
    const std::uint8_t *p = payload.data();
    EXPECT_EQ(i32_at(p + 4), 1700000000);
    EXPECT_EQ(i32_at(p + 12), 2);
    EXPECT_EQ(i32_at(p + 16), 5);
    EXPECT_EQ(i32_at(p + 20), 0);  // User
    EXPECT_EQ(i32_at(p + 24), 30); // Domain, written last
    EXPECT_EQ(i32_at(p + 28), -1); // Group
    EXPECT_EQ(i32_at(p + 32), -1); // WrkstName
    EXPECT_EQ(i32_at(p + 36), 12); // WrkstIP
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(p + 40), 12),
              std::string("a\0l\0i\0c\0e\0\0\0", 12));

    // Enciphered, the same bytes on every platform.
    crypto_handle *handle = crypto_open();
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(crypto_encrypt_data(handle, payload.data(), length), 0);
    crypto_close(handle);
    std::string hex;
    for (std::size_t i = 0; i < length; ++i) {
        hex += "0123456789abcdef"[payload[i] >> 4];
        hex += "0123456789abcdef"[payload[i] & 15];
    }
    EXPECT_EQ(hex, "47caf0d39f6b9b760c3c2051691761f46802b91a2292709c6ae0cd8b90edc1f7"
                   "67b3bb0de38377477e4661431ca93e9dc585c2a8cdf5bc80743c697de59ba06a"
                   "73b012b7e1dec3d2600fbdca99ec98e9");

    using bytes = std::vector<std::uint8_t>;
    bytes header(DCALINK_HEADER_SIZE);
    dcalink_build_handshake(header.data(), DCALINK_MSG_REQUEST, DCALINK_ENCRYPTION_RC4);
    EXPECT_EQ(header, (bytes{1, 0, 0, 0, 1, 2, 0, 0, 0, 0, 0, 0}));
    dcalink_build_data_header(header.data(), DCALINK_ENCRYPTION_RC4,
                              static_cast<std::uint32_t>(length));
    EXPECT_EQ(header, (bytes{3, 0, 0, 0, 2, 0, 0, 0, 80, 0, 0, 0}));
}

TEST(DcalinkProtocol, TheTextBudgetCutsAndLeavesOutNeverOverflows)
{
    std::u16string huge(6000, u'u');
    dcalink_record record{0, 0, 1, 5, huge.c_str(), u"D", u"G", u"W", u"1.2.3.4"};
    std::vector<std::uint8_t> payload(DCALINK_PAYLOAD_MAX);
    std::size_t length = dcalink_serialize(record, payload.data(), payload.size());
    EXPECT_EQ(length, 40u + 2 * (5119 + 1));
    for (std::size_t at : {24u, 28u, 32u, 36u}) {
        EXPECT_EQ(i32_at(payload.data() + at), -1);
    }
    dcalink_received back{};
    ASSERT_EQ(dcalink_parse(payload.data(), length, &back), DCALINK_PARSE_OK);
    EXPECT_EQ(std::u16string(back.user.get()).size(), 5119u);

    // All five texts with the budget nearly used: the terminators still fit the buffer.
    std::u16string most(5115, u'x');
    dcalink_record full{0, 0, 1, 5, most.c_str(), u"D", u"G", u"W", u"I"};
    length = dcalink_serialize(full, payload.data(), payload.size());
    EXPECT_EQ(length, DCALINK_PAYLOAD_MAX);
    ASSERT_EQ(dcalink_parse(payload.data(), length, &back), DCALINK_PARSE_OK);
    EXPECT_EQ(std::u16string(back.domain.get()), u"D");
    // A buffer smaller than the largest payload is refused rather than overrun.
    EXPECT_EQ(dcalink_serialize(full, payload.data(), DCALINK_PAYLOAD_MAX - 1), 0u);
}

TEST(DcalinkProtocol, TheReceiverRefusesWhatItCannotTrust)
{
    dcalink_record record{0, 0, 1, 5, u"bob", u"CORP", nullptr, nullptr, u"10.0.0.2"};
    std::vector<std::uint8_t> payload(DCALINK_PAYLOAD_MAX);
    std::size_t length = dcalink_serialize(record, payload.data(), payload.size());
    dcalink_received back{};
    EXPECT_EQ(dcalink_parse(payload.data(), 39, &back), DCALINK_PARSE_TOO_SHORT);
    std::vector<std::uint8_t> big(DCALINK_PAYLOAD_MAX + 1, 0);
    EXPECT_EQ(dcalink_parse(big.data(), big.size(), &back), DCALINK_PARSE_TOO_LONG);

    std::vector<std::uint8_t> bad(payload.begin(), payload.begin() + static_cast<long>(length));
    bad[24] = 0xF0; // Domain far outside the text area
    EXPECT_EQ(dcalink_parse(bad.data(), bad.size(), &back), DCALINK_PARSE_BAD_OFFSET);
    const std::int32_t minus_two = -2;
    std::memcpy(bad.data() + 24, &minus_two, 4);
    EXPECT_EQ(dcalink_parse(bad.data(), bad.size(), &back), DCALINK_PARSE_BAD_OFFSET);

    // The last text cut before its terminator.
    EXPECT_EQ(dcalink_parse(payload.data(), length - 2, &back), DCALINK_PARSE_UNTERMINATED);
    // A record of the fixed part alone, every text absent.
    std::vector<std::uint8_t> bare(40, 0xFF);
    std::fill(bare.begin(), bare.begin() + 20, 0);
    EXPECT_EQ(dcalink_parse(bare.data(), bare.size(), &back), DCALINK_PARSE_OK);
    EXPECT_EQ(back.user, nullptr);
}

} // namespace
