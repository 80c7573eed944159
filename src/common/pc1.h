// pc1: the PC1 stream cipher with an 80-bit (ten-byte) key, in both directions, and the text form
// in which enciphered values are written: the ten key characters followed by one group of three
// decimal digits ("%03d") per enciphered byte.
//
// The same cipher enciphers the bodies of the appliance datagrams and deciphers the secret values
// of nivo.ini. Each byte is enciphered with a key word mixed from the ten key bytes in five rounds
// of 16-bit arithmetic; after each byte every key byte is XORed with the plaintext byte, so the
// stream depends on all the plaintext before it.
//
// A pc1_state belongs to one caller at a time; the functions keep no other state.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t PC1_KEY_BYTES = 10;

struct pc1_state {
    std::uint16_t carry;   // carried from round to round and byte to byte
    std::uint16_t product; // the last round's word times 346
    std::uint8_t key[PC1_KEY_BYTES];
};

// Resets the state and loads the key.
void pc1_init(pc1_state *state, const std::uint8_t key[PC1_KEY_BYTES]);
// Enciphers or deciphers one byte and advances the state.
std::uint8_t pc1_encrypt_byte(pc1_state *state, std::uint8_t plain);
std::uint8_t pc1_decrypt_byte(pc1_state *state, std::uint8_t cipher);

// The text form. Writes the ten key bytes and one "%03d" group per byte of plain into out and a
// terminating zero; returns the characters written without it (10 + 3 * n), or -1 when out
// (size in bytes) is too small.
long pc1_encipher_text(const std::uint8_t key[PC1_KEY_BYTES], const std::uint8_t *plain,
                       std::size_t n, char *out, std::size_t size);

// Reads the text form: the first ten bytes of text (fewer when it is shorter, the rest of the key
// zero) are the key, and each complete group of three characters after them is read as a decimal
// number (leading blanks and a sign allowed, stopping at the first non-digit) whose low eight bits
// are one enciphered byte. Returns the plaintext length, (length - 10) / 3 truncated toward zero
// (negative for a text shorter than eight characters, nothing written); at most size bytes are
// stored in out.
long pc1_decipher_text(const char *text, std::size_t length, std::uint8_t *out, std::size_t size);
