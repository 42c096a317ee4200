// zud_keytool: makes, converts and exports the RSA key files that
// zud_encrypt_tqrr reads, and checks and shows what it writes. Each
// sub-command is one entry of kSubCommands: its name, a summary, its
// options, an optional file operand and the function that runs it.
#include <getopt.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/pk.h>
#include <nlohmann/json.hpp>

#include "crypto.h"
#include "external_signer.h"
#include "files.h"
#include "keyfile.h"
#include "key_block.h"
#include "keymax.h"
#include "rsa.h"
#include "signed_block.h"
#include "signing_key.h"
#include "audit.h"
#include "audit_set.h"
#include "verify.h"
#include "version.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr char kProgram[] = "zud_keytool";
constexpr std::size_t kMaxOptions = 14;
constexpr std::uint64_t kMaxPemSize = 64 * 1024;

struct OptionDef {
    const char* name;   // long option
    const char* value;  // placeholder shown in the usage; none for a flag
    bool required;
};

struct SubCommand;

// The option values of one run, in the order of the sub-command's options.
class Args {
public:
    explicit Args(const SubCommand& command) : command_(command) {}
    const char* get(std::string_view name) const;
    void set(std::size_t index, const char* value) { values_.at(index) = value; }
    const char* operand() const { return operands_.empty() ? nullptr : operands_.front(); }
    const std::vector<const char*>& operands() const { return operands_; }
    void add_operand(const char* value) { operands_.push_back(value); }
    const SubCommand& command() const { return command_; }

private:
    const SubCommand& command_;
    std::array<const char*, kMaxOptions> values_{};
    std::vector<const char*> operands_;
};

struct SubCommand {
    const char* name;
    const char* summary;
    std::array<OptionDef, kMaxOptions> options;  // unused entries have no name
    int (*run)(const Args& args);
    const char* operand = nullptr;  // placeholder of a file operand
    bool operand_optional = false;  // the operand may be left out
    bool operand_repeats = false;   // one or more operands
};

const char* Args::get(std::string_view name) const {
    for (std::size_t i = 0; i < kMaxOptions; ++i) {
        const char* option = command_.options[i].name;
        if (option != nullptr && name == option) return values_[i];
    }
    return nullptr;
}

// Prints a failure line that names the program and the sub-command, and
// returns `status`.
__attribute__((format(printf, 3, 4))) int fail(const Args& args, int status,
                                               const char* format, ...) {
    std::fprintf(stderr, "%s %s: ", kProgram, args.command().name);
    std::va_list values;
    va_start(values, format);
    std::vfprintf(stderr, format, values);
    va_end(values);
    std::fputc('\n', stderr);
    return status;
}

// ---------------------------------------------------------------------------
// Shared steps

// A file that exists (or a symlink, dangling or not) is replaced only with
// --force: keys are not overwritten by a mistyped name.
bool refuse_existing_output(const Args& args) {
    const char* output = args.get("output");
    struct stat st {};
    if (output == nullptr || args.get("force") != nullptr || ::lstat(output, &st) != 0) return false;
    fail(args, kExitFailed, "%s exists; give --force to replace it", output);
    return true;
}

bool parse_form(const char* text, KeyFileForm& form) {
    const std::string_view word = text;
    if (word == "full") form = KeyFileForm::kFull;
    else if (word == "short") form = KeyFileForm::kShort;
    else if (word == "text") form = KeyFileForm::kText;
    else return false;
    return true;
}

// The tool names keys of 1024, 2048 or 4096 bits and its key blocks carry a
// 32-bit public exponent; the short form holds an exponent of 3 bytes.
int check_storable(const Args& args, mbedtls_rsa_context& key, KeyFileForm form) {
    if (mbedtls_rsa_check_privkey(&key) != 0) {
        return fail(args, kExitFailed, "the key's numbers do not form a consistent RSA key");
    }
    const std::size_t bits = mbedtls_mpi_bitlen(&key.N);
    if (bits != 1024 && bits != 2048 && bits != 4096) {
        return fail(args, kExitFailed, "a %zu-bit key cannot be used; keys have 1024, 2048 or 4096 bits",
                    bits);
    }
    const std::size_t e_bytes = mbedtls_mpi_size(&key.E);
    if (e_bytes > 4 || (form == KeyFileForm::kShort && e_bytes > 3)) {
        return fail(args, kExitFailed, "the public exponent is %zu bytes long; the %s form holds %d",
                    e_bytes, form == KeyFileForm::kShort ? "short" : "key block", form == KeyFileForm::kShort ? 3 : 4);
    }
    return kExitOk;
}

int write_key(const Args& args, mbedtls_rsa_context& key, KeyFileForm form) {
    const int storable = check_storable(args, key, form);
    if (storable != kExitOk) return storable;
    if (refuse_existing_output(args)) return kExitFailed;
    const char* output = args.get("output");
    if (zud_write_key_file(&key, form, output) != 0) {
        return fail(args, kExitFailed, "cannot write %s", output);
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------
// generate

class Drbg {
public:
    Drbg() {
        mbedtls_entropy_init(&entropy_);
        mbedtls_ctr_drbg_init(&drbg_);
        static const unsigned char label[] = "zud_keytool generate";
        ready_ = mbedtls_ctr_drbg_seed(&drbg_, mbedtls_entropy_func, &entropy_, label,
                                       sizeof label) == 0;
    }
    ~Drbg() {
        mbedtls_ctr_drbg_free(&drbg_);
        mbedtls_entropy_free(&entropy_);
    }
    Drbg(const Drbg&) = delete;
    Drbg& operator=(const Drbg&) = delete;
    bool ready() const { return ready_; }
    mbedtls_ctr_drbg_context* context() { return &drbg_; }

private:
    mbedtls_entropy_context entropy_;
    mbedtls_ctr_drbg_context drbg_;
    bool ready_ = false;
};

int run_generate(const Args& args) {
    const std::string_view bits_text = args.get("bits");
    const unsigned bits = bits_text == "1024" ? 1024 : bits_text == "2048" ? 2048
                        : bits_text == "4096" ? 4096 : 0;
    if (bits == 0) return fail(args, kExitUsage, "--bits must be 1024, 2048 or 4096, not '%s'", args.get("bits"));
    KeyFileForm form{};
    if (!parse_form(args.get("form"), form)) {
        return fail(args, kExitUsage, "--form must be full, short or text, not '%s'", args.get("form"));
    }
    Drbg drbg;
    RsaKey key;
    if (!drbg.ready() ||
        mbedtls_rsa_gen_key(&key.ctx, mbedtls_ctr_drbg_random, drbg.context(), bits, 65537) != 0) {
        return fail(args, kExitFailed, "key generation failed");
    }
    return write_key(args, key.ctx, form);
}

// ---------------------------------------------------------------------------
// convert

// Reads a PEM (or DER) file into `text`, NUL-terminated; returns the length
// the parser is to be given (PEM counts its terminator), or 0.
std::size_t read_key_text(const char* path, Buffer& text) {
    std::string error;
    File f = open_input(path, error);
    const auto size = stream_size(f.get());
    if (!size || *size == 0 || *size > kMaxPemSize) return 0;
    text = Buffer(static_cast<std::size_t>(*size) + 1);
    if (!text.ok() || !read_exact(f.get(), text.bytes().first(static_cast<std::size_t>(*size)))) {
        return 0;
    }
    const bool pem = std::strstr(reinterpret_cast<const char*>(text.data()), "-----BEGIN") != nullptr;
    return static_cast<std::size_t>(*size) + (pem ? 1 : 0);
}

int run_convert(const Args& args) {
    KeyFileForm form{};
    if (!parse_form(args.get("form"), form)) {
        return fail(args, kExitUsage, "--form must be full, short or text, not '%s'", args.get("form"));
    }
    const char* pem_path = args.get("pem");
    if (same_file(pem_path, args.get("output"))) {
        return fail(args, kExitUsage, "--output names the input %s", pem_path);
    }
    Buffer text(0);
    const std::size_t length = read_key_text(pem_path, text);
    if (length == 0) return fail(args, kExitFailed, "cannot read %s (or it is empty or over 64 KiB)", pem_path);
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    const int parsed = mbedtls_pk_parse_key(&pk, text.data(), length, nullptr, 0);
    int status = kExitOk;
    if (parsed == MBEDTLS_ERR_PK_PASSWORD_REQUIRED) {
        status = fail(args, kExitFailed, "%s is encrypted; decrypt it first (openssl pkey -in KEY -out PLAIN.pem)", pem_path);
    } else if (parsed != 0) {
        char reason[160] = {};
        mbedtls_strerror(parsed, reason, sizeof reason);
        status = fail(args, kExitFailed, "%s is no private key in PEM: %s", pem_path, reason);
    } else if (mbedtls_pk_get_type(&pk) != MBEDTLS_PK_RSA) {
        status = fail(args, kExitFailed, "%s holds a %s key, not an RSA key", pem_path, mbedtls_pk_get_name(&pk));
    } else {
        status = write_key(args, *mbedtls_pk_rsa(pk), form);
    }
    mbedtls_pk_free(&pk);
    return status;
}

// ---------------------------------------------------------------------------
// public

SigningKeySource key_source(const Args& args) {
    return command_key_source(args.get("pkcs11-module"), args.get("passphrase-file"));
}

// A key file is loaded as zud_encrypt_tqrr loads it; a PEM key or a token
// object gives its public half. False, with `reason`, when it does not load.
bool load_public_half(const Args& args, const char* value, RsaKey& key, std::string& reason) {
    if (key_file_of(value) == nullptr) return open_public_key(value, key_source(args), key, reason);
    const int loaded = zud_tq_load_rsa_key_file(&key.ctx, value);
    if (loaded == kKeyLoadNoFile) reason = "cannot open " + std::string(value);
    else if (loaded != 0) reason = std::string(value) + " is no key file (load result " + std::to_string(loaded) + ")";
    return loaded == 0;
}

int run_public(const Args& args) {
    const char* key_path = args.get("key");
    const char* output = args.get("output");
    if (same_file(key_path, output)) return fail(args, kExitUsage, "--output names the input %s", key_path);
    RsaKey key;
    std::string reason;
    if (!load_public_half(args, key_path, key, reason)) return fail(args, kExitFailed, "%s", reason.c_str());
    if (mbedtls_rsa_check_pubkey(&key.ctx) != 0) {
        return fail(args, kExitFailed, "%s holds no valid RSA public key", key_path);
    }
    if (refuse_existing_output(args)) return kExitFailed;
    if (zud_write_public_pem(&key.ctx, output) != 0) return fail(args, kExitFailed, "cannot write %s", output);
    return kExitOk;
}

// ---------------------------------------------------------------------------
// verify and info

// One SHA-256 digest of 64 hexadecimal digits.
bool parse_digest(std::string_view text, RootDigest& out) {
    if (text.size() != kRootDigestSize * 2) return false;
    for (std::size_t b = 0; b < kRootDigestSize; ++b) {
        const auto digit = [&](std::size_t at) {
            const char c = text[2 * b + at];
            return std::isxdigit(static_cast<unsigned char>(c)) == 0 ? -1
                   : c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        };
        const int hi = digit(0);
        const int lo = digit(1);
        if (hi < 0 || lo < 0) return false;
        out[b] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

// "--root-digests hex[,hex[,hex]]": one to three SHA-256 root key digests.
bool parse_root_digests(std::string_view text, std::vector<RootDigest>& out) {
    out.clear();
    while (true) {
        const std::size_t comma = text.find(',');
        RootDigest d{};
        if (!parse_digest(text.substr(0, comma), d)) return false;
        out.push_back(d);
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return !out.empty() && out.size() <= kRootDigestCount;
}

// Reads --root-digests (and --expect-root) when given; false (after saying
// why) when one is malformed. The digests go into `options`; the --chain
// check takes them, or the build's table when none were given.
bool read_root_digests(const Args& args, zud_audit_options& options) {
    const char* text = args.get("root-digests");
    if (text != nullptr && !parse_root_digests(text, options.root_digests)) {
        fail(args, kExitUsage, "--root-digests takes one to three comma-separated digests of 64 hex digits");
        return false;
    }
    const char* expect = args.get("expect-root");
    if (expect != nullptr) {
        RootDigest d{};
        if (!parse_digest(expect, d)) {
            fail(args, kExitUsage, "--expect-root takes one digest of 64 hex digits");
            return false;
        }
        options.expect_root = d;
    }
    return true;
}

const char* refusal_reason(const zud_result& result) {
    if (!result.reason.empty()) return result.reason.c_str();
    return result.number == kVerifyBadSignature ? "the RSA signature does not verify" : "refused";
}

bool wants_json(const Args& args) { return args.get("json") != nullptr; }

// One JSON document on standard output (zud_report_json's shape).
void print_json(const zud_report& r, bool checks) { std::printf("%s\n", zud_report_json(r, checks).c_str()); }

// Reads a whole file for the checks, which need it in one piece; false,
// with `reason`, when it cannot.
bool read_checked(const char* path, Buffer& out, std::string& reason) {
    File f = open_input(path, reason);
    const auto size = stream_size(f.get());
    if (!f || !size) {
        if (f) reason = "cannot take the size of " + std::string(path);
        return false;
    }
    if (*size > kMaxCheckedFileSize) {
        reason = std::string(path) + " is larger than 256 MiB";
        return false;
    }
    out = Buffer(static_cast<std::size_t>(*size));
    if (!out.ok() || !read_exact(f.get(), out.bytes())) {
        reason = "cannot read " + std::string(path);
        return false;
    }
    return true;
}

void print_digest(const char* label, ConstBytes digest) {
    std::printf("  %s ", label);
    for (const std::uint8_t b : digest) std::printf("%02x", b);
    std::printf("\n");
}

// --chain and --block make one check each and record it in a report as
// verify FILE does, so that --json prints the same shape. A refusal is the
// check failed, said on standard error as well.
int refuse_check(const Args& args, zud_report& r, const char* id, const char* what, const std::string& reason) {
    r.checks.push_back({id, what, zud_check_state::kFailed, std::nullopt, reason, std::nullopt});
    return fail(args, kExitFailed, "%s: %s", zud_printable_text(r.path).c_str(), zud_printable_text(reason).c_str());
}

constexpr char kChainId[] = "keymax_chain";
constexpr char kChainWhat[] =
    "keymax signed by a root key in the root digest table, the block after it by one of its user keys";

// 16 leading bytes, a keymax block signed by a root key, and a block signed
// by one of its user keys.
int verify_chain(const Args& args, Buffer& file, RootDigests roots, zud_report& r) {
    constexpr std::size_t kLead = 16;
    r.kind = "keymax chain";
    r.kind_id = "keymax_chain";
    if (file.size() < kLead) return refuse_check(args, r, kChainId, kChainWhat, "shorter than its 16 leading bytes");
    const ConstBytes blocks = file.bytes().subspan(kLead);
    std::uint32_t offset = 0;
    const zud_result result = verify_block_fix(blocks, {}, &offset, roots);
    if (!result.ok()) return refuse_check(args, r, kChainId, kChainWhat, refusal_reason(result));
    const auto header = decode_signed_block_header(blocks);
    if (!header || header->sig_type == 0) {
        return refuse_check(args, r, kChainId, kChainWhat,
                            "the first block is digest-only (its digest matches); it names no keys, "
                            "so there is no chain to check against the root digests");
    }
    RootDigest root{};
    (void)zud_key_matrix_digest(blocks.subspan(header->payload_offset), root);
    r.sections.push_back({"keymax_chain", "keymax chain", kLead, {}});
    r.sections.back().hex("root_key_digest", root);
    r.sections.back().number("payload_offset", offset + kLead);
    r.checks.push_back({kChainId, kChainWhat, zud_check_state::kPassed, kLead, {}, std::nullopt});
    if (wants_json(args)) return kExitOk;
    std::printf("%s: keymax chain verified\n", zud_printable_text(r.path).c_str());
    print_digest("root key digest", root);
    std::printf("  payload starts at 0x%X\n", static_cast<unsigned>(offset + kLead));
    return kExitOk;
}

// One block as the stage builder writes it.
int verify_block(const Args& args, Buffer& file, zud_report& r) {
    r.kind = "signed block";
    r.kind_id = "signed_block";
    RsaKey key;
    RootDigest key_digest{};
    const auto header = decode_signed_block_header(file.bytes());
    const bool rsa = header && header->sig_type != 0;
    if (rsa) {
        const std::size_t head = std::min<std::size_t>(header->payload_offset, file.size());
        (void)zud_load_rsa_puk(&key.ctx, file.bytes().first(head), key_digest);
    }
    const char* what = rsa ? "signed block: RSA signature by the key it carries" : "signed block: digest";
    const zud_result result = verify_block_bl3x(file.bytes(), nullptr);
    if (!result.ok() || !header) return refuse_check(args, r, "signed_block", what, refusal_reason(result));
    zud_section& s = r.sections.emplace_back(zud_section{"signed_block", "signed block", 0, {}});
    s.number("sig_type", header->sig_type, rsa ? "RSA" : "digest only");
    std::optional<zud_signer> signer;
    if (rsa) {
        s.hex("signer_key_digest", key_digest);
        s.number("modulus_bits", key.ctx.len * 8);
        signer = zud_signer{key_digest, key.ctx.len * 8, zud_key_place::kUnknown, 0};
    }
    s.number("payload_size", header->payload_size);
    r.checks.push_back({"signed_block", what, zud_check_state::kPassed, 0, {}, signer});
    if (wants_json(args)) return kExitOk;
    const std::string path = zud_printable_text(r.path);
    if (rsa) {
        std::printf("%s: signed block verified: RSA signature by the %zu-bit key it carries\n", path.c_str(),
                    key.ctx.len * 8);
        print_digest("key digest", key_digest);
    } else {
        std::printf("%s: digest-only block verified: its SHA-256 matches (it carries no signature)\n", path.c_str());
    }
    std::printf("  payload %zu bytes\n", static_cast<std::size_t>(header->payload_size));
    return kExitOk;
}

// The options verify and info share: keys, anchors and the keymax in force.
bool audit_options(const Args& args, zud_audit_options& options) {
    if (!read_root_digests(args, options)) return false;
    const char* aes = args.get("aes-key");
    const char* user = args.get("user-key");
    if (aes != nullptr && user != nullptr) {
        fail(args, kExitUsage, "give --aes-key or --user-key, not both");
        return false;
    }
    std::string reason;
    if (aes != nullptr || user != nullptr) {
        std::array<std::uint8_t, kAesKeySize> key{};
        if (!zud_read_aes_key_for_audit(aes != nullptr ? aes : user, user != nullptr, key, reason)) {
            fail(args, kExitUsage, "%s", reason.c_str());
            return false;
        }
        options.aes_key = key;
        wipe(key.data(), key.size());
    }
    const char* keymax = args.get("keymax");
    if (keymax != nullptr && user != nullptr) {
        fail(args, kExitUsage, "give --keymax or --user-key, not both (a zud_user_key file carries its keymax)");
        return false;
    }
    if ((keymax != nullptr || user != nullptr) &&
        !zud_read_keymax_for_audit(keymax != nullptr ? keymax : user, user != nullptr, options, reason)) {
        fail(args, kExitUsage, "%s", reason.c_str());
        return false;
    }
    if (const char* efuse = args.get("efuse"); efuse != nullptr && !zud_read_efuse_for_audit(efuse, options, reason)) {
        fail(args, kExitUsage, "%s", reason.c_str());
        return false;
    }
    options.any_root = args.get("any-root") != nullptr;
    if (args.get("key") != nullptr) options.public_key = args.get("key");
    if (args.get("pkcs11-module") != nullptr) options.pkcs11_module = args.get("pkcs11-module");
    if (args.get("passphrase-file") != nullptr) options.passphrase_file = args.get("passphrase-file");
    return true;
}

// Runs the audit of `path` and reports it as text or JSON: 0 when it
// verified (or, for info, was recognised), 1 otherwise.
int report(const Args& args, const char* path, bool checks) {
    zud_audit_options options;
    if (!audit_options(args, options)) return kExitUsage;
    const bool json = wants_json(args);
    if (checks && !options.any_root && !zud_has_trust_anchor(options)) {
        if (options.aes_key) wipe(options.aes_key->data(), options.aes_key->size());
        zud_report refused;
        refused.path = path != nullptr ? path : "";
        refused.error = "no trust anchor: give --efuse FILE, --expect-root HEX or --root-digests HEX[,HEX[,HEX]] "
                        "(or --any-root to check without one)";
        if (json) print_json(refused, true);
        return fail(args, kExitFailed, "%s", refused.error.c_str());
    }
    const zud_report r = zud_audit(path, options);
    if (options.aes_key) wipe(options.aes_key->data(), options.aes_key->size());
    if (json) print_json(r, checks);
    if (!r.error.empty()) {
        fail(args, kExitFailed, "%s", zud_printable_text(r.error).c_str());
        return kExitFailed;
    }
    if (!json) zud_print_report(r, checks, stdout);
    if (!checks) return kExitOk;
    if (const zud_check* problem = r.first_problem()) {
        return fail(args, kExitFailed, "%s: %s%s: %s", zud_printable_text(path).c_str(),
                    zud_printable_text(problem->what).c_str(),
                    problem->offset ? (" at " + std::to_string(*problem->offset)).c_str() : "",
                    zud_printable_text(problem->detail).c_str());
    }
    return kExitOk;
}

// The public exponent as a number; false when it has more than 64 bits.
bool exponent_of(const mbedtls_rsa_context& key, std::uint64_t& out) {
    std::array<unsigned char, 8> bytes{};
    if (mbedtls_mpi_write_binary(&key.E, bytes.data(), bytes.size()) != 0) return false;
    out = 0;
    for (const unsigned char b : bytes) out = out << 8 | b;
    return true;
}

// The report of a loaded key: what holds it, its size, its exponent and the
// digest a key matrix entry names it by. A PEM file has a size; a token
// object has none.
zud_report key_report(const char* value, const mbedtls_rsa_context& key, std::uint64_t exponent,
                      const Digest& digest) {
    zud_report r;
    r.path = value;
    const bool token = is_pkcs11_uri(value);
    r.kind = token ? "RSA key (PKCS#11 token object)" : "RSA key (PEM)";
    r.kind_id = "rsa_key";
    struct stat st {};
    if (!token && ::stat(value, &st) == 0) {
        r.size = static_cast<std::uint64_t>(st.st_size);
        r.sized = true;
    }
    zud_section& s = r.sections.emplace_back(zud_section{"rsa_key", "RSA key", std::nullopt, {}});
    s.number("modulus_bits", mbedtls_mpi_bitlen(&key.N));
    s.number("public_exponent", exponent);
    s.hex("key_digest", digest);
    return r;
}

// A PEM key or a token object: its size, exponent and key digest, as text
// or (--json) as a report of kind rsa_key.
int show_key(const Args& args, const char* value) {
    RsaKey key;
    zud_report r;
    r.path = value;
    std::uint64_t exponent = 0;
    std::optional<Digest> digest;
    if (load_public_half(args, value, key, r.error)) {
        digest = public_key_digest(key.ctx);
        if (!digest || !exponent_of(key.ctx, exponent)) r.error = std::string(value) + ": no key a key block can carry";
    } else if (r.error.empty()) {
        r.error = "cannot load " + std::string(value);
    }
    if (!r.error.empty()) {
        if (wants_json(args)) print_json(r, false);
        return fail(args, kExitFailed, "%s", zud_printable_text(r.error).c_str());
    }
    if (wants_json(args)) {
        print_json(key_report(value, key.ctx, exponent, *digest), false);
        return kExitOk;
    }
    std::printf("%s: RSA key, %zu-bit modulus, public exponent %llu\n", zud_printable_text(value).c_str(),
                mbedtls_mpi_bitlen(&key.ctx.N), static_cast<unsigned long long>(exponent));
    print_digest("key digest", *digest);
    return kExitOk;
}

// --chain or --block: the whole file read, its one check made.
int verify_one_block(const Args& args, const char* path, bool chain, RootDigests roots, bool given_roots) {
    zud_report r;
    r.path = path;
    if (chain) r.anchor = given_roots ? "the root digests given" : "the built-in root digest table";
    Buffer bytes(0);
    int status = kExitFailed;
    if (!read_checked(path, bytes, r.error)) {
        status = fail(args, kExitFailed, "%s", zud_printable_text(r.error).c_str());
    } else {
        r.size = bytes.size();
        r.sized = true;
        status = chain ? verify_chain(args, bytes, roots, r) : verify_block(args, bytes, r);
    }
    if (wants_json(args)) print_json(r, true);
    return status;
}

int run_verify(const Args& args) {
    const char* chain = args.get("chain");
    const char* block = args.get("block");
    const char* file = args.operand();
    if ((chain != nullptr) + (block != nullptr) + (file != nullptr) != 1) {
        return fail(args, kExitUsage, "give one FILE, or one of --chain FILE and --block FILE");
    }
    if (file != nullptr) return report(args, file, true);
    zud_audit_options given;
    if (!read_root_digests(args, given)) return kExitUsage;
    // Digests given on the command line stand in for the whole table.
    const RootDigests roots = given.root_digests.empty() ? RootDigests(zud_root_digests())
                                                         : RootDigests(given.root_digests);
    return verify_one_block(args, chain != nullptr ? chain : block, chain != nullptr, roots,
                            !given.root_digests.empty());
}

int run_info(const Args& args) {
    const char* path = args.operand();
    // A PEM key or a token object: its size and key digest.
    if (key_file_of(path) == nullptr) return show_key(args, path);
    return report(args, path, false);
}

// Checks a release set against the eFuse pattern a board is fused with.
int run_verify_set(const Args& args) {
    zud_set_options options;
    options.efuse_path = args.get("efuse");
    for (const char* path : args.operands()) options.artefacts.emplace_back(path);
    if (const char* aes = args.get("aes-key")) {
        std::array<std::uint8_t, kAesKeySize> key{};
        std::string reason;
        if (!zud_read_aes_key_for_audit(aes, false, key, reason)) return fail(args, kExitUsage, "%s", reason.c_str());
        options.kernel_aes_key = key;
        wipe(key.data(), key.size());
    }
    if (args.get("user-key") != nullptr && args.get("keymax") != nullptr) {
        return fail(args, kExitUsage, "give --keymax or --user-key, not both (a zud_user_key file carries its keymax)");
    }
    if (const char* v = args.get("user-key")) options.user_key_path = v;
    if (const char* v = args.get("keymax")) options.keymax_path = v;
    if (const char* v = args.get("key")) options.public_key = v;
    if (const char* v = args.get("pkcs11-module")) options.pkcs11_module = v;
    if (const char* v = args.get("passphrase-file")) options.passphrase_file = v;
    const zud_set_report set = zud_audit_set(options);
    if (options.kernel_aes_key) wipe(options.kernel_aes_key->data(), options.kernel_aes_key->size());
    if (wants_json(args)) std::printf("%s\n", zud_set_report_json(set).c_str());
    else zud_print_set_report(set, stdout);
    for (const std::string& path : set.left_out) {
        std::fprintf(stderr, "%s %s: %s is left out of the set: it is not a file of the tool's, or no key of the set "
                             "signed it (name it to check it)\n",
                     kProgram, args.command().name, zud_printable_text(path).c_str());
    }
    if (set.verified()) return kExitOk;
    return fail(args, kExitFailed, "%s", zud_set_verdict_text(set).c_str());
}

// ---------------------------------------------------------------------------
// signer-check

// The artefacts a key signs, and whether each takes a PKCS#1 v1.5 SHA-256
// block signature or the raw private operation (the upgrade trailer).
struct ArtefactKind {
    const char* name;
    bool raw;
};

constexpr ArtefactKind kArtefactKinds[] = {
    {"keymax", false},               // --keysig --skey
    {"bootloader", false},           // --bootsig --userkey: BL2 block and FIP stages
    {"kernel image stages", false},  // --imgsig --userkey
    {"upgrade trailer", true},       // --upgsig, and the last block of --imgsig --output
};

constexpr char kBlockForm[] = "PKCS#1 v1.5 SHA-256";
constexpr char kRawForm[] = "raw RSA";

// What one kind needs of the key, how the key would make it, and whether
// the probe signature came out right.
struct KindCheck {
    const ArtefactKind* kind;
    std::string mechanism;
    bool can = false;
    std::string reason;
};

// How each kind is signed: in process, on a token, or by a signer program.
struct Mechanisms {
    std::string block;
    std::string raw;
};

Mechanisms mechanisms_for(const char* key_value, const ExternalSigner* signer) {
    if (signer != nullptr) {
        return {signature_form_name(signer->block_form()), signature_form_name(SignatureForm::kRawBlock)};
    }
    if (is_pkcs11_uri(key_value)) return {"CKM_RSA_PKCS", "CKM_RSA_X_509"};
    return {"PKCS#1 v1.5 (in process)", "raw RSA (in process)"};
}

// The digest every probe signs: fixed, so that a signer's log shows the
// same request each time.
Digest probe_digest() {
    static constexpr char kText[] = "zud_keytool signer-check";
    return sha256(ConstBytes(reinterpret_cast<const std::uint8_t*>(kText), sizeof kText - 1));
}

std::string failure_of(const SigningKey& key, const char* what) {
    return key.failure().empty() ? std::string(what) + " failed" : key.failure();
}

// A block signature of the probe digest, checked with the public key.
bool probe_block(SigningKey& key, std::string& reason) {
    const Digest digest = probe_digest();
    std::vector<std::uint8_t> sig(key.length());
    if (key.sign_sha256(digest, sig) != 0) {
        reason = failure_of(key, "the PKCS#1 v1.5 signature");
        return false;
    }
    if (zud_rsa_verify_sha256(key.public_key(), digest.data(), sig.data()) != 0) {
        reason = "the probe signature does not verify with the public key";
        return false;
    }
    return true;
}

// The raw private operation on a block below N (its first byte 0, then
// the probe digest over and over), raised back with the public exponent.
bool probe_raw(SigningKey& key, std::string& reason) {
    if (!key.can_raw(reason)) return false;
    const std::size_t k = key.length();
    const Digest digest = probe_digest();
    std::vector<std::uint8_t> block(k);
    for (std::size_t i = 1; i < k; ++i) block[i] = digest[i % digest.size()];
    std::vector<std::uint8_t> out(k);
    if (key.private_raw(block, out) != 0) {
        reason = failure_of(key, "the raw private operation");
        return false;
    }
    std::vector<std::uint8_t> back(k);
    if (zud_rsa_public(key.public_key(), out.data(), back.data()) != 0 || back != block) {
        reason = "the raw private operation's result does not raise back to the probe block with the public key";
        return false;
    }
    return true;
}

// Where the key's digest sits in the two matrices of a keymax.
struct KeymaxPlace {
    std::vector<std::size_t> root;
    std::vector<std::size_t> user;
};

std::vector<std::size_t> entries_naming(const zud_key_matrix& m, const Digest& digest) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < m.entries.size(); ++i) {
        if (m.entries[i].key_type != 0 && std::ranges::equal(m.entries[i].key_digest, digest)) found.push_back(i);
    }
    return found;
}

std::string place_text(const KeymaxPlace& place) {
    std::string text;
    const auto add = [&](const char* matrix, const std::vector<std::size_t>& entries) {
        for (const std::size_t i : entries) {
            if (!text.empty()) text += ", ";
            text += std::string(matrix) + " key " + std::to_string(i + 1) + " (" + matrix + " matrix entry " +
                    std::to_string(i) + ")";
        }
    };
    add("root", place.root);
    add("user", place.user);
    return text.empty() ? "not in its matrices" : text;
}

void print_signer_check_json(const char* key_value, const mbedtls_rsa_context* key, std::optional<Digest> digest,
                             const std::vector<KindCheck>& checks, const std::optional<KeymaxPlace>& place,
                             const char* keymax_path, bool ok) {
    using Json = nlohmann::ordered_json;
    Json j;
    j["command"] = "signer-check";
    j["key"] = zud_printable_text(key_value);
    std::uint64_t exponent = 0;
    j["bits"] = key != nullptr ? Json(mbedtls_mpi_bitlen(&key->N)) : Json(nullptr);
    j["exponent"] = key != nullptr && exponent_of(*key, exponent) ? Json(exponent) : Json(nullptr);
    j["key_digest"] = digest ? Json(hex_text(*digest)) : Json(nullptr);
    j["kinds"] = Json::array();
    for (const KindCheck& c : checks) {
        j["kinds"].push_back({{"kind", c.kind->name},
                              {"form", c.kind->raw ? kRawForm : kBlockForm},
                              {"mechanism", c.mechanism},
                              {"can", c.can},
                              {"reason", c.can ? Json(nullptr) : Json(zud_printable_text(c.reason))}});
    }
    if (place) {
        j["keymax"] = {{"path", zud_printable_text(keymax_path)}, {"root_entries", place->root},
                       {"user_entries", place->user}};
    } else {
        j["keymax"] = nullptr;
    }
    j["ok"] = ok;
    std::printf("%s\n", j.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

// The one line on standard error that names the kinds the key cannot sign.
int refuse_kinds(const Args& args, const char* key_value, const std::vector<KindCheck>& checks) {
    std::string text;
    for (const KindCheck& c : checks) {
        if (c.can) continue;
        text += text.empty() ? "the " : "; the ";
        text += std::string(c.kind->name) + ": " + c.reason;
    }
    return fail(args, kExitFailed, "%s cannot sign %s", zud_printable_text(key_value).c_str(),
                zud_printable_text(text).c_str());
}

// Probes, for each kind, the signature it takes with the key --key names
// or the signer program --signer runs (with the public half --signer-key),
// and says where the key sits in --keymax.
int run_signer_check(const Args& args) {
    const char* key_value = args.get("key");
    const SignerOptions signer_options{args.get("signer"), args.get("signer-key"), args.get("signer-form"),
                                       args.get("signer-timeout"), nullptr, nullptr};
    if (key_value != nullptr && signer_options.any()) {
        return fail(args, kExitUsage, "give --key, or --signer with --signer-key, not both");
    }
    if (key_value == nullptr && !signer_options.any()) {
        return fail(args, kExitUsage, "give --key KEY|URI, or --signer 'PROGRAM [ARGS]' with --signer-key PUB");
    }
    if (signer_options.signer == nullptr &&
        (signer_options.signer_form != nullptr || signer_options.signer_timeout != nullptr)) {
        return fail(args, kExitUsage, "--signer-form and --signer-timeout go with --signer");
    }
    // The keymax is read before any signature is asked for.
    std::optional<zud_keymax> keymax;
    zud_audit_options read;
    const char* keymax_path = args.get("keymax");
    std::string reason;
    if (keymax_path != nullptr) {
        if (!zud_read_keymax_for_audit(keymax_path, false, read, reason)) {
            return fail(args, kExitUsage, "%s", zud_printable_text(reason).c_str());
        }
        keymax = decode_keymax(*read.keymax);
        if (!keymax) return fail(args, kExitUsage, "%s is no keymax", zud_printable_text(keymax_path).c_str());
    }
    std::unique_ptr<ExternalSigner> signer;
    SigningKeySource source = key_source(args);
    if (signer_options.any()) {
        signer = ExternalSigner::open(signer_options, {"signer-check"}, {}, reason);
        if (!signer) return fail(args, kExitUsage, "%s", zud_printable_text(reason).c_str());
        source.external = signer.get();
        key_value = signer_options.signer_key;
    }
    const Mechanisms mechanisms = mechanisms_for(key_value, signer.get());
    std::vector<KindCheck> checks;
    for (const ArtefactKind& kind : kArtefactKinds) {
        checks.push_back({&kind, kind.raw ? mechanisms.raw : mechanisms.block, false, {}});
    }
    const std::unique_ptr<SigningKey> key = open_signing_key(key_value, source, reason);
    if (!key) {
        for (KindCheck& c : checks) c.reason = reason;
        if (wants_json(args)) {
            print_signer_check_json(key_value, nullptr, std::nullopt, checks, std::nullopt, keymax_path, false);
        }
        return fail(args, kExitFailed, "%s", zud_printable_text(reason).c_str());
    }
    const std::optional<Digest> digest = public_key_digest(*key->public_key());
    const std::size_t bits = mbedtls_mpi_bitlen(&key->public_key()->N);
    // A signer program is asked once per kind, so that each kind's line
    // reports a signature it actually made.
    key->set_slot("signer-check probe");
    for (KindCheck& c : checks) {
        if (!c.kind->raw && !digest) {
            c.reason = "no key block carries a " + std::to_string(bits) +
                       "-bit key (keys have 1024, 2048 or 4096 bits)";
            continue;
        }
        c.can = c.kind->raw ? probe_raw(*key, c.reason) : probe_block(*key, c.reason);
    }
    std::optional<KeymaxPlace> place;
    if (keymax) {
        place.emplace();
        if (digest) place = KeymaxPlace{entries_naming(keymax->root, *digest), entries_naming(keymax->user, *digest)};
    }
    const bool ok = std::ranges::all_of(checks, [](const KindCheck& c) { return c.can; });
    if (wants_json(args)) {
        print_signer_check_json(key_value, key->public_key(), digest, checks, place, keymax_path, ok);
    } else {
        for (const KindCheck& c : checks) {
            const std::string result = c.can ? "ok" : "FAIL: " + zud_printable_text(c.reason);
            std::printf("%-21s%-21s%-26s%s\n", c.kind->name, c.kind->raw ? kRawForm : kBlockForm,
                        c.mechanism.c_str(), result.c_str());
        }
        std::uint64_t exponent = 0;
        const std::string exponent_text = exponent_of(*key->public_key(), exponent) ? std::to_string(exponent)
                                                                                    : "over 64 bits";
        std::printf("key: %zu bits, exponent %s, digest %s\n", bits, exponent_text.c_str(),
                    digest ? hex_text(*digest).c_str() : "none (no key block carries the key)");
        if (place) std::printf("keymax: %s\n", place_text(*place).c_str());
    }
    return ok ? kExitOk : refuse_kinds(args, key_value, checks);
}

// ---------------------------------------------------------------------------
// The sub-command table and the command line

const SubCommand kSubCommands[] = {
    {"generate", "make a new RSA key (e = 65537) from the system's random generator",
     {{{"bits", "1024|2048|4096", true}, {"form", "full|short|text", true},
       {"output", "FILE", true}, {"force", nullptr, false}}},
     run_generate},
    {"convert", "store an RSA private key in PEM (PKCS#1 or PKCS#8, unencrypted) in a key file",
     {{{"pem", "KEY.pem", true}, {"form", "full|short|text", true}, {"output", "FILE", true},
       {"force", nullptr, false}}},
     run_convert},
    {"public", "write the public half of a key file of any form, a PEM key or a PKCS#11 token\n"
               "      object (pkcs11:token=...;object=...) as PEM",
     {{{"key", "KEY", true}, {"output", "PUB.pem", true}, {"force", nullptr, false},
       {"pkcs11-module", "FILE", false}, {"passphrase-file", "FILE", false}}},
     run_public},
    {"verify", "check FILE (any file the tool writes) the way the boot chain would; --chain\n"
               "      checks 16 bytes, a keymax block and a block signed by one of its user keys,\n"
               "      --block one signed block",
     {{{"aes-key", "AES32", false}, {"user-key", "ZUD_USER_KEY", false}, {"key", "KEY", false},
       {"keymax", "KEYMAX", false}, {"efuse", "EFUSE", false},
       {"root-digests", "HEX[,HEX[,HEX]]", false}, {"expect-root", "HEX", false},
       {"any-root", nullptr, false}, {"json", nullptr, false}, {"chain", "FILE", false},
       {"block", "FILE", false}, {"pkcs11-module", "FILE", false}, {"passphrase-file", "FILE", false}}},
     run_verify, "FILE", true},
    {"info", "show the structure of any file the tool writes; of a PEM key or a PKCS#11\n"
             "      token object, its size and key digest",
     {{{"aes-key", "AES32", false}, {"user-key", "ZUD_USER_KEY", false}, {"key", "KEY", false},
       {"keymax", "KEYMAX", false}, {"efuse", "EFUSE", false},
       {"root-digests", "HEX[,HEX[,HEX]]", false}, {"json", nullptr, false},
       {"pkcs11-module", "FILE", false}, {"passphrase-file", "FILE", false}}},
     run_info, "FILE|URI"},
    {"verify-set", "check a release set as a board fused with EFUSE would: each file (a directory\n"
                   "      stands for the tool's files in it) and the links between them: one keymax,\n"
                   "      its user keys the signers, the fused root, AES key and encryption bit",
     {{{"efuse", "EFUSE", true}, {"aes-key", "AES32", false}, {"user-key", "ZUD_USER_KEY", false},
       {"keymax", "KEYMAX", false}, {"key", "KEY", false}, {"json", nullptr, false},
       {"pkcs11-module", "FILE", false}, {"passphrase-file", "FILE", false}}},
     run_verify_set, "ARTEFACT", false, true},
    {"signer-check", "probe whether a key, on a token or behind a signer program, can sign each kind\n"
                     "      of artefact (keymax, bootloader, kernel image stages, upgrade trailer), and\n"
                     "      with which signature form and mechanism; show its size, exponent and key\n"
                     "      digest, and where --keymax names it. Each kind is one probe signature:\n"
                     "      with --signer, one real signature by the signer program",
     {{{"key", "KEY|URI", false}, {"signer", "'PROGRAM [ARGS]'", false}, {"signer-key", "PUB", false},
       {"signer-form", "sha256-digest|pkcs1-block", false}, {"signer-timeout", "S", false},
       {"keymax", "KEYMAX", false}, {"pkcs11-module", "FILE", false}, {"passphrase-file", "FILE", false},
       {"json", nullptr, false}}},
     run_signer_check},
};

void print_synopsis(std::FILE* to, const SubCommand& command) {
    std::fprintf(to, "  %s %s", kProgram, command.name);
    for (const auto& option : command.options) {
        if (option.name == nullptr) continue;
        if (option.value == nullptr) {
            std::fprintf(to, option.required ? " --%s" : " [--%s]", option.name);
        } else {
            std::fprintf(to, option.required ? " --%s %s" : " [--%s %s]", option.name, option.value);
        }
    }
    if (command.operand != nullptr) {
        std::fprintf(to, command.operand_optional ? " [%s]" : command.operand_repeats ? " %s..." : " %s",
                     command.operand);
    }
    std::fprintf(to, "\n      %s\n", command.summary);
}

void print_usage(std::FILE* to) {
    std::fprintf(to, "usage: %s COMMAND OPTIONS\n\n"
                     "Makes and converts the RSA key files that zud_encrypt_tqrr reads, and\n"
                     "checks and shows the files it writes.\n\n",
                 kProgram);
    for (const auto& command : kSubCommands) print_synopsis(to, command);
    std::fputs("\nKey file forms:\n"
               "  full   4680 bytes: N, E, D, P, Q, DP, DQ, QP as little-endian records\n"
               "  short  1920 bytes: N, E, D only (signs without the CRT values)\n"
               "  text   eight lines \"NAME = HEX\" in the order N E D P Q DP DQ QP\n"
               "\nRoot digests: verify and info use the table built in with\n"
               "-DZUD_ROOT_DIGESTS unless --root-digests gives one to three for the run.\n"
               "\nExit status: 0 done, 1 failed, 2 wrong usage. "
               "'COMMAND --help' shows one command.\n",
               to);
}

enum class Parsed { kRun, kHelp, kBad };

// Reads the sub-command's options from argv[1] on (argv[0] is its name).
Parsed parse_options(const SubCommand& command, int argc, char** argv, Args& args) {
    std::array<option, kMaxOptions + 2> table{};
    std::size_t count = 0;
    for (const auto& def : command.options) {
        if (def.name != nullptr) {
            table[count++] = {def.name, def.value != nullptr ? required_argument : no_argument,
                              nullptr, 0};
        }
    }
    const int help_index = static_cast<int>(count);
    table[count] = {"help", no_argument, nullptr, 0};
    opterr = 0;  // the messages below name the program
    optind = 0;
    for (;;) {
        int index = -1;
        const int c = getopt_long(argc, argv, ":", table.data(), &index);
        if (c == -1) break;
        if (c != 0) {
            const char* word = argv[optind - 1];
            std::fprintf(stderr, "%s %s: %s option %s\n", kProgram, command.name,
                         c == ':' ? "missing the value of" : "unknown", word);
            return Parsed::kBad;
        }
        if (index == help_index) return Parsed::kHelp;
        // A flag reads as a value that is set.
        args.set(static_cast<std::size_t>(index), optarg != nullptr ? optarg : "");
    }
    if (optind < argc && command.operand != nullptr) args.add_operand(argv[optind++]);
    while (optind < argc && command.operand_repeats) args.add_operand(argv[optind++]);
    if (optind < argc) {
        std::fprintf(stderr, "%s %s: unexpected argument %s\n", kProgram, command.name, argv[optind]);
        return Parsed::kBad;
    }
    if (command.operand != nullptr && !command.operand_optional && args.operand() == nullptr) {
        std::fprintf(stderr, "%s %s: %s is required\n", kProgram, command.name, command.operand);
        return Parsed::kBad;
    }
    for (const auto& def : command.options) {
        if (def.name != nullptr && def.required && args.get(def.name) == nullptr) {
            std::fprintf(stderr, "%s %s: --%s is required\n", kProgram, command.name, def.name);
            return Parsed::kBad;
        }
    }
    return Parsed::kRun;
}

const SubCommand* find_command(std::string_view name) {
    for (const auto& command : kSubCommands) {
        if (name == command.name) return &command;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view word = argc >= 2 ? argv[1] : "";
    if (word == "--help" || word == "-h" || word == "help") {
        print_usage(stdout);
        return kExitOk;
    }
    if (word == "--version") {
        zud_print_version(kProgram, stdout);
        return kExitOk;
    }
    const SubCommand* command = find_command(word);
    if (command == nullptr) {
        if (argc >= 2) std::fprintf(stderr, "%s: unknown command '%s'\n", kProgram, argv[1]);
        print_usage(stderr);
        return kExitUsage;
    }
    Args args(*command);
    switch (parse_options(*command, argc - 1, argv + 1, args)) {
        case Parsed::kHelp:
            std::printf("usage:\n");
            print_synopsis(stdout, *command);
            return kExitOk;
        case Parsed::kBad:
            std::fputs("usage:\n", stderr);
            print_synopsis(stderr, *command);
            return kExitUsage;
        case Parsed::kRun:
            break;
    }
    return command->run(args);
}
