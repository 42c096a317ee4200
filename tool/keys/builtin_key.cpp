// Loading the built-in key, and opening what it sealed.
#include "builtin_key.h"

#include "sealed_file.h"

#include <algorithm>
#include <array>

int zud_tq_load_key_internal(mbedtls_rsa_context* ctx, AesCbc* aes) {
    if (ctx == nullptr) return kBuiltinKeyLoadFailed;
    const struct {
        mbedtls_mpi* target;
        const std::uint8_t* value;
        std::size_t size;
    } parts[] = {
        {&ctx->N, kBuiltinN, sizeof kBuiltinN},    {&ctx->E, kBuiltinE, sizeof kBuiltinE},
        {&ctx->D, kBuiltinD, sizeof kBuiltinD},    {&ctx->P, kBuiltinP, sizeof kBuiltinP},
        {&ctx->Q, kBuiltinQ, sizeof kBuiltinQ},    {&ctx->DP, kBuiltinDP, sizeof kBuiltinDP},
        {&ctx->DQ, kBuiltinDQ, sizeof kBuiltinDQ}, {&ctx->QP, kBuiltinQP, sizeof kBuiltinQP},
    };
    for (const auto& part : parts) {
        if (mbedtls_mpi_read_binary(part.target, part.value, part.size) != 0) {
            return kBuiltinKeyLoadFailed;
        }
    }
    ctx->len = (mbedtls_mpi_bitlen(&ctx->N) + 7) / 8;
    if (aes != nullptr && aes->set_encrypt_key({kBuiltinAes, sizeof kBuiltinAes}) != 0) {
        return kBuiltinKeyLoadFailed;
    }
    return 0;
}

bool zud_open_sealed(ConstBytes sealed, MutBytes block) {
    return open_sealed_file(sealed, {kBuiltinAes, sizeof kBuiltinAes}, block);
}

int zud_builtin_public_key(mbedtls_rsa_context* ctx) {
    if (ctx == nullptr ||
        mbedtls_mpi_read_binary(&ctx->N, kBuiltinN, sizeof kBuiltinN) != 0 ||
        mbedtls_mpi_read_binary(&ctx->E, kBuiltinE, sizeof kBuiltinE) != 0) {
        return kBuiltinKeyLoadFailed;
    }
    ctx->len = (mbedtls_mpi_bitlen(&ctx->N) + 7) / 8;
    return 0;
}
