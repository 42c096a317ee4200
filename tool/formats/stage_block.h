// The stored stage block: a signed block as the stage builder stores it (the
// FIP stages of a bootloader, the stages of a kernel image, the files the
// built-in key seals). The builder writes it; the device's loader, the
// verification routines, the audit and the kernel image command (reading a
// packaged image back) read it, all with the limits below.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <mbedtls/rsa.h>

#include "bytes.h"
#include "crypto.h"
#include "key_block.h"
#include "signed_block.h"

// ---------------------------------------------------------------------------
// Stored form
//
// A signed block header, the signature slot (sig_size bytes: an RSA
// signature, or the 32-byte SHA-256 digest when sig_type is 0), in a signed
// block the key block of the signing key, and the payload. The first three
// form the header region, P = payload_offset bytes. With S the stage size
// and S16 = S rounded up to 16:
//   S >= P:  [0, P) header region, [P, S16) stage bytes [P, S) then zeros,
//            [S16, S16 + P) stage bytes [0, P) (the head the header region
//            displaced). Stored length = total_size = P + S16. The digest
//            covers the 64 header bytes, the key block and the payload in
//            logical order (head, then tail with its zero padding).
//   S < P:   [0, P) header region, then the S stage bytes, unpadded. Stored
//            length = P + S, while payload_size and total_size still count
//            S16. The digest covers the header, the key block and exactly the
//            S stage bytes.
// Then zero bytes up to the alignment the writer asks for.

// The builder lays a header region out in a buffer of this size (a
// signature of up to 1024 bytes and its key block fit).
inline constexpr std::size_t kStageHeaderAreaSize = 8 * 1024;

// The largest header region a reader takes: the header, a 512-byte
// signature and the key block of a 4096-bit key (48 + 16 + 512 + 4 bytes,
// rounded up to 16), the most a device's loader keeps in its work area.
inline constexpr std::uint32_t kStageHeadMax = 1168;

// A digest-only block's header region: the header and the digest slot.
inline constexpr std::size_t kDigestOnlyHeadSize = kSignedBlockHeaderSize + kDigestSlotSize;

// The checks every reader of a stored block makes on its header before it
// follows any offset: the signed block header's own checks, the kind
// (sig_type 0 with a slot of at least 32 bytes, or 1 to 3 with sig_size
// 128, 256 or 512), a header region of at most kStageHeadMax bytes that
// holds the signature slot and the signed key block. The reason one
// fails, or nullptr.
const char* check_stage_block_header(const zud_signed_block_header& h);

// True when the header is that of a digest-only block whose stage was at
// least as long as its header region, so that its head was stored behind
// the tail: what the builder writes without a key for a stage of 96 bytes
// or more.
bool is_relocated_digest_block(const zud_signed_block_header& h);

// Feeds what the digest covers ahead of the payload: the 64 header bytes
// and the key_size bytes at signed_data_offset of the header region.
// `region` holds the header region (checked with check_stage_block_header).
void update_stage_digest_head(Sha256& sha, ConstBytes region, const zud_signed_block_header& h);

// ---------------------------------------------------------------------------
// Reading a stored block

// A stretch of plain bytes a stored block is read from, at offsets from its
// start (a file, a decrypting view of one, memory).
class StageBlockBytes {
public:
    virtual ~StageBlockBytes() = default;
    virtual std::uint64_t size() const = 0;
    // False when [at, at + out.size()) does not lie inside, or cannot be read.
    virtual bool read(std::uint64_t at, MutBytes out) const = 0;
};

// Feeds `count` bytes of `bytes` from `at` to `sha`, a piece of at most 1 MiB
// at a time; false when they cannot be read.
bool hash_stage_bytes(const StageBlockBytes& bytes, std::uint64_t at, std::uint64_t count, Sha256& sha);

// Plain bytes in memory.
class StageBlockMemory final : public StageBlockBytes {
public:
    explicit StageBlockMemory(ConstBytes bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read(std::uint64_t at, MutBytes out) const override;

private:
    ConstBytes bytes_;
};

// A stretch of an open file: `size` bytes from `base` (pread; the
// descriptor's position is neither used nor moved).
class StageBlockFile final : public StageBlockBytes {
public:
    StageBlockFile(int fd, std::uint64_t base, std::uint64_t size) : fd_(fd), base_(base), size_(size) {}
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t at, MutBytes out) const override;

private:
    int fd_;
    std::uint64_t base_;
    std::uint64_t size_;
};

// A stored block read back and checked.
struct zud_stored_block {
    zud_signed_block_header header;
    bool rsa = false;
    Digest key_digest{};          // the signing key's (RSA blocks)
    std::size_t key_bits = 0;
    std::uint64_t stage_size = 0; // the payload bytes the digest covers
    bool relocated = false;       // the head was stored behind the tail
    std::string problem;          // empty: the block verified
};

// Whether the digest a block carries (or, with `key`, its signature)
// matches its payload in logical order: with the head stored behind the
// tail, or, for a stage shorter than its header region, the stage right
// behind it, `stage_size` bytes when known. `region` is the block's header
// region. On a match, sets `out.stage_size` and `out.relocated`.
bool stored_block_matches(const StageBlockBytes& bytes, ConstBytes region,
                          const zud_signed_block_header& h, mbedtls_rsa_context* key,
                          std::optional<std::uint64_t> stage_size, zud_stored_block& out);

// Reads and checks the block that starts `bytes`: its header, the key it
// carries, and its signature or digest. `problem` says why it fails.
zud_stored_block read_stored_block(const StageBlockBytes& bytes,
                                   std::optional<std::uint64_t> stage_size);

// The payload of a verified stored block in its logical order, into `out`
// (stage_size bytes; for small payloads only, such as sealed files).
bool read_stored_payload(const StageBlockBytes& bytes, const zud_stored_block& b, MutBytes out);
