// RSA key files, the key-format flag, the private operation and key blocks.
#include "keys.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/md.h>

#include "crypto.h"
#include "files.h"
#include "rng.h"

std::int32_t g_nVQ_RSA_keyFormat = 0;

namespace {

constexpr std::size_t kWordCountAt = 544;
constexpr std::size_t kShortRecordBytes = 3 * kNumberRecordSize;  // 1656
constexpr std::size_t kFullRecordBytes = 8 * kNumberRecordSize;   // 4416
constexpr std::size_t kTextKeyLines = 8;

bool is_full_key_size(std::uint64_t size) {
    return size == kFullKeyFileSize || size == kUserKeyFileSize;
}

bool is_short_key_size(std::uint64_t size) {
    return size == kShortKeyFileSize || size == kShortKeyFileSizeAlt;
}

// Word count of record `index`, or nullopt when it exceeds the record.
std::optional<std::uint32_t> record_words(ConstBytes records, std::size_t index) {
    const std::uint32_t words = get_le32(records, index * kNumberRecordSize + kWordCountAt);
    if (words > kNumberRecordWords) return std::nullopt;
    return words;
}

// Reads record `index` into X. A word count above 136 would describe bytes
// outside the record, so the whole file is refused.
int read_record(mbedtls_mpi* X, ConstBytes records, std::size_t index) {
    const auto words = record_words(records, index);
    if (!words) return kKeyLoadBadRecord;
    return mpi_read_binary_x(X, records.data() + index * kNumberRecordSize, *words * 4);
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

std::uint8_t key_size_code(std::size_t modulus_length) {
    switch (modulus_length) {
        case 128: return 1;
        case 256: return 2;
        case 512: return 3;
        case 1024: return 4;
        default: return 0;
    }
}

void set_component(zud_key_component& c, std::uint16_t id, std::uint16_t offset,
                   std::uint16_t length) {
    c.component_id = id;
    c.offset = offset;
    c.length = length;
    c.reserved = 0;
}

void write_key_tag(std::span<std::uint8_t, kKeyHeaderSize> header, std::uint8_t key_type) {
    static const char* const tags[] = {"R1SA", "R2SA", "R4SA", "R8SA",
                                       "R1HA", "R2HA", "R4HA", "R8HA"};
    if (key_type >= 1 && key_type <= 8) std::memcpy(header.data() + 12, tags[key_type - 1], 4);
}

// Lays out the component entries of N and E and their values in `out`;
// false when `out` cannot hold them.
bool write_key_data(const zud_key_components& c, MutBytes out) {
    const auto& n = c.slot[0];
    const auto& e = c.slot[1];
    if (!fits(out.size(), 16, std::size_t{n.length} + e.length)) return false;
    const zud_key_component* entries[] = {&n, &e};
    for (std::size_t i = 0; i < 2; ++i) {
        put_le16(out, 8 * i + 0, entries[i]->component_id);
        put_le16(out, 8 * i + 2, entries[i]->offset);
        put_le16(out, 8 * i + 4, entries[i]->length);
        put_le16(out, 8 * i + 6, 0);
    }
    std::memcpy(out.data() + 16, n.value, n.length);
    std::memcpy(out.data() + 16 + n.length, e.value, e.length);
    return true;
}

// The procedure shared by the context and file forms, once the component
// set is filled: completes the header and returns the key data size (key
// form) or 0.
std::uint32_t build_key_block(int digest_only, std::uint8_t key_type,
                              const zud_key_components& c, std::uint32_t size, MutBytes out,
                              std::span<std::uint8_t, kKeyHeaderSize> header,
                              std::uint32_t key_data_offset) {
    const bool laid_out = write_key_data(c, out);
    if (!laid_out) key_type = 0;
    if (digest_only != 0) {
        if (key_type >= 1 && key_type <= 4) key_type = static_cast<std::uint8_t>(key_type + 4);
    } else {
        zud_make_timestamp(header.subspan<32, kTimestampSize>());
    }
    header[9] = key_type;
    std::uint32_t result = 0;
    if (key_type >= 1 && key_type <= 4) {
        header[16] = 2;
        header[17] = 8;
        put_le16(header, 20, static_cast<std::uint16_t>(key_data_offset));
        put_le16(header, 22, static_cast<std::uint16_t>(size));
        put_le16(header, 24, static_cast<std::uint16_t>(key_data_offset + 16));
        put_le16(header, 26, static_cast<std::uint16_t>(size - 16));
        put_le32(header, 4, get_le32(header, 4) + size);
        result = size;
    } else if (key_type >= 5 && key_type <= 8) {
        const Digest digest = sha256(ConstBytes(out).subspan(16, size - 16));
        std::memcpy(header.data() + 16, digest.data(), digest.size());
    }
    write_key_tag(header, key_type);
    return result;
}

}  // namespace

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
    if (is_short_key_size(*size)) {
        result = load_short_form(ctx, f.get());
    } else if (is_full_key_size(*size)) {
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

void zud_make_timestamp(std::span<std::uint8_t, kTimestampSize> out) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64] = {};
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d%04d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  std::rand());
    std::memcpy(out.data(), text, out.size());
}

void zud_init_key_header(std::span<std::uint8_t, kKeyHeaderSize> header,
                         std::uint8_t header_size) {
    std::fill(header.begin(), header.end(), 0);
    std::memcpy(header.data(), "@KEY", 4);
    put_le32(header, 4, kKeyHeaderSize);
    header[8] = 1;
    header[10] = header_size;
}

void zud_revert_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) dst[count - 1 - i] = src[i];
}

int zud_create_key_info_from_file(const char* path, zud_key_components& c,
                                  std::uint32_t* out_size, int with_d) {
    File f = open_file(path, "rb");
    if (!f) return 0;
    const auto size = stream_size(f.get());
    if (!size || !is_full_key_size(*size)) return 0;
    Buffer records(kFullRecordBytes);
    if (!records.ok() || !read_exact(f.get(), records.bytes())) return 0;
    const auto n_words = record_words(records.bytes(), 0);
    const auto e_words = record_words(records.bytes(), 1);
    const auto d_words = record_words(records.bytes(), 2);
    // Word counts beyond the record describe bytes that are not there.
    if (!n_words || !e_words || !d_words) return 0;

    const auto n_len = static_cast<std::uint16_t>(*n_words * 4);
    const auto e_len = static_cast<std::uint16_t>(*e_words * 4);
    const auto n_at = static_cast<std::uint16_t>(with_d != 0 ? 24 : 16);
    set_component(c.slot[0], 1, n_at, n_len);
    zud_revert_copy(c.slot[0].value, records.data(), n_len);
    set_component(c.slot[1], 2, static_cast<std::uint16_t>(n_at + n_len), e_len);
    zud_revert_copy(c.slot[1].value, records.data() + kNumberRecordSize, e_len);
    // The private exponent is never emitted, so its value is not copied.
    const auto d_at = static_cast<std::uint16_t>(n_at + n_len + e_len);
    set_component(c.slot[2], 3, d_at,
                  static_cast<std::uint16_t>(with_d != 0 ? *d_words * 4 : 0));
    if (out_size != nullptr) *out_size = d_at + c.slot[2].length;
    return key_size_code(n_len);
}

int zud_create_key_info_from_ctx(const mbedtls_rsa_context* ctx, zud_key_components& c,
                                 std::uint32_t* out_size, int with_d) {
    if (out_size != nullptr) *out_size = 0;
    // A modulus longer than a value slot is no key this format can carry.
    if (ctx == nullptr || ctx->len > kKeyComponentValueSize) return 0;
    const auto n_len = static_cast<std::uint16_t>(ctx->len);
    const auto n_at = static_cast<std::uint16_t>(with_d != 0 ? 24 : 16);
    set_component(c.slot[0], 1, n_at, n_len);
    if (mbedtls_mpi_write_binary(&ctx->N, c.slot[0].value, n_len) != 0) return 0;
    // The low 32 bits of E, big-endian.
    std::uint32_t e = 0;
    for (std::size_t bit = 0; bit < 32; ++bit)
        e |= static_cast<std::uint32_t>(mbedtls_mpi_get_bit(&ctx->E, bit)) << bit;
    set_component(c.slot[1], 2, static_cast<std::uint16_t>(n_at + n_len), 4);
    for (std::size_t i = 0; i < 4; ++i)
        c.slot[1].value[i] = static_cast<std::uint8_t>(e >> (24 - 8 * i));
    const auto d_at = static_cast<std::uint16_t>(n_at + n_len + 4);
    set_component(c.slot[2], 3, d_at, n_len);
    if (out_size != nullptr) *out_size = d_at + (with_d != 0 ? n_len : 0u);
    return key_size_code(n_len);
}

std::uint32_t zud_create_key_from_ctx(int digest_only, const mbedtls_rsa_context* ctx,
                                      MutBytes out,
                                      std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                      std::uint32_t key_data_offset) {
    zud_key_components c{};
    std::uint32_t size = 0;
    const int code = zud_create_key_info_from_ctx(ctx, c, &size, 0);
    const auto result = build_key_block(digest_only, static_cast<std::uint8_t>(code), c, size,
                                        out, key_header, key_data_offset);
    wipe(&c, sizeof c);
    return result;
}

std::uint32_t zud_create_key_from_file(int digest_only, const char* path, MutBytes out,
                                       std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                       std::uint32_t key_data_offset) {
    zud_key_components c{};
    std::uint32_t size = 0;
    const int code = zud_create_key_info_from_file(path, c, &size, 0);
    const auto result = build_key_block(digest_only, static_cast<std::uint8_t>(code), c, size,
                                        out, key_header, key_data_offset);
    wipe(&c, sizeof c);
    return result;
}

std::uint32_t zud_create_key_from_source(int digest_only, const char* path,
                                         const mbedtls_rsa_context* loaded, MutBytes out,
                                         std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                         std::uint32_t key_data_offset) {
    zud_key_components c{};
    const int from_file = zud_create_key_info_from_file(path, c, nullptr, 0);
    wipe(&c, sizeof c);
    if (from_file != 0) return zud_create_key_from_file(digest_only, path, out, key_header, key_data_offset);
    return zud_create_key_from_ctx(digest_only, loaded, out, key_header, key_data_offset);
}
