// crypto: the shared key of the agent-collector link and the encryption of whole messages.
//
// Each side opens one handle at start-up with crypto_open() and keeps it for the life of the
// process. Encryption and decryption work in place on one complete message, starting the cipher
// afresh every time, so several threads may use one handle at once.
#pragma once

#include <cstddef>
#include <cstdint>

struct platform_crypto_provider;
struct platform_crypto_key;

struct crypto_handle {
    std::uint8_t established; // 1 once the key is derived; anything else is refused
    platform_crypto_provider *provider;
    platform_crypto_key *key;
};

// Derives the key from the built-in passphrase: a handle, or null (logged).
crypto_handle *crypto_open();
// Destroys the key and releases the handle (a handle not established is refused and kept).
void crypto_close(crypto_handle *handle);
// 0, or -1 (logged). The length does not change.
int crypto_encrypt_data(crypto_handle *handle, void *buffer, std::size_t length);
int crypto_decrypt_data(crypto_handle *handle, void *buffer, std::size_t length);
