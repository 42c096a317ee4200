// The upgrade trailer's signer and the stream digest beneath it.
#include "trailer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstring>
#include <string>

#include "files.h"
#include "progress.h"
#include "signing_key.h"

namespace {

constexpr std::uint64_t kSizeUnit = 16;

using WorkArea = std::array<std::uint8_t, kUpgradeWorkAreaSize>;

}  // namespace

// A modulus that can carry the block: at least up to the end of the
// digest, and no longer than the work area.
bool trailer_key_fits(std::size_t len, const std::string& name) {
    if (len >= kUpgradeMinModulus && len <= kUpgradeWorkAreaSize) return true;
    std::fprintf(stderr,
                 "zud_encrypt_tqrr: the key in %s has a %zu-byte modulus; an upgrade "
                 "signature needs 48 to 1024 bytes\n",
                 name.c_str(), len);
    return false;
}

namespace {

// SHA-256 of `count` bytes of the stream's file from `offset` into `digest`.
// The file is read beside the stream, in large pieces, while the digest of
// the piece before is taken.
int digest_range(std::FILE* stream, std::uint64_t offset, std::uint64_t count,
                 std::uint8_t* digest, Progress* progress = nullptr) {
    Sha256 sha;
    const RangeRead read = read_range(::fileno(stream), offset, count, [&](ConstBytes step) {
        sha.update(step);
        add_progress(progress, step.size());
        return true;
    });
    // No memory to read into fails the read like the end of the file does.
    if (read != RangeRead::kDone) return kFileSha2ShortRead;
    const Digest out = sha.finish();
    std::copy(out.begin(), out.end(), digest);
    return 0;
}

// Digest of the signed range: the first `signed_size` bytes of the file.
// zud_file_sha2, counting the bytes into `progress`.
int file_sha2(std::FILE* stream, std::uint8_t* digest, std::uint64_t count, Progress* progress) {
    if (stream == nullptr || digest == nullptr) return kFileSha2NoStream;
    const auto start = tell(stream);
    const auto end = stream_size(stream);
    if (!start || !end) return kFileSha2NoStream;
    const std::uint64_t available = *end > *start ? *end - *start : 0;
    if (count == kFileSha2ToEnd) count = available;
    if (count % kSizeUnit != 0) return kFileSha2BadCount;
    if (count > available) return kFileSha2ShortRead;
    // Measuring the stream sought to its end, which wrote out anything it
    // held for writing: the file has every byte the stream has.
    const int result = digest_range(stream, *start, count, digest, progress);
    if (!seek_to(stream, *start)) return kFileSha2NoStream;
    return result;
}

int digest_signed_range(std::FILE* f, std::uint64_t signed_size, std::uint8_t* digest) {
    if (!seek_to(f, 0)) return kUpgradeOpenFailed;
    Progress progress("zud_encrypt_tqrr: upgrade signature", signed_size);
    return file_sha2(f, digest, signed_size, &progress) == 0 ? 0 : kUpgradeOpenFailed;
}

// Appends the block at `size` through the descriptor, so that no part of it
// can linger in a stream buffer and reach the file after a failure. A block
// that does not reach the file whole is cut off again: the file never ends
// in part of one.
bool append_block(std::FILE* f, std::uint64_t size, ConstBytes block) {
    const int fd = ::fileno(f);
    if (pwrite_full(fd, block, size) == block.size()) return true;
    if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: could not cut a partly written block off again\n");
    }
    return false;
}

// Signing: builds the plain block over the whole file, raises it with the
// private key (the key-format flag decides how) and appends it. Nothing is
// written unless the private operation succeeded, nor when the file changed
// after its stamp `before` was taken, ahead of the digest: the block would
// sign bytes the file no longer holds.
int sign_file(std::FILE* f, const char* path, SigningKey& key, const FileStamp& before) {
    const std::uint64_t size = before.size;
    WorkArea plain{};
    WorkArea block{};
    std::array<std::uint8_t, kSha256Size> digest{};
    const int result = digest_signed_range(f, size, digest.data());
    if (result != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot read the file to be signed: %s\n",
                     std::strerror(errno));
        return result;
    }
    const std::size_t len = key.length();
    encode_upgrade_block(digest, MutBytes(plain).first(len));
    if (key.private_raw(ConstBytes(plain).first(len), MutBytes(block).first(len)) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", key.failure().c_str());
        return kUpgradeRsaFailed;
    }
    // A run that stops at its signature requests leaves the file as it is.
    if (outputs_withheld()) return 0;
    if (!same_stamp(before, stamp_file(::fileno(f)))) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s changed while it was being signed; run the "
                             "command again once nothing writes to it\n", path);
        return kUpgradeInputChanged;
    }
    if (!append_block(f, size, ConstBytes(block).first(len))) {
        std::fprintf(stderr, "zud_encrypt_tqrr: cannot write the signature block\n");
        return kUpgradeWriteFailed;
    }
    // On the disk before the command says it signed; a block that cannot
    // be made durable is cut off again.
    if (!sync_stream(f)) {
        const int error = errno;
        (void)::ftruncate(::fileno(f), static_cast<off_t>(size));
        std::fprintf(stderr, "zud_encrypt_tqrr: the signature block of %s could not be synced to "
                             "the disk: %s; it is cut off again: check the disk, then sign again\n",
                     path, std::strerror(error));
        return kUpgradeNotDurable;
    }
    return 0;
}

// Closes the signed file. Some file systems report a failed write only when
// the file is closed; the block may then be incomplete, so the file is cut
// back to its size before signing.
int close_signed_file(File file, const char* path, std::uint64_t size) {
    if (std::fclose(file.release()) == 0) return 0;
    if (::truncate(path, static_cast<off_t>(size)) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: could not cut a partly written block off again\n");
    }
    std::fprintf(stderr, "zud_encrypt_tqrr: cannot write the signature block\n");
    return kUpgradeWriteFailed;
}

int sign_path(const char* path, SigningKey& key) {
    if (!trailer_key_fits(key.length(), key.name())) return kUpgradeBadKey;
    std::string error;
    File file = open_input(path, error, InputUse::kUpdate);
    if (!file) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", error.c_str());
        return kUpgradeOpenFailed;
    }
    // The file is signed as it is when opened, before its first byte is read.
    const FileStamp before = stamp_file(::fileno(file.get()));
    if (!before.taken) return kUpgradeOpenFailed;
    const int result = sign_file(file.get(), path, key, before);
    if (result != 0) return result;
    return close_signed_file(std::move(file), path, before.size);
}

}  // namespace

int zud_file_sha2(std::FILE* stream, std::uint8_t* digest, std::uint64_t count) {
    return file_sha2(stream, digest, count, nullptr);
}

int zud_sig_upgrade_file_key(const char* path, SigningKey& key) {
    if (!file_size(path)) return kUpgradeNoInput;
    return sign_path(path, key);
}

int zud_upgrade_signature(SigningKey& key, const Digest& digest, MutBytes block) {
    const std::size_t len = key.length();
    if (len < kUpgradeMinModulus || len > kUpgradeWorkAreaSize || block.size() != len) return kUpgradeBadKey;
    WorkArea plain{};
    encode_upgrade_block(digest, MutBytes(plain).first(len));
    if (key.private_raw(ConstBytes(plain).first(len), block) != 0) {
        std::fprintf(stderr, "zud_encrypt_tqrr: %s\n", key.failure().c_str());
        return kUpgradeRsaFailed;
    }
    return 0;
}
