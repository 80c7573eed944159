// The link's key and cipher: the bytes a peer on the other platform gives, and thread safety.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "common/crypto.h"
#include "platform/crypto_provider.h"

namespace {

TEST(Crypto, DerivesTheKeyThePeersUse)
{
    // The digest of the passphrase's first eleven UTF-16LE bytes.
    platform_crypto_provider *provider = nullptr;
    ASSERT_EQ(platform_crypto_acquire(&provider, false), 0u);
    platform_crypto_hash *hash = nullptr;
    ASSERT_EQ(platform_crypto_create_md5(provider, &hash), 0u);
    const char pass[] = "r\0e\0l\0a\0y\0P"; // eleven bytes
    ASSERT_EQ(platform_crypto_hash_data(hash, pass, 11), 0u);
    platform_crypto_key *key = nullptr;
    ASSERT_EQ(platform_crypto_derive_rc4_40(provider, hash, &key), 0u);
    platform_crypto_destroy_hash(hash);
    platform_crypto_destroy_key(key);
    platform_crypto_release(provider);

    crypto_handle *handle = crypto_open();
    ASSERT_NE(handle, nullptr);
    std::array<std::uint8_t, 16> data;
    for (int i = 0; i < 16; ++i) {
        data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    }
    const std::array<std::uint8_t, 16> expected = {0x47, 0xcb, 0xf2, 0xd0, 0x9b, 0x9f, 0xce, 0x14,
                                                   0x5c, 0xc6, 0x79, 0x3f, 0x67, 0x1a, 0x6f, 0xfb};
    ASSERT_EQ(crypto_encrypt_data(handle, data.data(), data.size()), 0);
    EXPECT_EQ(data, expected);
    // Every call starts afresh: the same input gives the same bytes again.
    for (int i = 0; i < 16; ++i) {
        data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    }
    ASSERT_EQ(crypto_encrypt_data(handle, data.data(), data.size()), 0);
    EXPECT_EQ(data, expected);

    // A second, independent handle decrypts what the first encrypted.
    crypto_handle *other = crypto_open();
    ASSERT_EQ(crypto_decrypt_data(other, data.data(), data.size()), 0);
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(data[static_cast<std::size_t>(i)], i);
    }
    std::uint8_t nothing = 0;
    EXPECT_EQ(crypto_encrypt_data(handle, &nothing, 0), 0);
    crypto_close(other);
    crypto_close(handle);
}

TEST(Crypto, RefusesHandlesThatAreNotEstablished)
{
    crypto_handle broken{};
    std::uint8_t byte = 1;
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
    for (bool ok : same) {
        EXPECT_TRUE(ok);
    }
    crypto_close(handle);
}

} // namespace
