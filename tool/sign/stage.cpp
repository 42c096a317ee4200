// The signed stage builder.
#include "stage.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "crypto.h"
#include "files.h"
#include "key_block.h"
#include "progress.h"
#include "rng.h"
#include "signing_key.h"

namespace {

bool supported_alignment(std::uint32_t alignment) {
    return alignment == 0 || (is_power_of_two(alignment) && alignment <= kMaxStageAlignment);
}

// Keys whose modulus length has a key type; any other key could be neither
// described in the key block nor checked by a reader.
bool supported_key(const SigningKey* key) {
    if (key == nullptr) return true;
    const std::size_t len = key->length();
    return len == 128 || len == 256 || len == 512 || len == 1024;
}

// Reads exactly out.size() bytes at `offset`.
bool pread_exact(int fd, std::uint64_t offset, MutBytes out) {
    return pread_full(fd, out, offset) == out.size();
}

// Lays the public key out behind the signature slot; returns key_size, or 0
// when the key block could not be built.
std::uint32_t build_key_block(zud_stage_block& b, const mbedtls_rsa_context* ctx) {
    const std::size_t key_offset = kSignedBlockHeaderSize + ctx->len;
    const std::size_t data_offset = key_offset + kKeyHeaderSize;
    const std::span<std::uint8_t, kKeyHeaderSize> key_header(b.region.data() + key_offset,
                                                             kKeyHeaderSize);
    zud_init_key_header(key_header, kKeyHeaderSize);
    const std::uint32_t length = zud_create_key_from_ctx(
        0, ctx, MutBytes(b.region).subspan(data_offset), key_header,
        static_cast<std::uint32_t>(data_offset));
    b.header.key_type = decode_key_header(key_header)->key_type;
    if (length == 0) return 0;
    return static_cast<std::uint32_t>(kKeyHeaderSize + round_up_16(length));
}

// Draws the nonce, builds the key block and fills the header; false when the
// key block fails or the block would be too large to describe.
bool build_header_region(zud_stage_block& b, const mbedtls_rsa_context* ctx) {
    zud_signed_block_header& h = b.header;
    h.nonce = random_u32();
    const std::uint32_t key_size = ctx != nullptr ? build_key_block(b, ctx) : 0;
    if (ctx != nullptr && key_size == 0) return false;
    h.sig_type = ctx != nullptr ? 1 : 0;
    h.sig_size = ctx != nullptr ? static_cast<std::uint32_t>(ctx->len) : kDigestSlotSize;
    h.key_size = key_size;
    h.sig_offset = kSignedBlockHeaderSize;
    h.signed_data_offset = h.key_offset = kSignedBlockHeaderSize + h.sig_size;
    const std::uint64_t payload_size = round_up_16(b.stage_size);
    const std::uint64_t payload_offset = std::uint64_t{h.key_offset} + key_size;
    const std::uint64_t total = payload_offset + payload_size;
    if (total > kMaxSignedBlockSize) return false;
    h.payload_size = static_cast<std::uint32_t>(payload_size);
    h.payload_offset = static_cast<std::uint32_t>(payload_offset);
    h.total_size = static_cast<std::uint32_t>(total);
    h.signed_data_size = h.total_size - h.signed_data_offset;
    b.head_size = std::min(payload_offset, b.stage_size);
    // A stage shorter than its header region is stored unpadded behind it.
    b.stored_length = b.stage_size >= payload_offset ? total : payload_offset + b.stage_size;
    encode_signed_block_header(h, std::span(b.region).first<kSignedBlockHeaderSize>());
    return true;
}

// A stage that is itself a digest-only block with its head relocated is
// signed over its logical payload: the 96 bytes stored at its payload_size
// take the place of its header region. Only when that block's own stage was
// at least as long as its header region (a shorter one was stored
// unrelocated). The kept head lies inside the stage when the stage is the
// whole block (a table entry of an earlier output), and past it when the
// stage is the part that a packaged kernel image's header page still names;
// either way it must lie inside the input, or the stage is refused.
bool find_relocated_head(int fd, std::uint64_t input_size, zud_stage_block& b) {
    std::array<std::uint8_t, kSignedBlockHeaderSize> head{};
    if (b.head_size < head.size() || !pread_exact(fd, b.stage_offset, head)) return true;
    const auto inner = decode_signed_block_header(head);
    if (!inner || !is_relocated_digest_block(*inner)) return true;
    const std::uint64_t inner_payload = inner->payload_size;
    if (!fits(input_size, b.stage_offset + inner_payload, kDigestOnlyHeadSize) ||
        !pread_exact(fd, b.stage_offset + inner_payload, b.kept)) {
        return false;
    }
    b.resigned = true;
    return true;
}

// The head of the stage (the bytes the header region displaces), with the
// kept bytes in place when the stage is being re-signed.
bool read_head(int fd, const zud_stage_block& b, MutBytes head) {
    if (!pread_exact(fd, b.stage_offset, head)) return false;
    if (b.resigned) {
        const std::size_t n = std::min(head.size(), b.kept.size());
        std::copy_n(b.kept.begin(), n, head.begin());
    }
    return true;
}

// Cuts the output back to where the block started, so that no half-written
// or unsigned block is left behind.
void discard_block(std::FILE* output, std::uint64_t block_start) {
    (void)std::fflush(output);
    (void)::ftruncate(::fileno(output), static_cast<off_t>(block_start));
    (void)seek_to(output, block_start);
}

}  // namespace

int zud_stage_begin(int input_fd, std::uint64_t input_size, std::uint64_t stage_offset,
                    std::uint64_t stage_size, SigningKey* key, zud_stage_block& b) {
    if (!supported_key(key) || !fits(input_size, stage_offset, stage_size)) return kStageFailed;
    b = zud_stage_block{};
    b.stage_offset = stage_offset;
    b.stage_size = stage_size;
    if (!build_header_region(b, key != nullptr ? key->public_key() : nullptr)) return kStageFailed;
    return find_relocated_head(input_fd, input_size, b) ? kStageOk : kStageFailed;
}

std::optional<Digest> zud_stage_digest(int input_fd, const zud_stage_block& b, MutBytes piece,
                                       Progress* progress) {
    const zud_signed_block_header& h = b.header;
    Sha256 digest;
    update_stage_digest_head(digest, b.region, h);
    if (piece.size() < b.head_size || piece.size() % 16 != 0) return std::nullopt;
    if (!read_head(input_fd, b, piece.first(b.head_size))) return std::nullopt;
    digest.update(piece.first(b.head_size));
    add_progress(progress, b.head_size);
    // The rest of the stage, zero-padded to a multiple of 16.
    std::uint64_t at = b.stage_offset + b.head_size;
    std::uint64_t remaining = b.stage_size - b.head_size;
    while (remaining > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, piece.size()));
        const auto padded = static_cast<std::size_t>(round_up_16(want));
        std::fill(piece.begin() + static_cast<std::ptrdiff_t>(want), piece.begin() + static_cast<std::ptrdiff_t>(padded), 0);
        if (!pread_exact(input_fd, at, piece.first(want))) return std::nullopt;
        digest.update(piece.first(padded));
        add_progress(progress, want);
        at += want;
        remaining -= want;
    }
    return digest.finish();
}

int zud_stage_seal(zud_stage_block& b, SigningKey* key, const Digest& d) {
    std::uint8_t* slot = b.region.data() + kSignedBlockHeaderSize;
    if (key == nullptr) {
        std::copy(d.begin(), d.end(), slot);
        return kStageOk;
    }
    return key->sign_sha256(d, MutBytes(slot, key->length())) == 0 ? kStageOk : kStageFailed;
}

int zud_stage_sign(int input_fd, zud_stage_block& b, SigningKey* key, MutBytes piece) {
    const auto digest = zud_stage_digest(input_fd, b, piece);
    return digest ? zud_stage_seal(b, key, *digest) : kStageFailed;
}

std::vector<std::optional<Digest>> zud_stage_digests(int input_fd,
                                                     std::span<const zud_stage_block> blocks,
                                                     Progress* progress) {
    const std::size_t count = blocks.size();
    std::vector<std::optional<Digest>> digests(count);
    std::atomic<std::size_t> next{0};
    const auto digest_some = [&](MutBytes piece) {
        for (std::size_t i = next++; i < count; i = next++) {
            digests[i] = zud_stage_digest(input_fd, blocks[i], piece, progress);
        }
    };
    Buffer own(kStagePieceSize);
    Buffer other(count > 1 ? kStagePieceSize : 0);
    if (!own.ok()) return digests;
    std::thread helper;
    if (count > 1 && other.ok()) {
        try {
            helper = std::thread(digest_some, other.bytes());
        } catch (const std::system_error&) {
            // No second thread: this one digests them all.
        }
    }
    digest_some(own.bytes());
    if (helper.joinable()) helper.join();
    return digests;
}

StageEmitter::StageEmitter(int input_fd, const zud_stage_block& block, std::uint64_t length)
    : fd_(input_fd), block_(block), length_(std::max(length, block.stored_length)) {}

// The stored stream: the header region [0, P); when the stage is at least
// as long as P, the tail [P, S16) (stage bytes [P, S) then zeros) and the
// head [S16, S16 + P); else the S stage bytes right behind P. Then zeros.
std::int64_t StageEmitter::fill(MutBytes out) {
    const zud_stage_block& b = block_;
    const std::uint64_t p = b.header.payload_offset;
    const bool relocated = b.stage_size >= p;
    const std::uint64_t tail_end = relocated ? b.header.payload_size : p;  // S16 or P
    std::size_t done = 0;
    while (done < out.size() && at_ < length_) {
        MutBytes rest = out.subspan(done);
        std::size_t n = 0;
        if (at_ < p) {  // header region
            n = static_cast<std::size_t>(std::min<std::uint64_t>(p - at_, rest.size()));
            std::copy_n(b.region.begin() + static_cast<std::ptrdiff_t>(at_), n, rest.begin());
        } else if (at_ < tail_end) {  // tail: stage bytes then zero padding
            n = static_cast<std::size_t>(std::min<std::uint64_t>(tail_end - at_, rest.size()));
            const std::uint64_t stage_bytes = at_ < b.stage_size ? std::min<std::uint64_t>(b.stage_size - at_, n) : 0;
            if (stage_bytes > 0 && !pread_exact(fd_, b.stage_offset + at_, rest.first(stage_bytes))) return -1;
            std::fill(rest.begin() + static_cast<std::ptrdiff_t>(stage_bytes), rest.begin() + static_cast<std::ptrdiff_t>(n), 0);
        } else if (at_ < b.stored_length) {  // the head, behind the tail or the header region
            const std::uint64_t head_at = at_ - tail_end;
            n = static_cast<std::size_t>(std::min<std::uint64_t>(b.stored_length - at_, rest.size()));
            std::array<std::uint8_t, kStageHeaderAreaSize> head{};
            if (!read_head(fd_, b, MutBytes(head).first(b.head_size))) return -1;
            std::copy_n(head.begin() + static_cast<std::ptrdiff_t>(head_at), n, rest.begin());
        } else {  // alignment
            n = static_cast<std::size_t>(std::min<std::uint64_t>(length_ - at_, rest.size()));
            std::fill(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(n), 0);
        }
        done += n;
        at_ += n;
    }
    return static_cast<std::int64_t>(done);
}

int zud_sig_boot_file_buffer(std::FILE* input, std::uint32_t stage_offset,
                             std::uint32_t stage_size, std::int32_t* written_length,
                             mbedtls_rsa_context* ctx, std::FILE* output,
                             std::uint32_t alignment) {
    if (ctx == nullptr) {
        return zud_sig_boot_file_buffer_key(input, stage_offset, stage_size, written_length,
                                            nullptr, output, alignment);
    }
    const std::unique_ptr<SigningKey> key = borrow_signing_key(ctx);
    if (!key) return kStageFailed;
    return zud_sig_boot_file_buffer_key(input, stage_offset, stage_size, written_length, key.get(),
                                        output, alignment);
}

int zud_sig_boot_file_buffer_key(std::FILE* input, std::uint32_t stage_offset,
                                 std::uint32_t stage_size, std::int32_t* written_length,
                                 SigningKey* key, std::FILE* output, std::uint32_t alignment) {
    if (input == nullptr || output == nullptr || !supported_alignment(alignment) ||
        !supported_key(key)) {
        return kStageFailed;
    }
    Buffer piece(kStagePieceSize);
    auto block = std::make_unique<zud_stage_block>();
    // The input must hold the whole stage; checking first means a truncated
    // input leaves the output untouched.
    const auto start = tell(output);
    const auto input_size = stream_size(input);
    const int fd = ::fileno(input);
    if (!piece.ok() || !start || !input_size ||
        zud_stage_begin(fd, *input_size, stage_offset, stage_size, key, *block) != kStageOk ||
        zud_stage_sign(fd, *block, key, piece.bytes()) != kStageOk) {
        return kStageFailed;
    }
    const std::uint64_t stored = block->stored_length;
    const std::uint64_t length = alignment != 0 ? round_up(stored, alignment) : stored;
    StageEmitter emitter(fd, *block, length);
    for (;;) {
        const std::int64_t n = emitter.fill(piece.bytes());
        if (n < 0 || !write_all(output, piece.bytes().first(static_cast<std::size_t>(n)))) {
            discard_block(output, *start);
            return kStageFailed;
        }
        if (n == 0) break;
    }
    if (std::fflush(output) != 0) {
        discard_block(output, *start);
        return kStageFailed;
    }
    if (written_length != nullptr) *written_length = static_cast<std::int32_t>(stored);
    return kStageOk;
}
