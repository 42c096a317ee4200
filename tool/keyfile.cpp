// RSA key files: the loader of the three forms, the key-format flag and the
// RSA operations that honour it.
#include "keyfile.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/md.h>

#include "crypto.h"
#include "files.h"
#include "rng.h"

std::int32_t g_nVQ_RSA_keyFormat = 0;

namespace {

constexpr std::size_t kShortRecordBytes = 3 * kNumberRecordSize;  // 1656
constexpr std::size_t kFullRecordBytes = 8 * kNumberRecordSize;   // 4416
constexpr std::size_t kTextKeyLines = 8;

// Reads record `index` into X. A word count above 136 would describe bytes
// outside the record, so the whole file is refused.
int read_record(mbedtls_mpi* X, ConstBytes records, std::size_t index) {
    const auto record = decode_number_record(records, index);
    if (!record) return kKeyLoadBadRecord;
    return mpi_read_binary_x(X, record->value.data(), record->value.size());
}

int load_short_form(mbedtls_rsa_context* ctx, std::FILE* f) {
    Buffer records(kShortRecordBytes);
    if (!records.ok()) return kKeyLoadNoFile;
    if (!read_exact(f, records.bytes())) return kKeyLoadNoFile;
    int ret = read_record(&ctx->N, records.bytes(), 0);
    // E is always the first 3 bytes of its record, whatever its word count.
    if (ret == 0) ret = mpi_read_binary_x(&ctx->E, records.data() + kNumberRecordSize, 3);
    if (ret == 0) ret = read_record(&ctx->D, records.bytes(), 2);
    if (ret == 0) g_nVQ_RSA_keyFormat = 1;
    return ret;
}

int load_full_form(mbedtls_rsa_context* ctx, std::FILE* f) {
    Buffer records(kFullRecordBytes);
    if (!records.ok()) return kKeyLoadNoFile;
    if (!read_exact(f, records.bytes())) return kKeyLoadNoFile;
    mbedtls_mpi* const numbers[] = {&ctx->N, &ctx->E,  &ctx->D,  &ctx->P,
                                    &ctx->Q, &ctx->DP, &ctx->DQ, &ctx->QP};
    for (std::size_t i = 0; i < 8; ++i) {
        const int ret = read_record(numbers[i], records.bytes(), i);
        if (ret != 0) return ret;
    }
    return 0;
}

// Reads one text line into X: the value is the run of hex digits that ends
// the line (after its line feed and carriage return are removed). A line of
// 1248 characters or more does not fit the 1250-byte line buffer. An empty
// line is a line without digits and reads as 0.
int read_text_number(mbedtls_mpi* X, std::FILE* f) {
    char line[kTextKeyLineBuffer] = {};
    if (std::fgets(line, sizeof line - 1, f) == nullptr) {
        return MBEDTLS_ERR_MPI_FILE_IO_ERROR;
    }
    std::size_t len = std::strlen(line);
    if (len == sizeof line - 2) {
        wipe(line, sizeof line);
        return MBEDTLS_ERR_MPI_BUFFER_TOO_SMALL;
    }
    if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
    if (len > 0 && line[len - 1] == '\r') line[--len] = '\0';
    std::size_t start = len;
    while (start > 0 && std::isxdigit(static_cast<unsigned char>(line[start - 1])) != 0) --start;
    const int ret = mbedtls_mpi_read_string(X, 16, line + start);
    wipe(line, sizeof line);
    return ret;
}

int load_text_form(mbedtls_rsa_context* ctx, std::FILE* f) {
    mbedtls_mpi* const numbers[kTextKeyLines] = {&ctx->N, &ctx->E,  &ctx->D,  &ctx->P,
                                                 &ctx->Q, &ctx->DP, &ctx->DQ, &ctx->QP};
    for (auto* number : numbers) {
        const int ret = read_text_number(number, f);
        if (ret != 0) return ret;
    }
    return 0;
}

// Randomness for RSA blinding. It comes from a generator of its own over the
// OS entropy, never from rand(), whose sequence is part of the output.
int os_entropy(void*, unsigned char* out, std::size_t len) {
    return fill_os_random({out, len}) ? 0 : MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
}

class BlindingRng {
public:
    BlindingRng() {
        mbedtls_ctr_drbg_init(&drbg_);
        static const unsigned char label[] = "zud rsa blinding";
        ready_ = mbedtls_ctr_drbg_seed(&drbg_, os_entropy, nullptr, label, sizeof label) == 0;
    }
    ~BlindingRng() { mbedtls_ctr_drbg_free(&drbg_); }
    bool ready() const { return ready_; }
    mbedtls_ctr_drbg_context* context() { return &drbg_; }

private:
    mbedtls_ctr_drbg_context drbg_;
    bool ready_ = false;
};

BlindingRng& blinding_rng() {
    static BlindingRng rng;
    return rng;
}

// input ^ D mod N with N and D only; the key carries no CRT values.
int plain_private(mbedtls_rsa_context* ctx, const unsigned char* input, unsigned char* output) {
    if (ctx->len == 0 || ctx->len != mbedtls_mpi_size(&ctx->N) ||
        mbedtls_mpi_cmp_int(&ctx->D, 0) <= 0) {
        return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    }
    mbedtls_mpi T;
    mbedtls_mpi_init(&T);
    int ret = mbedtls_mpi_read_binary(&T, input, ctx->len);
    if (ret == 0 && mbedtls_mpi_cmp_mpi(&T, &ctx->N) >= 0) ret = MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    if (ret == 0) ret = mbedtls_mpi_exp_mod(&T, &T, &ctx->D, &ctx->N, &ctx->RN);
    if (ret == 0) ret = mbedtls_mpi_write_binary(&T, output, ctx->len);
    mbedtls_mpi_free(&T);
    if (ret != 0 && ret != MBEDTLS_ERR_RSA_BAD_INPUT_DATA) ret = MBEDTLS_ERR_RSA_PRIVATE_FAILED;
    return ret;
}

// Checks a private-operation result with the public exponent, so that an
// inconsistent key (a D that does not match N and E) fails instead of
// producing a signature that no device will accept.
int check_private_result(mbedtls_rsa_context* ctx, const unsigned char* input,
                         const unsigned char* output) {
    if (mbedtls_mpi_cmp_int(&ctx->E, 0) <= 0) return MBEDTLS_ERR_RSA_PRIVATE_FAILED;
    Buffer back(ctx->len);
    if (!back.ok()) return MBEDTLS_ERR_RSA_PRIVATE_FAILED;
    if (mbedtls_rsa_public(ctx, output, back.data()) != 0 ||
        std::memcmp(back.data(), input, ctx->len) != 0) {
        return MBEDTLS_ERR_RSA_PRIVATE_FAILED;
    }
    return 0;
}

// DER prefix of a SHA-256 DigestInfo.
constexpr std::uint8_t kSha256DigestInfo[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60,
                                              0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                              0x01, 0x05, 0x00, 0x04, 0x20};

}  // namespace


std::optional<zud_number_record> decode_number_record(ConstBytes records, std::size_t index) {
    const std::size_t at = index * kNumberRecordSize;
    if (!fits(records.size(), at, kNumberRecordSize)) return std::nullopt;
    const std::uint32_t words = get_le32(records, at + kNumberRecordWordCountAt);
    if (words > kNumberRecordWords) return std::nullopt;
    return zud_number_record{records.subspan(at, std::size_t{words} * 4), words};
}

bool encode_number_record(MutBytes records, std::size_t index, const mbedtls_mpi& x) {
    constexpr std::size_t kValueBytes = 4 * kNumberRecordWords;  // 544
    const std::size_t at = index * kNumberRecordSize;
    const std::size_t bytes = mbedtls_mpi_size(&x);
    if (bytes > kValueBytes || !fits(records.size(), at, kNumberRecordSize)) return false;
    if (mbedtls_mpi_write_binary_le(&x, records.data() + at, kValueBytes) != 0) return false;
    put_le32(records, at + kNumberRecordWordCountAt, static_cast<std::uint32_t>((bytes + 3) / 4));
    return true;
}

int mpi_read_binary_x(mbedtls_mpi* X, const unsigned char* bytes, std::size_t length) {
    return mbedtls_mpi_read_binary_le(X, bytes, length);
}

int zud_tq_load_rsa_key_file(mbedtls_rsa_context* ctx, const char* path) {
    if (path == nullptr || ctx == nullptr) return kKeyLoadNoFile;
    g_nVQ_RSA_keyFormat = 0;
    File f = open_file(path, "rb");
    if (!f) return kKeyLoadNoFile;
    const auto size = stream_size(f.get());
    if (!size) return kKeyLoadNoFile;
    int result = 0;
    if (is_short_key_file_size(*size)) {
        result = load_short_form(ctx, f.get());
    } else if (is_full_key_file_size(*size)) {
        result = load_full_form(ctx, f.get());
    } else {
        result = load_text_form(ctx, f.get());
    }
    ctx->len = mbedtls_mpi_size(&ctx->N);
    return result;
}

int zud_rsa_private(mbedtls_rsa_context* ctx, const unsigned char* input,
                    unsigned char* output) {
    if (ctx == nullptr || input == nullptr || output == nullptr) {
        return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    }
    if (g_nVQ_RSA_keyFormat == 1) {
        // Keep the input: the result is checked against it, and callers may
        // pass the same buffer for input and output.
        Buffer kept(ctx->len);
        if (!kept.ok() || ctx->len == 0) return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
        std::memcpy(kept.data(), input, ctx->len);
        const int ret = plain_private(ctx, kept.data(), output);
        return ret != 0 ? ret : check_private_result(ctx, kept.data(), output);
    }
    BlindingRng& rng = blinding_rng();
    if (!rng.ready()) return MBEDTLS_ERR_RSA_RNG_FAILED;
    return mbedtls_rsa_private(ctx, mbedtls_ctr_drbg_random, rng.context(), input, output);
}

int zud_rsa_public(mbedtls_rsa_context* ctx, const unsigned char* input,
                   unsigned char* output) {
    if (ctx == nullptr || input == nullptr || output == nullptr) {
        return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    }
    return mbedtls_rsa_public(ctx, input, output);
}

int zud_rsa_sign_sha256(mbedtls_rsa_context* ctx, const std::uint8_t* digest,
                        std::uint8_t* sig) {
    if (ctx == nullptr || digest == nullptr || sig == nullptr) {
        return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    }
    const std::size_t len = ctx->len;
    constexpr std::size_t kInfoLen = sizeof kSha256DigestInfo + kSha256Size;
    // 00 01, at least eight FF bytes, 00, then the DigestInfo.
    if (len < kInfoLen + 11 || len > MBEDTLS_MPI_MAX_SIZE) return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    Buffer encoded(len);
    if (!encoded.ok()) return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    std::uint8_t* p = encoded.data();
    p[0] = 0x00;
    p[1] = 0x01;
    std::memset(p + 2, 0xFF, len - kInfoLen - 3);
    p[len - kInfoLen - 1] = 0x00;
    std::memcpy(p + len - kInfoLen, kSha256DigestInfo, sizeof kSha256DigestInfo);
    std::memcpy(p + len - kSha256Size, digest, kSha256Size);
    const int ret = zud_rsa_private(ctx, p, sig);
    if (ret != 0) std::memset(sig, 0, len);
    return ret;
}

int zud_rsa_verify_sha256(mbedtls_rsa_context* ctx, const std::uint8_t* digest,
                          const std::uint8_t* sig) {
    if (ctx == nullptr || digest == nullptr || sig == nullptr) {
        return MBEDTLS_ERR_RSA_BAD_INPUT_DATA;
    }
    return mbedtls_rsa_pkcs1_verify(ctx, nullptr, nullptr, MBEDTLS_RSA_PUBLIC,
                                    MBEDTLS_MD_SHA256, kSha256Size, digest, sig);
}

