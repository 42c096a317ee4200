// RSA key files: the loader of the three forms, the key-format flag and the
// RSA operations that honour it.
#include "keyfile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <optional>
#include <string>

#include "crypto.h"
#include "files.h"
#include "rng.h"

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

int load_short_form(mbedtls_rsa_context* ctx, ConstBytes file) {
    if (file.size() < kShortRecordBytes) return kKeyLoadNoFile;
    const ConstBytes records = file.first(kShortRecordBytes);
    int ret = read_record(&ctx->N, records, 0);
    // E is always the first 3 bytes of its record, whatever its word count.
    if (ret == 0) ret = mpi_read_binary_x(&ctx->E, records.data() + kNumberRecordSize, 3);
    if (ret == 0) ret = read_record(&ctx->D, records, 2);
    if (ret == 0) g_nVQ_RSA_keyFormat = 1;
    return ret;
}

int load_full_form(mbedtls_rsa_context* ctx, ConstBytes file) {
    if (file.size() < kFullRecordBytes) return kKeyLoadNoFile;
    const ConstBytes records = file.first(kFullRecordBytes);
    mbedtls_mpi* const numbers[] = {&ctx->N, &ctx->E,  &ctx->D,  &ctx->P,
                                    &ctx->Q, &ctx->DP, &ctx->DQ, &ctx->QP};
    for (std::size_t i = 0; i < 8; ++i) {
        const int ret = read_record(numbers[i], records, i);
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

int load_text_form(mbedtls_rsa_context* ctx, ConstBytes file) {
    // An empty file has no first line.
    if (file.empty()) return MBEDTLS_ERR_MPI_FILE_IO_ERROR;
    // The lines are read as from the file itself, through a stream over the
    // bytes read from it.
    std::FILE* f = ::fmemopen(const_cast<std::uint8_t*>(file.data()), file.size(), "r");
    if (f == nullptr) return kKeyLoadNoFile;
    const File stream(f);
    mbedtls_mpi* const numbers[kTextKeyLines] = {&ctx->N, &ctx->E,  &ctx->D,  &ctx->P,
                                                 &ctx->Q, &ctx->DP, &ctx->DQ, &ctx->QP};
    for (auto* number : numbers) {
        const int ret = read_text_number(number, f);
        if (ret != 0) return ret;
    }
    return 0;
}

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

bool read_key_file_image(const char* path, zud_key_file_image& out, std::string* reason) {
    if (path == nullptr) return false;
    std::string error;
    File f = open_input(path, error);
    if (!f) {
        if (reason != nullptr) *reason = error;
        return false;
    }
    const auto size = stream_size(f.get());
    const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(size.value_or(0), kKeyFileImageLimit));
    Buffer head(kept);
    if (!size || (!head.ok() && kept != 0) || read_some(f.get(), head.bytes()) != kept) {
        if (reason != nullptr) *reason = std::string("cannot read ") + path + ": " + std::strerror(errno);
        return false;
    }
    out.path = path;
    out.size = *size;
    out.head = std::move(head);
    return true;
}

int zud_tq_load_rsa_key_image(mbedtls_rsa_context* ctx, const zud_key_file_image& image) {
    if (ctx == nullptr) return kKeyLoadNoFile;
    g_nVQ_RSA_keyFormat = 0;
    int result = 0;
    if (is_short_key_file_size(image.size)) {
        result = load_short_form(ctx, image.head.bytes());
    } else if (is_full_key_file_size(image.size)) {
        result = load_full_form(ctx, image.head.bytes());
    } else {
        result = load_text_form(ctx, image.head.bytes());
    }
    ctx->len = mbedtls_mpi_size(&ctx->N);
    return result;
}

int zud_tq_load_rsa_key_file(mbedtls_rsa_context* ctx, const char* path) {
    if (path == nullptr || ctx == nullptr) return kKeyLoadNoFile;
    g_nVQ_RSA_keyFormat = 0;
    zud_key_file_image image;
    if (!read_key_file_image(path, image)) return kKeyLoadNoFile;
    return zud_tq_load_rsa_key_image(ctx, image);
}
