// The built-in key signer.
#include "builtin.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>

#include "builtin_key.h"
#include "sealed_file.h"
#include "files.h"
#include "keyfile.h"
#include "stage.h"

namespace {

constexpr std::size_t kCopyChunkSize = 1024;
constexpr std::size_t kCryptChunkSize = 2048;

// Encrypts the first `length` bytes of the work copy (the signed block)
// into `sealed`: one AES-256-CBC chain from a zero IV, 2048 bytes at a
// time, the last piece zero-padded to a multiple of 16.
int encrypt_work_copy(std::FILE* work, std::FILE* sealed, std::uint64_t length, AesCbc& aes) {
    Buffer piece_area(kCryptChunkSize);
    if (!piece_area.ok() || !seek_to(work, 0)) return kBuiltinEncryptFailed;
    std::array<std::uint8_t, kAesBlockSize> iv{};
    std::uint64_t remaining = length;
    while (remaining > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kCryptChunkSize));
        MutBytes piece = piece_area.bytes().first(static_cast<std::size_t>(round_up_16(want)));
        std::fill(piece.begin() + static_cast<std::ptrdiff_t>(want), piece.end(), 0);
        if (!read_exact(work, piece.first(want)) || seal_piece(aes, piece, iv) != 0 ||
            !write_all(sealed, piece)) {
            return kBuiltinEncryptFailed;
        }
        remaining -= want;
    }
    return kBuiltinSignOk;
}

// The mode the sealed file takes over from the file it replaces.
unsigned mode_of(std::FILE* f) {
    struct stat st {};
    return ::fstat(::fileno(f), &st) == 0 ? (st.st_mode & 07777) : 0600;
}

}  // namespace

int zud_tq_internal_sig(const char* path) {
    if (path == nullptr) return kBuiltinNoPath;
    const auto size = file_size(path);
    if (!size) return kBuiltinNoSource;
    // The builder takes a 32-bit size; a larger file would be signed only in
    // part while keeping its old tail.
    if (*size > std::numeric_limits<std::uint32_t>::max()) return kBuiltinTargetTooLarge;
    if (*size == 0) return kBuiltinSignOk;  // nothing to sign; left as it is
    File target = open_file(path, "rb");
    if (!target) return kBuiltinOpenFailed;
    // The signed block is plain (it carries the file as it is): it goes to a
    // work file readable by its owner only, of a name no other run shares,
    // removed on every path.
    OutputFile work = make_work_file(path);
    if (!work.ok()) return kBuiltinOpenFailed;
    RsaKey key;
    AesCbc aes;
    const int loaded = zud_tq_load_key_internal(&key.ctx, &aes);
    if (loaded != 0) return loaded;
    std::int32_t length = 0;
    if (zud_sig_boot_file_buffer(target.get(), 0, static_cast<std::uint32_t>(*size), &length,
                                 &key.ctx, work.stream(), 0) != 0) {
        return kBuiltinSignFailed;
    }
    // The sealed file replaces the target by a rename, so the target holds
    // either its old content or the whole sealed block, never a part.
    OutputFile sealed(path, Exposure::kSecret);
    if (!sealed.ok()) return kBuiltinEncryptFailed;
    sealed.set_mode(mode_of(target.get()));
    target.reset();
    const int encrypted =
        encrypt_work_copy(work.stream(), sealed.stream(), static_cast<std::uint32_t>(length), aes);
    if (encrypted != kBuiltinSignOk) return encrypted;
    return sealed.commit() ? kBuiltinSignOk : kBuiltinEncryptFailed;
}

void warn_development_seal(const char* sealed) {
    if (!kBuiltinKeyIsDevelopment) return;
    std::fprintf(stderr,
                 "zud_encrypt_tqrr: %s is sealed with the public development built-in key from "
                 "keys/builtin-dev: anyone can open it, and devices fused for production reject "
                 "it; configure with -DZUD_BUILTIN_KEY_DIR=DIR holding the production key (see "
                 "README) before shipping\n",
                 sealed);
}

int zud_duplicate_file(const char* src, const char* dst, std::uint32_t* size) {
    const auto examined = file_size(src);
    if (!examined) return kBuiltinNoSource;
    if (size != nullptr) *size = static_cast<std::uint32_t>(*examined);
    File in = open_file(src, "rb");
    if (!in || dst == nullptr) return kBuiltinOpenFailed;
    OutputFile out(dst, Exposure::kSecret);
    if (!out.ok()) return kBuiltinOpenFailed;
    out.set_mode(mode_of(in.get()));
    std::array<std::uint8_t, kCopyChunkSize> chunk{};
    for (;;) {
        const std::size_t n = read_some(in.get(), chunk);
        if (n == 0) break;
        if (!write_all(out.stream(), {chunk.data(), n})) return kBuiltinCopyFailed;
    }
    if (std::ferror(in.get()) != 0 || !out.commit()) return kBuiltinCopyFailed;
    return kBuiltinSignOk;
}
