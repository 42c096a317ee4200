// Key files: the three forms of RSA key file, their loader and their
// writers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <mbedtls/bignum.h>
#include <mbedtls/rsa.h>

#include "bytes.h"
#include "files.h"
#include "key_block.h"
#include "rsa.h"
#include "user_key_file.h"

// ---------------------------------------------------------------------------
// RSA key files
//
// Three forms, told apart by file size alone:
//   4680 or 6976 bytes  full binary: eight number records N, E, D, P, Q, DP,
//                       DQ, QP in the first 4416 bytes (6976 is a user key
//                       file, which starts with a 4680-byte key file);
//   1920 or 1696 bytes  short binary: records N, E, D in the first 1656
//                       bytes; E is taken from the first 3 bytes of its
//                       record whatever its word count says;
//   any other size      text: eight lines N, E, D, P, Q, DP, DQ, QP, each
//                       value the run of hex digits that ends its line.
// Number record (552 bytes): 0x000 the value as 136 little-endian 32-bit
// words, least significant word first (one little-endian number); 0x220 the
// word count (u32); 0x224 unused.

inline constexpr std::size_t kNumberRecordSize = 552;
inline constexpr std::size_t kNumberRecordWords = 136;
inline constexpr std::size_t kFullKeyFileSize = 4680;
inline constexpr std::size_t kShortKeyFileSize = 1920;
inline constexpr std::size_t kShortKeyFileSizeAlt = 1696;
inline constexpr std::size_t kTextKeyLineBuffer = 1250;
inline constexpr std::size_t kNumberRecordWordCountAt = 544;

// True for the sizes of the full binary form (a zud_user_key file starts
// with one) and of the short binary form.
constexpr bool is_full_key_file_size(std::uint64_t size) {
    return size == kFullKeyFileSize || size == kUserKeyFileSize;
}
constexpr bool is_short_key_file_size(std::uint64_t size) {
    return size == kShortKeyFileSize || size == kShortKeyFileSizeAlt;
}

// One number record, decoded: its value bytes (little-endian) up to its
// word count. nullopt when `records` does not hold record `index` or its
// word count exceeds 136 words (a value outside its record).
struct zud_number_record {
    ConstBytes value;
    std::uint32_t word_count = 0;
};
std::optional<zud_number_record> decode_number_record(ConstBytes records, std::size_t index);

// Writes `x` as record `index` of `records` (value little-endian over 136
// words, then its word count); false when it needs more than 136 words.
bool encode_number_record(MutBytes records, std::size_t index, const mbedtls_mpi& x);

// Results of zud_tq_load_rsa_key_file besides the library's own codes
// (-2: a text line is missing; -8: a text line is too long).
enum KeyLoadResult : int {
    kKeyLoadOk = 0,
    kKeyLoadNoFile = -1,        // no path, or the file cannot be opened or read
    kKeyLoadBadRecord = -0x30,  // a record's word count exceeds 136 words
};

// A key file read into memory once: its size, which tells its form, and its
// first bytes (all of a binary form; of a text form, more than its eight
// lines can take), so that a command reads each key file once and lays its
// key and key block out from those bytes.
inline constexpr std::size_t kKeyFileImageLimit = 64 * 1024;
struct zud_key_file_image {
    std::string path;
    std::uint64_t size = 0;
    Buffer head{0};  // the first min(size, kKeyFileImageLimit) bytes
};

// Reads the image of the file at `path` (a regular file: see open_input);
// false when it cannot be opened or read, with the reason in `reason` when
// one is given ("cannot open <path>: ...", "<path> is a FIFO; ...").
bool read_key_file_image(const char* path, zud_key_file_image& out, std::string* reason = nullptr);

// zud_tq_load_rsa_key_file over an image read before.
int zud_tq_load_rsa_key_image(mbedtls_rsa_context* ctx, const zud_key_file_image& image);

// Loads a key file of any form into `ctx` (initialised by the caller) and
// sets ctx->len from the bit length of N. Returns 0, kKeyLoadNoFile,
// kKeyLoadBadRecord, or for the text form the library's code of the first
// line that fails; numbers read before a failure stay in the context.
int zud_tq_load_rsa_key_file(mbedtls_rsa_context* ctx, const char* path);

// Sets X from `length` bytes read as one unsigned little-endian number.
int mpi_read_binary_x(mbedtls_mpi* X, const unsigned char* bytes, std::size_t length);

// ---------------------------------------------------------------------------
// Writing key files
//
// The writers make the three forms the loader reads, so that a key written
// in any form loads back into the same numbers:
//   full   4680 bytes: eight number records with their word counts set, the
//          last 264 bytes zero;
//   short  1920 bytes: records N, E, D, the rest zero (E must fit the 3
//          bytes the loader takes from its record);
//   text   eight "NAME = HEX" lines, upper-case hex in whole bytes, each
//          line short enough for the loader's 1250-byte line buffer.

enum class KeyFileForm { kFull, kShort, kText };

// Upper bound of an encoded key file: eight text lines of at most 1247
// characters.
inline constexpr std::size_t kKeyFileMaxSize = 8 * 1247;

// Encodes the key in `form` into `out` (at least kKeyFileMaxSize bytes).
// Returns the number of bytes used, or 0 when a number the form carries
// does not fit it.
std::size_t zud_encode_key_file(const mbedtls_rsa_context* ctx, KeyFileForm form,
                                MutBytes out);

// Writes the key in `form` to `path`, readable by its owner only. Returns 0,
// or -1 (the key does not fit the form, or the file cannot be written, in
// which case no file is left at `path`).
int zud_write_key_file(const mbedtls_rsa_context* ctx, KeyFileForm form, const char* path);

// Writes the public half (N and E) to `path` as a PEM SubjectPublicKeyInfo,
// the form the openssl tools read with -pubin. Returns 0 or -1 (the numbers
// are no valid public key, or the file cannot be written; no file is left).
int zud_write_public_pem(const mbedtls_rsa_context* ctx, const char* path);

// ---------------------------------------------------------------------------
// Key blocks of key files

// Fill the component set from a full binary key file (4680 or 6976 bytes).
// Returns the key size code (1-4, or 0 when the key is not recognised);
// `out_size`, when given, receives the size of the component table and
// values (with D counted only when `with_d`).
int zud_create_key_info_from_file(const char* path, zud_key_components& components,
                                  std::uint32_t* out_size, int with_d);

// The same over an image read before.
int zud_create_key_info_from_image(const zud_key_file_image& image, zud_key_components& components,
                                   std::uint32_t* out_size, int with_d);

// zud_create_key_from_source over an image read before (or none).
std::uint32_t zud_create_key_from_image(int digest_only, const zud_key_file_image* image,
                                        const mbedtls_rsa_context* loaded, MutBytes out,
                                        std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                        std::uint32_t key_data_offset);

// As zud_create_key_from_ctx, from the key file at `path`.
std::uint32_t zud_create_key_from_file(int digest_only, const char* path, MutBytes out,
                                       std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                       std::uint32_t key_data_offset);

// The key block of the key file at `path`: laid out from the file when it is
// a full binary key file whose modulus has a key type (so the bytes follow
// its records), else from `loaded`, the key that file loaded as (any form).
// Every form thus gets the key block a reader can check signatures with.
// Draws once for the timestamp in key form, like the builders above.
std::uint32_t zud_create_key_from_source(int digest_only, const char* path,
                                         const mbedtls_rsa_context* loaded, MutBytes out,
                                         std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                         std::uint32_t key_data_offset);
