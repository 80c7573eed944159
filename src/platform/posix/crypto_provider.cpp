// POSIX side of crypto_provider.h, on nettle's MD5 and RC4.
//
// The Windows base provider turns an MD5 hash into a 40-bit RC4 key by taking the first five
// bytes of the digest and appending eleven zero bytes (its default salt): RC4 is keyed with those
// 16 bytes. Every final encryption call starts RC4 afresh from that key.

#include "platform/crypto_provider.h"

#include <nettle/arcfour.h>
#include <nettle/md5.h>

#include <cstdint>
#include <cstring>
#include <new>

struct platform_crypto_provider {
    int unused;
};

struct platform_crypto_hash {
    md5_ctx context;
};

struct platform_crypto_key {
    unsigned char bytes[16];
};

namespace {

constexpr unsigned long NTE_NO_MEMORY = 0x8009000EUL;
constexpr unsigned long NTE_BAD_HASH = 0x80090002UL;
constexpr unsigned long NTE_BAD_KEY = 0x80090003UL;

} // namespace

unsigned long
platform_crypto_acquire(platform_crypto_provider **provider, bool new_keyset)
{
    (void)new_keyset; // no key containers here
    *provider = new (std::nothrow) platform_crypto_provider{};
    return *provider != nullptr ? 0 : NTE_NO_MEMORY;
}

void
platform_crypto_release(platform_crypto_provider *provider)
{
    delete provider; // the provider's only owner
}

unsigned long
platform_crypto_create_md5(platform_crypto_provider *provider, platform_crypto_hash **hash)
{
    (void)provider;
    *hash = new (std::nothrow) platform_crypto_hash;
    if (*hash == nullptr) {
        return NTE_NO_MEMORY;
    }
    md5_init(&(*hash)->context);
    return 0;
}

unsigned long
platform_crypto_hash_data(platform_crypto_hash *hash, const void *data, std::size_t length)
{
    if (hash == nullptr) {
        return NTE_BAD_HASH;
    }
    md5_update(&hash->context, length, static_cast<const std::uint8_t *>(data));
    return 0;
}

void
platform_crypto_destroy_hash(platform_crypto_hash *hash)
{
    delete hash; // the hash's only owner
}

unsigned long
platform_crypto_derive_rc4_40(platform_crypto_provider *provider, platform_crypto_hash *hash,
                              platform_crypto_key **key)
{
    (void)provider;
    if (hash == nullptr) {
        return NTE_BAD_HASH;
    }
    std::uint8_t digest[MD5_DIGEST_SIZE];
    md5_ctx copy = hash->context; // the hash stays usable, as the provider's does
    md5_digest(&copy, sizeof digest, digest);
    *key = new (std::nothrow) platform_crypto_key{};
    if (*key == nullptr) {
        return NTE_NO_MEMORY;
    }
    std::memcpy((*key)->bytes, digest, 5); // 40 bits, then 11 zero bytes of salt
    return 0;
}

void
platform_crypto_destroy_key(platform_crypto_key *key)
{
    delete key; // the key's only owner
}

unsigned long
platform_crypto_rc4(platform_crypto_key *key, void *data, std::size_t length)
{
    if (key == nullptr) {
        return NTE_BAD_KEY;
    }
    arcfour_ctx state; // each call its own state: calls may run at the same time
    arcfour_set_key(&state, sizeof key->bytes, key->bytes);
    auto *bytes = static_cast<std::uint8_t *>(data);
    arcfour_crypt(&state, length, bytes, bytes);
    return 0;
}
