// The crypto wrapper over the platform's provider.

#include "common/crypto.h"

#include <new>

#include "common/log.h"
#include "platform/crypto_provider.h"

namespace {

// The passphrase both sides derive the key from: its first eleven bytes in UTF-16LE enter the
// hash (the length given to the hash is its length in characters).
constexpr char16_t PASSPHRASE[] = u"relayPass7Q";
constexpr std::size_t PASSPHRASE_CHARACTERS = 11;

void
release_handle(crypto_handle *handle)
{
    if (handle->key != nullptr) {
        platform_crypto_destroy_key(handle->key);
    }
    if (handle->provider != nullptr) {
        platform_crypto_release(handle->provider);
    }
    delete handle; // the handle's only owner
}

} // namespace

crypto_handle *
crypto_open()
{
    auto *handle = new (std::nothrow) crypto_handle{};
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"crypto_open: crypto handle allocation failed\n");
        return nullptr;
    }
    handle->established = 0;

    unsigned long rc = platform_crypto_acquire(&handle->provider, false);
    if (rc == PLATFORM_CRYPTO_BAD_KEYSET) {
        rc = platform_crypto_acquire(&handle->provider, true);
        if (rc != 0) {
            log_write(LOG_ERROR, u"crypto_open: could not create a new key container: 0x%x\n",
                      PLATFORM_CRYPTO_BAD_KEYSET);
            release_handle(handle);
            return nullptr;
        }
        log_write(LOG_DEBUG, u"crypto_open: new key container has been created.\n");
    } else if (rc != 0) {
        log_write(LOG_ERROR, u"crypto_open: crypto context could not be acquired: 0x%x\n", rc);
        release_handle(handle);
        return nullptr;
    } else {
        log_write(LOG_DEBUG, u"crypto_open: crypto context has been acquired\n");
    }

    platform_crypto_hash *hash = nullptr;
    rc = platform_crypto_create_md5(handle->provider, &hash);
    if (rc != 0) {
        log_write(LOG_ERROR, u"crypto_open: couldnt create hash object: 0x%x\n", rc);
        release_handle(handle);
        return nullptr;
    }
    log_write(LOG_DEBUG, u"crypto_open: hash object has been created\n");

    unsigned char passphrase[2 * PASSPHRASE_CHARACTERS];
    for (std::size_t i = 0; i < PASSPHRASE_CHARACTERS; ++i) {
        passphrase[2 * i] = static_cast<unsigned char>(PASSPHRASE[i] & 0xFF);
        passphrase[2 * i + 1] = static_cast<unsigned char>(PASSPHRASE[i] >> 8);
    }
    rc = platform_crypto_hash_data(hash, passphrase, PASSPHRASE_CHARACTERS);
    if (rc != 0) {
        log_write(LOG_ERROR, u"crypto_open: password couldnt added to hash: 0x%x\n", rc);
        platform_crypto_destroy_hash(hash);
        release_handle(handle);
        return nullptr;
    }
    log_write(LOG_DEBUG, u"crypto_open: password has been added to the hash\n");

    rc = platform_crypto_derive_rc4_40(handle->provider, hash, &handle->key);
    if (rc != 0) {
        log_write(LOG_ERROR, u"crypto_open: encryption key couldnt derived: 0x%x\n", rc);
        platform_crypto_destroy_hash(hash);
        release_handle(handle);
        return nullptr;
    }
    log_write(LOG_DEBUG, u"crypto_open: encryption key is derived successfully\n");

    platform_crypto_destroy_hash(hash);
    handle->established = 1;
    log_write(LOG_DEBUG, u"crypto_open: Cryptographic context established\n");
    return handle;
}

void
crypto_close(crypto_handle *handle)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"crypto_close: invalid crypto handle\n");
        return;
    }
    if (handle->established != 1) {
        log_write(LOG_ERROR, u"crypto_close: crypto context is not established yet\n");
        return;
    }
    release_handle(handle);
}

int
crypto_encrypt_data(crypto_handle *handle, void *buffer, std::size_t length)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"crypto_encrypt_data: invalid crypto handle\n");
        return -1;
    }
    if (handle->established != 1) {
        log_write(LOG_ERROR, u"crypto_encrypt_data: crypto context is not established yet\n");
        return -1;
    }
    if (platform_crypto_rc4(handle->key, buffer, length) != 0) {
        log_write(LOG_ERROR, u"crypto_encrypt_data: data encryption failed\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"crypto_encrypt_data: data encrypted; ciphertext len: %d\n", length);
    return 0;
}

int
crypto_decrypt_data(crypto_handle *handle, void *buffer, std::size_t length)
{
    if (handle == nullptr) {
        log_write(LOG_ERROR, u"crypto_decrypt_data: invalid crypto handle\n");
        return -1;
    }
    if (handle->established != 1) {
        log_write(LOG_ERROR, u"crypto_decrypt_data: crypto context is not established yet\n");
        return -1;
    }
    if (platform_crypto_rc4(handle->key, buffer, length) != 0) {
        log_write(LOG_ERROR, u"crypto_decrypt_data: data decryption failed\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"crypto_decrypt_data: data encrypted; ciphertext len: %d\n", length);
    return 0;
}
