// Writers of the three key file forms and of a public key as PEM.
#include "keyfile.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <mbedtls/pk.h>

#include "files.h"

namespace {

constexpr std::size_t kTextLineMax = kTextKeyLineBuffer - 3;       // 1247 with its LF
constexpr std::size_t kShortExponentBytes = 3;

const char* const kNumberNames[8] = {"N", "E", "D", "P", "Q", "DP", "DQ", "QP"};

const mbedtls_mpi* number_of(const mbedtls_rsa_context& k, std::size_t i) {
    const mbedtls_mpi* all[8] = {&k.N, &k.E, &k.D, &k.P, &k.Q, &k.DP, &k.DQ, &k.QP};
    return all[i];
}

std::size_t encode_records(const mbedtls_rsa_context& k, std::size_t count,
                           std::size_t file_size, MutBytes out) {
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(file_size), 0);
    for (std::size_t i = 0; i < count; ++i) {
        if (!encode_number_record(out, i, *number_of(k, i))) return 0;
    }
    return file_size;
}

// Appends "NAME = HEX\n" at `at`; returns the new end, or 0 when the line
// would not fit the loader's line buffer.
std::size_t put_text_line(MutBytes out, std::size_t at, const char* name, const mbedtls_mpi& x) {
    static const char kDigits[] = "0123456789ABCDEF";
    const std::size_t bytes = mbedtls_mpi_size(&x);
    const std::size_t digits = bytes == 0 ? 1 : 2 * bytes;
    const std::size_t line = std::strlen(name) + 3 + digits + 1;
    if (line > kTextLineMax || !fits(out.size(), at, line)) return 0;
    Buffer value(bytes == 0 ? 1 : bytes);
    if (!value.ok() || mbedtls_mpi_write_binary(&x, value.data(), bytes) != 0) return 0;
    std::size_t p = at;
    for (const char* c = name; *c != '\0'; ++c) out[p++] = static_cast<std::uint8_t>(*c);
    for (const char c : {' ', '=', ' '}) out[p++] = static_cast<std::uint8_t>(c);
    if (bytes == 0) out[p++] = '0';
    for (std::size_t i = 0; i < bytes; ++i) {
        out[p++] = static_cast<std::uint8_t>(kDigits[value.data()[i] >> 4]);
        out[p++] = static_cast<std::uint8_t>(kDigits[value.data()[i] & 15]);
    }
    out[p++] = '\n';
    return p;
}

std::size_t encode_text(const mbedtls_rsa_context& k, MutBytes out) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        at = put_text_line(out, at, kNumberNames[i], *number_of(k, i));
        if (at == 0) return 0;
    }
    return at;
}

// Writes `bytes` to `path` through a temporary file that is renamed into
// place; true when every byte reached the file.
bool write_whole_file(const char* path, ConstBytes bytes, Exposure exposure) {
    OutputFile out(path, exposure);
    if (!out.ok()) return false;
    return write_all(out.stream(), bytes) && out.commit();
}

}  // namespace

std::size_t zud_encode_key_file(const mbedtls_rsa_context* ctx, KeyFileForm form,
                                MutBytes out) {
    if (ctx == nullptr || out.size() < kKeyFileMaxSize) return 0;
    switch (form) {
        case KeyFileForm::kFull:
            return encode_records(*ctx, 8, kFullKeyFileSize, out);
        case KeyFileForm::kShort:
            // The loader reads E from the first 3 bytes of its record.
            if (mbedtls_mpi_size(&ctx->E) > kShortExponentBytes) return 0;
            return encode_records(*ctx, 3, kShortKeyFileSize, out);
        case KeyFileForm::kText:
            return encode_text(*ctx, out);
    }
    return 0;
}

int zud_write_key_file(const mbedtls_rsa_context* ctx, KeyFileForm form, const char* path) {
    if (path == nullptr) return -1;
    Buffer encoded(kKeyFileMaxSize);
    if (!encoded.ok()) return -1;
    const std::size_t size = zud_encode_key_file(ctx, form, encoded.bytes());
    if (size == 0) return -1;
    // A key file holds the private key: owner only, from its first byte.
    return write_whole_file(path, encoded.bytes().first(size), Exposure::kSecret) ? 0 : -1;
}

int zud_write_public_pem(const mbedtls_rsa_context* ctx, const char* path) {
    if (ctx == nullptr || path == nullptr) return -1;
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    unsigned char pem[4096] = {};
    const bool encoded =
        mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) == 0 &&
        mbedtls_rsa_import(mbedtls_pk_rsa(pk), &ctx->N, nullptr, nullptr, nullptr, &ctx->E) == 0 &&
        mbedtls_rsa_complete(mbedtls_pk_rsa(pk)) == 0 &&
        mbedtls_rsa_check_pubkey(mbedtls_pk_rsa(pk)) == 0 &&
        mbedtls_pk_write_pubkey_pem(&pk, pem, sizeof pem) == 0;
    mbedtls_pk_free(&pk);
    if (!encoded) return -1;
    const auto* text = reinterpret_cast<const std::uint8_t*>(pem);
    const ConstBytes bytes(text, std::strlen(reinterpret_cast<const char*>(pem)));
    return write_whole_file(path, bytes, Exposure::kPublic) ? 0 : -1;
}
