// The audit of a bootloader: its BL2 area (keymax and BL2 block, or the
// BL2 block of digest mode), the table of contents, every stage, and the
// upgrade trailer, plain or decrypted as a device decrypts them.
#include <algorithm>
#include <memory>

#include "audit_walk.h"
#include "bl2_area.h"
#include "fip_toc.h"
#include "key_block.h"
#include "keymax_check.h"
#include "verify.h"

namespace audit_walk {

namespace {

// "01234567-89ab-cdef-0123-456789abcdef": the 16 bytes as stored, in the
// groups a UUID is written in.
std::string uuid_text(ConstBytes uuid) {
    const std::string h = hex(uuid);
    if (h.size() != 32) return h;
    return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) + "-" + h.substr(20);
}

// The BL2 block's checks: signed by a key of the keymax's user key matrix
// (signing mode) or carrying its digest (digest mode). Sets `signer` to
// the block's key in signing mode.
bool check_bl2_block(Audit& in, const zud_bl2_area& bl2, const zud_keymax* km, RsaKey& signer, bool& have_signer,
                     std::optional<Digest>& signer_digest) {
    const std::uint64_t block_at = bl2.block_offset;
    std::uint32_t offset = 0;
    if (km == nullptr) {
        const zud_result digest_ok = verify_block_fix(bl2.block, {}, &offset, zud_root_digests());
        return in.check(digest_ok.ok(), "bl2.digest", "BL2 block digest", block_at,
                        digest_ok.reason.empty() ? "refused" : digest_ok.reason);
    }
    std::array<std::uint8_t, kKeyMatrixSize> user_bytes{};
    encode_key_matrix(km->user, user_bytes);
    const zud_result signed_by_user = verify_block_fix(bl2.block, user_bytes, &offset, zud_root_digests());
    std::optional<zud_signer> who;
    RootDigest digest{};
    if (zud_load_rsa_puk(&signer.ctx, bl2.block, digest) == 0) {
        zud_signer s;
        s.key_digest = digest;
        s.bits = signer.ctx.len * 8;
        if (const auto i = signer_entry(km->user, bl2.block)) {
            s.place = zud_key_place::kUserMatrix;
            s.index = *i + 1;
        }
        who = s;
        signer_digest = digest;
        in.note_key(signer.ctx);
        have_signer = signed_by_user.ok();
    }
    return in.check(signed_by_user.ok(), "bl2.signature", "BL2 block signed by a key of the user key matrix",
                    block_at, signed_by_user.reason.empty() ? "refused" : signed_by_user.reason, who);
}

}  // namespace

void check_bootloader(Audit& in, const Source& s, bool encrypted, BootloaderExtent extent) {
    Buffer area(kBl2AreaSize);
    if (!area.ok() || !s.read(0, area.bytes())) {
        in.fail("bl2_area.layout", "BL2 area", 0, "the file is shorter than 49152 bytes");
        return;
    }
    AesCbc stage_cipher;
    if (encrypted) {
        AesCbc cipher;
        std::array<std::uint8_t, kAesBlockSize> iv{};
        if (!in.options.aes_key || cipher.set_decrypt_key(*in.options.aes_key) != 0 ||
            cipher.decrypt(area.bytes(), iv) != 0) {
            in.fail("bl2_area.decrypts", "BL2 area decrypts", 0, "it cannot be decrypted");
            return;
        }
        const Digest stage_key = sha256(area.bytes().first(kIvPrefixSize));
        (void)stage_cipher.set_decrypt_key(stage_key);
    }
    const auto bl2 = decode_bl2_area(area.bytes());
    if (encrypted) {
        if (!in.check(bl2.has_value(), "bl2_area.decrypts", "BL2 area decrypts with the AES key", 0,
                      "the AES key does not decrypt this bootloader (BL2 area does not decode); an upgrade file is "
                      "checked with --key and no AES key")) {
            return;
        }
    } else if (!bl2) {
        in.fail("bl2_area.layout", "BL2 area", 0, "no BL2 block");
        return;
    }
    zud_section& area_section = in.section("bl2_area", bl2->signing ? "BL2 area (signing mode)" : "BL2 area (digest mode)", 0);
    area_section.text("mode", bl2->signing ? "signing" : "digest");
    area_section.flag("encrypted", encrypted);
    const std::uint64_t block_at = bl2->block_offset;
    zud_section& block_section = in.section("bl2_block", "BL2 block", block_at);
    add_block_fields(block_section, bl2->header);

    std::optional<zud_keymax> km;
    if (bl2->signing) {
        km = audit_keymax(in, area.bytes().first(kKeymaxSize), 0, "");
        if (!km) return;
    }
    RsaKey signer;
    bool have_signer = false;
    std::optional<Digest> signer_digest;
    if (!check_bl2_block(in, *bl2, km ? &*km : nullptr, signer, have_signer, signer_digest)) return;
    in.check(block_at + bl2->header.payload_offset == kBl2PayloadFileOffset, "bl2.payload_offset", "BL2 payload at 4096",
             block_at, "the payload starts at " + number(block_at + bl2->header.payload_offset));
    if (fits(area.size(), kBl2PayloadFileOffset, kBl2PayloadSize)) {
        block_section.hex("payload_sha256", sha256(area.bytes().subspan(kBl2PayloadFileOffset, kBl2PayloadSize)));
        block_section.number("payload_bytes", kBl2PayloadSize);
    }
    area.clear();
    if (extent == BootloaderExtent::kBl2Area) return;
    TrailerDigests trailer_digests(s);

    // Table of contents and stages.
    Buffer region(kTocRegionSize);
    const Region toc_region(s, kFipOffset, kTocRegionSize, encrypted ? &stage_cipher : nullptr);
    if (!region.ok() || !toc_region.read(0, region.bytes())) {
        in.fail("toc.layout", "table of contents", kFipOffset, "the file ends inside it");
        return;
    }
    const char* reason = nullptr;
    const auto toc = decode_fip_toc(region.bytes(), &reason);
    if (!toc) {
        in.fail("toc.layout", "table of contents", kFipOffset, reason);
        return;
    }
    zud_section& toc_section = in.section("toc", "table of contents", kFipOffset);
    toc_section.number("entries", toc->entries.size());
    FipOutputLayout layout;
    for (std::size_t i = 0; i < toc->entries.size(); ++i) {
        const zud_toc_entry& e = toc->entries[i];
        const std::uint64_t at = kFipOffset + e.offset;
        const std::string id = "fip_stage_" + number(i);
        const char* known = fip_uuid_name(e.uuid);
        const std::string name = "stage " + number(i) + (known != nullptr ? std::string(" (") + known + ")" : "");
        zud_section& stage_section = in.section(id, name, at);
        stage_section.text("uuid", uuid_text(e.uuid));
        stage_section.text("name", known != nullptr ? known : "");
        stage_section.number("offset", e.offset);
        stage_section.number("size", e.size);
        if (!layout.follows(e) || !fits(s.size(), at, e.size)) {
            in.fail(id + ".place", name + " place in the table", kFipOffset,
                    "offset " + number(e.offset) + ", size " + number(e.size) +
                        " is not where the stage blocks follow one another");
            return;
        }
        const Region stage(s, at, e.size, encrypted ? &stage_cipher : nullptr);
        const zud_stored_block b = read_stored_block(stage, std::nullopt);
        const std::string check_id = id + (bl2->signing ? ".signature" : ".digest");
        if (!b.problem.empty()) {
            in.fail(check_id, name + (bl2->signing ? " signature" : " digest"), at, b.problem);
            return;
        }
        add_block_fields(stage_section, b.header);
        Sha256 payload;
        if (in.options.payload_digests && hash_stored_payload(stage, b, std::nullopt, payload)) {
            stage_section.hex("payload_sha256", payload.finish());
            stage_section.number("payload_bytes", b.stage_size);
        }
        in.check(b.header.total_size == e.size, id + ".size", name + " size is the table's", at,
                 "its block has " + number(b.header.total_size) + " bytes, the table says " + number(e.size));
        if (!bl2->signing) {
            in.check(!b.rsa, check_id, name + " digest", at, "it is signed where digest mode has digests");
            continue;
        }
        const zud_signer who = stored_block_signer(b, &km->user);
        if (!b.rsa) {
            in.fail(check_id, name + " signed by a key of the user key matrix", at,
                    "it carries a digest where signing mode has a signature");
            continue;
        }
        in.check(who.place == zud_key_place::kUserMatrix, check_id,
                 name + " signed by a key of the user key matrix", at,
                 "it is signed by key " + hex(b.key_digest) + ", which is not in the keymax's user key matrix", who);
    }
    const std::uint64_t next = layout.next();
    if (!in.check(toc->end.offset == next, "toc.end", "end of the table of contents", kFipOffset,
                  "the terminating entry points at " + number(toc->end.offset) + ", not " + number(next))) {
        return;
    }
    check_optional_trailer(in, s, kFipOffset + next, have_signer ? &signer.ctx : nullptr, signer_digest,
                           "give --key", &trailer_digests);
}

}  // namespace audit_walk
