// The PC1 cipher against a second, register-by-register rendering of the same algorithm, and the
// text form in both directions.

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/pc1.h"

namespace {

// The cipher as its published description states it, with the registers of a 16-bit machine.
struct reference {
    std::uint16_t x1a0[5] = {};
    std::uint16_t x1a2 = 0, si = 0, i = 0;
    std::uint8_t cle[10] = {};

    std::uint16_t code()
    {
        std::uint16_t ax, bx, cx, dx, tmp;
        dx = static_cast<std::uint16_t>(x1a2 + i);
        ax = x1a0[i];
        cx = 0x015a;
        bx = 0x4e35;
        tmp = ax;
        ax = si;
        si = tmp;
        tmp = ax;
        ax = dx;
        dx = tmp;
        if (ax != 0) {
            ax = static_cast<std::uint16_t>(ax * bx);
        }
        tmp = ax;
        ax = cx;
        cx = tmp;
        if (ax != 0) {
            ax = static_cast<std::uint16_t>(ax * si);
            cx = static_cast<std::uint16_t>(ax + cx);
        }
        tmp = ax;
        ax = si;
        si = tmp;
        ax = static_cast<std::uint16_t>(ax * bx);
        dx = static_cast<std::uint16_t>(cx + dx);
        ax = static_cast<std::uint16_t>(ax + 1);
        x1a2 = dx;
        x1a0[i] = ax;
        ++i;
        return static_cast<std::uint16_t>(ax ^ dx);
    }

    std::uint16_t assemble()
    {
        x1a0[0] = static_cast<std::uint16_t>(cle[0] * 256 + cle[1]);
        std::uint16_t inter = code();
        for (int k = 1; k < 5; ++k) {
            x1a0[k] = static_cast<std::uint16_t>(x1a0[k - 1] ^ (cle[2 * k] * 256 + cle[2 * k + 1]));
            inter ^= code();
        }
        i = 0;
        return inter;
    }

    std::uint8_t decrypt(std::uint8_t c)
    {
        std::uint16_t inter = assemble();
        auto p = static_cast<std::uint8_t>((c ^ (inter >> 8) ^ (inter & 255)) & 255);
        for (std::uint8_t &k : cle) {
            k ^= p;
        }
        return p;
    }
};

TEST(Pc1, AgreesWithTheRegisterLevelDescriptionAndRoundTrips)
{
    std::mt19937 random(20261206);
    for (int round = 0; round < 200; ++round) {
        std::uint8_t key[PC1_KEY_BYTES];
        for (std::uint8_t &k : key) {
            k = static_cast<std::uint8_t>(random());
        }
        std::vector<std::uint8_t> plain(random() % 64);
        for (std::uint8_t &b : plain) {
            b = static_cast<std::uint8_t>(random());
        }
        pc1_state enc;
        pc1_init(&enc, key);
        std::vector<std::uint8_t> cipher;
        for (std::uint8_t b : plain) {
            cipher.push_back(pc1_encrypt_byte(&enc, b));
        }
        reference ref;
        std::memcpy(ref.cle, key, sizeof key);
        pc1_state dec;
        pc1_init(&dec, key);
        for (std::size_t n = 0; n < plain.size(); ++n) {
            ASSERT_EQ(ref.decrypt(cipher[n]), plain[n]);
            ASSERT_EQ(pc1_decrypt_byte(&dec, cipher[n]), plain[n]);
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
    EXPECT_EQ(std::string(text, 10), "Abcdefghij");
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
