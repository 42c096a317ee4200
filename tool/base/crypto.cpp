#include "crypto.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <openssl/evp.h>

namespace {

// The digest and cipher implementations, fetched once: a lookup per call
// would cost more than hashing a small record.
const EVP_MD* sha256_md() {
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
    return md;
}

const EVP_MD* sha224_md() {
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA2-224", nullptr);
    return md;
}

const EVP_CIPHER* aes256_cbc() {
    static EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
    return cipher;
}

// A hash that cannot run would produce wrong digests in signed outputs;
// there is no result to report from a digest, so stop loudly instead.
[[noreturn]] void crypto_library_failed() {
    std::fputs("zud: the cryptographic library failed; no output can be trusted\n", stderr);
    std::abort();
}

void digest_into(const EVP_MD* md, ConstBytes in, std::uint8_t* out) {
    unsigned int n = 0;
    if (md == nullptr || EVP_Digest(in.data(), in.size(), out, &n, md, nullptr) != 1) {
        crypto_library_failed();
    }
}

}  // namespace

Digest sha256(ConstBytes in) {
    Digest out{};
    digest_into(sha256_md(), in, out.data());
    return out;
}

Digest hmac_sha256(ConstBytes key, ConstBytes message) {
    Digest out{};
    std::size_t n = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA2-256", nullptr, key.data(), key.size(),
                  message.data(), message.size(), out.data(), out.size(), &n) == nullptr ||
        n != out.size()) {
        crypto_library_failed();
    }
    return out;
}

void sha224(ConstBytes in, std::span<std::uint8_t, kSha224Size> out) {
    digest_into(sha224_md(), in, out.data());
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
    if (ctx_ == nullptr || sha256_md() == nullptr ||
        EVP_DigestInit_ex(ctx_, sha256_md(), nullptr) != 1) {
        crypto_library_failed();
    }
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

void Sha256::update(ConstBytes in) {
    if (!in.empty() && EVP_DigestUpdate(ctx_, in.data(), in.size()) != 1) crypto_library_failed();
}

Digest Sha256::finish() {
    Digest out{};
    unsigned int n = 0;
    if (EVP_DigestFinal_ex(ctx_, out.data(), &n) != 1) crypto_library_failed();
    return out;
}

Digest Sha256::digest_so_far() const {
    Digest out{};
    unsigned int n = 0;
    EVP_MD_CTX* copy = EVP_MD_CTX_new();
    if (copy == nullptr || EVP_MD_CTX_copy_ex(copy, ctx_) != 1 || EVP_DigestFinal_ex(copy, out.data(), &n) != 1) {
        EVP_MD_CTX_free(copy);
        crypto_library_failed();
    }
    EVP_MD_CTX_free(copy);
    return out;
}

AesCbc::AesCbc() : ctx_(EVP_CIPHER_CTX_new()) {}

AesCbc::~AesCbc() { EVP_CIPHER_CTX_free(ctx_); }

int AesCbc::set_key(ConstBytes key, bool encrypt) {
    keyed_ = false;
    if (key.size() != kAesKeySize) return kAesBadKey;
    if (ctx_ == nullptr || aes256_cbc() == nullptr) return kAesFailed;
    const std::uint8_t zero_iv[kAesBlockSize] = {};
    if (EVP_CipherInit_ex2(ctx_, aes256_cbc(), key.data(), zero_iv, encrypt ? 1 : 0, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(ctx_, 0) != 1) {
        return kAesFailed;
    }
    encrypting_ = encrypt;
    keyed_ = true;
    return 0;
}

int AesCbc::set_encrypt_key(ConstBytes key) { return set_key(key, true); }

int AesCbc::set_decrypt_key(ConstBytes key) { return set_key(key, false); }

// The context keeps its key schedule; each call starts from the caller's IV
// and hands the last ciphertext block back as the next IV.
int AesCbc::run(MutBytes data, std::span<std::uint8_t, kAesBlockSize> iv, bool encrypt) {
    if (data.size() % kAesBlockSize != 0) return kAesBadLength;
    if (!keyed_ || encrypt != encrypting_) return kAesFailed;
    if (data.empty()) return 0;
    std::array<std::uint8_t, kAesBlockSize> next{};
    if (!encrypt) std::copy_n(data.end() - kAesBlockSize, kAesBlockSize, next.begin());
    if (EVP_CipherInit_ex2(ctx_, nullptr, nullptr, iv.data(), encrypt ? 1 : 0, nullptr) != 1) {
        return kAesFailed;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        // EVP counts in int; large buffers go through in slices.
        const std::size_t n = std::min<std::size_t>(data.size() - done, std::size_t{1} << 30);
        int out_len = 0;
        if (EVP_CipherUpdate(ctx_, data.data() + done, &out_len, data.data() + done,
                             static_cast<int>(n)) != 1 ||
            static_cast<std::size_t>(out_len) != n) {
            return kAesFailed;
        }
        done += n;
    }
    if (encrypt) std::copy_n(data.end() - kAesBlockSize, kAesBlockSize, next.begin());
    std::copy(next.begin(), next.end(), iv.begin());
    return 0;
}

int AesCbc::encrypt(MutBytes data, std::span<std::uint8_t, kAesBlockSize> iv) {
    return run(data, iv, true);
}

int AesCbc::decrypt(MutBytes data, std::span<std::uint8_t, kAesBlockSize> iv) {
    return run(data, iv, false);
}
