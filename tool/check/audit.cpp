// Audit of every file the tool writes: recognition, structure and the
// checks the boot chain makes.
#include "audit.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "bl2_area.h"
#include "boot_image.h"
#include "builtin_key.h"
#include "device_packages.h"
#include "efuse_pattern.h"
#include "fip_toc.h"
#include "files.h"
#include "image_header.h"
#include "keyfile.h"
#include "key_block.h"
#include "keymax.h"
#include "keymax_check.h"
#include "user_key_file.h"
#include "signed_block.h"
#include "signing_key.h"
#include "stage_block.h"
#include "upgrade_block.h"

namespace {

constexpr std::uint64_t kMaxSealedSize = 1 << 20;

std::string hex(ConstBytes bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (const std::uint8_t b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::string number(std::uint64_t v) { return std::to_string(v); }

bool all_zero(ConstBytes b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0; });
}

// ---------------------------------------------------------------------------
// Reading

// The file, read at absolute offsets.
class Source {
public:
    explicit Source(const char* path) : file_(open_input(path, error_)) {
        if (file_) size_ = stream_size(file_.get()).value_or(0);
    }
    bool ok() const { return file_ != nullptr; }
    const std::string& error() const { return error_; }
    std::uint64_t size() const { return size_; }
    int fd() const { return ::fileno(file_.get()); }
    bool read(std::uint64_t offset, MutBytes out) const {
        return fits(size_, offset, out.size()) && seek_to(file_.get(), offset) &&
               read_exact(file_.get(), out);
    }
    bool has(std::uint64_t offset, const char* magic) const {
        std::array<std::uint8_t, 8> b{};
        const std::size_t n = std::strlen(magic);
        return read(offset, MutBytes(b).first(n)) && std::memcmp(b.data(), magic, n) == 0;
    }

private:
    std::string error_;  // why the file did not open; declared before file_, which sets it
    File file_;
    std::uint64_t size_ = 0;
};

// A stretch of the file read as plain bytes: as stored, or decrypted as
// one AES-256-CBC chain from a zero IV that starts at the stretch's start
// (so any piece decrypts with the ciphertext block before it as its IV).
class Region final : public StageBlockBytes {
public:
    Region(const Source& s, std::uint64_t base, std::uint64_t size, AesCbc* decrypt)
        : source_(&s), base_(base), size_(size), decrypt_(decrypt) {}
    std::uint64_t size() const override { return size_; }

    bool read(std::uint64_t at, MutBytes out) const override {
        if (!fits(size_, at, out.size())) return false;
        if (decrypt_ == nullptr) return source_->read(base_ + at, out);
        // Whole cipher blocks around the piece, and the block before them.
        const std::uint64_t start = at / kAesBlockSize * kAesBlockSize;
        const std::uint64_t end = round_up_16(at + out.size());
        if (end > size_) return false;
        const std::uint64_t iv_at = start == 0 ? start : start - kAesBlockSize;
        Buffer cipher(static_cast<std::size_t>(end - iv_at));
        if (!cipher.ok() || !source_->read(base_ + iv_at, cipher.bytes())) return false;
        std::array<std::uint8_t, kAesBlockSize> iv{};
        MutBytes data = cipher.bytes();
        if (start != 0) {
            std::copy_n(data.begin(), kAesBlockSize, iv.begin());
            data = data.subspan(kAesBlockSize);
        }
        if (decrypt_->decrypt(data, iv) != 0) return false;
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(at - start), out.size(), out.begin());
        return true;
    }

private:
    const Source* source_;
    std::uint64_t base_ = 0;
    std::uint64_t size_ = 0;
    AesCbc* decrypt_ = nullptr;
};

// ---------------------------------------------------------------------------
// The report

class Audit {
public:
    Audit(zud_report& r, const zud_audit_options& o) : report(r), options(o) {}

    void pass(std::string what, std::optional<std::uint64_t> at, std::string detail = {}) {
        report.checks.push_back({std::move(what), zud_check_state::kPassed, at, std::move(detail)});
    }
    bool fail(std::string what, std::optional<std::uint64_t> at, std::string detail) {
        report.checks.push_back({std::move(what), zud_check_state::kFailed, at, std::move(detail)});
        return false;
    }
    void not_checked(std::string what, std::string why) {
        report.checks.push_back({std::move(what), zud_check_state::kNotChecked, std::nullopt, std::move(why)});
    }
    bool check(bool ok, std::string what, std::optional<std::uint64_t> at, std::string why_not) {
        if (ok) pass(std::move(what), at);
        else fail(std::move(what), at, std::move(why_not));
        return ok;
    }
    zud_section& section(std::string title, std::optional<std::uint64_t> at) {
        report.sections.push_back({std::move(title), at, {}});
        return report.sections.back();
    }

    zud_report& report;
    const zud_audit_options& options;
};

void add_block_fields(zud_section& s, const zud_signed_block_header& h) {
    s.fields.emplace_back("total_size", number(h.total_size));
    s.fields.emplace_back("sig_type", h.sig_type == 0 ? "0 (digest only)" : number(h.sig_type) + " (RSA)");
    s.fields.emplace_back("sig_size", number(h.sig_size));
    s.fields.emplace_back("signed_data_offset", number(h.signed_data_offset));
    s.fields.emplace_back("signed_data_size", number(h.signed_data_size));
    s.fields.emplace_back("key_type", number(h.key_type));
    s.fields.emplace_back("key_offset", number(h.key_offset));
    s.fields.emplace_back("key_size", number(h.key_size));
    s.fields.emplace_back("payload_offset", number(h.payload_offset));
    s.fields.emplace_back("payload_size", number(h.payload_size));
    s.fields.emplace_back("nonce", number(h.nonce));
}

// ---------------------------------------------------------------------------
// A block as the stage builder stores it

// The payload of a verified stored block, in its logical order (small
// payloads only: the sealed files).
bool read_payload(const StageBlockBytes& r, const zud_stored_block& b, Buffer& out) {
    out = Buffer(static_cast<std::size_t>(b.stage_size));
    if (!out.ok() && b.stage_size != 0) return false;
    return read_stored_payload(r, b, out.bytes());
}

std::string signer_of(const zud_stored_block& b, const zud_key_matrix* user, const char* what) {
    if (!b.rsa) return std::string(what) + ": digest";
    std::string s = std::string(what) + ": RSA signature by a " + number(b.key_bits) + "-bit key";
    if (user != nullptr) {
        for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
            if (user->entries[i].key_digest == b.key_digest) return s + " (user key " + number(i + 1) + ")";
        }
    }
    return s;
}

// ---------------------------------------------------------------------------
// Root key digests

bool any_nonzero(const RootDigest& d) { return !all_zero(d); }

// Shows the root key digest and checks it against --expect-root, the
// --root-digests given, or the build's table when it has any.
void check_root_digest(Audit& in, const Digest& root, std::optional<std::uint64_t> at,
                       zud_section& section) {
    section.fields.emplace_back("root key digest (eFuse pattern)", hex(root));
    const zud_audit_options& o = in.options;
    if (o.expect_root) {
        in.check(std::equal(root.begin(), root.end(), o.expect_root->begin()),
                 "root key digest is the expected one", at, "it is " + hex(root));
        return;
    }
    std::vector<RootDigest> table = o.root_digests;
    if (table.empty()) {
        for (const RootDigest& d : zud_root_digests())
            if (any_nonzero(d)) table.push_back(d);
    }
    if (table.empty()) {
        section.fields.emplace_back("root digest table", "none to check against (give --expect-root or --root-digests)");
        return;
    }
    const bool listed = std::any_of(table.begin(), table.end(), [&](const RootDigest& d) {
        return std::equal(root.begin(), root.end(), d.begin());
    });
    in.check(listed, "root key digest is in the root digest table", at, "it is " + hex(root));
}

// ---------------------------------------------------------------------------
// Keymax

void add_matrix_fields(zud_section& s, const zud_key_matrix& m) {
    s.fields.emplace_back("matrix_size", number(m.matrix_size));
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
        const zud_key_header& e = m.entries[i];
        s.fields.emplace_back("entry " + number(i + 1),
                              "key_type " + number(e.key_type) + ", " +
                                  std::string(e.key_tag.begin(), e.key_tag.end()).c_str() +
                                  ", key digest " + hex(e.key_digest));
    }
}

// The keymax in `bytes` (2264, at file offset `at`): both matrices as a
// device takes them, the signature by a key of the root matrix, the root
// key digest. Returns the decoded keymax when its signature verified.
std::optional<zud_keymax> audit_keymax(Audit& in, ConstBytes bytes, std::uint64_t at) {
    const auto km = decode_keymax(bytes);
    if (!km) {
        in.fail("keymax layout", at, "no signed block and two key matrices where a keymax has them");
        return std::nullopt;
    }
    zud_section& block = in.section("keymax signed block", at + kKeymaxPrefixSize);
    add_block_fields(block, km->header);
    if (km->signing_key) {
        const zud_key_header& k = *km->signing_key;
        block.fields.emplace_back("signing key", "key_type " + number(k.key_type) + ", " +
                                                     std::string(k.key_tag.begin(), k.key_tag.end()).c_str() +
                                                     ", timestamp " +
                                                     std::string(k.timestamp.begin(), k.timestamp.end()));
    }
    zud_section& root = in.section("root key matrix", at + kKeymaxRootMatrixOffset);
    add_matrix_fields(root, km->root);
    add_matrix_fields(in.section("user key matrix", at + kKeymaxUserMatrixOffset), km->user);
    const zud_keymax_verdict verdict = check_keymax(*km);
    const char* root_bad = verdict.root_matrix;
    const char* user_bad = verdict.user_matrix;
    in.check(root_bad == nullptr, "root key matrix", at + kKeymaxRootMatrixOffset, root_bad ? root_bad : "");
    in.check(user_bad == nullptr, "user key matrix", at + kKeymaxUserMatrixOffset, user_bad ? user_bad : "");
    const bool signed_ok = verdict.signature.ok();
    std::string signer = "keymax signature by a key of its root key matrix";
    if (verdict.root_signer) signer += " (root key " + number(*verdict.root_signer + 1) + ")";
    in.check(signed_ok, signer, at + kKeymaxPrefixSize,
             verdict.signature.reason.empty() ? "refused" : verdict.signature.reason);
    if (root_bad == nullptr) check_root_digest(in, key_matrix_root_digest(km->root), at + kKeymaxRootMatrixOffset, root);
    if (!signed_ok || root_bad != nullptr || user_bad != nullptr) return std::nullopt;
    return km;
}

// ---------------------------------------------------------------------------
// Upgrade trailer

// Checks the trailing block of the first `size` bytes of the file with
// `key`: opened with the public exponent, it must carry the SHA-256 of
// everything before it, between zeros.
void check_trailer(Audit& in, const Source& s, std::uint64_t size, mbedtls_rsa_context& key) {
    const std::size_t len = key.len;
    const std::uint64_t at = size - len;
    zud_section& sec = in.section("upgrade trailer", at);
    sec.fields.emplace_back("length", number(len));
    const zud_upgrade_trailer t = read_upgrade_trailer(s.fd(), size, key, nullptr);
    switch (t.state) {
        case TrailerState::kMatches:
            in.check(t.zero_padding, "upgrade trailer over the " + number(at) + " bytes before it", at,
                     "the bytes around its digest are not zero");
            return;
        case TrailerState::kShortFile:
        case TrailerState::kBlockUnread: in.fail("upgrade trailer", at, "it cannot be read"); return;
        case TrailerState::kFileUnread: in.fail("upgrade trailer", at, "the file cannot be read"); return;
        case TrailerState::kNotBelowModulus:
            in.fail("upgrade trailer", at, "its value is not below the key's modulus");
            return;
        case TrailerState::kDigestDiffers:
            in.fail("upgrade trailer", at, "the digest it carries is not the file's");
            return;
    }
}

// The key a trailer is checked with: --key when given, else `fallback`.
bool trailer_key(Audit& in, const mbedtls_rsa_context* fallback, RsaKey& out) {
    if (!in.options.public_key.empty()) {
        std::string reason;
        SigningKeySource source;
        if (!in.options.pkcs11_module.empty()) source.pkcs11_module = in.options.pkcs11_module.c_str();
        if (!in.options.passphrase_file.empty()) source.passphrase_file = in.options.passphrase_file.c_str();
        if (!open_public_key(in.options.public_key.c_str(), source, out, reason)) {
            in.fail("public key for the trailer", std::nullopt, reason);
            return false;
        }
        return true;
    }
    if (fallback == nullptr) return false;
    return mbedtls_rsa_copy(&out.ctx, fallback) == 0;
}

// ---------------------------------------------------------------------------
// Bootloaders

struct Bl2Keys {
    zud_key_matrix user;
    RsaKey signer;  // the BL2 block's key (the user key)
    bool have_signer = false;
};

void check_bootloader(Audit& in, const Source& s, bool encrypted) {
    Buffer area(kBl2AreaSize);
    if (!area.ok() || !s.read(0, area.bytes())) {
        in.fail("BL2 area", 0, "the file is shorter than 49152 bytes");
        return;
    }
    AesCbc stage_cipher;
    if (encrypted) {
        AesCbc cipher;
        std::array<std::uint8_t, kAesBlockSize> iv{};
        if (cipher.set_decrypt_key(*in.options.aes_key) != 0 || cipher.decrypt(area.bytes(), iv) != 0) {
            in.fail("BL2 area", 0, "it cannot be decrypted");
            return;
        }
        const Digest stage_key = sha256(area.bytes().first(kIvPrefixSize));
        (void)stage_cipher.set_decrypt_key(stage_key);
    }
    const auto bl2 = decode_bl2_area(area.bytes());
    if (!bl2) {
        in.fail("BL2 area", 0, encrypted ? "it does not decrypt to a BL2 area: wrong AES key?" : "no BL2 block");
        return;
    }
    zud_section& area_section = in.section(bl2->signing ? "BL2 area (signing mode)" : "BL2 area (digest mode)", 0);
    area_section.fields.emplace_back("encrypted", encrypted ? "yes (AES-256-CBC)" : "no");
    Bl2Keys keys;
    const std::uint64_t block_at = bl2->block_offset;
    add_block_fields(in.section("BL2 block", block_at), bl2->header);
    if (bl2->signing) {
        const auto km = audit_keymax(in, area.bytes().first(kKeymaxSize), 0);
        if (!km) return;
        keys.user = km->user;
        std::array<std::uint8_t, kKeyMatrixSize> user_bytes{};
        encode_key_matrix(km->user, user_bytes);
        std::uint32_t offset = 0;
        const zud_result signed_by_user = verify_block_fix(bl2->block, user_bytes, &offset, zud_root_digests());
        std::string what = "BL2 block signed by a key of the user key matrix";
        RootDigest digest{};
        if (signed_by_user.ok() && zud_load_rsa_puk(&keys.signer.ctx, bl2->block, digest) == 0) {
            keys.have_signer = true;
            if (const auto i = signer_entry(keys.user, bl2->block)) what += " (user key " + number(*i + 1) + ")";
        }
        if (!in.check(signed_by_user.ok(), what, block_at,
                      signed_by_user.reason.empty() ? "refused" : signed_by_user.reason)) {
            return;
        }
    } else {
        std::uint32_t offset = 0;
        const zud_result digest_ok = verify_block_fix(bl2->block, {}, &offset, zud_root_digests());
        if (!in.check(digest_ok.ok(), "BL2 block digest", block_at,
                      digest_ok.reason.empty() ? "refused" : digest_ok.reason)) {
            return;
        }
    }
    in.check(block_at + bl2->header.payload_offset == kBl2PayloadFileOffset, "BL2 payload at 4096", block_at,
             "the payload starts at " + number(block_at + bl2->header.payload_offset));

    // Table of contents and stages.
    Buffer region(kTocRegionSize);
    const Region toc_region(s, kFipOffset, kTocRegionSize, encrypted ? &stage_cipher : nullptr);
    if (!region.ok() || !toc_region.read(0, region.bytes())) {
        in.fail("table of contents", kFipOffset, "the file ends inside it");
        return;
    }
    const char* reason = nullptr;
    const auto toc = decode_fip_toc(region.bytes(), &reason);
    if (!toc) {
        in.fail("table of contents", kFipOffset, reason);
        return;
    }
    zud_section& toc_section = in.section("table of contents", kFipOffset);
    toc_section.fields.emplace_back("entries", number(toc->entries.size()));
    FipOutputLayout layout;
    for (std::size_t i = 0; i < toc->entries.size(); ++i) {
        const zud_toc_entry& e = toc->entries[i];
        const std::uint64_t at = kFipOffset + e.offset;
        toc_section.fields.emplace_back("entry " + number(i), "uuid " + hex(e.uuid) + ", offset " + number(e.offset) +
                                                                  ", size " + number(e.size));
        const std::string name = "stage " + number(i);
        if (!layout.follows(e) || !fits(s.size(), at, e.size)) {
            in.fail(name + " place in the table", kFipOffset, "offset " + number(e.offset) + ", size " + number(e.size) +
                                                                  " is not where the stage blocks follow one another");
            return;
        }
        const Region stage(s, at, e.size, encrypted ? &stage_cipher : nullptr);
        const zud_stored_block b = read_stored_block(stage, std::nullopt);
        if (!b.problem.empty()) {
            in.fail(name, at, b.problem);
            return;
        }
        bool ok = b.header.total_size == e.size;
        if (bl2->signing) ok = ok && b.rsa && key_matrix_names(keys.user, b.key_digest);
        else ok = ok && !b.rsa;
        in.check(ok, signer_of(b, bl2->signing ? &keys.user : nullptr, name.c_str()), at,
                 bl2->signing ? "it is not signed by a key of the user key matrix, or its size differs from the table's"
                              : "it is signed where digest mode has digests, or its size differs from the table's");
    }
    const std::uint64_t next = layout.next();
    if (!in.check(toc->end.offset == next, "end of the table of contents", kFipOffset,
                  "the terminating entry points at " + number(toc->end.offset) + ", not " + number(next))) {
        return;
    }
    const std::uint64_t end = kFipOffset + next;
    if (s.size() == end) {
        in.section("upgrade trailer", end).fields.emplace_back("present", "no");
        if (!in.options.public_key.empty()) in.fail("upgrade trailer", end, "the file ends with its last stage");
        return;
    }
    RsaKey key;
    if (!trailer_key(in, keys.have_signer ? &keys.signer.ctx : nullptr, key)) {
        if (in.options.public_key.empty()) in.not_checked("upgrade trailer", "no key to check it with (give --key)");
        return;
    }
    if (s.size() != end + key.ctx.len) {
        in.fail("file size", end, "the file goes on " + number(s.size() - end) + " bytes behind its last stage");
        return;
    }
    check_trailer(in, s, s.size(), key.ctx);
}

// ---------------------------------------------------------------------------
// Kernel images

void check_signed_kernel(Audit& in, const Source& s, ConstBytes page, const zud_boot_image_header& boot) {
    const auto sec = decode_image_security_header(page);
    zud_section& header = in.section("image security header", kSecurityHeaderOffset);
    if (!sec) {
        in.fail("image security header", kSecurityHeaderOffset, "it cannot be read");
        return;
    }
    header.fields.emplace_back("format_word", number(sec->format_word));
    header.fields.emplace_back("stage_count", number(sec->stage_count));
    header.fields.emplace_back("timestamp", std::string(sec->timestamp.begin(), sec->timestamp.end()));
    const char* bad = check_image_security_header(*sec);
    if (!in.check(bad == nullptr, "image security header", kSecurityHeaderOffset, bad ? bad : "")) return;
    const std::uint32_t header_sizes[] = {boot.kernel_size, boot.ramdisk_size};
    in.check(header_sizes[0] == sec->stages[0].stage_space && header_sizes[1] == sec->stages[1].stage_space &&
                 boot.second_size == sec->stages[2].part_size,
             "header page sizes", 0, "the kernel and ramdisk sizes are not the stored stages' and the second stage's not its part's");
    AesCbc cipher;
    const bool decrypt = in.options.aes_key.has_value() && cipher.set_decrypt_key(*in.options.aes_key) == 0;
    static const char* const names[] = {"kernel", "ramdisk", "second stage"};
    std::optional<Digest> key_digest;
    std::size_t key_len = 0;
    std::unique_ptr<RsaKey> carried;
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        const zud_stage_record& r = sec->stages[i];
        const std::string name = std::string("stage ") + number(i) + " (" + names[i] + ")";
        zud_section& rec = in.section(name, r.stage_offset);
        rec.fields.emplace_back("part_size", number(r.part_size));
        rec.fields.emplace_back("stage_length", number(r.stage_length));
        rec.fields.emplace_back("stage_space", number(r.stage_space));
        rec.fields.emplace_back("stage_digest", hex(r.stage_digest));
        rec.fields.emplace_back("key_hash", hex(r.key_hash));
        if (!fits(s.size(), r.stage_offset, r.stage_space)) {
            in.fail(name, r.stage_offset, "it reaches past the end of the file");
            return;
        }
        Sha256 sha;
        const Region stored(s, r.stage_offset, r.stage_space, nullptr);
        const bool read = hash_stage_bytes(stored, 0, r.stage_space, sha);
        sha.update(stage_digest_suffix(r.stage_space));
        in.check(read && sha.finish() == r.stage_digest, name + " digest of its stored bytes", r.stage_offset,
                 "stage_digest differs from the stored stage's");
        if (!decrypt) {
            in.not_checked(name + " signature", "it is encrypted (give --aes-key or --user-key)");
            continue;
        }
        const Region plain(s, r.stage_offset, r.stage_space, &cipher);
        const zud_stored_block b = read_stored_block(plain, r.part_size);
        if (!b.problem.empty()) {
            in.fail(name + " signature", r.stage_offset, b.problem);
            continue;
        }
        const bool layout = b.rsa && b.header.payload_size == round_up_16(r.part_size) &&
                            b.stage_size == (b.relocated ? round_up_16(r.part_size) : r.part_size) &&
                            r.stage_length == (b.relocated ? b.header.total_size : b.header.payload_offset + r.part_size);
        in.check(layout, signer_of(b, nullptr, (name + " signature").c_str()), r.stage_offset,
                 "its sizes are not those of its stage record");
        if (!key_digest) {
            key_digest = b.key_digest;
            key_len = b.key_bits / 8;
            carried = std::make_unique<RsaKey>();
            std::array<std::uint8_t, kStageHeadMax> head{};
            RootDigest unused{};
            if (!plain.read(0, MutBytes(head).first(b.header.payload_offset)) ||
                zud_load_rsa_puk(&carried->ctx, ConstBytes(head).first(b.header.payload_offset), unused) != 0) {
                carried.reset();
            }
        } else {
            in.check(*key_digest == b.key_digest, name + " signed by the same key", r.stage_offset, "another key signed it");
        }
    }
    if (key_digest) {
        in.check(sha256(*key_digest) == sec->stages[0].key_hash, "key hash of the signing key", kSecurityHeaderOffset,
                 "key_hash is not the SHA-256 of the signing key's digest");
    }
    (void)key_len;
    const std::uint64_t end = std::uint64_t{sec->stages[2].stage_offset} + sec->stages[2].stage_space;
    if (s.size() == end) {
        in.section("upgrade trailer", end).fields.emplace_back("present", "no");
        if (!in.options.public_key.empty()) in.fail("upgrade trailer", end, "the file ends with its last stage");
        return;
    }
    RsaKey key;
    if (!trailer_key(in, carried ? &carried->ctx : nullptr, key)) {
        if (in.options.public_key.empty()) {
            in.not_checked("upgrade trailer", "no key to check it with (give --aes-key, --user-key or --key)");
        }
        return;
    }
    if (s.size() != end + key.ctx.len) {
        in.fail("file size", end, "the file goes on " + number(s.size() - end) + " bytes behind its last stage");
        return;
    }
    check_trailer(in, s, s.size(), key.ctx);
}

void check_packaged_kernel(Audit& in, const Source& s, const zud_boot_image_header& boot) {
    const auto offsets = packaged_block_offsets(boot);
    const std::uint32_t parts[] = {boot.kernel_size, boot.ramdisk_size, boot.second_size};
    static const char* const names[] = {"kernel", "ramdisk", "second stage"};
    for (std::size_t i = 0; i < kImageStageCount; ++i) {
        const std::string name = std::string("stage ") + number(i) + " (" + names[i] + ")";
        const std::uint64_t length = packaged_block_length(parts[i]);
        in.section(name, offsets[i]).fields.emplace_back("part_size", number(parts[i]));
        if (!fits(s.size(), offsets[i], length)) {
            in.fail(name, offsets[i], "it reaches past the end of the file");
            return;
        }
        const zud_stored_block b = read_stored_block(Region(s, offsets[i], length, nullptr), parts[i]);
        if (!b.problem.empty()) {
            in.fail(name + " digest", offsets[i], b.problem);
            continue;
        }
        in.check(is_packaged_block_of(b.header, parts[i]), name + " digest", offsets[i],
                 "it is not the digest-only block of its part");
    }
}

void check_kernel_image(Audit& in, const Source& s) {
    std::array<std::uint8_t, kBootHeaderPageSize> page{};
    if (!s.read(0, page)) {
        in.fail("header page", 0, "the file is shorter than 2048 bytes");
        return;
    }
    const auto boot = decode_boot_image_header(page);
    zud_section& h = in.section("boot image header", 0);
    h.fields.emplace_back("kernel_size", number(boot->kernel_size));
    h.fields.emplace_back("ramdisk_size", number(boot->ramdisk_size));
    h.fields.emplace_back("second_size", number(boot->second_size));
    h.fields.emplace_back("page_size", number(boot->page_size));
    h.fields.emplace_back("header_version", number(boot->header_version));
    in.check(boot->page_size == kImagePageSize, "page size 2048", 0, "it is " + number(boot->page_size));
    if (has_image_security_header(page)) check_signed_kernel(in, s, page, *boot);
    else check_packaged_kernel(in, s, *boot);
}

// ---------------------------------------------------------------------------
// Sealed files: the eFuse pattern and the device packages

Digest builtin_key_digest() {
    RsaKey key;
    (void)zud_builtin_public_key(&key.ctx);
    return public_key_digest(key.ctx).value_or(Digest{});
}

void show_efuse(Audit& in, ConstBytes payload, zud_section& sec) {
    const char* reason = nullptr;
    const auto e = decode_efuse_pattern(payload, &reason);
    if (!in.check(e.has_value(), "eFuse pattern", 0, reason != nullptr ? reason : "")) return;
    sec.fields.emplace_back("encryption", e->encrypted ? "on (AES key present, not shown)" : "off (no AES key)");
    check_root_digest(in, e->root_digest, std::nullopt, sec);
    if (e->encrypted && in.options.aes_key) {
        in.check(std::equal(e->aes_key.begin(), e->aes_key.end(), in.options.aes_key->begin()),
                 "AES key is the one given", std::nullopt, "the pattern carries another AES key");
    }
}

void check_sealed(Audit& in, const Source& s, ConstBytes block) {
    const StageBlockMemory plain(block);
    const zud_stored_block b = read_stored_block(plain, std::nullopt);
    zud_section& sec = in.section("signed block (built-in key)", 0);
    add_block_fields(sec, b.header);
    if (!b.problem.empty()) {
        in.fail("signature by the built-in key", 0, b.problem);
        return;
    }
    if (!in.check(b.rsa && b.key_digest == builtin_key_digest(), "signature by the built-in key", 0,
                  "another key signed it")) {
        return;
    }
    Buffer payload(0);
    if (!read_payload(plain, b, payload) || payload.size() != kPackageSize) {
        in.fail("payload", b.header.payload_offset, "it is not the 512 bytes of a pattern or package");
        return;
    }
    const char* reason = nullptr;
    zud_section& fields = in.section("payload", b.header.payload_offset);
    if (decode_efuse_pattern(payload.bytes(), nullptr)) {
        in.report.kind = "eFuse pattern (signed and encrypted with the built-in key)";
        show_efuse(in, payload.bytes(), fields);
    } else if (const auto p = decode_password_package(payload.bytes(), &reason)) {
        in.report.kind = "unlock password package (signed and encrypted with the built-in key)";
        fields.fields.emplace_back("interface", password_interface_name(p->interface));
        fields.fields.emplace_back("password digest", "present (not shown)");
        in.pass("unlock password package", std::nullopt);
    } else if (const auto c = decode_customer_id_package(payload.bytes(), &reason)) {
        in.report.kind = "customer ID package (signed and encrypted with the built-in key)";
        fields.fields.emplace_back("customer ID", c->id);
        in.pass("customer ID package", std::nullopt);
    } else {
        in.report.kind = "file sealed with the built-in key";
        in.fail("payload", b.header.payload_offset, "it is neither an eFuse pattern nor a device package");
    }
    (void)s;
}

// ---------------------------------------------------------------------------
// zud_user_key files, single blocks and upgrade files

void check_user_key_file(Audit& in, const char* path, const Source& s, const zud_user_key_layout& layout) {
    Buffer keymax(kKeymaxSize);
    if (!keymax.ok() || !s.read(layout.keymax_offset, keymax.bytes())) return;
    RsaKey key;
    zud_section& key_sec = in.section("user key", 0);
    key_sec.fields.emplace_back("key file bytes", number(layout.key_file_size));
    const bool loaded = zud_tq_load_rsa_key_file(&key.ctx, path) == 0;
    if (!in.check(loaded && (key.ctx.len == 128 || key.ctx.len == 256 || key.ctx.len == 512),
                  "user key loads", 0, "it is no RSA key of 1024, 2048 or 4096 bits")) {
        return;
    }
    const Digest digest = public_key_digest(key.ctx).value_or(Digest{});
    key_sec.fields.emplace_back("modulus bits", number(key.ctx.len * 8));
    key_sec.fields.emplace_back("key digest", hex(digest));
    const auto km = audit_keymax(in, keymax.bytes(), layout.keymax_offset);
    if (km) {
        in.check(km->user.entries[0].key_digest == digest, "user key is the keymax's first user key", 0,
                 "the keymax's first user key is another key");
    }
    in.section("AES key", layout.aes_offset).fields.emplace_back("AES key", "32 bytes (not shown)");
}

void check_single_block(Audit& in, const Source& s) {
    const zud_stored_block b = read_stored_block(Region(s, 0, s.size(), nullptr), std::nullopt);
    zud_section& sec = in.section("signed block", 0);
    add_block_fields(sec, b.header);
    if (!b.problem.empty()) {
        in.fail("signed block", 0, b.problem);
        return;
    }
    if (b.rsa) sec.fields.emplace_back("key digest", hex(b.key_digest));
    in.pass(signer_of(b, nullptr, "signed block") + (b.rsa ? " it carries" : ""), 0);
}

void check_upgrade_file(Audit& in, const Source& s) {
    RsaKey key;
    if (!trailer_key(in, nullptr, key)) return;
    if (s.size() < key.ctx.len) {
        in.fail("upgrade trailer", 0, "the file is shorter than one trailer block");
        return;
    }
    check_trailer(in, s, s.size(), key.ctx);
}

// ---------------------------------------------------------------------------
// Recognition

bool looks_like_bootloader(const Source& s) {
    Buffer area(kBl2AreaSize);
    Buffer toc(kTocRegionSize);
    return s.size() >= kFipOffset + kTocRegionSize && area.ok() && toc.ok() && s.read(0, area.bytes()) &&
           decode_bl2_area(area.bytes()).has_value() && s.read(kFipOffset, toc.bytes()) &&
           decode_fip_toc(toc.bytes(), nullptr).has_value();
}

bool looks_like_encrypted_bootloader(const Source& s, const std::array<std::uint8_t, kAesKeySize>& key) {
    Buffer area(kBl2AreaSize);
    AesCbc cipher;
    std::array<std::uint8_t, kAesBlockSize> iv{};
    return s.size() >= kFipOffset + kTocRegionSize && area.ok() && s.read(0, area.bytes()) &&
           cipher.set_decrypt_key(key) == 0 && cipher.decrypt(area.bytes(), iv) == 0 &&
           decode_bl2_area(area.bytes()).has_value();
}

// The sealed bytes, decrypted, when the file is a small one that decrypts
// with the built-in key to a signed block.
bool open_if_sealed(const Source& s, Buffer& block) {
    if (s.size() == 0 || s.size() > kMaxSealedSize || s.size() % kAesBlockSize != 0) return false;
    Buffer sealed(static_cast<std::size_t>(s.size()));
    block = Buffer(static_cast<std::size_t>(s.size()));
    return sealed.ok() && block.ok() && s.read(0, sealed.bytes()) && zud_open_sealed(sealed.bytes(), block.bytes()) &&
           decode_signed_block_header(block.bytes()).has_value();
}

}  // namespace

const zud_check* zud_report::first_problem() const {
    for (const zud_check& c : checks)
        if (c.state != zud_check_state::kPassed) return &c;
    return nullptr;
}

zud_report zud_audit(const char* path, const zud_audit_options& options) {
    zud_report report;
    report.path = path != nullptr ? path : "";
    const Source s(path);
    if (path == nullptr || !s.ok()) {
        report.error = path == nullptr ? "cannot open " + report.path : s.error();
        return report;
    }
    report.size = s.size();
    Audit in(report, options);
    Buffer keymax(kKeymaxSize);
    const auto user_layout = user_key_layout(s.size());
    Buffer sealed(0);
    if (s.size() == kKeymaxSize && keymax.ok() && s.read(0, keymax.bytes()) && decode_keymax(keymax.bytes())) {
        report.kind = "keymax";
        (void)audit_keymax(in, keymax.bytes(), 0);
    } else if (s.has(0, "ANDROID!")) {
        std::array<std::uint8_t, kBootHeaderPageSize> page{};
        const bool signed_image = s.read(0, page) && has_image_security_header(page);
        report.kind = signed_image ? "signed kernel image" : s.has(kBootHeaderPageSize, "@ZUD") ? "packaged kernel image" : "";
        if (report.kind.empty()) {
            report.error = report.path + " is an Android boot image that is neither signed nor packaged";
            return report;
        }
        check_kernel_image(in, s);
    } else if (looks_like_bootloader(s)) {
        report.kind = "bootloader";
        check_bootloader(in, s, false);
    } else if (user_layout && keymax.ok() && s.read(user_layout->keymax_offset, keymax.bytes()) &&
               decode_keymax(keymax.bytes())) {
        report.kind = "zud_user_key file";
        check_user_key_file(in, path, s, *user_layout);
    } else if (s.has(0, "@ZUD")) {
        report.kind = "signed block";
        check_single_block(in, s);
    } else if (open_if_sealed(s, sealed)) {
        check_sealed(in, s, sealed.bytes());
    } else if (options.aes_key && looks_like_encrypted_bootloader(s, *options.aes_key)) {
        report.kind = "bootloader, encrypted";
        check_bootloader(in, s, true);
    } else if (!options.public_key.empty()) {
        report.kind = "upgrade file";
        check_upgrade_file(in, s);
    } else {
        report.error = report.path + " is not a file of the tool's (an encrypted bootloader needs --aes-key "
                       "or --user-key, an upgrade file --key)";
    }
    return report;
}

bool zud_read_aes_key_for_audit(const char* path, bool user_key_file,
                                     std::array<std::uint8_t, kAesKeySize>& key, std::string& reason) {
    std::string error;
    File f = open_input(path, error);
    const auto size = stream_size(f.get());
    if (!f || !size) {
        reason = f ? std::string("cannot open ") + path : error;
        return false;
    }
    std::uint64_t at = 0;
    if (user_key_file) {
        const auto layout = user_key_layout(*size);
        if (!layout) {
            reason = std::string(path) + " is too short for a zud_user_key file";
            return false;
        }
        at = layout->aes_offset;
    } else if (*size != kAesKeySize) {
        reason = std::string(path) + " is not a 32-byte AES key file";
        return false;
    }
    if (!seek_to(f.get(), at) || !read_exact(f.get(), key)) {
        reason = std::string("cannot read ") + path;
        return false;
    }
    return true;
}
