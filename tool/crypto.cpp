#include "crypto.h"

Digest sha256(ConstBytes in) {
    Digest out{};
    (void)mbedtls_sha256_ret(in.data(), in.size(), out.data(), 0);
    return out;
}

void sha224(ConstBytes in, std::span<std::uint8_t, kSha224Size> out) {
    std::uint8_t full[kSha256Size];
    // The library writes 28 bytes for SHA-224 into a 32-byte output.
    (void)mbedtls_sha256_ret(in.data(), in.size(), full, 1);
    std::copy(full, full + kSha224Size, out.begin());
}

Sha256::Sha256() {
    mbedtls_sha256_init(&ctx_);
    (void)mbedtls_sha256_starts_ret(&ctx_, 0);
}

Sha256::~Sha256() { mbedtls_sha256_free(&ctx_); }

void Sha256::update(ConstBytes in) {
    if (!in.empty()) (void)mbedtls_sha256_update_ret(&ctx_, in.data(), in.size());
}

Digest Sha256::finish() {
    Digest out{};
    (void)mbedtls_sha256_finish_ret(&ctx_, out.data());
    return out;
}

AesCbc::AesCbc() { mbedtls_aes_init(&ctx_); }

AesCbc::~AesCbc() { mbedtls_aes_free(&ctx_); }

int AesCbc::set_encrypt_key(ConstBytes key) {
    if (key.size() != kAesKeySize) return MBEDTLS_ERR_AES_INVALID_KEY_LENGTH;
    return mbedtls_aes_setkey_enc(&ctx_, key.data(), 256);
}

int AesCbc::set_decrypt_key(ConstBytes key) {
    if (key.size() != kAesKeySize) return MBEDTLS_ERR_AES_INVALID_KEY_LENGTH;
    return mbedtls_aes_setkey_dec(&ctx_, key.data(), 256);
}

int AesCbc::encrypt(MutBytes data, std::span<std::uint8_t, kAesBlockSize> iv) {
    return mbedtls_aes_crypt_cbc(&ctx_, MBEDTLS_AES_ENCRYPT, data.size(), iv.data(),
                                 data.data(), data.data());
}

int AesCbc::decrypt(MutBytes data, std::span<std::uint8_t, kAesBlockSize> iv) {
    return mbedtls_aes_crypt_cbc(&ctx_, MBEDTLS_AES_DECRYPT, data.size(), iv.data(),
                                 data.data(), data.data());
}
