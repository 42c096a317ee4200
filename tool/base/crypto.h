// Internal: the one place that calls the bulk hash and cipher functions
// (SHA-256, SHA-224, AES-256-CBC). They run through OpenSSL's libcrypto,
// whose implementations use the CPU's SHA and AES instructions; RSA and the
// big numbers stay with mbed TLS.
#pragma once

#include <array>
#include <cstdint>

#include "bytes.h"

inline constexpr std::size_t kSha256Size = 32;
inline constexpr std::size_t kSha224Size = 28;
inline constexpr std::size_t kAesKeySize = 32;
inline constexpr std::size_t kAesBlockSize = 16;

// The cipher's refusal of data that is not a whole number of 16-byte
// blocks, and of a key that is not 32 bytes (mbed TLS's codes, which the
// command results have always passed on).
inline constexpr int kAesBadLength = -0x0022;
inline constexpr int kAesBadKey = -0x0020;
// Any other failure of the cipher library.
inline constexpr int kAesFailed = -0x0021;

using Digest = std::array<std::uint8_t, kSha256Size>;

// One-shot SHA-256 of `in`.
Digest sha256(ConstBytes in);

// HMAC-SHA256 of `message` under `key`.
Digest hmac_sha256(ConstBytes key, ConstBytes message);

// One-shot SHA-224 of `in` into 28 bytes.
void sha224(ConstBytes in, std::span<std::uint8_t, kSha224Size> out);

// Streaming SHA-256.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(ConstBytes in);
    Digest finish();
    // The digest of what was added so far; more may be added after.
    Digest digest_so_far() const;

private:
    struct evp_md_ctx_st* ctx_;
};

// AES-256-CBC over whole 16-byte blocks, in place, with a caller-held IV that
// advances from call to call (one CBC chain across calls).
class AesCbc {
public:
    AesCbc();
    ~AesCbc();
    AesCbc(const AesCbc&) = delete;
    AesCbc& operator=(const AesCbc&) = delete;

    // Schedules a 32-byte key for encryption or decryption; 0 on success,
    // kAesBadKey or kAesFailed otherwise.
    int set_encrypt_key(ConstBytes key);
    int set_decrypt_key(ConstBytes key);

    // 0, or kAesBadLength when `data` is not a multiple of 16 bytes long (in
    // which case nothing is changed), or kAesFailed.
    int encrypt(MutBytes data, std::span<std::uint8_t, kAesBlockSize> iv);
    int decrypt(MutBytes data, std::span<std::uint8_t, kAesBlockSize> iv);

private:
    int set_key(ConstBytes key, bool encrypt);
    int run(MutBytes data, std::span<std::uint8_t, kAesBlockSize> iv, bool encrypt);

    struct evp_cipher_ctx_st* ctx_;
    bool encrypting_ = true;
    bool keyed_ = false;
};
