// Key material as the commands open it: PEM keys in every form the openers
// take (PKCS#1 and PKCS#8, plain and encrypted, and public keys), with the
// passphrase file also fuzzed; the three key file forms and zud_user_key
// files through the loader, the signing key and public key openers and the
// key block builder; PKCS#11 URIs; passphrase and PIN files.
//
// Input: byte 0 the mode, then per mode:
//   0 pem          the rest is a PEM (or any) key file, opened to sign
//   1 public       the rest is a key file, opened for its public half
//   2 pem template byte 1 the PEM form, a u16 cut and u16 patches
//   3 passphrase   byte 1 the encrypted PEM form, the rest is the passphrase file
//   4 uri          byte 1 bit 0: "pkcs11:" put in front; the rest is the URI
//   5 secret       the rest is a passphrase or PIN file
//   6 key template byte 1 the key file form, a u16 cut and u16 patches
//   7 key raw      byte 1 flags, the rest is the key file
// No PKCS#11 module is ever loaded: a URI is parsed, never opened.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/encoder.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>

#include "fuzz/artefacts.h"
#include "fuzz/fuzz_entries.h"
#include "keyfile.h"
#include "rsa.h"
#include "signing_key.h"

namespace {

constexpr char kPassphraseText[] = "fuzz passphrase";

enum Mode : std::uint8_t { kPem, kPublic, kPemTemplate, kPassphrase, kUri, kSecret, kKeyTemplate, kKeyRaw, kModeCount };

FuzzBytes bytes_of(const std::string& text) { return FuzzBytes(text.begin(), text.end()); }

BIGNUM* to_bignum(const mbedtls_mpi& x) {
    FuzzBytes b(mbedtls_mpi_size(&x));
    if (mbedtls_mpi_write_binary(&x, b.data(), b.size()) != 0) fuzz_fail("cannot write a key number");
    return BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr);
}

// The key as OpenSSL holds it, from its eight numbers.
EVP_PKEY* to_pkey(const mbedtls_rsa_context& k) {
    const std::pair<const char*, const mbedtls_mpi*> numbers[] = {
        {OSSL_PKEY_PARAM_RSA_N, &k.N},          {OSSL_PKEY_PARAM_RSA_E, &k.E},
        {OSSL_PKEY_PARAM_RSA_D, &k.D},          {OSSL_PKEY_PARAM_RSA_FACTOR1, &k.P},
        {OSSL_PKEY_PARAM_RSA_FACTOR2, &k.Q},    {OSSL_PKEY_PARAM_RSA_EXPONENT1, &k.DP},
        {OSSL_PKEY_PARAM_RSA_EXPONENT2, &k.DQ}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &k.QP},
    };
    OSSL_PARAM_BLD* build = OSSL_PARAM_BLD_new();
    std::vector<BIGNUM*> owned;
    for (const auto& [name, number] : numbers) {
        owned.push_back(to_bignum(*number));
        if (owned.back() == nullptr || OSSL_PARAM_BLD_push_BN(build, name, owned.back()) != 1) {
            fuzz_fail("cannot build the key's parameters");
        }
    }
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(build);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY* key = nullptr;
    if (params == nullptr || ctx == nullptr || EVP_PKEY_fromdata_init(ctx) != 1 ||
        EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_KEYPAIR, params) != 1) {
        fuzz_fail("cannot make the OpenSSL key");
    }
    EVP_PKEY_CTX_free(ctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(build);
    for (BIGNUM* bn : owned) BN_free(bn);
    return key;
}

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(n));
    BIO_free(bio);
    return text;
}

enum class PemForm { kPkcs1, kEncryptedPkcs1, kPkcs8, kEncryptedPkcs8, kRsaPublic, kPublic };
constexpr std::size_t kPemForms = 6;

// OpenSSL's writers draw the salt and IV of an encrypted key from its
// generator. The two encrypted forms are written here with fixed ones, so
// that the seeds made from them are the same in every run.
constexpr unsigned char kSalt[8] = {0x5A, 0x55, 0x44, 0x2D, 0x66, 0x75, 0x7A, 0x7A};
constexpr unsigned char kIv[16] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE,
                                   0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

// PKCS#8 with PBES2 (PBKDF2 with HMAC-SHA256, AES-256-CBC), as
// `openssl genpkey -aes-256-cbc` writes it.
bool write_encrypted_pkcs8(BIO* bio, EVP_PKEY* key) {
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    X509_ALGOR* pbe = PKCS5_pbe2_set_iv_ex(EVP_aes_256_cbc(), 2048, const_cast<unsigned char*>(kSalt), sizeof kSalt,
                                           const_cast<unsigned char*>(kIv), NID_hmacWithSHA256, nullptr);
    X509_SIG* sealed = info != nullptr && pbe != nullptr
                           ? PKCS8_set0_pbe(kPassphraseText, static_cast<int>(std::strlen(kPassphraseText)), info, pbe)
                           : nullptr;
    const bool ok = sealed != nullptr && PEM_write_bio_PKCS8(bio, sealed) == 1;
    if (sealed == nullptr) X509_ALGOR_free(pbe);
    X509_SIG_free(sealed);
    PKCS8_PRIV_KEY_INFO_free(info);
    return ok;
}

// PKCS#1 with Proc-Type/DEK-Info encryption (AES-128-CBC, the key derived
// from the passphrase and the IV's first 8 bytes with MD5, once), as
// `openssl rsa -traditional -aes128` writes it.
bool write_encrypted_pkcs1(BIO* bio, EVP_PKEY* key) {
    OSSL_ENCODER_CTX* encoder = OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_KEYPAIR, "DER", "type-specific", nullptr);
    unsigned char* der = nullptr;
    std::size_t der_length = 0;
    const bool encoded = encoder != nullptr && OSSL_ENCODER_to_data(encoder, &der, &der_length) == 1;
    OSSL_ENCODER_CTX_free(encoder);
    if (!encoded) return false;
    unsigned char aes_key[16];
    std::vector<unsigned char> sealed(der_length + 16);
    int n = 0;
    int last = 0;
    EVP_CIPHER_CTX* cipher = EVP_CIPHER_CTX_new();
    const bool ok =
        EVP_BytesToKey(EVP_aes_128_cbc(), EVP_md5(), kIv, reinterpret_cast<const unsigned char*>(kPassphraseText),
                       static_cast<int>(std::strlen(kPassphraseText)), 1, aes_key, nullptr) == 16 &&
        cipher != nullptr && EVP_EncryptInit_ex(cipher, EVP_aes_128_cbc(), nullptr, aes_key, kIv) == 1 &&
        EVP_EncryptUpdate(cipher, sealed.data(), &n, der, static_cast<int>(der_length)) == 1 &&
        EVP_EncryptFinal_ex(cipher, sealed.data() + n, &last) == 1;
    EVP_CIPHER_CTX_free(cipher);
    OPENSSL_free(der);
    if (!ok) return false;
    std::string header = "Proc-Type: 4,ENCRYPTED\nDEK-Info: AES-128-CBC,";
    static const char digits[] = "0123456789ABCDEF";
    for (const unsigned char b : kIv) {
        header += digits[b >> 4];
        header += digits[b & 15];
    }
    header += "\n";
    return PEM_write_bio(bio, "RSA PRIVATE KEY", header.c_str(), sealed.data(), n + last) > 0;
}

std::string write_pem(EVP_PKEY* key, PemForm form) {
    BIO* bio = BIO_new(BIO_s_mem());
    int ok = 0;
    switch (form) {
        case PemForm::kPkcs1: ok = PEM_write_bio_PrivateKey_traditional(bio, key, nullptr, nullptr, 0, nullptr, nullptr); break;
        case PemForm::kEncryptedPkcs1: ok = write_encrypted_pkcs1(bio, key) ? 1 : 0; break;
        case PemForm::kPkcs8: ok = PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr); break;
        case PemForm::kEncryptedPkcs8: ok = write_encrypted_pkcs8(bio, key) ? 1 : 0; break;
        case PemForm::kRsaPublic: {
            OSSL_ENCODER_CTX* encoder =
                OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr);
            ok = encoder != nullptr && OSSL_ENCODER_to_bio(encoder, bio) == 1;
            OSSL_ENCODER_CTX_free(encoder);
            break;
        }
        case PemForm::kPublic: ok = PEM_write_bio_PUBKEY(bio, key); break;
    }
    if (ok != 1) fuzz_fail("cannot write a PEM template");
    return bio_text(bio);
}

struct KeyTemplates {
    KeyTemplates();
    std::array<FuzzBytes, kPemForms> pem;
    std::string passphrase_path;
    // Key files of user1 in the forms the tool writes, and its zud_user_key file.
    FuzzBytes full, short_form, text, user_key;
};

KeyTemplates::KeyTemplates() {
    const FuzzArtefacts& a = fuzz_artefacts();
    RsaKey user;
    if (zud_tq_load_rsa_key_file(&user.ctx, a.user1_key_path.c_str()) != 0) fuzz_fail("user1 does not load");
    g_nVQ_RSA_keyFormat = 0;
    EVP_PKEY* key = to_pkey(user.ctx);
    for (std::size_t i = 0; i < kPemForms; ++i) pem[i] = bytes_of(write_pem(key, static_cast<PemForm>(i)));
    EVP_PKEY_free(key);
    // The tool's own public key writer makes the SubjectPublicKeyInfo form.
    const std::string spki = a.dir + "/user1.pub.pem";
    if (zud_write_public_pem(&user.ctx, spki.c_str()) != 0) fuzz_fail("cannot write the public PEM");
    pem[static_cast<std::size_t>(PemForm::kPublic)] = read_whole_file(spki);
    passphrase_path = a.dir + "/passphrase.txt";
    write_whole_file(passphrase_path, bytes_of(std::string(kPassphraseText) + "\n"));
    FuzzBytes encoded(kKeyFileMaxSize);
    const auto encode = [&](KeyFileForm form) {
        const std::size_t n = zud_encode_key_file(&user.ctx, form, encoded);
        if (n == 0) fuzz_fail("cannot encode a key file");
        return FuzzBytes(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(n));
    };
    full = encode(KeyFileForm::kFull);
    short_form = encode(KeyFileForm::kShort);
    text = encode(KeyFileForm::kText);
    user_key = a.user_key;
}

const KeyTemplates& templates() {
    static const KeyTemplates t;
    return t;
}

SigningKeySource source_for(bool as_loaded) {
    SigningKeySource s;
    s.passphrase_file = templates().passphrase_path.c_str();
    s.key_files_as_loaded = as_loaded;
    return s;
}

// A key an opener hands out has the modulus length it says.
void check_opened(const SigningKey& key) {
    if (key.length() != mbedtls_mpi_size(&key.public_key()->N)) fuzz_fail("an opened key's length is not its modulus's");
}

void open_to_sign(const std::string& path, bool as_loaded) {
    std::string reason;
    const auto key = open_signing_key(path.c_str(), source_for(as_loaded), reason);
    if (key) check_opened(*key);
    else if (reason.empty()) fuzz_fail("a key was refused without a reason");
}

void open_public(const std::string& path, bool as_loaded) {
    RsaKey out;
    std::string reason;
    zud_key_file_image image;
    if (!open_public_key(path.c_str(), source_for(as_loaded), out, reason, &image) && reason.empty()) {
        fuzz_fail("a public key was refused without a reason");
    }
}

// Every reader of key files on one file.
void open_key_file(const std::string& path, std::uint8_t flags) {
    {
        RsaKey loaded;
        (void)zud_tq_load_rsa_key_file(&loaded.ctx, path.c_str());
        g_nVQ_RSA_keyFormat = 0;
    }
    open_to_sign(path, (flags & 1) != 0);
    open_public(path, (flags & 2) != 0);
    zud_key_components components{};
    std::uint32_t size = 0;
    (void)zud_create_key_info_from_file(path.c_str(), components, &size, flags & 4);
    if ((flags & 8) != 0) {
        RsaKey loaded;
        if (zud_tq_load_rsa_key_file(&loaded.ctx, path.c_str()) == 0) {
            FuzzBytes out(kKeyDataAreaMin);
            std::array<std::uint8_t, kKeyHeaderSize> header{};
            (void)zud_create_key_from_source(0, path.c_str(), &loaded.ctx, out, header, 0);
        }
        g_nVQ_RSA_keyFormat = 0;
    }
}

std::string percent_encoded(const std::string& value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : value) {
        const auto u = static_cast<unsigned char>(c);
        out += '%';
        out += digits[u >> 4];
        out += digits[u & 15];
    }
    return out;
}

// A URI that parses names the same key when each value is written again
// percent-encoded.
void parse_uri(const std::string& text) {
    Pkcs11Uri uri;
    std::string reason;
    if (!parse_pkcs11_uri(text, uri, reason)) {
        if (reason.empty()) fuzz_fail("a URI was refused without a reason");
        return;
    }
    if (!uri.type.empty() && uri.type != "private" && uri.type != "public") fuzz_fail("a URI has another type");
    if (uri.pin_source.rfind("file:", 0) == 0) return;  // the prefix is taken off once only
    std::string again = "pkcs11:token=" + percent_encoded(uri.token) + ";object=" + percent_encoded(uri.object);
    if (uri.has_id) again += ";id=" + percent_encoded(uri.id);
    if (!uri.type.empty()) again += ";type=" + uri.type;
    again += "?pin-source=" + percent_encoded(uri.pin_source) + "&module-path=" + percent_encoded(uri.module_path);
    Pkcs11Uri back;
    if (!parse_pkcs11_uri(again, back, reason) || back.token != uri.token || back.object != uri.object ||
        back.has_id != uri.has_id || back.id != uri.id || back.type != uri.type || back.pin_source != uri.pin_source ||
        back.module_path != uri.module_path) {
        fuzz_fail("a URI written again names another key");
    }
}

// A secret read from a file is its first line without the line end.
void read_secret_file(const FuzzBytes& bytes) {
    const std::string& path = scratch_file(bytes, "secret");
    Secret secret;
    std::string reason;
    const SecretStatus status = read_secret("ZUD_FUZZ_UNSET_SECRET", path.c_str(), "unused: ", secret, reason);
    if (status == SecretStatus::kNone) fuzz_fail("a secret file gave no answer");
    if (status != SecretStatus::kGot) return;
    const auto line_end = std::find(bytes.begin(), bytes.end(), '\n');
    std::string line(bytes.begin(), line_end);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line != std::string_view(secret.data(), secret.size())) fuzz_fail("a secret is not its file's first line");
}

std::string text_until_nul(const FuzzBytes& bytes) {
    return std::string(bytes.begin(), std::find(bytes.begin(), bytes.end(), '\0'));
}

const FuzzBytes& key_template(std::uint8_t form) {
    const KeyTemplates& t = templates();
    const FuzzBytes* const forms[] = {&t.full, &t.short_form, &t.text, &t.user_key};
    return *forms[form % 4];
}

}  // namespace

int fuzz_keys(const std::uint8_t* data, std::size_t size) {
    const KeyTemplates& t = templates();
    FuzzInput in(data, size);
    switch (in.u8() % kModeCount) {
        case kPem: open_to_sign(scratch_file(in.rest(), "key"), false); break;
        case kPublic: open_public(scratch_file(in.rest(), "key"), false); break;
        case kPemTemplate: {
            const FuzzBytes& base = t.pem[in.u8() % kPemForms];
            const std::string& path = scratch_file(patch_template(base, in, 16, 16), "key");
            open_to_sign(path, false);
            open_public(path, false);
            break;
        }
        case kPassphrase: {
            const bool pkcs8 = (in.u8() & 1) != 0;
            const FuzzBytes& pem = t.pem[static_cast<std::size_t>(pkcs8 ? PemForm::kEncryptedPkcs8 : PemForm::kEncryptedPkcs1)];
            const FuzzBytes passphrase = in.rest();
            SigningKeySource source;
            source.passphrase_file = scratch_file(passphrase, "passphrase").c_str();
            std::string reason;
            const auto key = open_signing_key(scratch_file(pem, "key").c_str(), source, reason);
            if (key) check_opened(*key);
            break;
        }
        case kUri: {
            const bool prefix = (in.u8() & 1) != 0;
            const std::string text = text_until_nul(in.rest());
            parse_uri(prefix ? "pkcs11:" + text : text);
            break;
        }
        case kSecret: read_secret_file(in.rest()); break;
        case kKeyTemplate: {
            const std::uint8_t form = in.u8();
            FuzzBytes bytes = patch_template(key_template(form), in, 16, 16);
            // The short form is also 1696 bytes: its three records come first.
            if (form % 4 == 1 && (form & 4) != 0 && bytes.size() >= kShortKeyFileSizeAlt) bytes.resize(kShortKeyFileSizeAlt);
            open_key_file(scratch_file(bytes, "key"), form >> 3);
            break;
        }
        default: {
            const std::uint8_t flags = in.u8();
            open_key_file(scratch_file(in.rest(), "key"), flags);
        }
    }
    if (g_nVQ_RSA_keyFormat != 0) fuzz_fail("the key format flag was left set");
    return 0;
}

std::vector<FuzzSeed> keys_fuzz_seeds() {
    const KeyTemplates& t = templates();
    std::vector<FuzzSeed> seeds;
    const auto add = [&](std::string name, FuzzBytes head, const FuzzBytes& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        seeds.push_back({std::move(name), std::move(head)});
    };
    const char* const pem_names[kPemForms] = {"pkcs1", "encrypted-pkcs1", "pkcs8", "encrypted-pkcs8", "rsa-public", "public"};
    for (std::uint8_t i = 0; i < kPemForms; ++i) {
        add(std::string("pem-") + pem_names[i], {kPem}, t.pem[i]);
        add(std::string("public-") + pem_names[i], {kPublic}, t.pem[i]);
        add(std::string("pem-template-") + pem_names[i], {kPemTemplate, i}, whole_template(16));
    }
    add("passphrase-pkcs1", {kPassphrase, 0}, bytes_of(std::string(kPassphraseText) + "\n"));
    add("passphrase-pkcs8", {kPassphrase, 1}, bytes_of(std::string(kPassphraseText) + "\r\n"));
    const char* const uris[] = {
        "token=zud%2dtest;object=%73igner;id=%01?pin-source=file:/tmp/pin",
        "token=a%20b;object=k;id=%01%fF;type=private?pin-source=file:/p/pin&module-path=/m.so",
        "object=signer;type=public",
        "token=a;serial=1",
        "object=k?pin-value=1234",
    };
    for (std::size_t i = 0; i < std::size(uris); ++i) add("uri-" + std::to_string(i), {kUri, 1}, bytes_of(uris[i]));
    add("uri-full", {kUri, 0}, bytes_of(std::string("pkcs11:") + uris[1]));
    add("secret-line", {kSecret}, bytes_of("0123\r\nsecond line\n"));
    add("secret-no-line-end", {kSecret}, bytes_of("pin without a line end"));
    add("secret-too-long", {kSecret}, FuzzBytes(1100, 'x'));
    const char* const forms[] = {"full", "short", "text", "user-key"};
    for (std::uint8_t i = 0; i < 4; ++i) {
        add(std::string("key-template-") + forms[i], {kKeyTemplate, i}, whole_template(16));
        add(std::string("key-template-") + forms[i] + "-flags", {kKeyTemplate, static_cast<std::uint8_t>(i | 0x7C)},
            whole_template(16));
    }
    add("key-raw-full", {kKeyRaw, 0x0F}, t.full);
    add("key-raw-short", {kKeyRaw, 0x0F}, t.short_form);
    add("key-raw-text", {kKeyRaw, 0x0F}, t.text);
    return seeds;
}
