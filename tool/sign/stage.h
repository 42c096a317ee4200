// Signed stage builder: turns one region of an input file into a signed
// block appended to an output file, streaming the region through fixed
// buffers.
#pragma once

#include <cstdint>
#include <array>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

#include <mbedtls/rsa.h>

#include "bytes.h"
#include "crypto.h"
#include "signed_block.h"
#include "stage_block.h"

// The stored form the builder writes is the stored stage block
// (stage_block.h).

// Stages are read in pieces of this size.
inline constexpr std::size_t kStagePieceSize = 1024 * 1024;
inline constexpr std::uint32_t kMaxStageAlignment = 64 * 1024;
// Blocks are refused when their total_size would not fit the signed 32-bit
// written length.
inline constexpr std::uint64_t kMaxSignedBlockSize = 0x7FFFFFFF;

enum StageResult : int {
    kStageOk = 0,
    kStageFailed = -1,
};

// Builds the signed block of the `stage_size` bytes at `stage_offset` in
// `input` and writes it at the current position of `output`, followed by zero
// bytes up to a multiple of `alignment` (0 for none, else a power of two of at
// most 65536). With `ctx` the block is signed (PKCS#1 v1.5, SHA-256) and
// carries the public key; without, the signature slot holds the digest.
// A stage that is itself a digest-only block (total_size = payload_size + 96)
// is re-signed over its logical payload: the 96 bytes stored at its
// payload_size stand for its header region. They may lie past the stage (a
// packaged kernel image's header page names only the part) but must lie
// inside the input.
//
// Draws two rand() values with a key (the nonce, then the key block's
// timestamp), one without. Reports the stored length without the alignment
// bytes through `written_length` and returns 0; the output is then positioned
// at its end. Returns -1 when a stream is missing, the alignment is not
// supported, the key's modulus is not 128, 256, 512 or 1024 bytes, the block
// would exceed kMaxSignedBlockSize, the input does not hold the whole stage
// (or the kept head of a stage being re-signed),
// memory runs out, the signature cannot be made, or a read or write fails.
// Refusals are made before anything is written; a failure after writing began
// cuts the output back to where the block started.
int zud_sig_boot_file_buffer(std::FILE* input, std::uint32_t stage_offset,
                             std::uint32_t stage_size, std::int32_t* written_length,
                             mbedtls_rsa_context* ctx, std::FILE* output,
                             std::uint32_t alignment);

class SigningKey;
class Progress;

// The same with a signing key in any custody (a key file, a PEM key, a
// token), or null for a digest-only block; the commands sign through this
// one. zud_sig_boot_file_buffer signs through it too, its context wrapped in
// a signer that keeps to g_nVQ_RSA_keyFormat.
int zud_sig_boot_file_buffer_key(std::FILE* input, std::uint32_t stage_offset,
                                 std::uint32_t stage_size, std::int32_t* written_length,
                                 SigningKey* key, std::FILE* output, std::uint32_t alignment);

// ---------------------------------------------------------------------------
// A stage block in two passes
//
// For writers that must know the whole header region before the block's
// first byte is written (an encrypted block starts its CBC chain there) and
// that stream large stages through large buffers. zud_stage_begin draws
// the nonce (and with a key the key block's timestamp) and lays out the
// header region; zud_stage_sign reads the stage and signs it (or stores its
// digest); a StageEmitter then reads it again and hands out the stored
// bytes in order. The bytes are those zud_sig_boot_file_buffer writes.

struct zud_stage_block {
    zud_signed_block_header header;
    std::array<std::uint8_t, kStageHeaderAreaSize> region{};  // the first payload_offset bytes
    std::uint64_t stage_offset = 0;
    std::uint64_t stage_size = 0;
    std::uint64_t head_size = 0;      // min(payload_offset, stage size)
    std::uint64_t stored_length = 0;  // the block's stored bytes, before alignment
    bool resigned = false;            // the stage is a digest-only block's part
    std::array<std::uint8_t, kSignedBlockHeaderSize + kDigestSlotSize> kept{};
};

// Checks the input holds the stage (and, for a stage being re-signed, its
// kept head), draws and lays out the header region. 0 or -1 (nothing drawn
// when the stage is refused before the nonce).
int zud_stage_begin(int input_fd, std::uint64_t input_size, std::uint64_t stage_offset,
                    std::uint64_t stage_size, SigningKey* key, zud_stage_block& block);

// Reads the stage through `piece` and puts the signature (or the digest)
// into the header region. 0 or -1.
int zud_stage_sign(int input_fd, zud_stage_block& block, SigningKey* key, MutBytes piece);

// zud_stage_sign in two steps, for writers that digest several stages at
// once: the digest the block carries or signs (nullopt when the stage cannot
// be read; the block is only read, so stages may be digested on different
// threads), and the step that signs it into the header region (on one
// thread: a key is not shared between threads).
std::optional<Digest> zud_stage_digest(int input_fd, const zud_stage_block& block, MutBytes piece,
                                       Progress* progress = nullptr);
int zud_stage_seal(zud_stage_block& block, SigningKey* key, const Digest& digest);

// (Each reads the stage's bytes and counts them into `progress`.)
// zud_stage_digest for several stages, two at a time on two threads when
// there are several (each with its own buffer). An entry is nullopt when its
// stage could not be read or no buffer could be had.
std::vector<std::optional<Digest>> zud_stage_digests(int input_fd,
                                                     std::span<const zud_stage_block> blocks,
                                                     Progress* progress = nullptr);

// Hands out the stored bytes of a signed block, then zero bytes up to
// `length` (at least the stored length).
class StageEmitter {
public:
    StageEmitter(int input_fd, const zud_stage_block& block, std::uint64_t length);
    // Fills `out` (its size a multiple of 16) with the next bytes; returns
    // how many (fewer only at the end; 0 when done), or -1 when the input
    // cannot be read.
    std::int64_t fill(MutBytes out);
    std::uint64_t remaining() const { return length_ - at_; }

private:
    int fd_;
    const zud_stage_block& block_;
    std::uint64_t length_;
    std::uint64_t at_ = 0;
};
