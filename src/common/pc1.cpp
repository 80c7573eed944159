// The PC1 cipher.

#include "common/pc1.h"

#include <cstdio>
#include <cstring>

#include "common/number.h"

namespace {

// The key word for the next byte: five mixing rounds, one for each big-endian pair of key
// bytes. Round k mixes w = pair k (XORed with the mixed word of round k - 1 from the second
// round on), and all arithmetic wraps at 16 bits:
//   carry = product + (carry + k) * 20021 + w * 346,  product = w * 346,
//   word[k] = w * 20021 + 1, and the round yields word[k] ^ carry.
// carry and product run on from byte to byte.
std::uint16_t
key_word(pc1_state *s)
{
    unsigned carry = s->carry;
    unsigned product = s->product;
    unsigned previous = 0;
    unsigned mixed = 0;
    for (unsigned k = 0; k < 5; ++k) {
        unsigned pair = static_cast<unsigned>(s->key[2 * k]) << 8 | s->key[2 * k + 1];
        unsigned w = (previous ^ pair) & 0xffffu;
        carry = (product + (carry + k) * 20021u + w * 346u) & 0xffffu;
        product = (w * 346u) & 0xffffu;
        previous = (w * 20021u + 1u) & 0xffffu;
        mixed ^= previous ^ carry;
    }
    s->carry = static_cast<std::uint16_t>(carry);
    s->product = static_cast<std::uint16_t>(product);
    return static_cast<std::uint16_t>(mixed);
}

std::uint8_t
stream_byte(std::uint16_t word)
{
    return static_cast<std::uint8_t>((word >> 8) ^ (word & 0xff));
}

void
feed_back(pc1_state *s, std::uint8_t plain)
{
    for (std::uint8_t &k : s->key) {
        k ^= plain;
    }
}

} // namespace

void
pc1_init(pc1_state *state, const std::uint8_t key[PC1_KEY_BYTES])
{
    *state = pc1_state{};
    std::memcpy(state->key, key, PC1_KEY_BYTES);
}

std::uint8_t
pc1_encrypt_byte(pc1_state *state, std::uint8_t plain)
{
    std::uint8_t stream = stream_byte(key_word(state));
    feed_back(state, plain);
    return static_cast<std::uint8_t>(plain ^ stream);
}

std::uint8_t
pc1_decrypt_byte(pc1_state *state, std::uint8_t cipher)
{
    std::uint8_t plain = static_cast<std::uint8_t>(cipher ^ stream_byte(key_word(state)));
    feed_back(state, plain);
    return plain;
}

long
pc1_encipher_text(const std::uint8_t key[PC1_KEY_BYTES], const std::uint8_t *plain, std::size_t n,
                  char *out, std::size_t size)
{
    if (key == nullptr || out == nullptr || (plain == nullptr && n != 0) ||
        size < PC1_KEY_BYTES + 3 * n + 1) {
        return -1;
    }
    pc1_state state;
    pc1_init(&state, key);
    std::memcpy(out, key, PC1_KEY_BYTES);
    char *p = out + PC1_KEY_BYTES;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned value = pc1_encrypt_byte(&state, plain[i]);
        p[0] = static_cast<char>('0' + value / 100);
        p[1] = static_cast<char>('0' + value / 10 % 10);
        p[2] = static_cast<char>('0' + value % 10);
        p += 3;
    }
    *p = 0;
    return static_cast<long>(p - out);
}

long
pc1_decipher_text(const char *text, std::size_t length, std::uint8_t *out, std::size_t size)
{
    if (text == nullptr) {
        return -1;
    }
    long count = (static_cast<long>(length) - static_cast<long>(PC1_KEY_BYTES)) / 3;
    if (count < 0) {
        return count;
    }
    std::uint8_t key[PC1_KEY_BYTES] = {};
    std::memcpy(key, text, length < PC1_KEY_BYTES ? length : PC1_KEY_BYTES);
    pc1_state state;
    pc1_init(&state, key);
    for (long i = 0; i < count && static_cast<std::size_t>(i) < size; ++i) {
        char group[4];
        std::memcpy(group, text + PC1_KEY_BYTES + 3 * i, 3);
        group[3] = 0;
        auto cipher = static_cast<std::uint8_t>(number_parse_decimal_a(group) & 0xff);
        out[i] = pc1_decrypt_byte(&state, cipher);
    }
    // The state held key material: leave nothing of it on the stack.
    volatile std::uint8_t *wipe = reinterpret_cast<volatile std::uint8_t *>(&state);
    for (std::size_t i = 0; i < sizeof state; ++i) {
        wipe[i] = 0;
    }
    return count;
}
