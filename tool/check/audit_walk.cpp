// The audit's reader, its report builder and the checks every walk shares:
// root key digests, keymaxes, signers and upgrade trailers.
#include "audit_walk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "keymax_check.h"
#include "key_block.h"
#include "signing_key.h"
#include "upgrade_block.h"
#include "verify.h"

namespace audit_walk {

std::string hex(ConstBytes bytes) { return hex_text(bytes); }

std::string number(std::uint64_t v) { return std::to_string(v); }

bool all_zero(ConstBytes b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t v) { return v == 0; });
}

// ---------------------------------------------------------------------------
// Source and Region

Source::Source(const char* path) : file_(open_input(path, error_)) {
    ok_ = file_ != nullptr;
    if (ok_) size_ = stream_size(file_.get()).value_or(0);
}

Source::Source(const Source& outer, std::uint64_t base, std::uint64_t size) {
    ok_ = outer.ok() && fits(outer.size(), base, size);
    if (ok_) {
        size_ = size;
        parts_.push_back({&outer, base, size});
    }
}

Source::Source(const Source& first, const Source& second) {
    ok_ = first.ok() && second.ok();
    if (ok_) {
        size_ = first.size() + second.size();
        parts_.push_back({&first, 0, first.size()});
        parts_.push_back({&second, 0, second.size()});
    }
}

// Positioned reads, which share no file position: two threads may read one
// Source at once (the trailer digest is taken beside the walk).
bool Source::read_file(std::uint64_t offset, MutBytes out) const {
    if (file_ == nullptr) return false;
    const int fd = ::fileno(file_.get());
    while (!out.empty()) {
        const ssize_t n = ::pread(fd, out.data(), out.size(), static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        out = out.subspan(static_cast<std::size_t>(n));
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Trailer digests

TrailerDigests::TrailerDigests(const Source& s) : source_(s) {
    for (const std::uint64_t len : {1024u, 512u, 256u, 128u}) {
        if (s.size() >= len) points_.push_back({s.size() - len, Digest{}});
    }
    if (points_.empty()) return;
    if (s.size() < kBackgroundSize) {
        run();
        return;
    }
    thread_ = std::thread([this] { run(); });
}

TrailerDigests::~TrailerDigests() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void TrailerDigests::run() {
    Sha256 sha;
    Buffer piece(256 * 1024);
    std::uint64_t done = 0;
    for (auto& [at, digest] : points_) {
        while (done < at) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), at - done));
            if (stop_ || !piece.ok() || !source_.read(done, piece.bytes().first(n))) {
                read_ok_ = false;
                return;
            }
            sha.update(piece.bytes().first(n));
            done += n;
        }
        digest = sha.digest_so_far();
    }
}

std::optional<Digest> TrailerDigests::before(std::uint64_t at) {
    if (thread_.joinable()) thread_.join();
    if (!read_ok_) return std::nullopt;
    for (const auto& [point, digest] : points_)
        if (point == at) return digest;
    return std::nullopt;
}

bool Source::read(std::uint64_t offset, MutBytes out) const {
    if (!ok_ || !fits(size_, offset, out.size())) return false;
    if (parts_.empty()) return read_file(offset, out);
    for (const Part& p : parts_) {
        if (out.empty()) break;
        if (offset >= p.size) {
            offset -= p.size;
            continue;
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), p.size - offset));
        if (!p.outer->read(p.base + offset, out.first(n))) return false;
        out = out.subspan(n);
        offset = 0;
    }
    return out.empty();
}

bool Source::has(std::uint64_t offset, const char* magic) const {
    std::array<std::uint8_t, 8> b{};
    const std::size_t n = std::strlen(magic);
    return read(offset, MutBytes(b).first(n)) && std::memcmp(b.data(), magic, n) == 0;
}

bool Region::read(std::uint64_t at, MutBytes out) const {
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

// ---------------------------------------------------------------------------
// The report

void Audit::pass(std::string id, std::string what, std::optional<std::uint64_t> at,
                 std::optional<zud_signer> signer) {
    report.checks.push_back({std::move(id), std::move(what), zud_check_state::kPassed, at, {}, signer});
}

bool Audit::fail(std::string id, std::string what, std::optional<std::uint64_t> at, std::string detail,
                 std::optional<zud_signer> signer) {
    report.checks.push_back({std::move(id), std::move(what), zud_check_state::kFailed, at, std::move(detail), signer});
    return false;
}

void Audit::not_checked(std::string id, std::string what, std::string why, std::optional<std::uint64_t> at) {
    report.checks.push_back({std::move(id), std::move(what), zud_check_state::kNotChecked, at, std::move(why), {}});
}

bool Audit::check(bool ok, std::string id, std::string what, std::optional<std::uint64_t> at, std::string why_not,
                  std::optional<zud_signer> signer) {
    if (ok) pass(std::move(id), std::move(what), at, signer);
    else fail(std::move(id), std::move(what), at, std::move(why_not), signer);
    return ok;
}

void Audit::note_key(const mbedtls_rsa_context& key) {
    zud_public_key k;
    if (!zud_export_public_key(key, k)) return;
    for (const zud_public_key& known : report.carried_keys)
        if (known.digest == k.digest) return;
    report.carried_keys.push_back(std::move(k));
}

std::mutex& private_key_mutex() {
    static std::mutex m;
    return m;
}

bool import_public_key(const zud_public_key& key, RsaKey& out) {
    if (mbedtls_rsa_import_raw(&out.ctx, key.n.data(), key.n.size(), nullptr, 0, nullptr, 0, nullptr, 0,
                               key.e.data(), key.e.size()) != 0 ||
        mbedtls_rsa_complete(&out.ctx) != 0 || mbedtls_rsa_check_pubkey(&out.ctx) != 0) {
        return false;
    }
    out.ctx.len = mbedtls_rsa_get_len(&out.ctx);
    return true;
}

zud_section& Audit::section(std::string id, std::string title, std::optional<std::uint64_t> at) {
    report.sections.push_back({std::move(id), std::move(title), at, {}});
    return report.sections.back();
}

void add_block_fields(zud_section& s, const zud_signed_block_header& h) {
    s.number("total_size", h.total_size);
    s.number("sig_type", h.sig_type, h.sig_type == 0 ? "digest only" : "RSA");
    s.number("sig_size", h.sig_size);
    s.number("signed_data_offset", h.signed_data_offset);
    s.number("signed_data_size", h.signed_data_size);
    s.number("key_type", h.key_type);
    s.number("key_offset", h.key_offset);
    s.number("key_size", h.key_size);
    s.number("payload_offset", h.payload_offset);
    s.number("payload_size", h.payload_size);
    s.number("nonce", h.nonce);
}

zud_signer stored_block_signer(const zud_stored_block& b, const zud_key_matrix* user) {
    zud_signer s;
    s.key_digest = b.key_digest;
    s.bits = b.key_bits;
    if (user != nullptr) {
        for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
            if (user->entries[i].key_digest == b.key_digest) {
                s.place = zud_key_place::kUserMatrix;
                s.index = i + 1;
                break;
            }
        }
    }
    return s;
}

std::string place_words(const zud_signer& signer) {
    switch (signer.place) {
        case zud_key_place::kRootMatrix: return "root key " + number(signer.index);
        case zud_key_place::kUserMatrix: return "user key " + number(signer.index);
        case zud_key_place::kBuiltin: return "the built-in key";
        case zud_key_place::kUnknown: break;
    }
    return "";
}

bool hash_stored_payload(const StageBlockBytes& bytes, const zud_stored_block& b,
                         std::optional<std::uint64_t> count, Sha256& sha) {
    const std::uint64_t p = b.header.payload_offset;
    const std::uint64_t n = std::min(count.value_or(b.stage_size), b.stage_size);
    if (!b.relocated) return hash_stage_bytes(bytes, p, n, sha);
    const std::uint64_t head = std::min(p, n);
    return hash_stage_bytes(bytes, b.header.payload_size, head, sha) && hash_stage_bytes(bytes, p, n - head, sha);
}

// ---------------------------------------------------------------------------
// Root key digests

namespace {

bool same_digest(const Digest& a, const RootDigest& b) { return std::equal(a.begin(), a.end(), b.begin()); }

}  // namespace

void check_root_digest(Audit& in, const Digest& root, std::optional<std::uint64_t> at, zud_section& section,
                       const std::string& id_prefix) {
    section.hex("root_key_digest", root);
    const zud_audit_options& o = in.options;
    bool anchored = false;
    if (o.efuse_root) {
        anchored = true;
        in.check(same_digest(root, *o.efuse_root), id_prefix + "root_is_efuse_root",
                 "root key digest is the eFuse pattern's", at,
                 "it is " + hex(root) + ", the eFuse pattern carries " + hex(*o.efuse_root));
    }
    if (o.expect_root) {
        anchored = true;
        in.check(same_digest(root, *o.expect_root), id_prefix + "root_is_expected", "root key digest is the expected one",
                 at, "it is " + hex(root) + ", not " + hex(*o.expect_root));
    }
    std::vector<RootDigest> table = o.root_digests;
    if (table.empty() && !anchored) {
        for (const RootDigest& d : zud_root_digests())
            if (!all_zero(d)) table.push_back(d);
    }
    if (!table.empty()) {
        anchored = true;
        const bool listed =
            std::any_of(table.begin(), table.end(), [&](const RootDigest& d) { return same_digest(root, d); });
        in.check(listed, id_prefix + "root_in_table", "root key digest is in the root digest table", at,
                 "it is " + hex(root) + ", which is not in the table");
    }
    if (!anchored && !o.any_root) {
        in.not_checked(id_prefix + "root_anchored", "root key digest",
                       "nothing to check it against (give --root-digests, --expect-root or --efuse)", at);
    }
}

// ---------------------------------------------------------------------------
// Keymax

namespace {

void add_matrix_fields(zud_section& s, const zud_key_matrix& m) {
    s.number("matrix_size", m.matrix_size);
    for (std::size_t i = 0; i < kKeyMatrixEntries; ++i) {
        const zud_key_header& e = m.entries[i];
        const std::string key = "entry_" + number(i + 1);
        s.number(key + "_key_type", e.key_type);
        s.text(key + "_key_tag", std::string(e.key_tag.begin(), e.key_tag.end()).c_str());
        s.hex(key + "_key_digest", e.key_digest);
    }
}

}  // namespace

namespace {

// The keymax checks, at offset `at` of the file when `in_file`, else of a
// keymax given beside it (whose offsets are not the file's, and whose checks
// say so in their ids and words).
std::optional<zud_keymax> check_keymax_at(Audit& in, ConstBytes bytes, std::optional<std::uint64_t> at,
                                          const std::string& id_prefix, const std::string& words) {
    const auto off = [&](std::uint64_t within) -> std::optional<std::uint64_t> {
        if (!at) return std::nullopt;
        return *at + within;
    };
    const auto km = decode_keymax(bytes);
    if (!km) {
        in.fail(id_prefix + "keymax.layout", words + "keymax layout", off(0),
                "no signed block and two key matrices where a keymax has them");
        return std::nullopt;
    }
    zud_section& block = in.section(id_prefix + "keymax_block", words + "keymax signed block", off(kKeymaxPrefixSize));
    add_block_fields(block, km->header);
    if (km->signing_key) {
        const zud_key_header& k = *km->signing_key;
        block.number("signing_key_type", k.key_type);
        block.text("signing_key_tag", std::string(k.key_tag.begin(), k.key_tag.end()).c_str());
        block.text("signing_key_timestamp", std::string(k.timestamp.begin(), k.timestamp.end()));
    }
    zud_section& root = in.section(id_prefix + "root_key_matrix", words + "root key matrix", off(kKeymaxRootMatrixOffset));
    add_matrix_fields(root, km->root);
    add_matrix_fields(in.section(id_prefix + "user_key_matrix", words + "user key matrix", off(kKeymaxUserMatrixOffset)),
                      km->user);
    const zud_keymax_verdict verdict = check_keymax(*km);
    const char* root_bad = verdict.root_matrix;
    const char* user_bad = verdict.user_matrix;
    in.check(root_bad == nullptr, id_prefix + "keymax.root_matrix", words + "root key matrix", off(kKeymaxRootMatrixOffset),
             root_bad ? root_bad : "");
    in.check(user_bad == nullptr, id_prefix + "keymax.user_matrix", words + "user key matrix", off(kKeymaxUserMatrixOffset),
             user_bad ? user_bad : "");
    const bool signed_ok = verdict.signature.ok();
    std::optional<zud_signer> signer;
    if (km->signing_key) {
        zud_signer s;
        s.key_digest = km->signing_key->key_digest;
        if (verdict.root_signer) {
            s.place = zud_key_place::kRootMatrix;
            s.index = *verdict.root_signer + 1;
        }
        RsaKey key;
        RootDigest digest{};
        if (zud_load_rsa_puk(&key.ctx, km->block, digest) == 0) {
            s.key_digest = digest;
            s.bits = key.ctx.len * 8;
        }
        signer = s;
    }
    in.check(signed_ok, id_prefix + "keymax.signature", words + "keymax signature by a key of its root key matrix",
             off(kKeymaxPrefixSize), verdict.signature.reason.empty() ? "refused" : verdict.signature.reason, signer);
    if (root_bad == nullptr) {
        check_root_digest(in, key_matrix_root_digest(km->root), off(kKeymaxRootMatrixOffset), root,
                          id_prefix + "keymax.");
    }
    if (!signed_ok || root_bad != nullptr || user_bad != nullptr) return std::nullopt;
    return km;
}

}  // namespace

std::optional<zud_keymax> audit_keymax(Audit& in, ConstBytes bytes, std::uint64_t at, const std::string& id_prefix) {
    return check_keymax_at(in, bytes, at, id_prefix, "");
}

std::optional<zud_keymax> keymax_in_force(Audit& in) {
    if (!in.options.keymax) return std::nullopt;
    return check_keymax_at(in, *in.options.keymax, std::nullopt, "given_", "keymax given: ");
}

// ---------------------------------------------------------------------------
// Upgrade trailer

void check_trailer(Audit& in, const Source& s, std::uint64_t size, mbedtls_rsa_context& key,
                   const std::optional<Digest>& carried, TrailerDigests* digests) {
    const std::size_t len = key.len;
    const std::uint64_t at = size - len;
    zud_section& sec = in.section("upgrade_trailer", "upgrade trailer", at);
    sec.number("length", len);
    const Digest given = public_key_digest(key).value_or(Digest{});
    sec.hex("key_digest", given);
    zud_signer signer;
    signer.key_digest = given;
    signer.bits = len * 8;
    const std::string id = "upgrade_trailer";
    const std::string what = "upgrade trailer over the " + number(at) + " bytes before it";

    std::array<std::uint8_t, kUpgradeWorkAreaSize> block{};
    if (len < kUpgradeMinModulus || len > block.size() || !s.read(at, MutBytes(block).first(len))) {
        in.fail(id, what, at, "it cannot be read");
        return;
    }
    const std::string another =
        "signed by another key: the trailer does not open under the key given (" + hex(given) + ")" +
        (carried && *carried != given ? "; the file's blocks are signed by " + hex(*carried) : "");
    std::optional<Digest> taken = digests != nullptr && size == s.size() ? digests->before(at) : std::nullopt;
    if (!taken) {
        Sha256 sha;
        Buffer piece(1 << 20);
        for (std::uint64_t done = 0; done < at;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), at - done));
            if (!piece.ok() || !s.read(done, piece.bytes().first(n))) {
                in.fail(id, what, at, "the file cannot be read");
                return;
            }
            sha.update(piece.bytes().first(n));
            done += n;
        }
        taken = sha.finish();
    }
    const Digest digest = *taken;
    sec.hex("signed_sha256", digest);
    const zud_upgrade_trailer t = open_upgrade_trailer(ConstBytes(block).first(len), digest, key);
    switch (t.state) {
        case TrailerState::kMatches:
            in.check(t.zero_padding, id, what, at, "the bytes around its digest are not zero", signer);
            return;
        case TrailerState::kNotBelowModulus:
        case TrailerState::kOtherKey: in.fail(id, what, at, another, signer); return;
        case TrailerState::kDigestDiffers:
            in.fail(id, what, at,
                    "the file changed after signing: the trailer opens under this key but carries the digest " +
                        hex(t.carried_digest) + ", and the " + number(at) + " bytes before it hash to " + hex(digest),
                    signer);
            return;
        default: in.fail(id, what, at, "it cannot be read"); return;
    }
}

void check_optional_trailer(Audit& in, const Source& s, std::uint64_t end, const mbedtls_rsa_context* carried_key,
                            const std::optional<Digest>& carried, const char* give, TrailerDigests* digests) {
    if (s.size() == end) {
        in.section("upgrade_trailer", "upgrade trailer", end).flag("present", false);
        if (!in.options.public_key.empty()) {
            in.fail("upgrade_trailer", "upgrade trailer", end, "the file ends with its last stage");
        }
        return;
    }
    RsaKey key;
    if (!trailer_key(in, carried_key, key)) {
        if (in.options.public_key.empty()) {
            in.not_checked("upgrade_trailer", "upgrade trailer", std::string("no key to check it with (") + give + ")",
                           end);
        }
        return;
    }
    if (s.size() != end + key.ctx.len) {
        in.fail("file_size", "file size", end,
                "the file goes on " + number(s.size() - end) + " bytes behind its last stage");
        return;
    }
    check_trailer(in, s, s.size(), key.ctx, carried, digests);
}

bool trailer_key(Audit& in, const mbedtls_rsa_context* fallback, RsaKey& out) {
    if (!in.options.public_key.empty()) {
        std::string reason;
        SigningKeySource source;
        if (!in.options.pkcs11_module.empty()) source.pkcs11_module = in.options.pkcs11_module.c_str();
        if (!in.options.passphrase_file.empty()) source.passphrase_file = in.options.passphrase_file.c_str();
        if (!open_public_key(in.options.public_key.c_str(), source, out, reason)) {
            in.fail("upgrade_trailer.key", "public key for the trailer", std::nullopt, reason);
            return false;
        }
        return true;
    }
    if (fallback == nullptr) return false;
    return mbedtls_rsa_copy(&out.ctx, fallback) == 0;
}

}  // namespace audit_walk

bool zud_export_public_key(const mbedtls_rsa_context& key, zud_public_key& out) {
    const auto digest = public_key_digest(key);
    if (!digest) return false;
    out.digest = *digest;
    out.n.assign(mbedtls_mpi_size(&key.N), 0);
    out.e.assign(mbedtls_mpi_size(&key.E), 0);
    return mbedtls_mpi_write_binary(&key.N, out.n.data(), out.n.size()) == 0 &&
           mbedtls_mpi_write_binary(&key.E, out.e.data(), out.e.size()) == 0;
}

// ---------------------------------------------------------------------------
// Report records

void zud_section::text(std::string key, std::string value) {
    zud_field f;
    f.key = std::move(key);
    f.text = std::move(value);
    fields.push_back(std::move(f));
}

void zud_section::number(std::string key, std::uint64_t value, std::string note) {
    zud_field f;
    f.key = std::move(key);
    f.type = zud_value_type::kNumber;
    f.number = value;
    f.text = std::move(note);
    fields.push_back(std::move(f));
}

void zud_section::flag(std::string key, bool value) {
    zud_field f;
    f.key = std::move(key);
    f.type = zud_value_type::kFlag;
    f.flag = value;
    fields.push_back(std::move(f));
}

void zud_section::hex(std::string key, ConstBytes value) {
    zud_field f;
    f.key = std::move(key);
    f.type = zud_value_type::kHex;
    f.bytes.assign(value.begin(), value.end());
    fields.push_back(std::move(f));
}

const zud_check* zud_report::first_problem() const {
    for (const zud_check& c : checks)
        if (c.state != zud_check_state::kPassed) return &c;
    return nullptr;
}

bool zud_has_trust_anchor(const zud_audit_options& o) {
    if (o.efuse_root || o.expect_root || !o.root_digests.empty()) return true;
    for (const RootDigest& d : zud_root_digests())
        if (!audit_walk::all_zero(d)) return true;
    return false;
}
