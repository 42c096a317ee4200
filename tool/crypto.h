// Internal: the one place that calls the library's hash and cipher
// functions (SHA-256, SHA-224, AES-256-CBC).
#pragma once

#include <array>
#include <cstdint>

#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>

#include "bytes.h"

inline constexpr std::size_t kSha256Size = 32;
inline constexpr std::size_t kSha224Size = 28;
inline constexpr std::size_t kAesKeySize = 32;
inline constexpr std::size_t kAesBlockSize = 16;

using Digest = std::array<std::uint8_t, kSha256Size>;

// One-shot SHA-256 of `in`.
Digest sha256(ConstBytes in);

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

private:
    mbedtls_sha256_context ctx_;
};

// AES-256-CBC over whole 16-byte blocks, in place, with a caller-held IV that
// advances from call to call (one CBC chain across calls).
class AesCbc {
public:
    AesCbc();
    ~AesCbc();
    AesCbc(const AesCbc&) = delete;
    AesCbc& operator=(const AesCbc&) = delete;

    // Schedules a 32-byte key for encryption or decryption; returns the
    // library's result (0 on success).
    int set_encrypt_key(ConstBytes key);
    int set_decrypt_key(ConstBytes key);

    // Returns the library's result: non-zero when `data` is not a multiple
    // of 16 bytes long, in which case nothing is changed.
    int encrypt(MutBytes data, std::span<std::uint8_t, kAesBlockSize> iv);
    int decrypt(MutBytes data, std::span<std::uint8_t, kAesBlockSize> iv);

private:
    mbedtls_aes_context ctx_;
};
