// The link's cipher: the bytes a peer on the other platform gives, refusals, and thread safety.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <thread>
#include <vector>

#include "common/crypto.h"

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
