// The RSA primitive operations and the private-key mode flag.
#include "rsa.h"

#include <cstring>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/md.h>

#include "crypto.h"
#include "files.h"
#include "rng.h"

std::int32_t g_nVQ_RSA_keyFormat = 0;

namespace {

// Randomness for RSA blinding. It comes from a generator of its own over the
// OS entropy, never from rand(), whose sequence is part of the output.
int os_entropy(void*, unsigned char* out, std::size_t len) {
    return fill_os_random({out, len}) ? 0 : MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
}

class BlindingRng {
public:
    BlindingRng() {
        mbedtls_ctr_drbg_init(&drbg_);
        static const unsigned char label[] = "zud rsa blinding";
        ready_ = mbedtls_ctr_drbg_seed(&drbg_, os_entropy, nullptr, label, sizeof label) == 0;
    }
    ~BlindingRng() { mbedtls_ctr_drbg_free(&drbg_); }
    bool ready() const { return ready_; }
    mbedtls_ctr_drbg_context* context() { return &drbg_; }

private:
    mbedtls_ctr_drbg_context drbg_;
    bool ready_ = false;
};

BlindingRng& blinding_rng() {
    static BlindingRng rng;
    return rng;
}

// input ^ D mod N with N and D only; the key carries no CRT values.
int plain_private(mbedtls_rsa_context* ctx, const unsigned char* input, unsigned char* output) {
    if (ctx->len == 0 || ctx->len != mbedtls_mpi_size(&ctx->N) ||
        mbedtls_mpi_cmp_int(&ctx->D, 0) <= 0) {
        return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    }
    mbedtls_mpi T;
    mbedtls_mpi_init(&T);
    int ret = mbedtls_mpi_read_binary(&T, input, ctx->len);
    if (ret == 0 && mbedtls_mpi_cmp_mpi(&T, &ctx->N) >= 0) ret = MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    if (ret == 0) ret = mbedtls_mpi_exp_mod(&T, &T, &ctx->D, &ctx->N, &ctx->RN);
    if (ret == 0) ret = mbedtls_mpi_write_binary(&T, output, ctx->len);
    mbedtls_mpi_free(&T);
    if (ret != 0 && ret != MBEDTLS_ERR_RSA_BAD_INPUT_DATA) ret = MBEDTLS_ERR_RSA_PRIVATE_FAILED;
    return ret;
}

// Checks a private-operation result with the public exponent, so that an
// inconsistent key (a D that does not match N and E) fails instead of
// producing a signature that no device will accept.
int check_private_result(mbedtls_rsa_context* ctx, const unsigned char* input,
                         const unsigned char* output) {
    if (mbedtls_mpi_cmp_int(&ctx->E, 0) <= 0) return MBEDTLS_ERR_RSA_PRIVATE_FAILED;
    Buffer back(ctx->len);
    if (!back.ok()) return MBEDTLS_ERR_RSA_PRIVATE_FAILED;
    if (mbedtls_rsa_public(ctx, output, back.data()) != 0 ||
        std::memcmp(back.data(), input, ctx->len) != 0) {
        return MBEDTLS_ERR_RSA_PRIVATE_FAILED;
    }
    return 0;
}

// DER prefix of a SHA-256 DigestInfo.
constexpr std::uint8_t kSha256DigestInfo[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                              0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                              0x01, 0x05, 0x00, 0x04, 0x20};

}  // namespace

int zud_rsa_private(mbedtls_rsa_context* ctx, const unsigned char* input,
                    unsigned char* output) {
    if (ctx == nullptr || input == nullptr || output == nullptr) {
        return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    }
    if (g_nVQ_RSA_keyFormat == 1) {
        // Keep the input: the result is checked against it, and callers may
        // pass the same buffer for input and output.
        Buffer kept(ctx->len);
        if (!kept.ok() || ctx->len == 0) return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
        std::memcpy(kept.data(), input, ctx->len);
        const int ret = plain_private(ctx, kept.data(), output);
        return ret != 0 ? ret : check_private_result(ctx, kept.data(), output);
    }
    BlindingRng& rng = blinding_rng();
    if (!rng.ready()) return MBEDTLS_ERR_RSA_RNG_FAILED;
    return mbedtls_rsa_private(ctx, mbedtls_ctr_drbg_random, rng.context(), input, output);
}

int zud_rsa_public(mbedtls_rsa_context* ctx, const unsigned char* input,
                   unsigned char* output) {
    if (ctx == nullptr || input == nullptr || output == nullptr) {
        return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    }
    return mbedtls_rsa_public(ctx, input, output);
}

int zud_rsa_sign_sha256(mbedtls_rsa_context* ctx, const std::uint8_t* digest,
                        std::uint8_t* sig) {
    if (ctx == nullptr || digest == nullptr || sig == nullptr) {
        return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    }
    const std::size_t len = ctx->len;
    constexpr std::size_t kInfoLen = sizeof kSha256DigestInfo + kSha256Size;
    // 00 01, at least eight FF bytes, 00, then the DigestInfo.
    if (len < kInfoLen + 11 || len > MBEDTLS_MPI_MAX_SIZE) return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    Buffer encoded(len);
    if (!encoded.ok()) return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    std::uint8_t* p = encoded.data();
    p[0] = 0x00;
    p[1] = 0x01;
    std::memset(p + 2, 0xFF, len - kInfoLen - 3);
    p[len - kInfoLen - 1] = 0x00;
    std::memcpy(p + len - kInfoLen, kSha256DigestInfo, sizeof kSha256DigestInfo);
    std::memcpy(p + len - kSha256Size, digest, kSha256Size);
    const int ret = zud_rsa_private(ctx, p, sig);
    if (ret != 0) std::memset(sig, 0, len);
    return ret;
}

int zud_rsa_verify_sha256(mbedtls_rsa_context* ctx, const std::uint8_t* digest,
                          const std::uint8_t* sig) {
    if (ctx == nullptr || digest == nullptr || sig == nullptr) {
        return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    }
    return mbedtls_rsa_pkcs1_verify(ctx, nullptr, nullptr, MBEDTLS_RSA_PUBLIC,
                                    MBEDTLS_MD_SHA256, kSha256Size, digest, sig);
}

