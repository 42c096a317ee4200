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

const char* g_failure_reason = nullptr;
char g_second_block_reason[128] = {};

// Records why a check refused its input and returns the refusal.
int refuse(const char* reason) {
    g_failure_reason = reason;
    return kVerifyFailed;
}

constexpr std::size_t kSelfTestBlockSize = 512;

bool is_rsa_length(std::size_t bytes) { return bytes == 128 || bytes == 256 || bytes == 512; }

// ---------------------------------------------------------------------------
// Keys

// Where a key's numbers are: a component table of `count` entries at
// `table_at` and the values_size bytes at values_at that the cursor walks.
struct KeyLayout {
    std::uint8_t count;
    std::uint16_t table_at;
    std::uint16_t values_at;
    std::uint16_t values_size;
};

KeyLayout key_layout(const zud_key_header& h) {
    return {h.component_count, h.key_data_offset, h.values_offset, h.values_size};
}

// The number a component id fills; the self-test also takes the cached
// Montgomery values. nullptr for any other id.
mbedtls_mpi* component_target(mbedtls_rsa_context* ctx, std::uint16_t id, bool self_test) {
    switch (id) {
        case kComponentModulus: return &ctx->N;
        case kComponentExponent: return &ctx->E;
        case kComponentPrivateExponent: return &ctx->D;
        case kComponentCachedRN: return self_test ? &ctx->RN : nullptr;
        case kComponentCachedRP: return self_test ? &ctx->RP : nullptr;
        case kComponentCachedRQ: return self_test ? &ctx->RQ : nullptr;
        default: return nullptr;
    }
}

// Reads the components into `ctx`. Each must lie inside the values region,
// which the caller has checked against `container`, and none may repeat: a
// second N read from elsewhere would replace the key that the digest names.
int read_key_components(mbedtls_rsa_context* ctx, ConstBytes container, const KeyLayout& k,
                        bool self_test) {
    if (!fits(container.size(), k.table_at, std::size_t{k.count} * kComponentEntrySize)) {
        return refuse("the key's component table lies outside its container");
    }
    const std::size_t values_end = std::size_t{k.values_at} + k.values_size;
    std::size_t cursor = k.values_at;
    std::uint32_t seen = 0;
    for (std::size_t i = 0; i < k.count; ++i) {
        const auto entry = decode_component_entry(container.subspan(k.table_at + i * kComponentEntrySize));
        const std::uint16_t id = entry->component_id;
        const std::uint16_t length = entry->length;
        mbedtls_mpi* target = component_target(ctx, id, self_test);
        if (target == nullptr) return refuse("a component_id names no number of the key");
        if ((seen & (1u << id)) != 0) return refuse("a component_id is given twice");
        seen |= 1u << id;
        if (!fits(values_end, cursor, length)) {
            return refuse("a component reaches beyond the key's values");
        }
        if (mbedtls_mpi_read_binary(target, container.data() + cursor, length) != 0) {
            return refuse("a component cannot be read as a number");
        }
        cursor += length;
    }
    return kVerifyOk;
}

// ---------------------------------------------------------------------------
// Key matrices

// A matrix whose header passes the checks a device makes (any matrix_size
// from 17 to 16384: the entries are read at their fixed places). The bytes
// must hold the 208-byte record.
std::optional<zud_key_matrix> checked_matrix(ConstBytes matrix) {
    const auto header = decode_key_matrix_header(matrix);
    if (!header) {
        refuse(matrix.size() < kKeyMatrixHeaderSize ? "the key matrix is shorter than its 16-byte header"
                                                    : "no key matrix magic \"@KMX\"");
        return std::nullopt;
    }
    if (const char* reason = check_key_matrix_header(*header)) {
        refuse(reason);
        return std::nullopt;
    }
    const auto m = decode_key_matrix(matrix);
    if (!m) {
        refuse("the key matrix is shorter than its four entries");
        return std::nullopt;
    }
    return m;
}

// Entry i's digest: the stored key_digest of a digest-form entry, else the
// SHA-256 of its values, which lie in `matrix` (a key matrix carrying key
// data behind its entries).
int entry_digest(ConstBytes matrix, const zud_key_matrix& m, std::size_t i, std::uint8_t* out) {
    const zud_key_header& entry = m.entries[i];
    if (is_digest_form(entry.key_type)) {
        std::copy(entry.key_digest.begin(), entry.key_digest.end(), out);
        return kVerifyOk;
    }
    const KeyLayout k = key_layout(entry);
    if (!fits(matrix.size(), k.values_at, k.values_size)) {
        return refuse("a key entry's values lie outside the key matrix");
    }
    const Digest d = sha256(matrix.subspan(k.values_at, k.values_size));
    std::copy(d.begin(), d.end(), out);
    return kVerifyOk;
}

// ---------------------------------------------------------------------------
// Block checkers

enum class Kind { kDigest, kRsa };
enum class Layout { kFix, kPlain };

// The decoded header after the checks all three checkers share.
std::optional<zud_signed_block_header> checked_header(ConstBytes block) {
    if (block.size() < kSignedBlockHeaderSize) {
        refuse("the buffer is too short for a signed block header");
        return std::nullopt;
    }
    const auto h = decode_signed_block_header(block);
    const char* reason = !h ? "no signed block magic \"@ZUD\"" : check_signed_block_header(*h);
    if (reason != nullptr) {
        refuse(reason);
        return std::nullopt;
    }
    return h;
}

// The kind as the bl3x and fix checkers tell it: by sig_type.
std::optional<Kind> kind_by_type(const zud_signed_block_header& h) {
    if (h.sig_type == 0) return Kind::kDigest;
    if (h.sig_type >= 1 && h.sig_type <= 3 && is_rsa_length(h.sig_size)) return Kind::kRsa;
    refuse("sig_type and sig_size name no kind of block");
    return std::nullopt;
}

// The kind as the plain checker tells it: by sig_size.
std::optional<Kind> kind_by_size(const zud_signed_block_header& h) {
    if (h.sig_size == kDigestSlotSize) return Kind::kDigest;
    if (is_rsa_length(h.sig_size)) return Kind::kRsa;
    refuse("sig_size names no kind of block");
    return std::nullopt;
}

// The key a block carries, loaded from `region` (the part of the block the
// key must lie in), with the refusal of a signature longer than its slot.
int load_block_key(RsaKey& key, ConstBytes region, const zud_signed_block_header& h,
                   Digest& key_digest) {
    if (zud_load_rsa_puk(&key.ctx, region, key_digest) != kVerifyOk) return kVerifyFailed;
    if (key.ctx.len > h.sig_size) return refuse("the key's signature is longer than its slot");
    return kVerifyOk;
}

struct Bl3xHead {
    std::array<std::uint8_t, kBl3xHeadMax> bytes{};
    std::uint32_t size = 0;
};

// Bounds of a block in the stage builder's stored form; the head is the
// header region, payload_offset bytes.
int check_bl3x_bounds(ConstBytes block, const zud_signed_block_header& h, Kind kind) {
    if (h.payload_offset > kBl3xHeadMax) return refuse("payload_offset is above 1168");
    if (!fits(block.size(), h.payload_size, h.payload_offset)) {
        return refuse("the payload head stored at payload_size reaches beyond the buffer");
    }
    if (!fits(h.payload_offset, h.sig_offset, h.sig_size)) {
        return refuse("the signature slot reaches beyond the header region");
    }
    if (!fits(h.payload_offset, h.signed_data_offset, h.key_size)) {
        return refuse("the signed key block reaches beyond the header region");
    }
    if (kind == Kind::kDigest && h.sig_size < kDigestSlotSize) {
        return refuse("the digest slot is shorter than 32 bytes");
    }
    return kVerifyOk;
}

// The digest of a stage block: the head's 64 header bytes and key block,
// then the payload that now starts the buffer.
Digest bl3x_digest(const Bl3xHead& head, ConstBytes block, const zud_signed_block_header& h) {
    const ConstBytes work(head.bytes.data(), head.size);
    Sha256 sha;
    sha.update(work.first(kSignedBlockHeaderSize));
    sha.update(work.subspan(h.signed_data_offset, h.key_size));
    sha.update(block.first(h.payload_size));
    return sha.finish();
}

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
int check_block_bounds(const zud_signed_block_header& h, Layout layout) {
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
    return kVerifyOk;
}

Digest block_digest(ConstBytes block, const zud_signed_block_header& h, Layout layout) {
    Sha256 sha;
    if (layout == Layout::kFix) sha.update(block.first(kSignedBlockHeaderSize));
    sha.update(block.subspan(h.signed_data_offset, h.signed_data_size));
    return sha.finish();
}

int check_layout_block(ConstBytes block, ConstBytes matrix, std::uint32_t* offset, Layout layout,
                       bool in_chain);

// A keymax-like block without a matrix: its payload carries the root key
// matrix, which must be in the root digest table and name the signing key,
// and the user key matrix that the next block's key must be in.
int check_chain(ConstBytes block, const zud_signed_block_header& h, const Digest& key_digest,
                std::uint32_t* offset, Layout layout) {
    const ConstBytes payload = block.subspan(h.payload_offset, h.payload_size);
    // What a device accepts as a root key matrix: four digest-form entries.
    if (zud_tq_verify_key_matrix(payload, 0) != kVerifyOk) return kVerifyFailed;
    Digest matrix_digest{};
    if (zud_key_matrix_digest(payload, matrix_digest) != kVerifyOk) return kVerifyFailed;
    if (zud_check_root_key_sha2_with_efuse(matrix_digest) != 0) {
        return refuse("the root key matrix is not in the root digest table");
    }
    if (zud_key_match_check(payload, key_digest) != kVerifyOk) {
        return refuse("the first block is not signed by a key of its root key matrix");
    }
    if (payload.size() < 2 * kKeyMatrixSize) {
        return refuse("the payload has no room for the user key matrix");
    }
    std::uint32_t next_offset = h.total_size;
    const int result = check_layout_block(block.subspan(h.total_size), payload.subspan(kKeyMatrixSize),
                                          &next_offset, layout, true);
    if (offset != nullptr) *offset = next_offset;
    if (result != kVerifyOk && g_failure_reason != nullptr) {
        std::snprintf(g_second_block_reason, sizeof g_second_block_reason, "second block: %s",
                      g_failure_reason);
        g_failure_reason = g_second_block_reason;
    }
    return result;
}

// The RSA half of the fix and plain checkers, once the bounds hold. The key
// and the signature come from the block's own total_size bytes; a chain
// goes on behind them.
int check_rsa_block(ConstBytes block, ConstBytes matrix, std::uint32_t* offset, Layout layout,
                    const zud_signed_block_header& h, const Digest& digest) {
    const ConstBytes own = block.first(h.total_size);
    RsaKey key;
    Digest key_digest{};
    if (load_block_key(key, own, h, key_digest) != kVerifyOk) return kVerifyFailed;
    if (layout == Layout::kPlain && key.ctx.len != h.sig_size) {
        return refuse("sig_size differs from the key's modulus length");
    }
    if (zud_rsa_verify_sha256(&key.ctx, digest.data(), own.data() + h.sig_offset) != 0) {
        return refuse("the RSA signature does not verify");
    }
    if (matrix.empty()) return check_chain(block, h, key_digest, offset, layout);
    if (zud_key_match_check(matrix, key_digest) != kVerifyOk) {
        return refuse("the block is not signed by a key of the key matrix");
    }
    const std::uint64_t start = std::uint64_t{offset != nullptr ? *offset : 0} + h.payload_offset;
    if (start > UINT32_MAX) return refuse("the payload offset does not fit 32 bits");
    if (offset != nullptr) *offset = static_cast<std::uint32_t>(start);
    return kVerifyOk;
}

// The fix and plain checkers. `in_chain` marks the second block of a chain,
// which is always checked against the user key matrix.
int check_layout_block(ConstBytes block, ConstBytes matrix, std::uint32_t* offset, Layout layout,
                       bool in_chain) {
    if (in_chain && matrix.empty()) return refuse("the second block of a chain has no user key matrix");
    const auto h = checked_header(block);
    if (!h) return kVerifyFailed;
    const auto kind = layout == Layout::kFix ? kind_by_type(*h) : kind_by_size(*h);
    if (!kind) return kVerifyFailed;
    if (h->total_size > block.size()) return refuse("total_size reaches beyond the buffer");
    const ConstBytes own = block.first(h->total_size);
    if (check_block_bounds(*h, layout) != kVerifyOk) return kVerifyFailed;
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
    if (*kind == Kind::kRsa) return check_rsa_block(block, matrix, offset, layout, *h, digest);
    if (!matrix.empty() || in_chain) {
        return refuse("a block that must be signed by a key of the key matrix carries only a digest");
    }
    const int compared = std::memcmp(digest.data(), own.data() + h->sig_offset, kSha256Size);
    if (compared != 0) {
        g_failure_reason = "the digest does not match";
        return compared;
    }
    if (offset != nullptr) *offset = h->payload_offset;
    return kVerifyOk;
}

// Reads a whole file for the file routines: 0 and the bytes, or -1.
int read_checked_file(const char* path, Buffer& out) {
    if (path == nullptr) return refuse("no file was given");
    File f = open_file(path, "rb");
    if (!f) return refuse("the file cannot be opened");
    const auto size = stream_size(f.get());
    if (!size) return refuse("the file's size cannot be taken");
    if (*size > kMaxCheckedFileSize) return refuse("the file is larger than 256 MiB");
    Buffer bytes(static_cast<std::size_t>(*size));
    if (!bytes.ok()) return refuse("no memory for the file");
    if (!read_exact(f.get(), bytes.bytes())) return refuse("the file cannot be read");
    out = std::move(bytes);
    return kVerifyOk;
}

}  // namespace

// ---------------------------------------------------------------------------
// Root digest table

void zud_set_root_digests(std::span<const RootDigest, kRootDigestCount> digests) {
    std::copy(digests.begin(), digests.end(), g_root_digests.begin());
}

std::span<const RootDigest, kRootDigestCount> zud_root_digests() { return g_root_digests; }

int zud_check_root_key_sha2_with_efuse(KeyDigestRef digest) {
    int compared = 1;
    for (const RootDigest& root : g_root_digests) {
        compared = std::memcmp(digest.data(), root.data(), kRootDigestSize);
        if (compared == 0) return kVerifyOk;
    }
    return compared;
}

// ---------------------------------------------------------------------------
// Key matrices

int zud_key_matrix_digest(ConstBytes matrix, std::span<std::uint8_t, kRootDigestSize> out) {
    const auto m = checked_matrix(matrix);
    if (!m) return kVerifyFailed;
    std::array<std::uint8_t, kKeyMatrixEntries * kSha256Size> entries{};
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
        if (entry_digest(matrix, *m, i, entries.data() + i * kSha256Size) != kVerifyOk) return kVerifyFailed;
    }
    const Digest d = sha256(entries);
    std::copy(d.begin(), d.end(), out.begin());
    return kVerifyOk;
}

int zud_tq_verify_key_matrix(ConstBytes matrix, int root_check) {
    const auto m = checked_matrix(matrix);
    if (!m) return kVerifyFailed;
    // A device takes only digest-form entries (it reads their key_digest).
    if (const char* reason = check_key_matrix(*m)) return refuse(reason);
    if (root_check == 0) return kVerifyOk;
    const int in_table = zud_check_root_key_sha2_with_efuse(key_matrix_root_digest(*m));
    if (in_table != 0) g_failure_reason = "the key matrix is not in the root digest table";
    return in_table;
}

int zud_key_match_check(ConstBytes matrix, KeyDigestRef key_digest) {
    // Read from the entry_count field alone, as a device matches keys.
    const auto header = decode_key_matrix_header(matrix);
    if (!header) return refuse("the key matrix is too short for its entry_count");
    if (header->entry_count > 0 && !key_matrix_entry(matrix, header->entry_count - 1)) {
        return refuse("the key matrix entries reach beyond the buffer");
    }
    for (std::size_t i = 0; i < header->entry_count; ++i) {
        const auto entry = key_matrix_entry(matrix, i);
        if (std::equal(key_digest.begin(), key_digest.end(), entry->key_digest.begin())) return kVerifyOk;
    }
    return refuse("the key is not in the key matrix");
}

int zud_verify_key_matrix(ConstBytes matrix) {
    Digest unused{};
    if (zud_key_matrix_digest(matrix, unused) != kVerifyOk) return kVerifyFailed;
    const auto m = checked_matrix(matrix);
    std::optional<std::size_t> key_entry;
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
        if (!is_digest_form(m->entries[i].key_type)) key_entry = i;
    }
    if (!key_entry) return refuse("the key matrix carries no key to test");

    RsaKey key;
    const KeyFormatScope plain_mode(1);  // the matrix carries no CRT values
    if (read_key_components(&key.ctx, matrix, key_layout(m->entries[*key_entry]), true) != kVerifyOk) {
        return kVerifyFailed;
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
    int result = zud_rsa_private(&key.ctx, drawn.data(), raised.data());
    if (result == 0) result = zud_rsa_public(&key.ctx, raised.data(), back.data());
    if (result != 0) {
        g_failure_reason = "the key's RSA operation fails";
        return result;
    }
    // A pair whose round trip changes the bytes is no key pair.
    if (std::memcmp(back.data(), drawn.data(), key.ctx.len) != 0) {
        return refuse("the key pair does not give back what it was given");
    }
    return kVerifyOk;
}

// ---------------------------------------------------------------------------
// Signing keys and hooks

int zud_load_rsa_puk(mbedtls_rsa_context* ctx, ConstBytes block,
                     std::span<std::uint8_t, kRootDigestSize> key_digest) {
    if (ctx == nullptr || block.data() == nullptr) return refuse("no key context or no block");
    const auto h = decode_signed_block_header(block);
    if (block.size() < kSignedBlockHeaderSize) return refuse("the buffer is too short for a signed block header");
    if (!h) return refuse("no signed block magic \"@ZUD\"");
    if (!fits(block.size(), h->key_offset, kKeyHeaderSize)) return refuse("the key header lies outside the block");
    const auto key_header = decode_key_header(block.subspan(h->key_offset, kKeyHeaderSize));
    if (!key_header) return refuse("no key header magic \"@KEY\" at key_offset");
    const KeyLayout k = key_layout(*key_header);
    if (!fits(block.size(), k.values_at, k.values_size)) return refuse("the key's values lie outside the block");
    const Digest d = sha256(block.subspan(k.values_at, k.values_size));
    std::copy(d.begin(), d.end(), key_digest.begin());
    if (read_key_components(ctx, block, k, false) != kVerifyOk) return kVerifyFailed;
    ctx->len = mbedtls_mpi_size(&ctx->N);
    if (!is_rsa_length(ctx->len)) return refuse("the key's modulus is not 1024, 2048 or 4096 bits");
    return kVerifyOk;
}

int zud_check_secure_set_match(int /*rsa_signed*/) { return kVerifyOk; }

int zud_key_match_check_tpl(KeyDigestRef /*key_digest*/) { return kVerifyOk; }

// ---------------------------------------------------------------------------
// Block checkers

int zud_sig_check_buffer_bl3x(MutBytes block, ConstBytes /*matrix*/, std::uint32_t* offset) {
    g_failure_reason = nullptr;
    const auto h = checked_header(block);
    if (!h) return kVerifyFailed;
    const auto kind = kind_by_type(*h);
    if (!kind || check_bl3x_bounds(block, *h, *kind) != kVerifyOk) return kVerifyFailed;
    RsaKey key;
    Digest key_digest{};
    if (*kind == Kind::kRsa &&
        load_block_key(key, ConstBytes(block).first(h->payload_offset), *h, key_digest) != kVerifyOk) {
        return kVerifyFailed;
    }
    if (zud_check_secure_set_match(*kind == Kind::kRsa ? 1 : 0) != 0) {
        return refuse("the secure-boot settings refuse this kind of block");
    }
    Bl3xHead head;
    restore_payload_head(block, *h, head);
    const Digest digest = bl3x_digest(head, block, *h);
    const std::uint8_t* slot = head.bytes.data() + h->sig_offset;
    if (*kind == Kind::kDigest) {
        const int compared = std::memcmp(digest.data(), slot, kSha256Size);
        if (compared != 0) {
            g_failure_reason = "the digest does not match";
            return compared;
        }
    } else {
        if (zud_key_match_check_tpl(key_digest) != 0) return refuse("the signing key is not accepted");
        if (zud_rsa_verify_sha256(&key.ctx, digest.data(), slot) != 0) {
            g_failure_reason = "the RSA signature does not verify";
            return kVerifyBadSignature;
        }
    }
    if (offset != nullptr) *offset = 0;
    return kVerifyOk;
}

int zud_sig_check_buffer_fix(ConstBytes block, ConstBytes matrix, std::uint32_t* offset) {
    g_failure_reason = nullptr;
    return check_layout_block(block, matrix, offset, Layout::kFix, false);
}

int zud_sig_check_buffer(ConstBytes block, ConstBytes matrix, std::uint32_t* offset) {
    g_failure_reason = nullptr;
    return check_layout_block(block, matrix, offset, Layout::kPlain, false);
}

const char* zud_verify_failure_reason() { return g_failure_reason; }

// ---------------------------------------------------------------------------
// Files

int zud_sig_check_file_bl3x(const char* path) {
    g_failure_reason = nullptr;
    Buffer file(0);
    if (read_checked_file(path, file) != kVerifyOk) return kVerifyFailed;
    std::uint32_t offset = 0;
    const int result = zud_sig_check_buffer_bl3x(file.bytes(), {}, &offset);
    if (result == kVerifyOk) std::printf("zud log : [%s] check pass\n", path);
    return result;
}

int zud_sig_check_file(const char* path) {
    g_failure_reason = nullptr;
    Buffer file(0);
    if (read_checked_file(path, file) != kVerifyOk) return kVerifyFailed;
    constexpr std::size_t kLeadingBytes = 16;
    if (file.size() < kLeadingBytes) return refuse("the file is shorter than its 16 leading bytes");
    std::uint32_t offset = 0;
    const int result = zud_sig_check_buffer_fix(file.bytes().subspan(kLeadingBytes), {}, &offset);
    if (result == kVerifyOk) {
        std::printf("zud log: BL2 is start from 0x%X \n",
                    static_cast<unsigned>(offset + kLeadingBytes));
    }
    return result;
}
