// The signed stage builder.
#include "stage.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "crypto.h"
#include "files.h"
#include "key_block.h"
#include "rng.h"
#include "signing_key.h"

namespace {

// Header and digest slot of a digest-only block: the head such a block
// displaces to the end of its payload.
constexpr std::size_t kDigestOnlyHeadSize = kSignedBlockHeaderSize + kDigestSlotSize;

struct StageJob {
    StageJob(std::FILE* in, std::FILE* out, std::uint64_t offset, std::uint64_t size)
        : input(in), output(out), stage_offset(offset), stage_size(size) {}

    std::FILE* input;
    std::FILE* output;
    std::uint64_t stage_offset;
    std::uint64_t stage_size;
    std::uint64_t input_size = 0;
    std::uint64_t block_start = 0;
    // min(payload_offset, stage size): the stage bytes read first and stored
    // last. A stage shorter than the header region is read only up to its
    // own end, never into whatever follows it in the input.
    std::uint64_t head_size = 0;
    std::uint64_t stored = 0;  // bytes of the block written so far
    bool resigned = false;
    std::array<std::uint8_t, kDigestOnlyHeadSize> kept{};
    zud_signed_block_header header;
    Buffer area{kStageHeaderAreaSize};  // the header region
    Buffer work{kStageWorkBufferSize};
};

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

// Lays the public key out behind the signature slot; returns key_size, or 0
// when the key block could not be built.
std::uint32_t build_key_block(StageJob& job, const mbedtls_rsa_context* ctx) {
    const std::size_t key_offset = kSignedBlockHeaderSize + ctx->len;
    const std::size_t data_offset = key_offset + kKeyHeaderSize;
    MutBytes area = job.area.bytes();
    const std::span<std::uint8_t, kKeyHeaderSize> key_header(area.data() + key_offset,
                                                             kKeyHeaderSize);
    zud_init_key_header(key_header, kKeyHeaderSize);
    const std::uint32_t length = zud_create_key_from_ctx(
        0, ctx, area.subspan(data_offset), key_header, static_cast<std::uint32_t>(data_offset));
    job.header.key_type = decode_key_header(key_header)->key_type;
    if (length == 0) return 0;
    return static_cast<std::uint32_t>(kKeyHeaderSize + round_up_16(length));
}

// Draws the nonce, builds the key block and fills the header; false when the
// key block fails or the block would be too large to describe.
bool build_header_region(StageJob& job, const mbedtls_rsa_context* ctx) {
    zud_signed_block_header& h = job.header;
    h.nonce = random_u32();
    const std::uint32_t key_size = ctx != nullptr ? build_key_block(job, ctx) : 0;
    if (ctx != nullptr && key_size == 0) return false;
    h.sig_type = ctx != nullptr ? 1 : 0;
    h.sig_size = ctx != nullptr ? static_cast<std::uint32_t>(ctx->len) : kDigestSlotSize;
    h.key_size = key_size;
    h.sig_offset = kSignedBlockHeaderSize;
    h.signed_data_offset = h.key_offset = kSignedBlockHeaderSize + h.sig_size;
    const std::uint64_t payload_size = round_up_16(job.stage_size);
    const std::uint64_t payload_offset = std::uint64_t{h.key_offset} + key_size;
    const std::uint64_t total = payload_offset + payload_size;
    if (total > kMaxSignedBlockSize) return false;
    h.payload_size = static_cast<std::uint32_t>(payload_size);
    h.payload_offset = static_cast<std::uint32_t>(payload_offset);
    h.total_size = static_cast<std::uint32_t>(total);
    h.signed_data_size = h.total_size - h.signed_data_offset;
    job.head_size = std::min(payload_offset, job.stage_size);
    encode_signed_block_header(
        h, std::span<std::uint8_t, kSignedBlockHeaderSize>(job.area.data(), kSignedBlockHeaderSize));
    return true;
}

ConstBytes header_region(const StageJob& job) {
    return {job.area.data(), job.header.payload_offset};
}

// A stage that is itself a digest-only block with its head relocated is
// signed over its logical payload: the 96 bytes stored at its payload_size
// take the place of its header region. Only when that block's own stage was
// at least as long as its header region (a shorter one was stored
// unrelocated). The kept head lies inside the stage when the stage is the
// whole block (a table entry of an earlier output), and past it when the
// stage is the part that a packaged kernel image's header page still names;
// either way it must lie inside the input, or the stage is refused.
bool substitute_relocated_head(StageJob& job) {
    const auto inner = decode_signed_block_header(job.work.bytes().first(job.head_size));
    if (!inner) return true;
    const std::uint64_t inner_payload = inner->payload_size;
    if (inner->total_size != inner_payload + kDigestOnlyHeadSize ||
        inner_payload < kDigestOnlyHeadSize) {
        return true;
    }
    if (!fits(job.input_size, job.stage_offset + inner_payload, kDigestOnlyHeadSize) ||
        !seek_to(job.input, job.stage_offset + inner_payload) ||
        !read_exact(job.input, {job.kept.data(), job.kept.size()}) ||
        !seek_to(job.input, job.stage_offset + job.head_size)) {
        return false;
    }
    std::memcpy(job.work.data(), job.kept.data(), job.kept.size());
    job.resigned = true;
    return true;
}

// Reads the head of the stage (the bytes the header region displaces) and
// feeds it to the digest.
bool hash_head(StageJob& job, Sha256& digest) {
    MutBytes head = job.work.bytes().first(job.head_size);
    if (!seek_to(job.input, job.stage_offset) || !read_exact(job.input, head)) return false;
    if (!substitute_relocated_head(job)) return false;
    digest.update(head);
    return true;
}

// Streams the rest of the stage in 16 KiB chunks, zero-padding the last one
// to a multiple of 16. A short read means the input ended early.
bool copy_tail(StageJob& job, Sha256& digest) {
    std::uint64_t remaining = job.stage_size - job.head_size;
    while (remaining > 0) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kStageChunkSize));
        const auto padded = static_cast<std::size_t>(round_up_16(want));
        MutBytes chunk = job.work.bytes().first(padded);
        std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(want), chunk.end(), 0);
        if (!read_exact(job.input, chunk.first(want))) return false;
        digest.update(chunk);
        if (!write_all(job.output, chunk)) return false;
        remaining -= want;
        job.stored += padded;
    }
    return true;
}

// Puts the signature (or the digest) into its slot and rewrites the header
// region over the placeholder.
bool seal_header_region(StageJob& job, SigningKey* key, const Digest& digest) {
    std::uint8_t* slot = job.area.data() + kSignedBlockHeaderSize;
    if (key != nullptr) {
        if (key->sign_sha256(digest, MutBytes(slot, key->length())) != 0) return false;
    } else {
        std::memcpy(slot, digest.data(), digest.size());
    }
    return seek_to(job.output, job.block_start) && write_all(job.output, header_region(job)) &&
           seek_end(job.output);
}

// Writes the head of the stage again, behind the payload it was displaced
// from.
bool write_relocated_head(StageJob& job) {
    MutBytes head = job.work.bytes().first(job.head_size);
    if (!seek_to(job.input, job.stage_offset) || !read_exact(job.input, head)) return false;
    if (job.resigned) std::memcpy(head.data(), job.kept.data(), job.kept.size());
    if (!write_all(job.output, head)) return false;
    job.stored += job.head_size;
    return true;
}

bool write_block(StageJob& job, SigningKey* key, std::uint32_t alignment) {
    const auto& h = job.header;
    if (!write_all(job.output, header_region(job))) return false;
    job.stored = h.payload_offset;
    Sha256 digest;
    digest.update(job.area.bytes().first(kSignedBlockHeaderSize));
    digest.update(job.area.bytes().subspan(h.key_offset, h.key_size));
    if (!hash_head(job, digest) || !copy_tail(job, digest)) return false;
    if (!seal_header_region(job, key, digest.finish())) return false;
    if (!write_relocated_head(job)) return false;
    const std::uint64_t rest = alignment != 0 ? job.stored % alignment : 0;
    if (rest != 0 && !write_zeros(job.output, alignment - rest)) return false;
    return std::fflush(job.output) == 0;
}

// Cuts the output back to where the block started, so that no half-written
// or unsigned block is left behind.
void discard_block(std::FILE* output, std::uint64_t block_start) {
    (void)std::fflush(output);
    (void)::ftruncate(::fileno(output), static_cast<off_t>(block_start));
    (void)seek_to(output, block_start);
}

}  // namespace

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
    StageJob job(input, output, stage_offset, stage_size);
    if (!job.area.ok() || !job.work.ok()) return kStageFailed;
    // The input must hold the whole stage; checking first means a truncated
    // input leaves the output untouched.
    const auto start = tell(output);
    const auto input_size = stream_size(input);
    if (!start || !input_size || *input_size < job.stage_offset + job.stage_size) {
        return kStageFailed;
    }
    job.block_start = *start;
    job.input_size = *input_size;
    if (!build_header_region(job, key != nullptr ? key->public_key() : nullptr)) return kStageFailed;
    if (!write_block(job, key, alignment)) {
        discard_block(output, job.block_start);
        return kStageFailed;
    }
    if (written_length != nullptr) *written_length = static_cast<std::int32_t>(job.stored);
    return kStageOk;
}
