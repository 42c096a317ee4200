// The built-in key signer.
#include "builtin.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

#include "builtin_key.h"
#include "files.h"
#include "keys.h"
#include "stage.h"

namespace {

constexpr std::size_t kCopyChunkSize = 1024;
constexpr std::size_t kCryptChunkSize = 2048;

// Encrypts the first `length` bytes of the work copy (the signed block) over
// the target from its start: one AES-256-CBC chain from a zero IV, 2048
// bytes at a time, the last piece zero-padded to a multiple of 16.
int encrypt_into_target(std::FILE* work, std::FILE* target, std::uint64_t length,
                        AesCbc& aes) {
    Buffer piece_area(kCryptChunkSize);
    if (!piece_area.ok() || !seek_to(work, 0) || !seek_to(target, 0)) {
        return kBuiltinEncryptFailed;
    }
    std::array<std::uint8_t, kAesBlockSize> iv{};
    std::uint64_t remaining = length;
    while (remaining > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kCryptChunkSize));
        MutBytes piece = piece_area.bytes().first(static_cast<std::size_t>(round_up_16(want)));
        std::fill(piece.begin() + static_cast<std::ptrdiff_t>(want), piece.end(), 0);
        if (!read_exact(work, piece.first(want)) || aes.encrypt(piece, iv) != 0 ||
            !write_all(target, piece)) {
            return kBuiltinEncryptFailed;
        }
        remaining -= want;
    }
    return std::fflush(target) == 0 ? kBuiltinSignOk : kBuiltinEncryptFailed;
}

// Everything between naming the work copy and deleting it.
int sign_through_work_copy(const char* path, const char* work_name) {
    // The copy reports a 32-bit size; a larger file would be signed only in
    // part while keeping its old tail.
    const auto full_size = file_size(path);
    if (full_size && *full_size > std::numeric_limits<std::uint32_t>::max()) {
        return kBuiltinTargetTooLarge;
    }
    std::uint32_t size = 0;
    const int copied = zud_duplicate_file(path, work_name, &size);
    if (copied != 0) return copied;
    if (size == 0) return kBuiltinSignOk;  // nothing to sign; left as it is

    File target = open_file(path, "rb+");
    File work = open_file(work_name, "rb+");
    RsaKey key;
    AesCbc aes;
    const int loaded = zud_tq_load_key_internal(&key.ctx, &aes);
    if (loaded != 0) return loaded;
    // The builder refuses missing streams; the block replaces the copy's
    // content entirely, since a block is always longer than its stage.
    std::int32_t length = 0;
    if (zud_sig_boot_file_buffer(target.get(), 0, size, &length, &key.ctx, work.get(), 0) != 0) {
        return kBuiltinSignFailed;
    }
    return encrypt_into_target(work.get(), target.get(), static_cast<std::uint32_t>(length), aes);
}

}  // namespace

int zud_tq_internal_sig(const char* path) {
    if (path == nullptr) return kBuiltinNoPath;
    const auto work_name = derive_name(path, ".chk");
    if (!work_name) return kBuiltinPathTooLong;
    const int status = sign_through_work_copy(path, work_name->c_str());
    (void)std::remove(work_name->c_str());  // absent when the copy was never made
    return status;
}

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
    return kBuiltinSignOk;
}

int zud_duplicate_file(const char* src, const char* dst, std::uint32_t* size) {
    const auto examined = file_size(src);
    if (!examined) return kBuiltinNoSource;
    if (size != nullptr) *size = static_cast<std::uint32_t>(*examined);
    File in = open_file(src, "rb");
    if (!in) return kBuiltinOpenFailed;
    File out = open_file(dst, "wb");
    if (!out) return kBuiltinOpenFailed;
    std::array<std::uint8_t, kCopyChunkSize> chunk{};
    for (;;) {
        const std::size_t n = read_some(in.get(), chunk);
        if (n == 0) break;
        if (!write_all(out.get(), {chunk.data(), n})) return kBuiltinCopyFailed;
    }
    if (std::ferror(in.get()) != 0 || std::fflush(out.get()) != 0) return kBuiltinCopyFailed;
    return kBuiltinSignOk;
}
