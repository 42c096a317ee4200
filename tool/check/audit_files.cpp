// The audit of the smaller files: the sealed eFuse pattern and device
// packages, zud_user_key files, single signed blocks and upgrade files.
#include <algorithm>

#include "audit_walk.h"
#include "builtin_key.h"
#include "device_packages.h"
#include "efuse_pattern.h"
#include "key_block.h"
#include "key_check.h"
#include "keyfile.h"
#include "upgrade_block.h"
#include "user_key_file.h"

namespace audit_walk {

namespace {

Digest builtin_key_digest() {
    RsaKey key;
    (void)zud_builtin_public_key(&key.ctx);
    return public_key_digest(key.ctx).value_or(Digest{});
}

// The payload of a verified stored block, in its logical order (small
// payloads only: the sealed files).
bool read_payload(const StageBlockBytes& r, const zud_stored_block& b, Buffer& out) {
    out = Buffer(static_cast<std::size_t>(b.stage_size));
    if (!out.ok() && b.stage_size != 0) return false;
    return read_stored_payload(r, b, out.bytes());
}

void show_efuse(Audit& in, ConstBytes payload, zud_section& sec) {
    const char* reason = nullptr;
    const auto e = decode_efuse_pattern(payload, &reason);
    if (!in.check(e.has_value(), "efuse_pattern", "eFuse pattern", 0, reason != nullptr ? reason : "")) return;
    sec.flag("encryption", e->encrypted);
    sec.text("aes_key", e->encrypted ? "present (not shown)" : "none");
    check_root_digest(in, e->root_digest, std::nullopt, sec, "efuse_pattern.");
    if (e->encrypted && in.options.aes_key) {
        in.check(std::equal(e->aes_key.begin(), e->aes_key.end(), in.options.aes_key->begin()),
                 "efuse_pattern.aes_key", "AES key is the one given", std::nullopt, "the pattern carries another AES key");
    }
}

// The records of the key file a zud_user_key file starts with, when it is
// in a binary form (a text key file has none).
void check_user_key_records(Audit& in, const Source& s, std::uint64_t key_file_size) {
    if (!is_full_key_file_size(key_file_size) && !is_short_key_file_size(key_file_size)) return;
    Buffer key_file(static_cast<std::size_t>(key_file_size));
    const std::string records = !key_file.ok() || !s.read(0, key_file.bytes())
                                    ? "the key file cannot be read"
                                    : check_key_file_records(key_file.bytes());
    in.check(records.empty(), "user_key.records", "user key file records", 0, records);
}

}  // namespace

void check_sealed(Audit& in, ConstBytes block) {
    const StageBlockMemory plain(block);
    const zud_stored_block b = read_stored_block(plain, std::nullopt);
    zud_section& sec = in.section("sealed_block", "signed block (built-in key)", 0);
    add_block_fields(sec, b.header);
    if (!b.problem.empty()) {
        in.fail("sealed.signature", "signature by the built-in key", 0, b.problem);
        return;
    }
    zud_signer who = stored_block_signer(b, nullptr);
    const bool builtin = b.rsa && b.key_digest == builtin_key_digest();
    if (builtin) who.place = zud_key_place::kBuiltin;
    if (b.rsa) sec.hex("signer_key_digest", b.key_digest);
    if (!in.check(builtin, "sealed.signature", "signature by the built-in key", 0,
                  b.rsa ? "key " + hex(b.key_digest) + " signed it, not the built-in key " + hex(builtin_key_digest())
                        : "it carries a digest, not a signature",
                  b.rsa ? std::optional<zud_signer>(who) : std::nullopt)) {
        return;
    }
    Buffer payload(0);
    if (!read_payload(plain, b, payload) || payload.size() != kPackageSize) {
        in.fail("sealed.payload", "payload", b.header.payload_offset, "it is not the 512 bytes of a pattern or package");
        return;
    }
    const char* reason = nullptr;
    zud_section& fields = in.section("payload", "payload", b.header.payload_offset);
    if (decode_efuse_pattern(payload.bytes(), nullptr)) {
        in.report.kind = "eFuse pattern (signed and encrypted with the built-in key)";
        in.report.kind_id = "efuse_pattern";
        show_efuse(in, payload.bytes(), fields);
    } else if (const auto p = decode_password_package(payload.bytes(), &reason)) {
        in.report.kind = "unlock password package (signed and encrypted with the built-in key)";
        in.report.kind_id = "password_package";
        fields.text("interface", password_interface_name(p->interface));
        fields.text("password_digest", "present (not shown)");
        in.pass("password_package", "unlock password package", std::nullopt);
    } else if (const auto c = decode_customer_id_package(payload.bytes(), &reason)) {
        in.report.kind = "customer ID package (signed and encrypted with the built-in key)";
        in.report.kind_id = "customer_id_package";
        fields.text("customer_id", c->id);
        in.pass("customer_id_package", "customer ID package", std::nullopt);
    } else {
        in.report.kind = "file sealed with the built-in key";
        in.report.kind_id = "sealed_file";
        in.fail("sealed.payload", "payload", b.header.payload_offset,
                "it is neither an eFuse pattern nor a device package");
    }
}

void check_user_key_file(Audit& in, const char* path, const Source& s) {
    const std::lock_guard<std::mutex> keys(private_key_mutex());
    const auto layout = user_key_layout(s.size());
    Buffer keymax(kKeymaxSize);
    if (!layout || !keymax.ok() || !s.read(layout->keymax_offset, keymax.bytes())) return;
    RsaKey key;
    zud_section& key_sec = in.section("user_key", "user key", 0);
    key_sec.number("key_file_bytes", layout->key_file_size);
    check_user_key_records(in, s, layout->key_file_size);
    bool loaded = false;
    std::int32_t mode = 0;
    {
        // The commands load the whole file as a key file; the mode it
        // leaves is the one the key signs in.
        const KeyFormatScope scope(0);
        loaded = zud_tq_load_rsa_key_file(&key.ctx, path) == 0;
        mode = g_nVQ_RSA_keyFormat;
    }
    if (!in.check(loaded && (key.ctx.len == 128 || key.ctx.len == 256 || key.ctx.len == 512), "user_key.loads",
                  "user key loads", 0, "it is no RSA key of 1024, 2048 or 4096 bits")) {
        return;
    }
    const Digest digest = public_key_digest(key.ctx).value_or(Digest{});
    key_sec.number("modulus_bits", key.ctx.len * 8);
    key_sec.hex("key_digest", digest);
    const std::string numbers = check_private_key(key.ctx, mode);
    in.check(numbers.empty(), "user_key.private_key", "user private key consistency", std::nullopt, numbers,
             zud_signer{digest, key.ctx.len * 8, zud_key_place::kUnknown, 0});
    const auto km = audit_keymax(in, keymax.bytes(), layout->keymax_offset, "");
    if (km) {
        zud_signer who;
        who.key_digest = digest;
        who.bits = key.ctx.len * 8;
        if (km->user.entries[0].key_digest == digest) {
            who.place = zud_key_place::kUserMatrix;
            who.index = 1;
        }
        in.check(who.place == zud_key_place::kUserMatrix, "user_key.in_keymax", "user key is the keymax's first user key",
                 0, "the keymax's first user key is " + hex(km->user.entries[0].key_digest) + ", not this key", who);
    }
    in.section("aes_key", "AES key", layout->aes_offset).text("aes_key", "32 bytes (not shown)");
}

void check_single_block(Audit& in, const Source& s) {
    const Region whole(s, 0, s.size(), nullptr);
    const zud_stored_block b = read_stored_block(whole, std::nullopt);
    zud_section& sec = in.section("signed_block", "signed block", 0);
    add_block_fields(sec, b.header);
    if (!b.problem.empty()) {
        in.fail("signed_block", "signed block", 0, b.problem);
        return;
    }
    if (b.rsa) sec.hex("signer_key_digest", b.key_digest);
    Sha256 payload;
    if (hash_stored_payload(whole, b, std::nullopt, payload)) {
        sec.hex("payload_sha256", payload.finish());
        sec.number("payload_bytes", b.stage_size);
    }
    in.pass("signed_block", b.rsa ? "signed block: RSA signature by the key it carries" : "signed block: digest", 0,
            b.rsa ? std::optional<zud_signer>(stored_block_signer(b, nullptr)) : std::nullopt);
}

namespace {

// Of the keys a set carries, the one the trailer at the end of `s` opens
// under to the trailer layout (whatever digest it carries); false when it
// opens under none.
bool trailer_opens_under(const Source& s, const zud_public_key& candidate, RsaKey& key) {
    std::array<std::uint8_t, kUpgradeWorkAreaSize> block{};
    if (!import_public_key(candidate, key) || key.ctx.len < kUpgradeMinModulus || key.ctx.len > block.size() ||
        s.size() < key.ctx.len || !s.read(s.size() - key.ctx.len, MutBytes(block).first(key.ctx.len))) {
        return false;
    }
    const zud_upgrade_trailer t = open_upgrade_trailer(ConstBytes(block).first(key.ctx.len), Digest{}, key.ctx);
    return t.state == TrailerState::kMatches || t.state == TrailerState::kDigestDiffers;
}

std::string key_list(const std::vector<zud_public_key>& keys) {
    std::string words;
    for (const zud_public_key& k : keys) words += (words.empty() ? "" : ", ") + hex(k.digest);
    return words;
}

}  // namespace

void check_upgrade_file(Audit& in, const Source& s) {
    RsaKey key;
    if (in.options.public_key.empty() && !in.options.trailer_keys.empty()) {
        const auto& candidates = in.options.trailer_keys;
        const auto found = std::find_if(candidates.begin(), candidates.end(), [&](const zud_public_key& k) {
            RsaKey probe;
            return trailer_opens_under(s, k, probe);
        });
        if (found == candidates.end() || !import_public_key(*found, key)) {
            in.fail("upgrade_trailer", "upgrade trailer", std::nullopt,
                    "it opens under none of the keys given (" + key_list(candidates) +
                        "): another key made it, or it is no upgrade file");
            return;
        }
    } else if (!trailer_key(in, nullptr, key)) {
        return;
    }
    if (s.size() < key.ctx.len) {
        in.fail("upgrade_trailer", "upgrade trailer", 0, "the file is shorter than one trailer block");
        return;
    }
    // With a keymax in force, the key must be one of its user keys.
    if (const auto km = keymax_in_force(in)) {
        const Digest digest = public_key_digest(key.ctx).value_or(Digest{});
        zud_signer who;
        who.key_digest = digest;
        who.bits = key.ctx.len * 8;
        for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
            if (km->user.entries[i].key_digest == digest) {
                who.place = zud_key_place::kUserMatrix;
                who.index = i + 1;
                break;
            }
        }
        in.check(who.place == zud_key_place::kUserMatrix, "upgrade_trailer.key_in_keymax",
                 "the key is one of the keymax's user keys", std::nullopt,
                 "key " + hex(digest) + " is not in the user key matrix of the keymax given", who);
    }
    check_trailer(in, s, s.size(), key.ctx, std::nullopt);
}

}  // namespace audit_walk
