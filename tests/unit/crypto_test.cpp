// The link's cipher: the bytes a peer on the other platform gives, refusals, and thread safety.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/crypto.h"
#include "dcalink/dcalink_protocol.h"

namespace {

TEST(Crypto, EnciphersTheBytesThePeersExpectAndEveryCallStartsAfresh)
{
    crypto_handle *handle = crypto_open();
    crypto_handle *other = crypto_open();
    ASSERT_NE(handle, nullptr);
    const std::array<std::uint8_t, 16> expected = {0x47, 0xcb, 0xf2, 0xd0, 0x9b, 0x9f, 0xce, 0x14,
                                                   0x5c, 0xc6, 0x79, 0x3f, 0x67, 0x1a, 0x6f, 0xfb};
    for (int round = 0; round < 2; ++round) {
        std::array<std::uint8_t, 16> data;
        for (std::size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<std::uint8_t>(i);
        }
        ASSERT_EQ(crypto_encrypt_data(handle, data.data(), data.size()), 0);
        EXPECT_EQ(data, expected) << "round " << round;
        // A second, independent handle deciphers it.
        ASSERT_EQ(crypto_decrypt_data(other, data.data(), data.size()), 0);
        for (std::size_t i = 0; i < data.size(); ++i) {
            EXPECT_EQ(data[i], i);
        }
    }
    std::uint8_t byte = 1;
    EXPECT_EQ(crypto_encrypt_data(handle, &byte, 0), 0);
    crypto_close(other);
    crypto_close(handle);

    crypto_handle broken{};
    EXPECT_EQ(crypto_encrypt_data(&broken, &byte, 1), -1);
    EXPECT_EQ(crypto_decrypt_data(&broken, &byte, 1), -1);
    EXPECT_EQ(crypto_encrypt_data(nullptr, &byte, 1), -1);
    crypto_close(&broken); // refused, and not released
    crypto_close(nullptr);
    EXPECT_EQ(byte, 1);
}

TEST(Crypto, TheExampleRecordEnciphersToTheSameBytesOnEveryPlatform)
{
    // The 80-byte payload of alice at 10.0.0.1, as an agent sends it.
    dcalink_record record{1700000000, 1700000600, 2,       5,          u"alice",
                          u"CORP",    nullptr,    nullptr, u"10.0.0.1"};
    std::vector<std::uint8_t> payload(DCALINK_PAYLOAD_MAX);
    std::size_t length = dcalink_serialize(record, payload.data(), payload.size());
    ASSERT_EQ(length, 80u);
    payload.resize(length);
    crypto_handle *handle = crypto_open();
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(crypto_encrypt_data(handle, payload.data(), payload.size()), 0);
    crypto_close(handle);
    std::string hex;
    for (std::uint8_t byte : payload) {
        const char *digits = "0123456789abcdef";
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    EXPECT_EQ(hex, "47caf0d39f6b9b760c3c2051691761f46802b91a2292709c6ae0cd8b90edc1f7"
                   "67b3bb0de38377477e4661431ca93e9dc585c2a8cdf5bc80743c697de59ba06a"
                   "73b012b7e1dec3d2600fbdca99ec98e9");
}

TEST(Crypto, SimultaneousCallsDoNotDisturbEachOther)
{
    crypto_handle *handle = crypto_open();
    std::vector<std::uint8_t> reference(4096, 0xAB);
    ASSERT_EQ(crypto_encrypt_data(handle, reference.data(), reference.size()), 0);
    std::vector<std::thread> threads;
    std::array<bool, 4> same{};
    for (std::size_t t = 0; t < same.size(); ++t) {
        threads.emplace_back([&, t] {
            bool ok = true;
            for (int round = 0; round < 200; ++round) {
                std::vector<std::uint8_t> buffer(4096, 0xAB);
                crypto_encrypt_data(handle, buffer.data(), buffer.size());
                ok = ok && buffer == reference;
            }
            same[t] = ok;
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(same, (std::array<bool, 4>{true, true, true, true}));
    crypto_close(handle);
}

} // namespace
