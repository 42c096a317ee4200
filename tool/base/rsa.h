// The RSA primitive operations every signature and check goes through, the
// owner of an RSA context, and the private-key mode flag they honour.
#pragma once

#include <cstdint>

#include <mbedtls/bignum.h>
#include <mbedtls/rsa.h>

// Private-key mode of the RSA private operation: 0 uses the CRT values, 1
// raises to D modulo N with N and D only. It describes the most recently
// loaded key: the loader sets it to 0, and to 1 after a short binary file.
extern std::int32_t g_nVQ_RSA_keyFormat;

// Sets g_nVQ_RSA_keyFormat for the life of one operation and puts the
// previous value back, so that the mode belongs to the key that signs (or
// the check that runs) rather than to the key loaded last.
class KeyFormatScope {
public:
    explicit KeyFormatScope(std::int32_t mode) : saved_(g_nVQ_RSA_keyFormat) {
        g_nVQ_RSA_keyFormat = mode;
    }
    ~KeyFormatScope() { g_nVQ_RSA_keyFormat = saved_; }
    KeyFormatScope(const KeyFormatScope&) = delete;
    KeyFormatScope& operator=(const KeyFormatScope&) = delete;

private:
    std::int32_t saved_;
};

// Owns an RSA context initialised for PKCS#1 v1.5 with hash identifier 0.
// Its numbers are wiped when it goes.
class RsaKey {
public:
    RsaKey() { mbedtls_rsa_init(&ctx, MBEDTLS_RSA_PKCS_V15, 0); }
    ~RsaKey() { mbedtls_rsa_free(&ctx); }
    RsaKey(const RsaKey&) = delete;
    RsaKey& operator=(const RsaKey&) = delete;
    mbedtls_rsa_context ctx;
};

// The RSA private operation over ctx->len bytes, honouring
// g_nVQ_RSA_keyFormat. Fails with the library's bad-input code when the
// input is not below N. Every signature the tool makes goes through here.
// `input` and `output` may be the same buffer.
int zud_rsa_private(mbedtls_rsa_context* ctx, const unsigned char* input,
                    unsigned char* output);

// The RSA public operation over ctx->len bytes.
int zud_rsa_public(mbedtls_rsa_context* ctx, const unsigned char* input,
                   unsigned char* output);

// PKCS#1 v1.5 signature (SHA-256 DigestInfo) of a 32-byte digest into
// ctx->len bytes at `sig`, made with zud_rsa_private. Returns 0 or the
// library's error code; `sig` is zeroed on failure.
int zud_rsa_sign_sha256(mbedtls_rsa_context* ctx, const std::uint8_t* digest,
                        std::uint8_t* sig);

// Checks a PKCS#1 v1.5 SHA-256 signature of ctx->len bytes; 0 when valid.
int zud_rsa_verify_sha256(mbedtls_rsa_context* ctx, const std::uint8_t* digest,
                          const std::uint8_t* sig);
