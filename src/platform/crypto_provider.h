// crypto_provider: the cryptographic service the agent-collector link is built on: MD5 hashing
// and 40-bit RC4 keys derived from a hash the way the Windows base provider derives them.
//
// Results are 0 or the provider's error code (as the Windows provider reports it). A key may be
// used by several threads at once: every encryption starts the RC4 state afresh from the key,
// so no state is shared between calls.
#pragma once

#include <cstddef>

struct platform_crypto_provider;
struct platform_crypto_hash;
struct platform_crypto_key;

// The provider's answer when its default key container does not exist yet.
constexpr unsigned long PLATFORM_CRYPTO_BAD_KEYSET = 0x80090016UL;

unsigned long platform_crypto_acquire(platform_crypto_provider **provider, bool new_keyset);
void platform_crypto_release(platform_crypto_provider *provider);

unsigned long platform_crypto_create_md5(platform_crypto_provider *provider,
                                         platform_crypto_hash **hash);
unsigned long platform_crypto_hash_data(platform_crypto_hash *hash, const void *data,
                                        std::size_t length);
void platform_crypto_destroy_hash(platform_crypto_hash *hash);

// A 40-bit RC4 key from the hash's digest (the provider's default salt included).
unsigned long platform_crypto_derive_rc4_40(platform_crypto_provider *provider,
                                            platform_crypto_hash *hash, platform_crypto_key **key);
void platform_crypto_destroy_key(platform_crypto_key *key);

// Enciphers or deciphers (RC4 is its own inverse) one whole message in place.
unsigned long platform_crypto_rc4(platform_crypto_key *key, void *data, std::size_t length);
