// The audit of the tool's own key files in their three forms: the key as
// the loader reads it, the layout of the binary records, and whether the
// private numbers belong to one key.
#include <algorithm>

#include "audit_walk.h"
#include "key_block.h"
#include "key_check.h"
#include "signing_key.h"

namespace audit_walk {

namespace {

constexpr std::size_t kTextKeyLines = 8;
const char* const kTextKeyNames[kTextKeyLines] = {"N", "E", "D", "P", "Q", "DP", "DQ", "QP"};

bool is_blank(std::uint8_t c) { return c == ' ' || c == '\t'; }

// True when the line `line` starts with `name` (after blanks), then blanks
// and '=': how the writer and every text key file name their numbers.
bool line_names(ConstBytes line, const char* name) {
    std::size_t at = 0;
    while (at < line.size() && is_blank(line[at])) ++at;
    for (const char* c = name; *c != '\0'; ++c, ++at) {
        if (at >= line.size() || line[at] != static_cast<std::uint8_t>(*c)) return false;
    }
    while (at < line.size() && is_blank(line[at])) ++at;
    return at < line.size() && line[at] == '=';
}

// True when the first eight lines of `text` name N, E, D, P, Q, DP, DQ and
// QP in that order. The loader takes any eight lines; a file is only taken
// for a key file when it says it is one.
bool has_key_file_lines(ConstBytes text) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < kTextKeyLines; ++i) {
        if (at >= text.size()) return false;
        const auto rest = text.subspan(at);
        const auto end = std::find(rest.begin(), rest.end(), std::uint8_t{'\n'});
        const auto length = static_cast<std::size_t>(end - rest.begin());
        if (!line_names(rest.first(length), kTextKeyNames[i])) return false;
        at += length + 1;
    }
    return true;
}

bool read_image(const Source& s, const std::string& path, zud_key_file_image& image) {
    const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(s.size(), kKeyFileImageLimit));
    Buffer head(kept);
    if ((!head.ok() && kept != 0) || !s.read(0, head.bytes())) return false;
    image.path = path;
    image.size = s.size();
    image.head = std::move(head);
    return true;
}

const char* form_words(KeyFileForm form) {
    switch (form) {
        case KeyFileForm::kFull: return "key file (full form)";
        case KeyFileForm::kShort: return "key file (short form)";
        case KeyFileForm::kText: return "key file (text form)";
    }
    return "key file";
}

const char* form_id(KeyFileForm form) {
    switch (form) {
        case KeyFileForm::kFull: return "full";
        case KeyFileForm::kShort: return "short";
        case KeyFileForm::kText: return "text";
    }
    return "";
}

std::string load_failure(int result) {
    switch (result) {
        case kKeyLoadNoFile: return "the key file cannot be read";
        case kKeyLoadBadRecord: return "a number record's word count exceeds 136";
        case -2: return "a text key file needs eight lines N, E, D, P, Q, DP, DQ, QP";
        case -8: return "a text line is too long";
        default: return "a number cannot be read";
    }
}

// Modulus size, public exponent and key digest, as `zud_keytool info`
// shows a PEM key.
void show_key(zud_section& sec, const mbedtls_rsa_context& key, const std::optional<Digest>& digest) {
    sec.number("modulus_bits", mbedtls_mpi_bitlen(&key.N));
    std::uint64_t e = 0;
    const bool small = mbedtls_mpi_bitlen(&key.E) <= 64;
    for (std::size_t bit = 0; small && bit < 64; ++bit) {
        e |= static_cast<std::uint64_t>(mbedtls_mpi_get_bit(&key.E, bit)) << bit;
    }
    if (small) sec.number("public_exponent", e);
    else sec.text("public_exponent", "wider than 64 bits");
    if (digest) sec.hex("key_digest", *digest);
    else sec.text("key_digest", "none (no key block carries this key)");
}

}  // namespace

std::optional<KeyFileForm> key_file_form(const Source& s) {
    if (s.size() == kFullKeyFileSize || is_short_key_file_size(s.size())) {
        // N's word count says whether the bytes are records at all.
        Buffer n(kNumberRecordSize);
        if (!n.ok() || !s.read(0, n.bytes())) return std::nullopt;
        const std::uint32_t words = get_le32(n.bytes(), kNumberRecordWordCountAt);
        if (words == 0 || words > kNumberRecordWords) return std::nullopt;
        return s.size() == kFullKeyFileSize ? KeyFileForm::kFull : KeyFileForm::kShort;
    }
    if (s.size() == 0 || is_full_key_file_size(s.size()) || s.size() > kKeyFileImageLimit) return std::nullopt;
    Buffer text(static_cast<std::size_t>(s.size()));
    if (!text.ok() || !s.read(0, text.bytes()) || !has_key_file_lines(text.bytes())) return std::nullopt;
    return KeyFileForm::kText;
}

void check_key_file(Audit& in, const Source& s, KeyFileForm form) {
    const std::lock_guard<std::mutex> keys(private_key_mutex());
    in.report.kind = form_words(form);
    in.report.kind_id = "key_file";
    zud_section& sec = in.section("key_file", "key file", 0);
    sec.text("form", form_id(form));
    zud_key_file_image image;
    if (!read_image(s, in.report.path, image)) {
        in.fail("key_file.loads", "key loads", 0, "the key file cannot be read");
        return;
    }
    // A text key file has no records to check.
    if (form != KeyFileForm::kText) {
        const std::string records = check_key_file_records(image.head.bytes());
        in.check(records.empty(), "key_file.records", "key file records", 0, records);
    }
    RsaKey key;
    int loaded = 0;
    std::int32_t mode = 0;
    {
        // The loader sets the mode the key signs in; the audit keeps the
        // process-wide flag as it was.
        const KeyFormatScope scope(0);
        loaded = zud_tq_load_rsa_key_image(&key.ctx, image);
        mode = g_nVQ_RSA_keyFormat;
    }
    if (!in.check(loaded == 0 && key.ctx.len != 0, "key_file.loads", "key loads", 0,
                  loaded != 0 ? load_failure(loaded) : "it has no modulus N")) {
        return;
    }
    const auto digest = public_key_digest(key.ctx);
    show_key(sec, key.ctx, digest);
    std::string size_reason;
    in.check(check_key_size(key.ctx, "the key", size_reason), "key_file.key_size", "key fits a key block", 0,
             size_reason);
    std::optional<zud_signer> who;
    if (digest) who = zud_signer{*digest, mbedtls_mpi_bitlen(&key.ctx.N), zud_key_place::kUnknown, 0};
    const std::string numbers = check_private_key(key.ctx, mode);
    in.check(numbers.empty(), "key_file.private_key", "private key consistency", std::nullopt, numbers, who);
}

}  // namespace audit_walk
