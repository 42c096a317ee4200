// Audit of every file the tool writes: recognition by the file's own
// structure, then the walk of its kind (audit_walk.h).
#include "audit.h"

#include <algorithm>
#include <cstring>

#include "audit_walk.h"
#include "bl2_area.h"
#include "boot_image.h"
#include "builtin_key.h"
#include "efuse_pattern.h"
#include "fip_toc.h"
#include "image_header.h"
#include "keymax.h"
#include "sd_image.h"
#include "signed_block.h"
#include "stage_block.h"
#include "user_key_file.h"

using namespace audit_walk;

namespace {

constexpr std::uint64_t kMaxSealedSize = 1 << 20;

bool looks_like_bootloader(const Source& s) {
    Buffer area(kBl2AreaSize);
    Buffer toc(kTocRegionSize);
    return s.size() >= kFipOffset + kTocRegionSize && area.ok() && toc.ok() && s.read(0, area.bytes()) &&
           decode_bl2_area(area.bytes()).has_value() && s.read(kFipOffset, toc.bytes()) &&
           decode_fip_toc(toc.bytes(), nullptr).has_value();
}

// The shape of an encrypted bootloader, which has no plain byte to know it
// by: the BL2 area, the table of contents region and at least one stage
// block, in whole cipher blocks (a trailer is whole cipher blocks too).
bool has_encrypted_bootloader_shape(const Source& s) {
    return s.size() > kFipOffset + kTocRegionSize && s.size() % kAesBlockSize == 0;
}

// True when the first 49152 bytes decrypt with `key` to a BL2 area.
bool bl2_area_decrypts(const Source& s, const std::array<std::uint8_t, kAesKeySize>& key) {
    Buffer area(kBl2AreaSize);
    AesCbc cipher;
    std::array<std::uint8_t, kAesBlockSize> iv{};
    return area.ok() && s.read(0, area.bytes()) && cipher.set_decrypt_key(key) == 0 &&
           cipher.decrypt(area.bytes(), iv) == 0 && decode_bl2_area(area.bytes()).has_value();
}

bool is_keymax(const Source& s) {
    Buffer keymax(kKeymaxSize);
    return s.size() == kKeymaxSize && keymax.ok() && s.read(0, keymax.bytes()) && decode_keymax(keymax.bytes());
}

bool is_user_key_file(const Source& s) {
    const auto layout = user_key_layout(s.size());
    Buffer keymax(kKeymaxSize);
    return layout && keymax.ok() && s.read(layout->keymax_offset, keymax.bytes()) && decode_keymax(keymax.bytes());
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

void set_kind(zud_report& r, const char* words, const char* id) {
    r.kind = words;
    r.kind_id = id;
}

std::string anchor_words(const zud_audit_options& o) {
    std::string words;
    const auto add = [&](const char* w) { words += (words.empty() ? "" : ", ") + std::string(w); };
    if (o.efuse_root) add("the eFuse pattern's root key digest");
    if (o.expect_root) add("the expected root key digest");
    if (!o.root_digests.empty()) add("the root digests given");
    if (words.empty() && zud_has_trust_anchor(o)) add("the built-in root digest table");
    return words;
}

// Who signed what, in one place: every signature checked, by its check id,
// with the signer's key digest and where it sits in the matrices. info
// shows it, as verify shows each signer on its check's line.
void add_signers(Audit& in) {
    zud_section* signers = nullptr;
    for (const zud_check& c : in.report.checks) {
        if (!c.signer) continue;
        if (signers == nullptr) signers = &in.section("signers", "signatures", std::nullopt);
        const std::string place = place_words(*c.signer);
        std::string key = c.id;  // field keys are snake_case: the check id, dots as underscores
        std::replace(key.begin(), key.end(), '.', '_');
        signers->text(key, "key " + hex(c.signer->key_digest) + (c.signer->bits != 0 ? ", " + number(c.signer->bits) + "-bit" : "") +
                                (place.empty() ? "" : " (" + place + ")"));
    }
}

// Recognises what `s` holds and runs its walk; false when it is no file of
// the tool's. `path` names the file `s` reads, or is null for a file held
// inside another (an SD card image's): that one is not taken for a boot
// medium, a zud_user_key file (whose key is loaded by its path) or an
// upgrade file (which any bytes may be), is taken for an encrypted
// bootloader only when its BL2 area decrypts to one, and sets no error.
bool check_file(Audit& in, const Source& s, const char* path) {
    zud_report& report = in.report;
    const zud_audit_options& options = in.options;
    const bool held = path == nullptr;
    Buffer sealed(0);
    // Kinds with plain bytes of their own come first, so that what a file is
    // taken for never depends on the keys given.
    if (is_keymax(s)) {
        set_kind(report, "keymax", "keymax");
        Buffer keymax(kKeymaxSize);
        if (keymax.ok() && s.read(0, keymax.bytes())) (void)audit_keymax(in, keymax.bytes(), 0, "");
    } else if (s.has(0, "ANDROID!")) {
        std::array<std::uint8_t, kBootHeaderPageSize> page{};
        const bool signed_image = s.read(0, page) && has_image_security_header(page);
        if (signed_image) set_kind(report, "signed kernel image", "signed_kernel_image");
        else if (s.has(kBootHeaderPageSize, "@ZUD")) set_kind(report, "packaged kernel image", "packaged_kernel_image");
        else {
            if (!held) report.error = report.path + " is an Android boot image that is neither signed nor packaged";
            return false;
        }
        check_kernel_image(in, s);
    } else if (looks_like_bootloader(s)) {
        set_kind(report, "bootloader", "bootloader");
        check_bootloader(in, s, false);
    } else if (!held && is_user_key_file(s)) {
        set_kind(report, "zud_user_key file", "user_key_file");
        check_user_key_file(in, path, s);
    } else if (s.has(0, "@ZUD")) {
        set_kind(report, "signed block", "signed_block");
        check_single_block(in, s);
    } else if (open_if_sealed(s, sealed)) {
        // What it holds is known once its signature verifies; until then
        // (and when it does not) it is a sealed file.
        set_kind(report, "file sealed with the built-in key", "sealed_file");
        check_sealed(in, sealed.bytes());
    } else if (!held && check_boot_medium(in, s, path)) {
        // An SD card image or a part of the USB pair (audit_media.cpp).
    } else if (options.aes_key && has_encrypted_bootloader_shape(s) &&
               (!held || bl2_area_decrypts(s, *options.aes_key))) {
        // Given an AES key, a file of a bootloader's shape is taken for an
        // encrypted bootloader: a key that does not open it fails here
        // rather than sending the file on to another kind.
        set_kind(report, "bootloader, encrypted", "encrypted_bootloader");
        check_bootloader(in, s, true);
    } else if (const auto form = key_file_form(s)) {
        check_key_file(in, s, *form);
    } else if (!held && (!options.public_key.empty() || !options.trailer_keys.empty())) {
        set_kind(report, "upgrade file", "upgrade_file");
        check_upgrade_file(in, s);
    } else {
        if (!held) {
            report.error = report.path + " is not a file of the tool's (an encrypted bootloader needs --aes-key, "
                           "--user-key or --efuse, an upgrade file --key)";
        }
        return false;
    }
    return true;
}

}  // namespace

namespace audit_walk {

bool check_held_file(Audit& in, const Source& s) { return check_file(in, s, nullptr); }

}  // namespace audit_walk

zud_report zud_audit(const char* path, const zud_audit_options& options) {
    zud_report report;
    report.path = path != nullptr ? path : "";
    report.anchor = anchor_words(options);
    const Source s(path);
    if (path == nullptr || !s.ok()) {
        report.error = path == nullptr ? "cannot open " + report.path : s.error();
        return report;
    }
    report.size = s.size();
    report.sized = true;
    Audit in(report, options);
    (void)check_file(in, s, path);  // a file it does not recognise has report.error set
    add_signers(in);
    return report;
}

namespace {

// The whole of a small file, or nullopt with `reason` set.
std::optional<std::vector<std::uint8_t>> read_small(const char* path, std::uint64_t limit, std::string& reason) {
    std::string error;
    File f = open_input(path, error);
    const auto size = stream_size(f.get());
    if (!f || !size) {
        reason = f ? std::string("cannot take the size of ") + path : error;
        return std::nullopt;
    }
    if (*size > limit) {
        reason = std::string(path) + " is larger than " + std::to_string(limit) + " bytes";
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(*size));
    if (!read_exact(f.get(), bytes)) {
        reason = std::string("cannot read ") + path;
        return std::nullopt;
    }
    return bytes;
}

}  // namespace

bool zud_read_efuse_pattern(const char* path, zud_efuse_pattern& pattern, std::string& reason) {
    const auto sealed = read_small(path, kMaxSealedSize, reason);
    if (!sealed) return false;
    const std::string not_one = std::string(path) + " is not an eFuse pattern sealed with the built-in key";
    Buffer block(sealed->size());
    if (sealed->empty() || sealed->size() % kAesBlockSize != 0 || !block.ok() ||
        !zud_open_sealed(*sealed, block.bytes())) {
        reason = not_one;
        return false;
    }
    const StageBlockMemory plain(block.bytes());
    const zud_stored_block b = read_stored_block(plain, std::nullopt);
    std::array<std::uint8_t, kEfusePatternSize> payload{};
    if (!b.problem.empty() || b.stage_size != payload.size() || !read_stored_payload(plain, b, payload)) {
        reason = not_one;
        return false;
    }
    const auto decoded = decode_efuse_pattern(payload, nullptr);
    wipe(payload.data(), payload.size());
    if (!decoded) {
        reason = not_one;
        return false;
    }
    pattern = *decoded;
    return true;
}

bool zud_read_efuse_for_audit(const char* path, zud_audit_options& options, std::string& reason) {
    zud_efuse_pattern pattern;
    if (!zud_read_efuse_pattern(path, pattern, reason)) return false;
    options.efuse_root = RootDigest{};
    std::copy(pattern.root_digest.begin(), pattern.root_digest.end(), options.efuse_root->begin());
    if (pattern.encrypted && !options.aes_key) options.aes_key = pattern.aes_key;
    wipe(pattern.aes_key.data(), pattern.aes_key.size());
    return true;
}

namespace {

// The keymax at the start of a bootloader's BL2 area held by `s` (plain,
// or opening with `aes_key`), in signing mode.
std::optional<std::array<std::uint8_t, kKeymaxSize>> bl2_area_keymax(
    const Source& s, const std::optional<std::array<std::uint8_t, kAesKeySize>>& aes_key) {
    Buffer area(kBl2AreaSize);
    if (!area.ok() || !s.read(0, area.bytes())) return std::nullopt;
    auto bl2 = decode_bl2_area(area.bytes());
    if (!bl2 && aes_key) {
        AesCbc cipher;
        std::array<std::uint8_t, kAesBlockSize> iv{};
        if (cipher.set_decrypt_key(*aes_key) != 0 || cipher.decrypt(area.bytes(), iv) != 0) return std::nullopt;
        bl2 = decode_bl2_area(area.bytes());
    }
    if (!bl2 || !bl2->signing) return std::nullopt;
    std::array<std::uint8_t, kKeymaxSize> keymax{};
    std::copy_n(area.bytes().begin(), kKeymaxSize, keymax.begin());
    return keymax;
}

std::optional<std::array<std::uint8_t, kKeymaxSize>> probe_keymax(
    const Source& s, const std::optional<std::array<std::uint8_t, kAesKeySize>>& aes_key, bool held) {
    std::array<std::uint8_t, kKeymaxSize> keymax{};
    if (is_keymax(s)) {
        if (!s.read(0, keymax)) return std::nullopt;
        return keymax;
    }
    if (!held) {
        if (const auto layout = user_key_layout(s.size()); layout && is_user_key_file(s)) {
            if (!s.read(layout->keymax_offset, keymax)) return std::nullopt;
            return keymax;
        }
    }
    if (s.size() >= kBl2AreaSize) {
        if (auto found = bl2_area_keymax(s, aes_key)) return found;
    }
    if (!held && s.size() > kSdFillerSize) {
        const Source image_file(s, kSdFillerSize, s.size() - kSdFillerSize);
        return probe_keymax(image_file, aes_key, true);
    }
    return std::nullopt;
}

}  // namespace

zud_file_probe zud_probe_file(const char* path, const std::optional<std::array<std::uint8_t, kAesKeySize>>& aes_key) {
    zud_file_probe probe;
    if (path == nullptr) return probe;
    const Source s(path);
    if (!s.ok()) return probe;
    probe.opened = true;
    probe.size = s.size();
    probe.keymax = probe_keymax(s, aes_key, false);
    probe.user_key_file = is_user_key_file(s);
    probe.kernel_image = s.has(0, "ANDROID!") || s.has(kSdFillerSize, "ANDROID!");
    return probe;
}

bool zud_read_keymax_for_audit(const char* path, bool user_key_file, zud_audit_options& options,
                               std::string& reason) {
    std::array<std::uint8_t, kKeymaxSize> keymax{};
    if (user_key_file) {
        const auto bytes = read_small(path, kMaxSealedSize, reason);
        if (!bytes) return false;
        const auto file = decode_user_key_file(*bytes);
        if (!file) {
            reason = std::string(path) + " is too short for a zud_user_key file";
            return false;
        }
        std::copy(file->keymax.begin(), file->keymax.end(), keymax.begin());
    } else if (read_sized_file(path, keymax, "a keymax", reason) != SizedRead::kRead) {
        return false;
    }
    options.keymax = keymax;
    return true;
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
