// Verification of signed blocks, keymax chains and key matrices.
#include "verify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "crypto.h"
#include "files.h"
#include "rsa.h"
#include "key_block.h"
#include "keymax.h"
#include "signed_block.h"
#include "rng.h"
#include "stage_block.h"

namespace {

constexpr std::uint8_t kBuiltRootDigests[kRootDigestCount][kRootDigestSize] = {
#include "zud_root_digests.inc"
};

std::array<RootDigest, kRootDigestCount> built_root_digests() {
    std::array<RootDigest, kRootDigestCount> table{};
    for (std::size_t i = 0; i < kRootDigestCount; ++i)
        std::copy_n(kBuiltRootDigests[i], kRootDigestSize, table[i].begin());
    return table;
}

std::array<RootDigest, kRootDigestCount> g_root_digests = built_root_digests();

constexpr std::size_t kSelfTestBlockSize = 512;

zud_result refuse(std::string reason) { return zud_result::failure(kVerifyFailed, std::move(reason)); }

// ---------------------------------------------------------------------------
// Key matrices

// A matrix whose header passes the checks a device makes (any matrix_size
// from 17 to 16384: the entries are read at their fixed places). The bytes
// must hold the 208-byte record.
std::optional<zud_key_matrix> checked_matrix(ConstBytes matrix, zud_result& result) {
    const auto header = decode_key_matrix_header(matrix);
    if (!header) {
        result = refuse(matrix.size() < kKeyMatrixHeaderSize ? "the key matrix is shorter than its 16-byte header"
                                                             : "no key matrix magic \"@KMX\"");
        return std::nullopt;
    }
    if (const char* reason = check_key_matrix_header(*header)) {
        result = refuse(reason);
        return std::nullopt;
    }
    const auto m = decode_key_matrix(matrix);
    if (!m) {
        result = refuse("the key matrix is shorter than its four entries");
        return std::nullopt;
    }
    return m;
}

// Entry i's digest: the stored key_digest of a digest-form entry, else the
// SHA-256 of its values, which lie in `matrix` (a key matrix carrying key
// data behind its entries).
zud_result entry_digest(ConstBytes matrix, const zud_key_matrix& m, std::size_t i, std::uint8_t* out) {
    const zud_key_header& entry = m.entries[i];
    if (is_digest_form(entry.key_type)) {
        std::copy(entry.key_digest.begin(), entry.key_digest.end(), out);
        return zud_result::success();
    }
    if (!fits(matrix.size(), entry.values_offset, entry.values_size)) {
        return refuse("a key entry's values lie outside the key matrix");
    }
    const Digest d = sha256(matrix.subspan(entry.values_offset, entry.values_size));
    std::copy(d.begin(), d.end(), out);
    return zud_result::success();
}

zud_result matrix_digest(ConstBytes matrix, std::span<std::uint8_t, kRootDigestSize> out) {
    zud_result result;
    const auto m = checked_matrix(matrix, result);
    if (!m) return result;
    std::array<std::uint8_t, kKeyMatrixEntries * kSha256Size> entries{};
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
        result = entry_digest(matrix, *m, i, entries.data() + i * kSha256Size);
        if (!result.ok()) return result;
    }
    const Digest d = sha256(entries);
    std::copy(d.begin(), d.end(), out.begin());
    return result;
}

bool in_roots(KeyDigestRef digest, RootDigests roots) {
    return std::any_of(roots.begin(), roots.end(), [&](const RootDigest& root) {
        return std::equal(root.begin(), root.end(), digest.begin());
    });
}

}  // namespace

zud_result verify_key_match(ConstBytes matrix, KeyDigestRef key_digest) {
    // Read from the entry_count field alone, as a device matches keys.
    const auto header = decode_key_matrix_header(matrix);
    if (!header) return refuse("the key matrix is too short for its entry_count");
    if (header->entry_count > 0 && !key_matrix_entry(matrix, header->entry_count - 1)) {
        return refuse("the key matrix entries reach beyond the buffer");
    }
    for (std::size_t i = 0; i < header->entry_count; ++i) {
        const auto entry = key_matrix_entry(matrix, i);
        if (std::equal(key_digest.begin(), key_digest.end(), entry->key_digest.begin())) {
            return zud_result::success();
        }
    }
    return refuse("the key is not in the key matrix");
}

namespace {

// ---------------------------------------------------------------------------
// Block checkers

enum class Kind { kDigest, kRsa };
enum class Layout { kFix, kPlain };

// The decoded header after the checks all three checkers share.
std::optional<zud_signed_block_header> checked_header(ConstBytes block, zud_result& result) {
    if (block.size() < kSignedBlockHeaderSize) {
        result = refuse("the buffer is too short for a signed block header");
        return std::nullopt;
    }
    const auto h = decode_signed_block_header(block);
    const char* reason = !h ? "no signed block magic \"@ZUD\"" : check_signed_block_header(*h);
    if (reason != nullptr) {
        result = refuse(reason);
        return std::nullopt;
    }
    return h;
}

// The kind as the fix checker tells it: by sig_type.
std::optional<Kind> kind_by_type(const zud_signed_block_header& h) {
    if (h.sig_type == 0) return Kind::kDigest;
    if (h.sig_type >= 1 && h.sig_type <= 3 && is_block_key_length(h.sig_size)) return Kind::kRsa;
    return std::nullopt;
}

// The kind as the plain checker tells it: by sig_size.
std::optional<Kind> kind_by_size(const zud_signed_block_header& h) {
    if (h.sig_size == kDigestSlotSize) return Kind::kDigest;
    if (is_block_key_length(h.sig_size)) return Kind::kRsa;
    return std::nullopt;
}

// The key a block carries, loaded from `region` (the part of the block the
// key must lie in), with the refusal of a signature longer than its slot.
zud_result load_block_key(RsaKey& key, ConstBytes region, const zud_signed_block_header& h,
                          Digest& key_digest) {
    if (const char* reason = decode_block_key(&key.ctx, region, key_digest)) return refuse(reason);
    if (key.ctx.len > h.sig_size) return refuse("the key's signature is longer than its slot");
    return zud_result::success();
}

struct Bl3xHead {
    std::array<std::uint8_t, kBl3xHeadMax> bytes{};
    std::uint32_t size = 0;
};

// Moves the payload head stored at payload_size back to offset 0, keeping
// the header region in `head`. The two areas may overlap.
void restore_payload_head(MutBytes block, const zud_signed_block_header& h, Bl3xHead& head) {
    head.size = h.payload_offset;
    std::memcpy(head.bytes.data(), block.data(), head.size);
    std::memmove(block.data(), block.data() + h.payload_size, head.size);
}

// Bounds shared by the fix and plain layouts. All regions lie inside the
// block's own total_size bytes; the payload the offset points at must be
// covered by the signature.
zud_result check_block_bounds(const zud_signed_block_header& h, Layout layout) {
    const std::uint32_t total = h.total_size;
    if (!fits(total, h.sig_offset, h.sig_size)) return refuse("the signature slot reaches beyond the block");
    if (!fits(total, h.signed_data_offset, h.signed_data_size)) {
        return refuse("the signed range reaches beyond the block");
    }
    if (!fits(total, h.payload_offset, h.payload_size)) return refuse("the payload reaches beyond the block");
    const std::uint64_t signed_end = std::uint64_t{h.signed_data_offset} + h.signed_data_size;
    if (h.payload_offset < h.signed_data_offset ||
        std::uint64_t{h.payload_offset} + h.payload_size > signed_end) {
        return refuse("the payload is not inside the signed range");
    }
    if (layout == Layout::kPlain) {
        const std::uint64_t copy_at = std::uint64_t{h.sig_offset} + h.sig_size;
        if (copy_at < h.signed_data_offset || copy_at + kSignedBlockHeaderSize > signed_end) {
            return refuse("the header copy is not inside the signed range");
        }
    }
    return zud_result::success();
}

Digest block_digest(ConstBytes block, const zud_signed_block_header& h, Layout layout) {
    Sha256 sha;
    if (layout == Layout::kFix) sha.update(block.first(kSignedBlockHeaderSize));
    sha.update(block.subspan(h.signed_data_offset, h.signed_data_size));
    return sha.finish();
}

zud_result check_layout_block(ConstBytes block, ConstBytes matrix, std::uint32_t* offset, Layout layout,
                              bool in_chain, RootDigests roots);

// A keymax-like block without a matrix: its payload carries the root key
// matrix, which must be in the root digest table and name the signing key,
// and the user key matrix that the next block's key must be in.
zud_result check_chain(ConstBytes block, const zud_signed_block_header& h, const Digest& key_digest,
                       std::uint32_t* offset, Layout layout, RootDigests roots) {
    const ConstBytes payload = block.subspan(h.payload_offset, h.payload_size);
    // What a device accepts as a root key matrix: four digest-form entries.
    if (zud_result r = verify_key_matrix(payload, nullptr); !r.ok()) return r;
    Digest digest{};
    if (zud_result r = matrix_digest(payload, digest); !r.ok()) return r;
    if (!in_roots(digest, roots)) return refuse("the root key matrix is not in the root digest table");
    if (!verify_key_match(payload, key_digest).ok()) {
        return refuse("the first block is not signed by a key of its root key matrix");
    }
    if (payload.size() < 2 * kKeyMatrixSize) {
        return refuse("the payload has no room for the user key matrix");
    }
    std::uint32_t next_offset = h.total_size;
    zud_result result = check_layout_block(block.subspan(h.total_size), payload.subspan(kKeyMatrixSize),
                                           &next_offset, layout, true, roots);
    if (offset != nullptr) *offset = next_offset;
    if (!result.ok() && !result.reason.empty()) result.reason = "second block: " + result.reason;
    return result;
}

// The RSA half of the fix and plain checkers, once the bounds hold. The key
// and the signature come from the block's own total_size bytes; a chain
// goes on behind them.
zud_result check_rsa_block(ConstBytes block, ConstBytes matrix, std::uint32_t* offset, Layout layout,
                           const zud_signed_block_header& h, const Digest& digest, RootDigests roots) {
    const ConstBytes own = block.first(h.total_size);
    RsaKey key;
    Digest key_digest{};
    if (zud_result r = load_block_key(key, own, h, key_digest); !r.ok()) return r;
    if (layout == Layout::kPlain && key.ctx.len != h.sig_size) {
        return refuse("sig_size differs from the key's modulus length");
    }
    if (zud_rsa_verify_sha256(&key.ctx, digest.data(), own.data() + h.sig_offset) != 0) {
        return refuse("the RSA signature does not verify");
    }
    if (matrix.empty()) return check_chain(block, h, key_digest, offset, layout, roots);
    if (!verify_key_match(matrix, key_digest).ok()) {
        return refuse("the block is not signed by a key of the key matrix");
    }
    const std::uint64_t start = std::uint64_t{offset != nullptr ? *offset : 0} + h.payload_offset;
    if (start > UINT32_MAX) return refuse("the payload offset does not fit 32 bits");
    if (offset != nullptr) *offset = static_cast<std::uint32_t>(start);
    return zud_result::success();
}

// The fix and plain checkers. `in_chain` marks the second block of a chain,
// which is always checked against the user key matrix.
zud_result check_layout_block(ConstBytes block, ConstBytes matrix, std::uint32_t* offset, Layout layout,
                              bool in_chain, RootDigests roots) {
    if (in_chain && matrix.empty()) return refuse("the second block of a chain has no user key matrix");
    zud_result result;
    const auto h = checked_header(block, result);
    if (!h) return result;
    const auto kind = layout == Layout::kFix ? kind_by_type(*h) : kind_by_size(*h);
    if (!kind) {
        return refuse(layout == Layout::kFix ? "sig_type and sig_size name no kind of block"
                                             : "sig_size names no kind of block");
    }
    if (h->total_size > block.size()) return refuse("total_size reaches beyond the buffer");
    const ConstBytes own = block.first(h->total_size);
    if (zud_result r = check_block_bounds(*h, layout); !r.ok()) return r;
    if (kind == Kind::kDigest && h->sig_size < kDigestSlotSize) {
        return refuse("the digest slot is shorter than 32 bytes");
    }
    if (layout == Layout::kPlain &&
        std::memcmp(own.data() + h->sig_offset + h->sig_size, own.data(), kSignedBlockHeaderSize) != 0) {
        return refuse("the header copy differs from the header");
    }
    if (zud_check_secure_set_match(*kind == Kind::kRsa ? 1 : 0) != 0) {
        return refuse("the secure-boot settings refuse this kind of block");
    }
    const Digest digest = block_digest(own, *h, layout);
    if (*kind == Kind::kRsa) return check_rsa_block(block, matrix, offset, layout, *h, digest, roots);
    if (!matrix.empty() || in_chain) {
        return refuse("a block that must be signed by a key of the key matrix carries only a digest");
    }
    if (!std::equal(digest.begin(), digest.end(), own.data() + h->sig_offset)) {
        return zud_result::failure(kVerifyDigestMismatch, "the digest does not match");
    }
    if (offset != nullptr) *offset = h->payload_offset;
    return zud_result::success();
}

// Reads a whole file for the file routines.
zud_result read_checked_file(const char* path, Buffer& out) {
    if (path == nullptr) return refuse("no file was given");
    std::string error;
    File f = open_input(path, error);
    if (!f) return refuse(error);
    const auto size = stream_size(f.get());
    if (!size) return refuse("the file's size cannot be taken");
    if (*size > kMaxCheckedFileSize) return refuse("the file is larger than 256 MiB");
    Buffer bytes(static_cast<std::size_t>(*size));
    if (!bytes.ok()) return refuse("no memory for the file");
    if (!read_exact(f.get(), bytes.bytes())) return refuse("the file cannot be read");
    out = std::move(bytes);
    return zud_result::success();
}

}  // namespace

// ---------------------------------------------------------------------------
// Root digest table

void zud_set_root_digests(std::span<const RootDigest, kRootDigestCount> digests) {
    std::copy(digests.begin(), digests.end(), g_root_digests.begin());
}

std::span<const RootDigest, kRootDigestCount> zud_root_digests() { return g_root_digests; }

int zud_check_root_key_sha2_with_efuse(KeyDigestRef digest) {
    return in_roots(digest, g_root_digests) ? kVerifyOk : kVerifyNotInRootTable;
}

// ---------------------------------------------------------------------------
// Key matrices

int zud_key_matrix_digest(ConstBytes matrix, std::span<std::uint8_t, kRootDigestSize> out) {
    return matrix_digest(matrix, out).number;
}

zud_result verify_key_matrix(ConstBytes matrix, const RootDigests* roots) {
    zud_result result;
    const auto m = checked_matrix(matrix, result);
    if (!m) return result;
    // A device takes only digest-form entries (it reads their key_digest).
    if (const char* reason = check_key_matrix(*m)) return refuse(reason);
    if (roots == nullptr) return result;
    if (!in_roots(key_matrix_root_digest(*m), *roots)) {
        return zud_result::failure(kVerifyNotInRootTable, "the key matrix is not in the root digest table");
    }
    return result;
}

int zud_tq_verify_key_matrix(ConstBytes matrix, int root_check) {
    const RootDigests roots = zud_root_digests();
    return verify_key_matrix(matrix, root_check != 0 ? &roots : nullptr).number;
}

int zud_key_match_check(ConstBytes matrix, KeyDigestRef key_digest) {
    return verify_key_match(matrix, key_digest).number;
}

zud_result verify_key_pair(ConstBytes matrix) {
    Digest unused{};
    if (zud_result r = matrix_digest(matrix, unused); !r.ok()) return r;
    zud_result result;
    const auto m = checked_matrix(matrix, result);
    std::optional<std::size_t> key_entry;
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
        if (!is_digest_form(m->entries[i].key_type)) key_entry = i;
    }
    if (!key_entry) return refuse("the key matrix carries no key to test");

    RsaKey key;
    const KeyFormatScope plain_mode(1);  // the matrix carries no CRT values
    if (const char* why = read_key_components(&key.ctx, matrix, m->entries[*key_entry], true)) {
        return refuse(why);
    }
    key.ctx.len = mbedtls_mpi_size(&key.ctx.N);
    if (key.ctx.len == 0 || key.ctx.len > kSelfTestBlockSize) {
        return refuse("the key's modulus is empty or longer than 512 bytes");
    }
    std::array<std::uint8_t, kSelfTestBlockSize> drawn{};
    fill_random(drawn);
    drawn[0] &= 0x7F;
    std::array<std::uint8_t, kSelfTestBlockSize> raised{};
    std::array<std::uint8_t, kSelfTestBlockSize> back{};
    if (zud_rsa_private(&key.ctx, drawn.data(), raised.data()) != 0 ||
        zud_rsa_public(&key.ctx, raised.data(), back.data()) != 0) {
        return zud_result::failure(kVerifyKeyTestFailed, "the key's RSA operation fails");
    }
    // A pair whose round trip changes the bytes is no key pair.
    if (!std::equal(back.begin(), back.begin() + static_cast<std::ptrdiff_t>(key.ctx.len), drawn.begin())) {
        return refuse("the key pair does not give back what it was given");
    }
    return result;
}

int zud_verify_key_matrix(ConstBytes matrix) { return verify_key_pair(matrix).number; }

// ---------------------------------------------------------------------------
// Signing keys and hooks

int zud_load_rsa_puk(mbedtls_rsa_context* ctx, ConstBytes block,
                     std::span<std::uint8_t, kRootDigestSize> key_digest) {
    return decode_block_key(ctx, block, key_digest) == nullptr ? kVerifyOk : kVerifyFailed;
}

int zud_check_secure_set_match(int /*rsa_signed*/) { return kVerifyOk; }

int zud_key_match_check_tpl(KeyDigestRef /*key_digest*/) { return kVerifyOk; }

// ---------------------------------------------------------------------------
// Block checkers

zud_result verify_block_bl3x(MutBytes block, std::uint32_t* offset, ConstBytes matrix) {
    zud_result result;
    const auto h = checked_header(block, result);
    if (!h) return result;
    if (const char* reason = check_stage_block_header(*h)) return refuse(reason);
    if (!fits(block.size(), h->payload_size, h->payload_offset)) {
        return refuse("the payload head stored at payload_size reaches beyond the buffer");
    }
    const bool rsa = h->sig_type != 0;
    RsaKey key;
    Digest key_digest{};
    if (rsa) {
        result = load_block_key(key, ConstBytes(block).first(h->payload_offset), *h, key_digest);
        if (!result.ok()) return result;
    }
    if (zud_check_secure_set_match(rsa ? 1 : 0) != 0) {
        return refuse("the secure-boot settings refuse this kind of block");
    }
    // A matrix given names who may sign: a block checked against one must be
    // signed, by a key it names (checked before anything is moved).
    if (!matrix.empty()) {
        if (!rsa) return refuse("a digest-only block names no key of the key matrix");
        if (zud_key_match_check(matrix, key_digest) != 0) return refuse("the signing key is not in the key matrix");
    }
    Bl3xHead head;
    restore_payload_head(block, *h, head);
    const ConstBytes region(head.bytes.data(), head.size);
    Sha256 sha;
    update_stage_digest_head(sha, region, *h);
    sha.update(block.first(h->payload_size));
    const Digest digest = sha.finish();
    const std::uint8_t* slot = region.data() + h->sig_offset;
    if (!rsa) {
        if (!std::equal(digest.begin(), digest.end(), slot)) {
            return zud_result::failure(kVerifyDigestMismatch, "the digest does not match");
        }
    } else {
        if (zud_key_match_check_tpl(key_digest) != 0) return refuse("the signing key is not accepted");
        if (zud_rsa_verify_sha256(&key.ctx, digest.data(), slot) != 0) {
            return zud_result::failure(kVerifyBadSignature, "the RSA signature does not verify");
        }
    }
    if (offset != nullptr) *offset = 0;
    return result;
}

zud_result verify_block_fix(ConstBytes block, ConstBytes matrix, std::uint32_t* offset,
                            RootDigests roots) {
    return check_layout_block(block, matrix, offset, Layout::kFix, false, roots);
}

zud_result verify_block_plain(ConstBytes block, ConstBytes matrix, std::uint32_t* offset,
                              RootDigests roots) {
    return check_layout_block(block, matrix, offset, Layout::kPlain, false, roots);
}

int zud_sig_check_buffer_bl3x(MutBytes block, ConstBytes matrix, std::uint32_t* offset) {
    return verify_block_bl3x(block, offset, matrix).number;
}

int zud_sig_check_buffer_fix(ConstBytes block, ConstBytes matrix, std::uint32_t* offset) {
    return verify_block_fix(block, matrix, offset, zud_root_digests()).number;
}

int zud_sig_check_buffer(ConstBytes block, ConstBytes matrix, std::uint32_t* offset) {
    return verify_block_plain(block, matrix, offset, zud_root_digests()).number;
}

// ---------------------------------------------------------------------------
// Files

int zud_sig_check_file_bl3x(const char* path) {
    Buffer file(0);
    if (!read_checked_file(path, file).ok()) return kVerifyFailed;
    std::uint32_t offset = 0;
    const int result = zud_sig_check_buffer_bl3x(file.bytes(), {}, &offset);
    if (result == kVerifyOk) std::printf("zud log : [%s] check pass\n", path);
    return result;
}

int zud_sig_check_file(const char* path) {
    Buffer file(0);
    if (!read_checked_file(path, file).ok()) return kVerifyFailed;
    constexpr std::size_t kLeadingBytes = 16;
    if (file.size() < kLeadingBytes) return kVerifyFailed;  // shorter than its 16 leading bytes
    std::uint32_t offset = 0;
    const int result = zud_sig_check_buffer_fix(file.bytes().subspan(kLeadingBytes), {}, &offset);
    if (result == kVerifyOk) {
        std::printf("zud log: BL2 is start from 0x%X \n",
                    static_cast<unsigned>(offset + kLeadingBytes));
    }
    return result;
}
