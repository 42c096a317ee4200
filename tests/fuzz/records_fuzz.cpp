// Every record decoder of the formats layer, each with its checks and the
// readers built on it, over the record as the tool wrote it (patched and
// cut) or over raw bytes. The templates are cut out of the tool's real
// outputs; the encrypted ones are decrypted first, so the decoders see
// the bytes a device would after decryption.
//
// Input: byte 0 the record, byte 1 flags (bit 0: raw bytes follow instead
// of a u16 cut and u16 patches; bits 1-7: the stage size or file size a
// reader is also given), then the bytes.
#include <algorithm>
#include <cstdio>
#include <optional>

#include <unistd.h>

#include "bl2_area.h"
#include "boot_image.h"
#include "builtin_key.h"
#include "device_packages.h"
#include "efuse_pattern.h"
#include "fip_toc.h"
#include "fuzz/artefacts.h"
#include "fuzz/fuzz_entries.h"
#include "image_header.h"
#include "key_block.h"
#include "key_matrix.h"
#include "keyfile.h"
#include "keymax.h"
#include "keymax_check.h"
#include "rsa.h"
#include "sealed_file.h"
#include "signed_block.h"
#include "stage_block.h"
#include "upgrade_block.h"
#include "user_key_file.h"

namespace {

FuzzBytes slice(const FuzzBytes& b, std::size_t at, std::size_t count) {
    if (!fits(b.size(), at, count)) fuzz_fail("a record template lies outside its file");
    return FuzzBytes(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + count));
}

zud_signed_block_header header_of(const FuzzBytes& block) {
    const auto h = decode_signed_block_header(block);
    if (!h) fuzz_fail("a block template has no header");
    return *h;
}

// The opened trailer block of the upgrade file: what the signer raised,
// raised again with the public exponent.
FuzzBytes opened_trailer(const FuzzArtefacts& a) {
    RsaKey key;
    if (zud_tq_load_rsa_key_file(&key.ctx, a.user1_key_path.c_str()) != 0) fuzz_fail("user1 does not load");
    g_nVQ_RSA_keyFormat = 0;
    const FuzzBytes block = slice(a.upgrade_file, a.upgrade_file.size() - key.ctx.len, key.ctx.len);
    FuzzBytes opened(key.ctx.len);
    if (mbedtls_rsa_public(&key.ctx, block.data(), opened.data()) != 0) fuzz_fail("the trailer does not open");
    return opened;
}


// Reads the stored block in `bytes` and, when it verifies, its payload.
void read_block(ConstBytes bytes, std::uint8_t flags) {
    const StageBlockMemory memory(bytes);
    const std::optional<std::uint64_t> stage_size =
        (flags & 2) != 0 ? std::optional<std::uint64_t>(bytes.size() * (flags >> 2) / 32) : std::nullopt;
    const zud_stored_block b = read_stored_block(memory, stage_size);
    if (b.problem.empty() && b.stage_size <= (1u << 20)) {
        ExactCopy payload(FuzzBytes(static_cast<std::size_t>(b.stage_size)));
        (void)read_stored_payload(memory, b, payload.mutable_bytes());
    }
    Sha256 sha;
    (void)hash_stage_bytes(memory, bytes.size() / 3, bytes.size() - bytes.size() / 3, sha);
}

void decode_signed_block(ConstBytes b, std::uint8_t flags) {
    if (const auto h = decode_signed_block_header(b)) {
        (void)check_signed_block_header(*h);
        (void)check_stage_block_header(*h);
        (void)is_relocated_digest_block(*h);
        (void)is_packaged_block_of(*h, static_cast<std::uint32_t>(b.size()));
        if (fits(b.size(), h->key_offset, kKeyHeaderSize)) {
            if (const auto k = decode_key_header(b.subspan(h->key_offset))) {
                RsaKey key;
                (void)read_key_components(&key.ctx, b, *k, (flags & 2) != 0);
            }
        }
    }
    RsaKey key;
    std::array<std::uint8_t, kKeyDigestSize> digest{};
    (void)decode_block_key(&key.ctx, b, digest);
    read_block(b, flags);
}

void decode_key_headers(ConstBytes b, std::uint8_t flags) {
    if (const auto h = decode_key_header(b)) {
        (void)check_key_header(*h);
        RsaKey key;
        (void)read_key_components(&key.ctx, b, *h, (flags & 2) != 0);
    }
    if (const auto h = decode_key_header_fields(b)) (void)check_key_header(*h);
    for (std::size_t at = kKeyHeaderSize; at + kComponentEntrySize <= b.size(); at += kComponentEntrySize) {
        (void)decode_component_entry(b.subspan(at));
    }
}

void decode_matrix(ConstBytes b, std::uint8_t flags) {
    if (const auto m = decode_key_matrix(b)) {
        (void)check_key_matrix(*m);
        (void)check_key_matrix_header(*m);
        (void)key_matrix_root_digest(*m);
        std::array<std::uint8_t, kKeyDigestSize> digest{};
        std::fill(digest.begin(), digest.end(), flags);
        (void)key_matrix_names(*m, digest);
    }
    if (const auto m = decode_key_matrix_header(b)) (void)check_key_matrix_header(*m);
    for (std::size_t i = 0; i < 6; ++i) {
        if (const auto e = key_matrix_entry(b, i)) {
            RsaKey key;
            (void)read_key_components(&key.ctx, b, *e, true);
        }
    }
}

void decode_keymax_file(ConstBytes b, std::uint8_t) {
    if (const auto km = decode_keymax(b)) (void)check_keymax(*km);
}

void decode_toc(ConstBytes b, std::uint8_t flags) {
    const char* reason = nullptr;
    const auto toc = decode_fip_toc(b, &reason);
    if (!toc) return;
    std::size_t bad = 0;
    (void)check_toc_entries(*toc, std::uint64_t{flags} << 12, bad);
    FipOutputLayout layout;
    for (const zud_toc_entry& e : toc->entries) {
        (void)fip_uuid_name(e.uuid);
        (void)layout.follows(e);
    }
    zud_fip_toc copy = *toc;
    FuzzBytes region(kTocRegionSize);
    encode_fip_toc(copy, region);
}

void decode_area(ConstBytes b, std::uint8_t) {
    if (const auto area = decode_bl2_area(b)) (void)check_signed_block_header(area->header);
    if (b.size() >= 80) (void)is_signed_bl2_area(b);
}

void decode_header_page(ConstBytes b, std::uint8_t) {
    if (const auto boot = decode_boot_image_header(b)) (void)packaged_block_offsets(*boot);
    if (b.size() >= kBootHeaderPageSize) (void)has_image_security_header(b);
    if (const auto sec = decode_image_security_header(b)) (void)check_image_security_header(*sec);
    for (std::size_t at = kSecurityHeaderOffset + 32; at < b.size(); at += kStageRecordSize) {
        (void)decode_stage_record(b.subspan(at));
    }
}

void decode_efuse(ConstBytes b, std::uint8_t) {
    const char* reason = nullptr;
    (void)decode_efuse_pattern(b, &reason);
}

void decode_password(ConstBytes b, std::uint8_t) {
    const char* reason = nullptr;
    (void)decode_password_package(b, &reason);
}

void decode_customer_id(ConstBytes b, std::uint8_t) {
    const char* reason = nullptr;
    (void)decode_customer_id_package(b, &reason);
}

void decode_opened_trailer(ConstBytes b, std::uint8_t) { (void)decode_upgrade_block(b); }

void decode_user_key(ConstBytes b, std::uint8_t) {
    (void)user_key_layout(b.size());
    if (const auto parts = decode_user_key_file(b)) {
        (void)decode_keymax(parts->keymax);
        for (std::size_t i = 0; i < 9; ++i) (void)decode_number_record(parts->key_file, i);
    }
}

void decode_records_of_key_file(ConstBytes b, std::uint8_t flags) {
    for (std::size_t i = 0; i < 9; ++i) (void)decode_number_record(b, i);
    zud_key_file_image image;
    image.path = "fuzzed key file";
    image.size = (flags & 2) != 0 ? kFullKeyFileSize : b.size();
    image.head = Buffer(b.size());
    std::copy(b.begin(), b.end(), image.head.data());
    zud_key_components components{};
    std::uint32_t size = 0;
    (void)zud_create_key_info_from_image(image, components, &size, flags & 4);
}

void open_sealed(ConstBytes b, std::uint8_t flags) {
    ExactCopy block(FuzzBytes(b.size()));
    const bool opened = (flags & 2) != 0 ? open_sealed_file(b, fuzz_artefacts().aes_key, block.mutable_bytes())
                                         : zud_open_sealed(b, block.mutable_bytes());
    if (opened) read_block(block.bytes(), flags);
}

// read_upgrade_trailer reads a file: the bytes go through the scratch file.
void read_trailer(ConstBytes b, std::uint8_t flags) {
    static RsaKey* const key = [] {
        auto* k = new RsaKey;
        if (zud_tq_load_rsa_key_file(&k->ctx, fuzz_artefacts().user1_key_path.c_str()) != 0) {
            fuzz_fail("user1 does not load");
        }
        g_nVQ_RSA_keyFormat = 0;
        return k;
    }();
    const std::string& path = scratch_file(b, "trailer");
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return;
    // The size given may be the file's or claim more or less than it has.
    const std::uint64_t size = (flags & 2) != 0 ? b.size() + (flags >> 2) : b.size() - std::min<std::size_t>(b.size(), flags >> 2);
    (void)read_upgrade_trailer(::fileno(f), size, key->ctx, nullptr);
    std::fclose(f);
}

struct Record {
    const char* name;
    FuzzBytes bytes;
    void (*decode)(ConstBytes, std::uint8_t);
};

std::vector<Record> make_records() {
    const FuzzArtefacts& a = fuzz_artefacts();
    const zud_signed_block_header signed_header = header_of(a.signed_block);
    const FuzzBytes signing_area = decrypt_cbc(a.aes_key, slice(a.encrypted_bootloader, 0, kBl2AreaSize));
    return {
        {"signed-block", a.signed_block, decode_signed_block},
        {"digest-block", a.digest_block, decode_signed_block},
        {"key-block", slice(a.signed_block, signed_header.key_offset, a.signed_block.size() - signed_header.key_offset),
         decode_key_headers},
        {"key-matrix", slice(a.keymax, kKeymaxRootMatrixOffset, kKeyMatrixSize), decode_matrix},
        {"keymax", a.keymax, decode_keymax_file},
        {"fip-toc", slice(a.digest_bootloader, kFipOffset, kTocRegionSize), decode_toc},
        {"bl2-area-digest", slice(a.digest_bootloader, 0, kBl2AreaSize), decode_area},
        {"bl2-area-signing", signing_area, decode_area},
        {"header-page-signed", slice(a.signed_kernel, 0, kBootHeaderPageSize), decode_header_page},
        {"header-page-packaged", slice(a.packaged_kernel, 0, kBootHeaderPageSize), decode_header_page},
        {"efuse-pattern", sealed_payload(a.efuse), decode_efuse},
        {"password-package", sealed_payload(a.password_package), decode_password},
        {"customer-id-package", sealed_payload(a.customer_id_package), decode_customer_id},
        {"upgrade-block", opened_trailer(a), decode_opened_trailer},
        {"user-key-file", a.user_key, decode_user_key},
        {"key-file-records", a.user1_key, decode_records_of_key_file},
        {"sealed-efuse", a.efuse, open_sealed},
        {"sealed-password", a.password_package, open_sealed},
        {"upgrade-trailer", a.upgrade_file, read_trailer},
        {"stage-block-in-bootloader", slice(a.digest_bootloader, kFipOffset + kTocRegionSize, 16384), decode_signed_block},
    };
}

const std::vector<Record>& records() {
    static const std::vector<Record> r = make_records();
    return r;
}

}  // namespace

int fuzz_records(const std::uint8_t* data, std::size_t size) {
    const std::vector<Record>& all = records();
    FuzzInput in(data, size);
    const Record& r = all[in.u8() % all.size()];
    const std::uint8_t flags = in.u8();
    const FuzzBytes bytes = (flags & 1) != 0 ? in.rest() : patch_template(r.bytes, in, 16, 16);
    const ExactCopy exact(bytes);
    r.decode(exact.bytes(), flags);
    if (g_nVQ_RSA_keyFormat != 0) fuzz_fail("the key format flag was left set");
    return 0;
}

std::vector<FuzzSeed> records_fuzz_seeds() {
    std::vector<FuzzSeed> seeds;
    const std::vector<Record>& all = records();
    for (std::size_t i = 0; i < all.size(); ++i) {
        const auto kind = static_cast<std::uint8_t>(i);
        FuzzBytes whole{kind, 0x00};
        const FuzzBytes cut = whole_template(16);
        whole.insert(whole.end(), cut.begin(), cut.end());
        seeds.push_back({std::string("template-") + all[i].name, whole});
        FuzzBytes sized{kind, 0x42};
        sized.insert(sized.end(), cut.begin(), cut.end());
        seeds.push_back({std::string("template-") + all[i].name + "-flags", sized});
        if (all[i].bytes.size() <= 4096) {
            FuzzBytes raw{kind, 0x01};
            raw.insert(raw.end(), all[i].bytes.begin(), all[i].bytes.end());
            seeds.push_back({std::string("raw-") + all[i].name, raw});
        }
    }
    return seeds;
}
