// Signing keys held in key files and PEM files, the secrets that unlock
// them, and the checks every back end shares.
#include "signing_key.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mbedtls/error.h>
#include <mbedtls/platform_util.h>
#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "external_signer.h"
#include "files.h"

namespace {

constexpr char kPemStart[] = "-----BEGIN";
constexpr char kPkcs11Scheme[] = "pkcs11:";
constexpr std::size_t kMaxPemSize = 64 * 1024;

std::string mbedtls_reason(int code) {
    char text[128] = {};
    mbedtls_strerror(code, text, sizeof text);
    return text;
}

std::string openssl_reason() {
    const unsigned long code = ERR_peek_last_error();
    const char* text = code != 0 ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return text != nullptr ? text : "not a key";
}

// A key whose private numbers are in memory (key files and PEM keys): it
// signs through the tool's own private operation.
class SoftwareKey final : public SigningKey {
public:
    SoftwareKey(std::string name, std::int32_t mode) : SigningKey(std::move(name)), mode_(mode) {}
    RsaKey private_key;

    void set_mode(std::int32_t mode) { mode_ = mode; }
    void keep_file(zud_key_file_image image) { file_ = std::move(image); }

private:
    int sign_digest_info(std::span<const std::uint8_t, 32> digest, std::uint8_t* sig) override {
        const KeyFormatScope scope(mode_);
        const int ret = zud_rsa_sign_sha256(&private_key.ctx, digest.data(), sig);
        if (ret != 0) failure_ = describe_failure(ret);
        return ret;
    }

    int raise_private(const std::uint8_t* in, std::uint8_t* out) override {
        const KeyFormatScope scope(mode_);
        const int ret = zud_rsa_private(&private_key.ctx, in, out);
        if (ret != 0) failure_ = describe_failure(ret);
        return ret;
    }

    std::string describe_failure(int code) const {
        return "the private operation with " + name_ + " failed (" + mbedtls_reason(code) +
               "); check that its numbers belong to one key";
    }

    std::int32_t mode_;
};

// A context the caller keeps, signing under the process-wide mode.
class BorrowedKey final : public SigningKey {
public:
    explicit BorrowedKey(mbedtls_rsa_context* ctx) : SigningKey("the signing key"), ctx_(ctx) {}

private:
    int sign_digest_info(std::span<const std::uint8_t, 32> digest, std::uint8_t* sig) override {
        const int ret = zud_rsa_sign_sha256(ctx_, digest.data(), sig);
        if (ret != 0) failure_ = "the private operation failed (" + mbedtls_reason(ret) + ")";
        return ret;
    }

    int raise_private(const std::uint8_t* in, std::uint8_t* out) override {
        const int ret = zud_rsa_private(ctx_, in, out);
        if (ret != 0) failure_ = "the private operation failed (" + mbedtls_reason(ret) + ")";
        return ret;
    }

    mbedtls_rsa_context* ctx_;
};

}  // namespace

bool is_pem_file(const zud_key_file_image& image) {
    const ConstBytes head = image.head.bytes();
    return head.size() >= sizeof kPemStart - 1 && std::memcmp(head.data(), kPemStart, sizeof kPemStart - 1) == 0;
}

namespace {

// ---------------------------------------------------------------------------
// Key files

std::string describe_load_failure(const char* path, int result) {
    std::string what = std::string(path) + " is no key file: ";
    switch (result) {
        case kKeyLoadNoFile: return std::string("cannot read ") + path;
        case kKeyLoadBadRecord: return what + "a number record's word count exceeds 136";
        case -2: return what + "a text key file needs eight lines N, E, D, P, Q, DP, DQ, QP";
        case -8: return what + "a text line is too long";
        default: return what + "a number cannot be read (" + mbedtls_reason(result) + ")";
    }
}

// Loads a key file as the commands always have, keeping the mode the
// loader chose for it and leaving the process-wide flag as it was. With
// `as_loaded` a key without D is handed out too: it fails when it signs, as
// it always has.
std::unique_ptr<SoftwareKey> open_key_file(zud_key_file_image image, bool as_loaded, std::string& reason) {
    const char* path = image.path.c_str();
    auto key = std::make_unique<SoftwareKey>(image.path, 0);
    int result = 0;
    {
        const KeyFormatScope scope(0);
        result = zud_tq_load_rsa_key_image(&key->private_key.ctx, image);
        key->set_mode(g_nVQ_RSA_keyFormat);
    }
    if (result != 0) {
        reason = describe_load_failure(path, result);
        return nullptr;
    }
    if (!as_loaded && mbedtls_mpi_cmp_int(&key->private_key.ctx.D, 0) <= 0) {
        reason = std::string(path) + " holds no private exponent D; it cannot sign";
        return nullptr;
    }
    key->keep_file(std::move(image));
    return key;
}

// ---------------------------------------------------------------------------
// PEM keys

struct PkeyFree {
    void operator()(EVP_PKEY* k) const noexcept { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// What the decoder's passphrase callback did, for the failure message.
struct PassphraseRequest {
    const char* path;
    const char* file;
    bool asked = false;
    SecretStatus status = SecretStatus::kNone;
    std::string reason;
};

int give_passphrase(char* buf, int size, int /*rwflag*/, void* user) {
    auto* request = static_cast<PassphraseRequest*>(user);
    request->asked = true;
    Secret secret;
    request->status = read_secret("ZUD_KEY_PASSPHRASE", request->file,
                                  std::string("Passphrase for ") + request->path + ": ", secret,
                                  request->reason);
    if (request->status != SecretStatus::kGot) return -1;
    if (size < 0 || secret.size() > static_cast<std::size_t>(size)) {
        request->status = SecretStatus::kFailed;
        request->reason = std::string("the passphrase for ") + request->path + " is too long";
        return -1;
    }
    std::memcpy(buf, secret.data(), secret.size());
    return static_cast<int>(secret.size());
}

std::string describe_decode_failure(const PassphraseRequest& request) {
    const std::string path = request.path;
    if (!request.asked) return path + " holds no key PEM can give (" + openssl_reason() + ")";
    ERR_clear_error();
    switch (request.status) {
        case SecretStatus::kGot:
            return "wrong passphrase for " + path +
                   " (or the key is damaged); give its passphrase in ZUD_KEY_PASSPHRASE or the "
                   "passphrase file";
        case SecretStatus::kNone:
            return path + " is encrypted and no passphrase was given: set ZUD_KEY_PASSPHRASE, "
                          "give a passphrase file, or run on a terminal";
        case SecretStatus::kFailed: break;
    }
    return request.reason;
}

// Reads a PEM file with OpenSSL's decoders, which know every PEM key form
// including PBES2-encrypted PKCS#8; asks for the passphrase only if needed.
Pkey decode_pem(const zud_key_file_image& image, const char* passphrase_file, std::string& reason) {
    const char* path = image.path.c_str();
    if (image.size > kMaxPemSize) {
        reason = std::string("cannot read ") + path + " (or it is over 64 KiB)";
        return nullptr;
    }
    const ConstBytes text = image.head.bytes();
    EVP_PKEY* raw = nullptr;
    OSSL_DECODER_CTX* decoder =
        OSSL_DECODER_CTX_new_for_pkey(&raw, "PEM", nullptr, nullptr, 0, nullptr, nullptr);
    PassphraseRequest request{path, passphrase_file, false, SecretStatus::kNone, {}};
    const unsigned char* data = text.data();
    std::size_t length = text.size();
    const bool decoded = decoder != nullptr &&
                         OSSL_DECODER_CTX_set_pem_password_cb(decoder, give_passphrase, &request) == 1 &&
                         OSSL_DECODER_from_data(decoder, &data, &length) == 1;
    OSSL_DECODER_CTX_free(decoder);
    Pkey key(raw);
    if (!decoded || !key) {
        reason = describe_decode_failure(request);
        return nullptr;
    }
    ERR_clear_error();
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA) {
        reason = std::string(path) + " holds a key of type " +
                 EVP_PKEY_get0_type_name(key.get()) + "; only RSA keys can sign firmware";
        return nullptr;
    }
    return key;
}

// Copies one number of an OpenSSL key into X; false when the key lacks it.
bool copy_number(const EVP_PKEY* key, const char* param, mbedtls_mpi* X) {
    BIGNUM* bn = nullptr;
    if (EVP_PKEY_get_bn_param(key, param, &bn) != 1) {
        ERR_clear_error();
        return false;
    }
    Buffer bytes(static_cast<std::size_t>(BN_num_bytes(bn)) + 1);
    bool ok = bytes.ok() && BN_bn2bin(bn, bytes.data()) >= 0 &&
              mbedtls_mpi_read_binary(X, bytes.data(), static_cast<std::size_t>(BN_num_bytes(bn))) == 0;
    BN_clear_free(bn);
    return ok;
}

bool copy_public_numbers(const EVP_PKEY* key, mbedtls_rsa_context& ctx) {
    if (!copy_number(key, OSSL_PKEY_PARAM_RSA_N, &ctx.N) ||
        !copy_number(key, OSSL_PKEY_PARAM_RSA_E, &ctx.E)) {
        return false;
    }
    ctx.len = mbedtls_mpi_size(&ctx.N);
    return true;
}

bool copy_private_numbers(const EVP_PKEY* key, mbedtls_rsa_context& ctx) {
    const std::pair<const char*, mbedtls_mpi*> numbers[] = {
        {OSSL_PKEY_PARAM_RSA_D, &ctx.D},          {OSSL_PKEY_PARAM_RSA_FACTOR1, &ctx.P},
        {OSSL_PKEY_PARAM_RSA_FACTOR2, &ctx.Q},    {OSSL_PKEY_PARAM_RSA_EXPONENT1, &ctx.DP},
        {OSSL_PKEY_PARAM_RSA_EXPONENT2, &ctx.DQ}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &ctx.QP},
    };
    if (!copy_public_numbers(key, ctx)) return false;
    for (const auto& [param, number] : numbers) {
        if (!copy_number(key, param, number)) return false;
    }
    return true;
}

bool has_third_prime(const EVP_PKEY* key) {
    mbedtls_mpi unused;
    mbedtls_mpi_init(&unused);
    const bool found = copy_number(key, OSSL_PKEY_PARAM_RSA_FACTOR3, &unused);
    mbedtls_mpi_free(&unused);
    return found;
}

// A PEM private key moved into an mbed TLS context, so that it signs through
// the same code as a key file of the same key (CRT mode).
std::unique_ptr<SoftwareKey> open_pem_key(const zud_key_file_image& image, const SigningKeySource& source,
                                          std::string& reason) {
    const char* path = image.path.c_str();
    const Pkey pem = decode_pem(image, source.passphrase_file, reason);
    if (!pem) return nullptr;
    auto key = std::make_unique<SoftwareKey>(path, 0);
    mbedtls_rsa_context& ctx = key->private_key.ctx;
    if (!copy_private_numbers(pem.get(), ctx)) {
        reason = std::string(path) + " holds no RSA private key with its CRT values (only a "
                                     "public key?); signing needs the private key";
        return nullptr;
    }
    if (has_third_prime(pem.get())) {
        reason = std::string(path) + " is a multi-prime RSA key; use a key of two primes";
        return nullptr;
    }
    if (mbedtls_rsa_check_privkey(&ctx) != 0) {
        reason = std::string(path) + " holds RSA numbers that do not belong together";
        return nullptr;
    }
    return key;
}

bool open_pem_public_key(const zud_key_file_image& image, const SigningKeySource& source, RsaKey& out,
                         std::string& reason) {
    const char* path = image.path.c_str();
    const Pkey pem = decode_pem(image, source.passphrase_file, reason);
    if (!pem) return false;
    if (!copy_public_numbers(pem.get(), out.ctx)) {
        reason = std::string(path) + " holds no RSA modulus and exponent";
        return false;
    }
    return true;
}

bool open_key_file_public(const zud_key_file_image& image, RsaKey& out, std::string& reason) {
    const char* path = image.path.c_str();
    RsaKey loaded;
    int result = 0;
    {
        const KeyFormatScope scope(0);
        result = zud_tq_load_rsa_key_image(&loaded.ctx, image);
    }
    if (result != 0) {
        reason = describe_load_failure(path, result);
        return false;
    }
    if (!copy_public_half(loaded.ctx, out.ctx)) {
        reason = "out of memory reading " + std::string(path);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Secrets

SecretStatus read_secret_file(const char* path, Secret& out, std::string& reason) {
    File f = open_file(path, "rb");
    if (!f) {
        reason = std::string("cannot read ") + path + ": " + std::strerror(errno);
        return SecretStatus::kFailed;
    }
    char line[Secret::kCapacity + 1];
    std::size_t n = 0;
    int c = 0;
    while ((c = std::fgetc(f.get())) != EOF && c != '\n' && n < sizeof line) {
        line[n++] = static_cast<char>(c);
    }
    const bool too_long = n == sizeof line;
    if (!too_long && n > 0 && line[n - 1] == '\r') --n;
    const bool taken = !too_long && out.assign({line, n});
    mbedtls_platform_zeroize(line, sizeof line);
    if (!taken) {
        reason = std::string("the first line of ") + path + " is longer than 1024 characters";
        return SecretStatus::kFailed;
    }
    return SecretStatus::kGot;
}

// Echo stays off while the secret is typed and is put back afterwards.
SecretStatus prompt_secret(const std::string& prompt, Secret& out, std::string& reason) {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return SecretStatus::kNone;
    termios saved{};
    const bool quiet = ::tcgetattr(fd, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &silent);
    }
    (void)!::write(fd, prompt.data(), prompt.size());
    char line[Secret::kCapacity + 1];
    std::size_t n = 0;
    bool too_long = false;
    char c = 0;
    for (;;) {
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got != 1 || c == '\n') break;
        if (n < sizeof line) line[n++] = c; else too_long = true;
    }
    if (quiet) ::tcsetattr(fd, TCSAFLUSH, &saved);
    (void)!::write(fd, "\n", 1);
    ::close(fd);
    if (n > 0 && line[n - 1] == '\r') --n;
    const bool taken = !too_long && out.assign({line, n});
    mbedtls_platform_zeroize(line, sizeof line);
    if (!taken) {
        reason = "the secret typed is longer than 1024 characters";
        return SecretStatus::kFailed;
    }
    return SecretStatus::kGot;
}

}  // namespace

// ---------------------------------------------------------------------------

int SigningKey::sign_sha256(std::span<const std::uint8_t, 32> digest, MutBytes sig) {
    failure_.clear();
    const std::size_t len = length();
    if (len == 0 || sig.size() < len) {
        failure_ = "the signature buffer is shorter than the modulus of " + name_;
        return kSignBadInput;
    }
    const int ret = sign_digest_info(digest, sig.data());
    if (ret != 0) std::fill_n(sig.data(), len, std::uint8_t{0});
    return ret;
}

int SigningKey::private_raw(ConstBytes in, MutBytes out) {
    failure_.clear();
    const std::size_t len = length();
    if (len == 0 || in.size() != len || out.size() < len) {
        failure_ = "the raw operation of " + name_ + " takes exactly the modulus length";
        return kSignBadInput;
    }
    mbedtls_mpi value;
    mbedtls_mpi_init(&value);
    const bool below = mbedtls_mpi_read_binary(&value, in.data(), len) == 0 &&
                       mbedtls_mpi_cmp_mpi(&value, &public_.ctx.N) < 0;
    mbedtls_mpi_free(&value);
    if (!below) {
        failure_ = "the block to raise is not below the modulus of " + name_;
        return kSignBadInput;
    }
    return raise_private(in.data(), out.data());
}

Secret::~Secret() { mbedtls_platform_zeroize(data_, sizeof data_); }

bool Secret::assign(std::string_view text) {
    mbedtls_platform_zeroize(data_, sizeof data_);
    size_ = 0;
    if (text.size() > kCapacity) return false;
    std::memcpy(data_, text.data(), text.size());
    size_ = text.size();
    return true;
}

SecretStatus read_secret(const char* variable, const char* file, const std::string& prompt,
                         Secret& out, std::string& reason) {
    if (file != nullptr) return read_secret_file(file, out, reason);
    if (const char* value = std::getenv(variable); value != nullptr) {
        if (out.assign(value)) return SecretStatus::kGot;
        reason = std::string(variable) + " is longer than 1024 characters";
        return SecretStatus::kFailed;
    }
    if (::isatty(STDIN_FILENO) == 1) return prompt_secret(prompt, out, reason);
    return SecretStatus::kNone;
}

bool check_key_size(const mbedtls_rsa_context& ctx, const std::string& name,
                    std::string& reason) {
    const std::size_t bits = mbedtls_mpi_bitlen(&ctx.N);
    if (bits != 1024 && bits != 2048 && bits != 4096) {
        reason = name + " has a " + std::to_string(bits) +
                 "-bit modulus; use a key of 1024, 2048 or 4096 bits (no other size fits the "
                 "key blocks)";
        return false;
    }
    if (mbedtls_mpi_bitlen(&ctx.E) > 32 || mbedtls_mpi_cmp_int(&ctx.E, 3) < 0 ||
        mbedtls_mpi_get_bit(&ctx.E, 0) == 0) {
        reason = name + " has a public exponent that is not an odd number of at most 32 bits";
        return false;
    }
    return true;
}

bool copy_public_half(const mbedtls_rsa_context& from, mbedtls_rsa_context& to) {
    if (mbedtls_mpi_copy(&to.N, &from.N) != 0 || mbedtls_mpi_copy(&to.E, &from.E) != 0) {
        return false;
    }
    to.len = mbedtls_mpi_size(&to.N);
    return true;
}

SigningKeySource command_key_source(const char* pkcs11_module, const char* passphrase_file) {
    SigningKeySource source;
    source.pkcs11_module = pkcs11_module;
    source.passphrase_file = passphrase_file;
    source.key_files_as_loaded = true;
    return source;
}

bool is_pkcs11_uri(const char* value) {
    return value != nullptr && std::strncmp(value, kPkcs11Scheme, sizeof kPkcs11Scheme - 1) == 0;
}

const char* key_file_of(const char* value) {
    if (value == nullptr || is_pkcs11_uri(value)) return nullptr;
    zud_key_file_image image;
    return read_key_file_image(value, image) && is_pem_file(image) ? nullptr : value;
}

std::unique_ptr<SigningKey> borrow_signing_key(mbedtls_rsa_context* ctx) {
    std::unique_ptr<BorrowedKey> key(new (std::nothrow) BorrowedKey(ctx));
    if (!key || ctx == nullptr || !copy_public_half(*ctx, *key->public_key())) return nullptr;
    key->public_key()->len = ctx->len;  // the context's own length, as it always signed with
    return key;
}

std::unique_ptr<SigningKey> open_signing_key(zud_key_file_image image, const SigningKeySource& source,
                                             std::string& reason) {
    reason.clear();
    if (source.external != nullptr) return open_external_key(*source.external, image, source, reason);
    const bool pem = is_pem_file(image);
    const std::string name = image.path;
    std::unique_ptr<SoftwareKey> key = pem ? open_pem_key(image, source, reason)
                                           : open_key_file(std::move(image), source.key_files_as_loaded, reason);
    if (!key) return nullptr;
    const bool as_loaded = !pem && source.key_files_as_loaded;
    if (!as_loaded && !check_key_size(key->private_key.ctx, name, reason)) return nullptr;
    if (!copy_public_half(key->private_key.ctx, *key->public_key())) {
        reason = "out of memory reading " + name;
        return nullptr;
    }
    return key;
}

std::unique_ptr<SigningKey> open_signing_key(const char* value, const SigningKeySource& source,
                                             std::string& reason) {
    reason.clear();
    if (value == nullptr || *value == '\0') {
        reason = "no signing key given";
        return nullptr;
    }
    if (source.external != nullptr) return open_external_key(*source.external, source, reason);
    if (is_pkcs11_uri(value)) return open_pkcs11_key(value, source, reason);
    zud_key_file_image image;
    if (!read_key_file_image(value, image, &reason)) return nullptr;
    return open_signing_key(std::move(image), source, reason);
}

bool open_public_key(const char* value, const SigningKeySource& source, RsaKey& out,
                     std::string& reason, zud_key_file_image* file) {
    reason.clear();
    if (value == nullptr || *value == '\0') {
        reason = "no key given";
        return false;
    }
    if (is_pkcs11_uri(value)) return open_pkcs11_public_key(value, source, out, reason);
    zud_key_file_image image;
    if (!read_key_file_image(value, image, &reason)) return false;
    if (!open_public_key_image(image, source, out, reason)) return false;
    if (file != nullptr && !is_pem_file(image)) *file = std::move(image);
    return true;
}

bool open_public_key_image(const zud_key_file_image& image, const SigningKeySource& source, RsaKey& out,
                           std::string& reason) {
    const bool pem = is_pem_file(image);
    const bool opened = pem ? open_pem_public_key(image, source, out, reason)
                            : open_key_file_public(image, out, reason);
    const bool as_loaded = !pem && source.key_files_as_loaded;
    return opened && (as_loaded || check_key_size(out.ctx, image.path, reason));
}
