// The check of a release set (audit_set.h): the members found, the set's
// keymax and keys chosen, every member audited with the eFuse pattern as
// its anchor, the links between members checked, and the first broken one
// put in words.
#include "audit_set.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <thread>

#include "audit_walk.h"
#include "key_matrix.h"
#include "keymax.h"
#include "sealed_file.h"
#include "signing_key.h"

using audit_walk::hex;

namespace {

using AesKey = std::array<std::uint8_t, kAesKeySize>;
using KeymaxBytes = std::array<std::uint8_t, kKeymaxSize>;

// Files at least this large are examined two at a time; smaller ones (keys,
// packages, keymaxes) one after the other first.
constexpr std::uint64_t kLargeFile = 1 << 20;

// An AES key that is wiped when it goes.
struct SecretAes {
    std::optional<AesKey> key;
    SecretAes() = default;
    SecretAes(const SecretAes&) = delete;
    SecretAes& operator=(const SecretAes&) = delete;
    ~SecretAes() {
        if (key) wipe(key->data(), key->size());
    }
};

struct Member {
    std::string path;
    bool from_directory = false;
    zud_file_probe probe;
};

std::optional<std::pair<dev_t, ino_t>> identity(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return std::make_pair(st.st_dev, st.st_ino);
}

// The files the set is made of: each file given, and the regular files of
// each directory given in name order; the eFuse pattern itself and files
// named twice are left out.
std::vector<Member> members_of(const zud_set_options& o) {
    namespace fs = std::filesystem;
    std::vector<Member> members;
    std::vector<std::pair<dev_t, ino_t>> seen;
    if (const auto efuse = identity(o.efuse_path)) seen.push_back(*efuse);
    const auto add = [&](const std::string& path, bool from_directory) {
        const auto id = identity(path);
        if (id && std::find(seen.begin(), seen.end(), *id) != seen.end()) return;
        if (!id && std::any_of(members.begin(), members.end(), [&](const Member& m) { return m.path == path; })) return;
        if (id) seen.push_back(*id);
        members.push_back({path, from_directory, {}});
    };
    for (const std::string& given : o.artefacts) {
        std::error_code ec;
        if (!fs::is_directory(given, ec)) {
            add(given, false);
            continue;
        }
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(given, ec)) {
            std::error_code entry_ec;
            if (entry.is_regular_file(entry_ec)) names.push_back(entry.path().string());
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) add(name, true);
    }
    return members;
}

bool same_keymax(const KeymaxBytes& a, const KeymaxBytes& b) {
    // The first 16 bytes are each bootloader's own IV prefix.
    return std::equal(a.begin() + kKeymaxPrefixSize, a.end(), b.begin() + kKeymaxPrefixSize);
}

// Where two keymaxes differ, in words.
std::string keymax_difference(const KeymaxBytes& a, const KeymaxBytes& b) {
    const auto differs = [&](std::size_t from, std::size_t to) {
        return !std::equal(a.begin() + static_cast<std::ptrdiff_t>(from), a.begin() + static_cast<std::ptrdiff_t>(to),
                           b.begin() + static_cast<std::ptrdiff_t>(from));
    };
    std::string parts;
    const auto add = [&](const char* w) { parts += (parts.empty() ? "" : ", ") + std::string(w); };
    if (differs(kKeymaxRootMatrixOffset, kKeymaxUserMatrixOffset)) add("its root key matrix");
    if (differs(kKeymaxUserMatrixOffset, kKeymaxSize)) add("its user key matrix");
    if (differs(kKeymaxPrefixSize, kKeymaxRootMatrixOffset)) add("its block header, signature or signing key");
    return parts;
}

Digest root_digest_of(const KeymaxBytes& bytes) {
    const auto km = decode_keymax(bytes);
    return km ? key_matrix_root_digest(km->root) : Digest{};
}

const zud_field* find_field(const zud_report& r, const std::string& section, const std::string& key) {
    for (const zud_section& s : r.sections) {
        if (s.id != section) continue;
        for (const zud_field& f : s.fields)
            if (f.key == key) return &f;
    }
    return nullptr;
}

bool is_bootloader(const zud_report& r) {
    return r.kind_id == "bootloader" || r.kind_id == "encrypted_bootloader" || r.kind_id == "usb_bl2" ||
           r.kind_id == "usb_tpl" || (r.kind_id == "sd_image" && find_field(r, "bl2_area", "mode") != nullptr);
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool not_recognised(const zud_report& r) { return r.sized && r.kind_id.empty() && !r.error.empty(); }

// A file of an encrypted bootloader's shape that the fused AES key does not
// open, with nothing beside it that --bootsig writes beside a bootloader
// (its eFuse pattern, its SD image, its USB pair): as likely an upgrade
// file of any content, whose trailer decides.
bool unopened_ciphertext(const zud_report& r, const std::string& path) {
    if (r.kind_id != "encrypted_bootloader" || r.checks.empty() || r.checks.front().id != "bl2_area.decrypts" ||
        r.checks.front().state == zud_check_state::kPassed) {
        return false;
    }
    std::error_code ec;
    for (const char* suffix : {".efuse", ".sd.bin", ".usb.bl2", ".usb.tpl"}) {
        if (std::filesystem::exists(path + suffix, ec)) return false;
    }
    return true;
}

// The checks a member owes the set, added to its report.
void add_set_checks(zud_report& r, const Member& m, const zud_set_report& set,
                    const std::optional<KeymaxBytes>& keymax) {
    if (m.probe.keymax && keymax) {
        r.checks.push_back({"set.same_keymax", "its keymax is the set's (that of " + set.keymax_source + ")",
                            same_keymax(*m.probe.keymax, *keymax) ? zud_check_state::kPassed : zud_check_state::kFailed,
                            std::nullopt, "it differs in " + keymax_difference(*m.probe.keymax, *keymax), std::nullopt});
        if (r.checks.back().state == zud_check_state::kPassed) r.checks.back().detail.clear();
    }
    if (is_bootloader(r)) {
        if (const zud_field* encrypted = find_field(r, "bl2_area", "encrypted")) {
            const bool ok = encrypted->flag == set.efuse_encrypted;
            r.checks.push_back(
                {"set.encryption", "encrypted as the eFuse pattern asks", ok ? zud_check_state::kPassed : zud_check_state::kFailed,
                 0,
                 ok ? "" : set.efuse_encrypted ? "the eFuse pattern asks for an encrypted bootloader and this one is plain"
                                               : "the eFuse pattern asks for a plain bootloader and this one is encrypted",
                 std::nullopt});
        }
    }
}

// A file of a directory that is not the tool's leaves the set; one named
// on the command line stays, and fails.
bool leaves_set(const zud_report& r, const Member& m) {
    if (!m.from_directory) return false;
    if (not_recognised(r)) return true;
    return r.kind_id == "upgrade_file" && r.first_problem() != nullptr && r.first_problem()->id == "upgrade_trailer" &&
           r.checks.size() == 1;
}

// The first problem of one member in words, naming the link it breaks.
std::string broken_link(const zud_report& r, const zud_set_report& set) {
    const std::string p = zud_printable_text(r.path);
    if (!r.error.empty()) return zud_printable_text(r.error);
    const zud_check* c = r.first_problem();
    if (c == nullptr) return "";
    const std::string detail = zud_printable_text(c->detail);
    const std::string efuse = zud_printable_text(set.efuse_path);
    const std::string keymax = zud_printable_text(set.keymax_source);
    if (c->state == zud_check_state::kFailed) {
        if (ends_with(c->id, "root_is_efuse_root")) {
            return p + " is made for another root than the one fused by " + efuse + ": " + detail;
        }
        if (c->id == "bl2_area.decrypts") return p + " does not decrypt with the AES key fused by " + efuse;
        if ((ends_with(c->id, "signer_in_keymax") || ends_with(c->id, "key_in_keymax")) && c->signer) {
            return p + " is signed by key " + hex(c->signer->key_digest) + " which is not a user key of the keymax of " +
                   keymax;
        }
        if (c->id == "set.same_keymax") return p + " carries another keymax than " + keymax + ": " + detail;
        if (c->id == "set.encryption") return p + " does not boot on a board fused by " + efuse + ": " + detail;
        if (c->id == "set.sealed") return p + " " + detail;
        if (c->id.rfind("media.", 0) == 0 && c->id.find("same_as_bootloader") != std::string::npos) {
            return p + " does not hold the bootloader of the set beside it (" + zud_printable_text(c->what) +
                   "): " + detail;
        }
        if (r.kind_id == "upgrade_file" && c->id == "upgrade_trailer" && !c->signer) {
            return p + " is not signed by a user key of the keymax of " + keymax + " that the set carries: " + detail;
        }
    }
    std::string words = p + ": " + zud_printable_text(c->what);
    if (c->offset) words += " (at " + std::to_string(*c->offset) + ")";
    words += c->state == zud_check_state::kFailed ? ": " : " was not checked: ";
    return words + detail;
}

// Adds `key` to `keys` unless a key of its digest is there.
void add_key(std::vector<zud_public_key>& keys, const zud_public_key& key) {
    if (std::none_of(keys.begin(), keys.end(), [&](const zud_public_key& k) { return k.digest == key.digest; })) {
        keys.push_back(key);
    }
}

bool load_public(const char* value, const zud_set_options& o, zud_public_key& out, std::string& reason) {
    SigningKeySource source;
    if (!o.pkcs11_module.empty()) source.pkcs11_module = o.pkcs11_module.c_str();
    if (!o.passphrase_file.empty()) source.passphrase_file = o.passphrase_file.c_str();
    RsaKey key;
    if (!open_public_key(value, source, key, reason)) return false;
    if (!zud_export_public_key(key.ctx, out)) {
        reason = std::string(value) + ": no key a key block can carry";
        return false;
    }
    return true;
}

// Audits `indices` of `members` into `reports`, the large files on
// `threads` threads at once.
void audit_all(const std::vector<Member>& members, const std::vector<zud_audit_options>& options,
               const std::vector<std::size_t>& indices, unsigned threads, std::vector<zud_report>& reports) {
    std::vector<std::size_t> large;
    for (const std::size_t i : indices) {
        if (members[i].probe.size >= kLargeFile) large.push_back(i);
        else reports[i] = zud_audit(members[i].path.c_str(), options[i]);
    }
    // Largest first, so that the last file started is a short one.
    std::sort(large.begin(), large.end(),
              [&](std::size_t a, std::size_t b) { return members[a].probe.size > members[b].probe.size; });
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t k = next++; k < large.size(); k = next++) {
            reports[large[k]] = zud_audit(members[large[k]].path.c_str(), options[large[k]]);
        }
    };
    std::vector<std::thread> pool;
    const std::size_t at_once = std::min<std::size_t>(std::max(threads, 1u), large.size());
    const std::size_t extra = at_once > 0 ? at_once - 1 : 0;
    for (std::size_t t = 0; t < extra; ++t) pool.emplace_back(work);
    work();
    for (std::thread& t : pool) t.join();
}

}  // namespace

zud_set_report zud_audit_set(const zud_set_options& o) {
    zud_set_report set;
    set.efuse_path = o.efuse_path;
    zud_efuse_pattern pattern;
    SecretAes efuse_aes;
    if (!zud_read_efuse_pattern(o.efuse_path.c_str(), pattern, set.error)) return set;
    set.efuse_read = true;
    set.efuse_root = pattern.root_digest;
    set.efuse_encrypted = pattern.encrypted;
    if (pattern.encrypted) efuse_aes.key = pattern.aes_key;
    wipe(pattern.aes_key.data(), pattern.aes_key.size());

    std::vector<Member> members = members_of(o);
    if (members.empty()) {
        set.error = "no files to check: give the set's files or a directory that holds them";
        return set;
    }
    for (Member& m : members) m.probe = zud_probe_file(m.path.c_str(), efuse_aes.key);

    // The set's keymax: the one given, or else the first a file carries
    // whose root is the fused one (or else the first at all).
    zud_audit_options base;
    base.efuse_root = RootDigest{};
    std::copy(set.efuse_root.begin(), set.efuse_root.end(), base.efuse_root->begin());
    base.pkcs11_module = o.pkcs11_module;
    base.passphrase_file = o.passphrase_file;
    base.payload_digests = false;
    SecretAes kernel_aes;
    kernel_aes.key = o.kernel_aes_key;
    std::vector<zud_public_key> keys;
    std::string reason;
    if (!o.user_key_path.empty()) {
        AesKey key{};
        zud_public_key user;
        if (!zud_read_keymax_for_audit(o.user_key_path.c_str(), true, base, reason) ||
            !zud_read_aes_key_for_audit(o.user_key_path.c_str(), true, key, reason) ||
            !load_public(o.user_key_path.c_str(), o, user, reason)) {
            set.error = reason;
            return set;
        }
        if (!kernel_aes.key) kernel_aes.key = key;
        wipe(key.data(), key.size());
        add_key(keys, user);
        set.keymax_source = "--user-key " + o.user_key_path;
    }
    if (!o.keymax_path.empty()) {
        if (!zud_read_keymax_for_audit(o.keymax_path.c_str(), false, base, reason)) {
            set.error = reason;
            return set;
        }
        set.keymax_source = "--keymax " + o.keymax_path;
    }
    if (!o.public_key.empty()) {
        zud_public_key given;
        if (!load_public(o.public_key.c_str(), o, given, reason)) {
            set.error = reason;
            return set;
        }
        add_key(keys, given);
    }
    if (!base.keymax) {
        const Member* chosen = nullptr;
        for (const Member& m : members) {
            if (!m.probe.keymax) continue;
            if (chosen == nullptr || (root_digest_of(*chosen->probe.keymax) != set.efuse_root &&
                                      root_digest_of(*m.probe.keymax) == set.efuse_root)) {
                chosen = &m;
            }
        }
        if (chosen != nullptr) {
            base.keymax = *chosen->probe.keymax;
            set.keymax_source = chosen->path;
        }
    }
    // Kernel images are opened with the AES key given, or that of the
    // first zud_user_key file of the set, or else the fused one.
    for (const Member& m : members) {
        if (kernel_aes.key || !m.probe.user_key_file) continue;
        AesKey key{};
        if (zud_read_aes_key_for_audit(m.path.c_str(), true, key, reason)) kernel_aes.key = key;
        wipe(key.data(), key.size());
    }
    if (!kernel_aes.key) kernel_aes.key = efuse_aes.key;

    std::vector<zud_audit_options> options(members.size(), base);
    std::vector<std::size_t> all;
    for (std::size_t i = 0; i < members.size(); ++i) {
        options[i].aes_key = members[i].probe.kernel_image ? kernel_aes.key : efuse_aes.key;
        all.push_back(i);
    }
    std::vector<zud_report> reports(members.size());
    audit_all(members, options, all, o.threads, reports);

    // Files of no kind of their own are upgrade files when their trailer
    // opens under a key of the set: the keys its files carry, its key files
    // and the keys given.
    for (std::size_t i = 0; i < members.size(); ++i) {
        const zud_report& r = reports[i];
        for (const zud_public_key& k : r.carried_keys) add_key(keys, k);
        if (r.kind_id == "user_key_file" || r.kind_id == "key_file") {
            zud_public_key k;
            std::string ignored;
            if (load_public(members[i].path.c_str(), o, k, ignored)) add_key(keys, k);
        }
    }
    std::vector<std::size_t> unknown;
    std::vector<std::size_t> upgrade;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const bool opaque = unopened_ciphertext(reports[i], members[i].path);
        if (!not_recognised(reports[i]) && !opaque) continue;
        if (!opaque) unknown.push_back(i);
        if (keys.empty()) continue;
        if (opaque) options[i].aes_key.reset();
        options[i].trailer_keys = keys;
        upgrade.push_back(i);
    }
    audit_all(members, options, upgrade, o.threads, reports);
    for (const std::size_t i : unknown) {
        zud_report& r = reports[i];
        // A sealed file's size, and no upgrade file of the set: sealed by
        // another build's built-in key (an eFuse pattern or package of this
        // one would have been recognised).
        if (members[i].probe.size != kSealed512Size || (r.kind_id == "upgrade_file" && r.first_problem() == nullptr)) {
            continue;
        }
        zud_report sealed;
        sealed.path = r.path;
        sealed.size = r.size;
        sealed.sized = true;
        sealed.kind = "file sealed with a built-in key";
        sealed.kind_id = "sealed_file";
        sealed.anchor = r.anchor;
        sealed.checks.push_back({"set.sealed", "sealed with the built-in key of this build", zud_check_state::kFailed, 0,
                                 "is not sealed by the built-in key of this build: it does not open with its AES key "
                                 "(sealed by another build's key, or damaged)",
                                 std::nullopt});
        r = std::move(sealed);
    }

    for (std::size_t i = 0; i < members.size(); ++i) {
        if (leaves_set(reports[i], members[i])) {
            set.left_out.push_back(members[i].path);
            continue;
        }
        add_set_checks(reports[i], members[i], set, base.keymax);
        set.artefacts.push_back(std::move(reports[i]));
    }
    for (const zud_report& r : set.artefacts) {
        set.broken_link = broken_link(r, set);
        if (!set.broken_link.empty()) break;
    }
    if (set.artefacts.empty() && set.error.empty()) {
        set.error = "none of the files given is a file of the tool's";
    }
    if (base.aes_key) wipe(base.aes_key->data(), base.aes_key->size());
    for (zud_audit_options& one : options)
        if (one.aes_key) wipe(one.aes_key->data(), one.aes_key->size());
    return set;
}

std::string zud_set_verdict_text(const zud_set_report& set) {
    if (!set.error.empty()) return "not checked: " + zud_printable_text(set.error);
    if (!set.broken_link.empty()) return "FAILED: " + set.broken_link;
    return "verified: every file would be taken by a board fused with " + zud_printable_text(set.efuse_path);
}
