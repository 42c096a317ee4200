// The stored stage block's reader, shared by every part that reads one.
#include "stage_block.h"

#include <algorithm>
#include <array>

#include "files.h"
#include "rsa.h"

namespace {

// The payload is hashed through a buffer of this size.
constexpr std::size_t kHashPiece = 1 << 20;

bool digest_matches(ConstBytes region, const zud_signed_block_header& h, mbedtls_rsa_context* key,
                    const Digest& digest) {
    const std::uint8_t* slot = region.data() + h.sig_offset;
    if (key == nullptr) return std::equal(digest.begin(), digest.end(), slot);
    return zud_rsa_verify_sha256(key, digest.data(), slot) == 0;
}

}  // namespace

const char* check_stage_block_header(const zud_signed_block_header& h) {
    if (const char* reason = check_signed_block_header(h)) return reason;
    if (h.sig_type != 0 && (h.sig_type > 3 || !is_block_key_length(h.sig_size))) {
        return "sig_type and sig_size name no kind of block";
    }
    if (h.sig_type == 0 && h.sig_size < kDigestSlotSize) return "the digest slot is shorter than 32 bytes";
    if (h.payload_offset > kStageHeadMax) return "payload_offset is above 1168";
    if (!fits(h.payload_offset, h.sig_offset, h.sig_size)) {
        return "the signature slot reaches beyond the header region";
    }
    if (!fits(h.payload_offset, h.signed_data_offset, h.key_size)) {
        return "the signed key block reaches beyond the header region";
    }
    return nullptr;
}

bool is_relocated_digest_block(const zud_signed_block_header& h) {
    const std::uint64_t payload = h.payload_size;
    return h.sig_type == 0 && h.total_size == payload + kDigestOnlyHeadSize &&
           payload >= kDigestOnlyHeadSize;
}

void update_stage_digest_head(Sha256& sha, ConstBytes region, const zud_signed_block_header& h) {
    sha.update(region.first(kSignedBlockHeaderSize));
    sha.update(region.subspan(h.signed_data_offset, h.key_size));
}

bool hash_stage_bytes(const StageBlockBytes& bytes, std::uint64_t at, std::uint64_t count, Sha256& sha) {
    Buffer piece(static_cast<std::size_t>(std::min<std::uint64_t>(count, kHashPiece)));
    if (!piece.ok() && count != 0) return false;
    while (count > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, piece.size()));
        if (!bytes.read(at, piece.bytes().first(n))) return false;
        sha.update(piece.bytes().first(n));
        at += n;
        count -= n;
    }
    return true;
}

bool StageBlockMemory::read(std::uint64_t at, MutBytes out) const {
    if (!fits(bytes_.size(), at, out.size())) return false;
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
    return true;
}

bool StageBlockFile::read(std::uint64_t at, MutBytes out) const {
    return fits(size_, at, out.size()) && pread_full(fd_, out, base_ + at) == out.size();
}

bool stored_block_matches(const StageBlockBytes& bytes, ConstBytes region,
                          const zud_signed_block_header& h, mbedtls_rsa_context* key,
                          std::optional<std::uint64_t> stage_size, zud_stored_block& out) {
    const std::uint32_t p = h.payload_offset;
    const std::uint64_t s16 = h.payload_size;
    // The head stored behind the tail.
    if (s16 >= p && fits(bytes.size(), s16, p)) {
        Sha256 sha;
        update_stage_digest_head(sha, region, h);
        Buffer stored_head(p);
        if (stored_head.ok() && bytes.read(s16, stored_head.bytes())) {
            sha.update(stored_head.bytes());
            if (hash_stage_bytes(bytes, p, s16 - p, sha) && digest_matches(region, h, key, sha.finish())) {
                out.stage_size = s16;
                out.relocated = true;
                return true;
            }
        }
    }
    // A short stage right behind the header region: its length is within 15
    // bytes of payload_size.
    if (s16 <= p) {
        const std::uint64_t low = s16 >= 15 ? s16 - 15 : 0;
        for (std::uint64_t n = s16 + 1; n-- > low;) {
            if (stage_size && n != *stage_size) continue;
            if (round_up_16(n) != s16 || !fits(bytes.size(), p, n)) continue;
            Sha256 sha;
            update_stage_digest_head(sha, region, h);
            if (hash_stage_bytes(bytes, p, n, sha) && digest_matches(region, h, key, sha.finish())) {
                out.stage_size = n;
                out.relocated = false;
                return true;
            }
        }
    }
    return false;
}

zud_stored_block read_stored_block(const StageBlockBytes& bytes,
                                   std::optional<std::uint64_t> stage_size) {
    zud_stored_block b;
    const auto problem = [&](const char* why) {
        b.problem = why;
        return b;
    };
    std::array<std::uint8_t, kSignedBlockHeaderSize> head{};
    if (!bytes.read(0, head)) return problem("it is shorter than a signed block header");
    const auto h = decode_signed_block_header(head);
    if (!h) return problem("no signed block magic \"@ZUD\"");
    if (const char* why = check_signed_block_header(*h)) return problem(why);
    b.header = *h;
    b.rsa = h->sig_type != 0;
    if (const char* why = check_stage_block_header(*h)) return problem(why);
    // A stage shorter than the header region is stored unpadded, so its
    // total_size may count up to 15 bytes more than it stores.
    if (h->total_size > round_up_16(bytes.size())) {
        return problem("total_size reaches beyond the block's place in the file");
    }
    Buffer region(h->payload_offset);
    if (!region.ok() || !bytes.read(0, region.bytes())) return problem("the header region cannot be read");
    RsaKey key;
    if (b.rsa) {
        if (const char* why = decode_block_key(&key.ctx, region.bytes(), b.key_digest)) return problem(why);
        if (key.ctx.len > h->sig_size) return problem("the key's signature is longer than its slot");
        b.key_bits = key.ctx.len * 8;
    }
    if (stored_block_matches(bytes, region.bytes(), *h, b.rsa ? &key.ctx : nullptr, stage_size, b)) return b;
    return problem(b.rsa ? "the RSA signature does not verify" : "the digest does not match");
}

bool read_stored_payload(const StageBlockBytes& bytes, const zud_stored_block& b, MutBytes out) {
    const std::uint32_t p = b.header.payload_offset;
    if (out.size() != b.stage_size) return false;
    if (!b.relocated) return bytes.read(p, out);
    return bytes.read(b.header.payload_size, out.first(p)) &&
           bytes.read(p, out.subspan(p, b.stage_size - p));
}
