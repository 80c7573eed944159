// Windows side of crypto_provider.h: the system's base cryptographic provider.
//
// The provider derives a 40-bit RC4 key from an MD5 hash itself (the first five bytes of the
// digest and eleven zero bytes of salt). A key handle carries the RC4 state of the message being
// enciphered, and a final call resets it for the next message. Calls on one key from several
// threads would share that state, so each call enciphers with a duplicate of the key, made
// afresh from the derived key that is never used itself: calls run side by side without a lock
// and each starts from the same state.

#include "platform/crypto_provider.h"

#include <windows.h>
#include <wincrypt.h>

#include <new>

struct platform_crypto_provider {
    HCRYPTPROV handle;
};

struct platform_crypto_hash {
    HCRYPTHASH handle;
};

struct platform_crypto_key {
    HCRYPTKEY handle;
};

namespace {

// The key length in bits sits in the upper half of the derivation flags. 40 bits is also the
// base provider's default for RC4; naming it keeps the key the same on any provider.
constexpr DWORD RC4_40_BITS = 40u << 16;

// The provider's error of the call that just failed.
unsigned long
last_error()
{
    DWORD code = GetLastError();
    return code != 0 ? code : static_cast<unsigned long>(NTE_FAIL);
}

} // namespace

unsigned long
platform_crypto_acquire(platform_crypto_provider **provider, bool new_keyset)
{
    if (provider == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *provider = nullptr;
    auto *created = new (std::nothrow) platform_crypto_provider{};
    if (created == nullptr) {
        return static_cast<unsigned long>(NTE_NO_MEMORY);
    }
    // The default key container; its absence is NTE_BAD_KEYSET, PLATFORM_CRYPTO_BAD_KEYSET.
    if (!CryptAcquireContextW(&created->handle, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL,
                              new_keyset ? CRYPT_NEWKEYSET : 0)) {
        unsigned long code = last_error();
        delete created; // never handed out
        return code;
    }
    *provider = created;
    return 0;
}

void
platform_crypto_release(platform_crypto_provider *provider)
{
    if (provider == nullptr) {
        return;
    }
    CryptReleaseContext(provider->handle, 0);
    delete provider; // the provider's only owner
}

unsigned long
platform_crypto_create_md5(platform_crypto_provider *provider, platform_crypto_hash **hash)
{
    if (provider == nullptr || hash == nullptr) {
        return static_cast<unsigned long>(NTE_BAD_UID);
    }
    *hash = nullptr;
    auto *created = new (std::nothrow) platform_crypto_hash{};
    if (created == nullptr) {
        return static_cast<unsigned long>(NTE_NO_MEMORY);
    }
    if (!CryptCreateHash(provider->handle, CALG_MD5, 0, 0, &created->handle)) {
        unsigned long code = last_error();
        delete created; // never handed out
        return code;
    }
    *hash = created;
    return 0;
}

unsigned long
platform_crypto_hash_data(platform_crypto_hash *hash, const void *data, std::size_t length)
{
    if (hash == nullptr) {
        return static_cast<unsigned long>(NTE_BAD_HASH);
    }
    if (length > MAXDWORD) {
        return static_cast<unsigned long>(NTE_BAD_LEN);
    }
    if (!CryptHashData(hash->handle, static_cast<const BYTE *>(data), static_cast<DWORD>(length),
                       0)) {
        return last_error();
    }
    return 0;
}

void
platform_crypto_destroy_hash(platform_crypto_hash *hash)
{
    if (hash == nullptr) {
        return;
    }
    CryptDestroyHash(hash->handle);
    delete hash; // the hash's only owner
}

unsigned long
platform_crypto_derive_rc4_40(platform_crypto_provider *provider, platform_crypto_hash *hash,
                              platform_crypto_key **key)
{
    if (hash == nullptr) {
        return static_cast<unsigned long>(NTE_BAD_HASH);
    }
    if (provider == nullptr || key == nullptr) {
        return static_cast<unsigned long>(NTE_BAD_UID);
    }
    *key = nullptr;
    auto *created = new (std::nothrow) platform_crypto_key{};
    if (created == nullptr) {
        return static_cast<unsigned long>(NTE_NO_MEMORY);
    }
    if (!CryptDeriveKey(provider->handle, CALG_RC4, hash->handle, RC4_40_BITS, &created->handle)) {
        unsigned long code = last_error();
        delete created; // never handed out
        return code;
    }
    *key = created;
    return 0;
}

void
platform_crypto_destroy_key(platform_crypto_key *key)
{
    if (key == nullptr) {
        return;
    }
    CryptDestroyKey(key->handle);
    delete key; // the key's only owner
}

unsigned long
platform_crypto_rc4(platform_crypto_key *key, void *data, std::size_t length)
{
    if (key == nullptr) {
        return static_cast<unsigned long>(NTE_BAD_KEY);
    }
    if (length > MAXDWORD) {
        return static_cast<unsigned long>(NTE_BAD_LEN);
    }
    HCRYPTKEY copy = 0;
    if (!CryptDuplicateKey(key->handle, nullptr, 0, &copy)) {
        return last_error();
    }
    // RC4 keeps the length: the buffer's size is the message's.
    auto count = static_cast<DWORD>(length);
    unsigned long result = 0;
    if (!CryptEncrypt(copy, 0, TRUE, 0, static_cast<BYTE *>(data), &count, count)) {
        result = last_error();
    }
    CryptDestroyKey(copy);
    return result;
}
