// The audit of whole files, fuzzed from the tool's real outputs: encrypted
// bootloaders and kernel images are audited with the AES key they were
// made with, so the walk decrypts and checks every stage behind a patched
// byte; sealed files are patched in the clear and sealed again with the
// built-in key, so the package decoders see hostile payloads behind a good
// signature. Every report is then written as text and as JSON, which must
// parse, and the text must carry no control character a terminal would
// act on.
//
// Input: byte 0 the mode, then per mode:
//   0 template  byte 1 the template, byte 2 the options, a u24 cut and
//               (u24 offset, xor) patches
//   1 raw       byte 1 the options, the rest is the file
//   2 resealed  byte 1 the payload (eFuse pattern, password or customer-ID
//               package), byte 2 the options, a u16 cut and u16 patches
//   3 readers   byte 1 the reader and template, a u24 cut and u24 patches:
//               the eFuse, keymax and AES key readers of zud_keytool's options
#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "audit.h"
#include "builtin.h"
#include "crypto.h"
#include "device_packages.h"
#include "efuse_pattern.h"
#include "fuzz/artefacts.h"
#include "fuzz/fuzz_entries.h"
#include "rsa.h"
#include "stage_block.h"
#include "verify.h"

namespace {

enum Mode : std::uint8_t { kTemplate, kRaw, kResealed, kReaders, kModeCount };

struct Template {
    const char* name;
    const char* kind_id;  // what the audit takes the whole template for
    FuzzBytes bytes;
    std::uint8_t options;  // with which the whole template verifies
};

// The plain payloads of the sealed files, for kResealed.
struct Payloads {
    FuzzBytes efuse, password, customer_id;
};

struct AuditTemplates {
    AuditTemplates();
    std::vector<Template> files;
    Payloads payloads;
    std::array<std::uint8_t, kKeymaxSize> keymax{};
};

AuditTemplates::AuditTemplates() {
    const FuzzArtefacts& a = fuzz_artefacts();
    files = {
        {"encrypted-bootloader", "encrypted_bootloader", a.encrypted_bootloader, 0x0C},
        {"encrypted-bootloader-untrailed", "encrypted_bootloader", a.encrypted_bootloader_untrailed, 0x04},
        {"signed-bootloader", "bootloader", a.signed_bootloader, 0x0C},
        {"digest-bootloader", "bootloader", a.digest_bootloader, 0x04},
        {"signed-kernel", "signed_kernel_image", a.signed_kernel, 0x0C},
        {"signed-kernel-untrailed", "signed_kernel_image", a.signed_kernel_untrailed, 0x04},
        {"packaged-kernel", "packaged_kernel_image", a.packaged_kernel, 0x04},
        {"keymax", "keymax", a.keymax, 0x04},
        {"user-key", "user_key_file", a.user_key, 0x04},
        {"efuse", "efuse_pattern", a.efuse, 0x04},
        {"password-package", "password_package", a.password_package, 0x04},
        {"customer-id-package", "customer_id_package", a.customer_id_package, 0x04},
        {"upgrade-file", "upgrade_file", a.upgrade_file, 0x0C},
        {"signed-block", "signed_block", a.signed_block, 0x04},
        {"digest-block", "signed_block", a.digest_block, 0x04},
    };
    std::copy(a.keymax.begin(), a.keymax.end(), keymax.begin());
    // The payloads, from the sealed files themselves.
    payloads = {sealed_payload(a.efuse), sealed_payload(a.password_package), sealed_payload(a.customer_id_package)};
}

const AuditTemplates& templates() {
    static const AuditTemplates t;
    return t;
}

// The options byte: bits 0-1 the AES key (the real one, none, a wrong
// one), bit 2 the keymax in force, bit 3 a key for upgrade trailers (bit 7:
// the zud_user_key file rather than the key file), bits 4-5 the anchor.
zud_audit_options options_for(std::uint8_t bits) {
    const FuzzArtefacts& a = fuzz_artefacts();
    zud_audit_options o;
    switch (bits & 3) {
        case 1: break;
        case 2:
            o.aes_key = a.aes_key;
            (*o.aes_key)[5] ^= 0x20;
            break;
        default: o.aes_key = a.aes_key;
    }
    if ((bits & 4) != 0) o.keymax = templates().keymax;
    if ((bits & 8) != 0) o.public_key = (bits & 0x80) != 0 ? a.user_key_path : a.user1_key_path;
    // A passphrase file, so that nothing ever waits for a terminal.
    o.passphrase_file = a.aes_key_path;
    RootDigest wrong = a.root_digest;
    wrong[0] ^= 1;
    switch ((bits >> 4) & 3) {
        case 0: o.root_digests = {a.root_digest}; break;
        case 1: o.any_root = true; break;
        case 2: o.expect_root = a.root_digest; break;
        default:
            o.efuse_root = a.root_digest;
            o.root_digests = {wrong, a.root_digest};
    }
    return o;
}

bool is_terminal_safe(const std::string& text) {
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\n') || u == 0x7F;
    });
}

// Both reports of `r`; fails the input when the JSON does not parse or the
// text would send a control character to a terminal.
void write_reports(const zud_report& r, bool checks) {
    const std::string json = zud_report_json(r, checks);
    if (!nlohmann::json::accept(json)) fuzz_fail("the JSON report does not parse");
    char* text = nullptr;
    std::size_t length = 0;
    std::FILE* out = ::open_memstream(&text, &length);
    if (out == nullptr) return;
    zud_print_report(r, checks, out);
    std::fclose(out);
    const std::string shown(text, length);
    std::free(text);
    if (!is_terminal_safe(shown)) fuzz_fail("the text report carries a control character");
    if (!is_terminal_safe(zud_verdict_text(r))) fuzz_fail("the verdict carries a control character");
}

void audit_file(std::span<const std::uint8_t> file, std::uint8_t option_bits) {
    const ExactCopy exact(file);
    const std::string& path = scratch_file(exact.bytes(), "audited");
    const zud_audit_options options = options_for(option_bits);
    const zud_report r = zud_audit(path.c_str(), options);
    write_reports(r, (option_bits & 0x40) != 0);
}

// Patches a sealed file's payload and seals it again as the signer does.
void audit_resealed(FuzzInput& in) {
    const Payloads& p = templates().payloads;
    const FuzzBytes* const kinds[] = {&p.efuse, &p.password, &p.customer_id};
    const FuzzBytes& base = *kinds[in.u8() % 3];
    const std::uint8_t option_bits = in.u8();
    const FuzzBytes payload = patch_template(base, in, 16, 16);
    const std::string& path = scratch_file(payload, "resealed");
    int sealed = 0;
    {
        const QuietOutput quiet;
        sealed = zud_tq_internal_sig(path.c_str());
    }
    if (sealed != 0) return;  // an empty payload is left unsealed
    audit_file(read_whole_file(path), option_bits);
}

// The readers of zud_keytool's --efuse, --keymax, --user-key and --aes-key files.
void run_readers(FuzzInput& in) {
    const FuzzArtefacts& a = fuzz_artefacts();
    const std::uint8_t which = in.u8();
    const FuzzBytes* const bases[] = {&a.efuse, &a.keymax, &a.user_key, &a.user_key};
    const FuzzBytes bytes = patch_template(*bases[which % 4], in, 24, 24);
    const ExactCopy exact(bytes);
    const std::string& path = scratch_file(exact.bytes(), "option-file");
    zud_audit_options o;
    std::string reason;
    switch (which % 4) {
        case 0: (void)zud_read_efuse_for_audit(path.c_str(), o, reason); break;
        case 1: (void)zud_read_keymax_for_audit(path.c_str(), false, o, reason); break;
        case 2: (void)zud_read_keymax_for_audit(path.c_str(), true, o, reason); break;
        default: {
            std::array<std::uint8_t, kAesKeySize> key{};
            (void)zud_read_aes_key_for_audit(path.c_str(), (which & 4) != 0, key, reason);
        }
    }
    if (!o.root_digests.empty() || o.any_root) fuzz_fail("an option reader set what it does not read");
}

// The root digest table the audit falls back on is the build's default
// (no root), whatever another entry of this process set.
void reset_root_table() {
    static const std::array<RootDigest, kRootDigestCount> none{};
    zud_set_root_digests(none);
}

// The whole templates must audit as what they are, or the patched ones
// would not reach the checks behind their first bytes.
void check_templates() {
    for (const Template& t : templates().files) {
        const zud_report r = zud_audit(scratch_file(t.bytes, "audited").c_str(), options_for(t.options));
        if (r.kind_id != t.kind_id) {
            std::fprintf(stderr, "audit template %s is taken for '%s' (%s)\n", t.name, r.kind_id.c_str(),
                         r.error.c_str());
            fuzz_fail("an audit template is not recognised");
        }
        if (!r.verified()) {
            std::fprintf(stderr, "audit template %s: %s\n", t.name, zud_verdict_text(r).c_str());
            fuzz_fail("an audit template does not verify");
        }
    }
}

}  // namespace

int fuzz_audit(const std::uint8_t* data, std::size_t size) {
    static const bool checked = (reset_root_table(), check_templates(), true);
    (void)checked;
    reset_root_table();
    FuzzInput in(data, size);
    switch (in.u8() % kModeCount) {
        case kTemplate: {
            const auto& files = templates().files;
            const Template& t = files[in.u8() % files.size()];
            const std::uint8_t option_bits = in.u8();
            audit_file(patch_template(t.bytes, in, 24, 24), option_bits);
            break;
        }
        case kRaw: {
            const std::uint8_t option_bits = in.u8();
            audit_file(in.rest(), option_bits);
            break;
        }
        case kResealed: audit_resealed(in); break;
        default: run_readers(in);
    }
    if (g_nVQ_RSA_keyFormat != 0) fuzz_fail("the key format flag was left set");
    return 0;
}

std::vector<FuzzSeed> audit_fuzz_seeds() {
    std::vector<FuzzSeed> seeds;
    const auto add = [&](std::string name, FuzzBytes head, const FuzzBytes& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        seeds.push_back({std::move(name), std::move(head)});
    };
    const auto& files = templates().files;
    const std::uint8_t option_sets[] = {0x04, 0x4C, 0x5D, 0x61, 0xBE};
    for (std::size_t i = 0; i < files.size(); ++i) {
        for (const std::uint8_t bits : option_sets) {
            char name[64];
            std::snprintf(name, sizeof name, "template-%s-%02x", files[i].name, bits);
            add(name, {kTemplate, static_cast<std::uint8_t>(i), bits}, whole_template(24));
        }
    }
    // The small outputs as they are, for the mutator to work on directly.
    for (const Template& t : files) {
        if (t.bytes.size() <= 8192) add(std::string("raw-") + t.name, {kRaw, 0x4C}, t.bytes);
    }
    const char* const payloads[] = {"efuse", "password", "customer-id"};
    for (std::uint8_t i = 0; i < 3; ++i) {
        add(std::string("resealed-") + payloads[i], {kResealed, i, 0x44}, whole_template(16));
    }
    const char* const readers[] = {"efuse", "keymax", "user-key-keymax", "aes-key"};
    for (std::uint8_t i = 0; i < 4; ++i) {
        add(std::string("reader-") + readers[i], {kReaders, i}, whole_template(24));
    }
    add("reader-aes-key-of-user-key", {kReaders, 7}, whole_template(24));
    return seeds;
}
