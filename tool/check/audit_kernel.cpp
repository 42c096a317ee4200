// The audit of a kernel image: the boot image header, and either the image
// security header with its three signed (and encrypted) stages and the
// upgrade trailer, or the three digest-only stages of a packaged image.
#include <memory>

#include "audit_walk.h"
#include "boot_image.h"
#include "image_header.h"
#include "key_block.h"
#include "verify.h"

namespace audit_walk {

namespace {

const char* const kStageNames[] = {"kernel", "ramdisk", "second stage"};

void check_signed_kernel(Audit& in, const Source& s, ConstBytes page, const zud_boot_image_header& boot) {
    const auto sec = decode_image_security_header(page);
    zud_section& header = in.section("image_security_header", "image security header", kSecurityHeaderOffset);
    if (!sec) {
        in.fail("image_security_header", "image security header", kSecurityHeaderOffset, "it cannot be read");
        return;
    }
    header.number("format_word", sec->format_word);
    header.number("stage_count", sec->stage_count);
    header.text("timestamp", std::string(sec->timestamp.begin(), sec->timestamp.end()));
    const char* bad = check_image_security_header(*sec);
    if (!in.check(bad == nullptr, "image_security_header", "image security header", kSecurityHeaderOffset,
                  bad ? bad : "")) {
        return;
    }
    in.check(boot.kernel_size == sec->stages[0].stage_space && boot.ramdisk_size == sec->stages[1].stage_space &&
                 boot.second_size == sec->stages[2].part_size,
             "header_page.sizes", "header page sizes", 0,
             "the kernel and ramdisk sizes are not the stored stages' and the second stage's not its part's");
    TrailerDigests trailer_digests(s);
    // The keymax whose user key matrix must name the stages' signer.
    const std::optional<zud_keymax> km = keymax_in_force(in);
    AesCbc cipher;
    const bool decrypt = in.options.aes_key.has_value() && cipher.set_decrypt_key(*in.options.aes_key) == 0;
    std::optional<Digest> key_digest;
    std::optional<zud_signer> first_signer;
    std::unique_ptr<RsaKey> carried;
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        const zud_stage_record& r = sec->stages[i];
        const std::string id = "stage_" + number(i);
        const std::string name = "stage " + number(i) + " (" + kStageNames[i] + ")";
        zud_section& rec = in.section(id, name, r.stage_offset);
        rec.number("part_size", r.part_size);
        rec.number("stage_length", r.stage_length);
        rec.number("stage_space", r.stage_space);
        rec.hex("stage_digest", r.stage_digest);
        rec.hex("key_hash", r.key_hash);
        if (!fits(s.size(), r.stage_offset, r.stage_space)) {
            in.fail(id + ".place", name, r.stage_offset, "it reaches past the end of the file");
            return;
        }
        Sha256 sha;
        const Region stored(s, r.stage_offset, r.stage_space, nullptr);
        const bool read = hash_stage_bytes(stored, 0, r.stage_space, sha);
        sha.update(stage_digest_suffix(r.stage_space));
        in.check(read && sha.finish() == r.stage_digest, id + ".stored_digest", name + " digest of its stored bytes",
                 r.stage_offset, "stage_digest differs from the stored stage's");
        if (!decrypt) {
            in.not_checked(id + ".signature", name + " signature", "it is encrypted (give --aes-key or --user-key)",
                           r.stage_offset);
            continue;
        }
        const Region plain(s, r.stage_offset, r.stage_space, &cipher);
        const zud_stored_block b = read_stored_block(plain, r.part_size);
        if (!b.problem.empty()) {
            in.fail(id + ".signature", name + " signature", r.stage_offset, b.problem);
            continue;
        }
        const zud_signer who = stored_block_signer(b, km ? &km->user : nullptr);
        const bool layout = b.rsa && b.header.payload_size == round_up_16(r.part_size) &&
                            b.stage_size == (b.relocated ? round_up_16(r.part_size) : r.part_size) &&
                            r.stage_length == (b.relocated ? b.header.total_size : b.header.payload_offset + r.part_size);
        in.check(layout, id + ".signature", name + " signature", r.stage_offset,
                 "its sizes are not those of its stage record", who);
        Sha256 payload;
        if (layout && in.options.payload_digests && hash_stored_payload(plain, b, r.part_size, payload)) {
            rec.hex("payload_sha256", payload.finish());
            rec.number("payload_bytes", r.part_size);
        }
        rec.hex("signer_key_digest", b.key_digest);
        if (km) {
            in.check(who.place == zud_key_place::kUserMatrix, id + ".signer_in_keymax",
                     name + " signer is a key of the keymax's user key matrix", r.stage_offset,
                     "it is signed by key " + hex(b.key_digest) + ", which is not in the user key matrix of the keymax given",
                     who);
        } else {
            in.not_checked(id + ".signer_in_keymax", name + " signer is a key of the keymax's user key matrix",
                           "no keymax to check it against (give --user-key or --keymax)", r.stage_offset);
        }
        if (!key_digest) {
            key_digest = b.key_digest;
            first_signer = who;
            carried = std::make_unique<RsaKey>();
            std::array<std::uint8_t, kStageHeadMax> head{};
            RootDigest unused{};
            if (!plain.read(0, MutBytes(head).first(b.header.payload_offset)) ||
                zud_load_rsa_puk(&carried->ctx, ConstBytes(head).first(b.header.payload_offset), unused) != 0) {
                carried.reset();
            } else {
                in.note_key(carried->ctx);
            }
        } else {
            in.check(*key_digest == b.key_digest, id + ".same_signer", name + " signed by the same key",
                     r.stage_offset, "another key signed it");
        }
    }
    if (key_digest) {
        header.hex("signer_key_digest", *key_digest);
        header.hex("key_hash_of_signer", sha256(*key_digest));
        in.check(sha256(*key_digest) == sec->stages[0].key_hash, "key_hash", "key hash of the signing key",
                 kSecurityHeaderOffset, "key_hash is not the SHA-256 of the signing key's digest " + hex(*key_digest),
                 first_signer);
    }
    const std::uint64_t end = std::uint64_t{sec->stages[2].stage_offset} + sec->stages[2].stage_space;
    check_optional_trailer(in, s, end, carried ? &carried->ctx : nullptr, key_digest,
                           "give --aes-key, --user-key or --key", &trailer_digests);
}

void check_packaged_kernel(Audit& in, const Source& s, const zud_boot_image_header& boot) {
    const auto offsets = packaged_block_offsets(boot);
    const std::uint32_t parts[] = {boot.kernel_size, boot.ramdisk_size, boot.second_size};
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        const std::string id = "stage_" + number(i);
        const std::string name = "stage " + number(i) + " (" + kStageNames[i] + ")";
        const std::uint64_t length = packaged_block_length(parts[i]);
        zud_section& sec = in.section(id, name, offsets[i]);
        sec.number("part_size", parts[i]);
        if (!fits(s.size(), offsets[i], length)) {
            in.fail(id + ".digest", name, offsets[i], "it reaches past the end of the file");
            return;
        }
        const Region stored(s, offsets[i], length, nullptr);
        const zud_stored_block b = read_stored_block(stored, parts[i]);
        if (!b.problem.empty()) {
            in.fail(id + ".digest", name + " digest", offsets[i], b.problem);
            continue;
        }
        const bool ok = is_packaged_block_of(b.header, parts[i]);
        in.check(ok, id + ".digest", name + " digest", offsets[i], "it is not the digest-only block of its part");
        Sha256 payload;
        if (ok && in.options.payload_digests && hash_stored_payload(stored, b, parts[i], payload)) {
            sec.hex("payload_sha256", payload.finish());
            sec.number("payload_bytes", parts[i]);
        }
    }
}

}  // namespace

void check_kernel_image(Audit& in, const Source& s) {
    std::array<std::uint8_t, kBootHeaderPageSize> page{};
    if (!s.read(0, page)) {
        in.fail("header_page", "header page", 0, "the file is shorter than 2048 bytes");
        return;
    }
    const auto boot = decode_boot_image_header(page);
    zud_section& h = in.section("boot_image_header", "boot image header", 0);
    h.number("kernel_size", boot->kernel_size);
    h.number("ramdisk_size", boot->ramdisk_size);
    h.number("second_size", boot->second_size);
    h.number("page_size", boot->page_size);
    h.number("header_version", boot->header_version);
    in.check(boot->page_size == kImagePageSize, "header_page.page_size", "page size 2048", 0,
             "it is " + number(boot->page_size));
    if (has_image_security_header(page)) check_signed_kernel(in, s, page, *boot);
    else check_packaged_kernel(in, s, *boot);
}

}  // namespace audit_walk
