// The link's cipher: the bytes a peer on the other platform gives, refusals, and thread safety
// (a whole enciphered record: DcalinkProtocol.SerialisesTheExampleRecord); the PC1 cipher: known
// answers, round trips, and the text form in both directions.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/crypto.h"
#include "common/pc1.h"

namespace {

TEST(Crypto, EnciphersTheBytesThePeersExpectAndEveryCallStartsAfresh)
{
    crypto_handle *handle = crypto_open();
    crypto_handle *other = crypto_open();
    ASSERT_NE(handle, nullptr);
    const std::array<std::uint8_t, 16> expected = {0x47, 0xcb, 0xf2, 0xd0, 0x9b, 0x9f, 0xce, 0x14,
                                                   0x5c, 0xc6, 0x79, 0x3f, 0x67, 0x1a, 0x6f, 0xfb};
    const std::array<std::uint8_t, 16> plain = {0, 1, 2,  3,  4,  5,  6,  7,
                                                8, 9, 10, 11, 12, 13, 14, 15};
    for (int round = 0; round < 2; ++round) {
        std::array<std::uint8_t, 16> data = plain;
        ASSERT_EQ(crypto_encrypt_data(handle, data.data(), data.size()), 0);
        EXPECT_EQ(data, expected) << "round " << round;
        // A second, independent handle deciphers it.
        ASSERT_EQ(crypto_decrypt_data(other, data.data(), data.size()), 0);
        EXPECT_EQ(data, plain);
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

// Known answers, computed with a register-by-register rendering of the published description;
// the text form's lengths and bounds.
TEST(Pc1, KnownAnswersRoundTripsAndTheTextFormsBounds)
{
    const std::uint8_t key[PC1_KEY_BYTES] = {'N', 'i', 'v', 'o', 'G', 'w', 'L', 'i', 'n', 'k'};
    std::vector<std::uint8_t> plain;
    for (int b = 0; b < 256; b += 7) {
        plain.push_back(static_cast<std::uint8_t>(b));
    }
    char text[256];
    ASSERT_EQ(pc1_encipher_text(key, plain.data(), plain.size(), text, sizeof text),
              static_cast<long>(10 + 3 * plain.size()));
    EXPECT_STREQ(text, "NivoGwLink107071023039080130118027200123238167076240105066002147063164224"
                       "229239212020208171044174101061044244001156108171");
    std::vector<std::uint8_t> back(plain.size());
    ASSERT_EQ(pc1_decipher_text(text, std::strlen(text), back.data(), back.size()),
              static_cast<long>(plain.size()));
    EXPECT_EQ(back, plain);
    // Any key, high bytes too: a byte deciphers to itself.
    const std::uint8_t high[PC1_KEY_BYTES] = {0xff, 0x80, 0x7f, 0, 0xc3, 1, 0xfe, 0x81, 0xaa, 0x55};
    pc1_state enc, dec;
    pc1_init(&enc, high);
    pc1_init(&dec, high);
    for (int byte = 0; byte < 256; ++byte) {
        ASSERT_EQ(pc1_decrypt_byte(&dec, pc1_encrypt_byte(&enc, static_cast<std::uint8_t>(byte))),
                  byte);
    }

    const std::uint8_t abc[PC1_KEY_BYTES] = {'A', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
    const auto *secret = reinterpret_cast<const std::uint8_t *>("secret");
    ASSERT_EQ(pc1_encipher_text(abc, secret, 6, text, sizeof text), 28);
    EXPECT_STREQ(text, "Abcdefghij183055186061101191");
    EXPECT_EQ(pc1_encipher_text(abc, secret, 6, text, 28), -1); // no room for the terminator
    std::uint8_t out[16] = {};
    // A trailing partial group is not a byte; a short output buffer is respected.
    EXPECT_EQ(pc1_decipher_text(text, 27, out, sizeof out), 5);
    std::uint8_t small[2] = {};
    EXPECT_EQ(pc1_decipher_text(text, 28, small, sizeof small), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(small), 2), "se");
    // Lengths 8 to 10 give no text, 7 is negative.
    EXPECT_EQ(pc1_decipher_text("Abcdefgh", 8, out, sizeof out), 0);
    EXPECT_EQ(pc1_decipher_text("Abcdefghij", 10, out, sizeof out), 0);
    EXPECT_LT(pc1_decipher_text("Abcdefg", 7, out, sizeof out), 0);
}

} // namespace
