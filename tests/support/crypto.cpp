#include "support/crypto.h"

#include <stdexcept>

#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>

Bytes sha256_of(const Bytes& in) {
    Bytes out(32);
    mbedtls_sha256_ret(in.data(), in.size(), out.data(), 0);
    return out;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes aes256_cbc_decrypt(const std::uint8_t* key, Bytes data) {
    mbedtls_aes_context aes;
    mbedtls_aes_init(&aes);
    unsigned char iv[16] = {};
    const bool ok = mbedtls_aes_setkey_dec(&aes, key, 256) == 0 &&
                    mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, data.size(), iv, data.data(),
                                          data.data()) == 0;
    mbedtls_aes_free(&aes);
    if (!ok) throw std::runtime_error("AES-256-CBC decryption failed");
    return data;
}
