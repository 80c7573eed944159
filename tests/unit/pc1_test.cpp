// The PC1 cipher: known answers, round trips, and the text form in both directions.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/pc1.h"

namespace {

// Known answers, computed with a register-by-register rendering of the published description.
TEST(Pc1, KnownAnswersAndRoundTrips)
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
    std::mt19937 random(20261206);
    for (int round = 0; round < 50; ++round) {
        std::uint8_t k[PC1_KEY_BYTES];
        for (std::uint8_t &byte : k) {
            byte = static_cast<std::uint8_t>(random());
        }
        std::vector<std::uint8_t> bytes(random() % 64);
        for (std::uint8_t &byte : bytes) {
            byte = static_cast<std::uint8_t>(random());
        }
        pc1_state enc, dec;
        pc1_init(&enc, k);
        pc1_init(&dec, k);
        for (std::uint8_t byte : bytes) {
            ASSERT_EQ(pc1_decrypt_byte(&dec, pc1_encrypt_byte(&enc, byte)), byte);
        }
    }
}

TEST(Pc1, TextFormLengthsAndBounds)
{
    const std::uint8_t key[PC1_KEY_BYTES] = {'A', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
    const std::string plain = "secret";
    char text[64];
    ASSERT_EQ(pc1_encipher_text(key, reinterpret_cast<const std::uint8_t *>(plain.data()),
                                plain.size(), text, sizeof text),
              28);
    EXPECT_STREQ(text, "Abcdefghij183055186061101191");
    EXPECT_EQ(pc1_encipher_text(key, reinterpret_cast<const std::uint8_t *>(plain.data()),
                                plain.size(), text, 28),
              -1); // no room for the terminator

    std::uint8_t out[16] = {};
    ASSERT_EQ(pc1_decipher_text(text, 28, out, sizeof out), 6);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 6), plain);
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
