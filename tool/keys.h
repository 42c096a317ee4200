// Keys: RSA key files, the key-format flag and the private operation that
// honours it, key blocks, the keymax (--keysig) and the user key file
// (--keybnd).
#pragma once

#include <cstdint>
#include <span>

#include <mbedtls/bignum.h>
#include <mbedtls/rsa.h>

#include "bytes.h"

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
inline constexpr std::size_t kUserKeyFileSize = 6976;
inline constexpr std::size_t kShortKeyFileSize = 1920;
inline constexpr std::size_t kShortKeyFileSizeAlt = 1696;
inline constexpr std::size_t kTextKeyLineBuffer = 1250;

// Results of zud_tq_load_rsa_key_file besides the library's own codes
// (-2: a text line is missing; -8: a text line is too long).
enum KeyLoadResult : int {
    kKeyLoadOk = 0,
    kKeyLoadNoFile = -1,        // no path, or the file cannot be opened or read
    kKeyLoadBadRecord = -0x30,  // a record's word count exceeds 136 words
};

// Private-key mode of the RSA private operation: 0 uses the CRT values, 1
// raises to D modulo N with N and D only. It describes the most recently
// loaded key: the loader sets it to 0, and to 1 after a short binary file.
extern std::int32_t g_nVQ_RSA_keyFormat;

// Owns an RSA context initialised for PKCS#1 v1.5 with hash identifier 0.
// Its numbers are wiped when it goes.
class RsaKey {
public:
    RsaKey() { mbedtls_rsa_init(&ctx, MBEDTLS_RSA_PKCS_V15, 0); }
    ~RsaKey() { mbedtls_rsa_free(&ctx); }
    RsaKey(const RsaKey&) = delete;
    RsaKey& operator=(const RsaKey&) = delete;
    mbedtls_rsa_context ctx;
};

// Loads a key file of any form into `ctx` (initialised by the caller) and
// sets ctx->len from the bit length of N. Returns 0, kKeyLoadNoFile,
// kKeyLoadBadRecord, or for the text form the library's code of the first
// line that fails; numbers read before a failure stay in the context.
int zud_tq_load_rsa_key_file(mbedtls_rsa_context* ctx, const char* path);

// Sets X from `length` bytes read as one unsigned little-endian number.
int mpi_read_binary_x(mbedtls_mpi* X, const unsigned char* bytes, std::size_t length);

// The RSA private operation over ctx->len bytes, honouring
// g_nVQ_RSA_keyFormat. Fails with the library's bad-input code when the
// input is not below N. Every signature the tool makes goes through here.
// `input` and `output` may be the same buffer.
int zud_rsa_private(mbedtls_rsa_context* ctx, const unsigned char* input,
                    unsigned char* output);

// The RSA public operation over ctx->len bytes.
int zud_rsa_public(mbedtls_rsa_context* ctx, const unsigned char* input,
                   unsigned char* output);

// PKCS#1 v1.5 signature (SHA-256 DigestInfo) of a 32-byte digest into
// ctx->len bytes at `sig`, made with zud_rsa_private. Returns 0 or the
// library's error code; `sig` is zeroed on failure.
int zud_rsa_sign_sha256(mbedtls_rsa_context* ctx, const std::uint8_t* digest,
                        std::uint8_t* sig);

// Checks a PKCS#1 v1.5 SHA-256 signature of ctx->len bytes; 0 when valid.
int zud_rsa_verify_sha256(mbedtls_rsa_context* ctx, const std::uint8_t* digest,
                          const std::uint8_t* sig);

// ---------------------------------------------------------------------------
// Key blocks
//
// Key header (48 bytes, little-endian): 0x00 magic "@KEY", 0x04 block_size
// (u32: 48 + key data size in key form, 48 in digest form), 0x08 version
// (u8, 1), 0x09 key_type (u8, table below), 0x0A header_size (u8, 48; 0 in
// keymax entries), 0x0B reserved, 0x0C key_tag (4 bytes: "R1SA".."R8SA",
// "R1HA".."R8HA"), then 32 form-dependent bytes:
//   key form (key_type 1-4): 0x10 component_count (u8, 2), 0x11
//     component_entry_size (u8, 8), 0x12 reserved u16, 0x14 key_data_offset
//     (u16, from the start of the enclosing container), 0x16 key_data_size
//     (u16), 0x18 values_offset (u16, key_data_offset + 16), 0x1A
//     values_size (u16, key_data_size - 16), 0x1C reserved u32, 0x20
//     timestamp (16 ASCII characters: local date and time and two digits of
//     one rand() draw);
//   digest form (key_type 5-8): 0x10 key_digest, SHA-256 of N then E as
//     laid out in the key data.
// key_type by modulus length: 128 bytes -> 1, 256 -> 2, 512 -> 3, 1024 -> 4;
// digest form adds 4; anything else is 0 with no tag.
// Key data: two component entries (8 bytes each: component_id u16 (1 N,
// 2 E, 3 D), offset u16 from the start of the key data, length u16,
// reserved u16), then N and E big-endian.

inline constexpr std::size_t kKeyHeaderSize = 48;
inline constexpr std::size_t kKeyComponentValueSize = 1024;
inline constexpr std::size_t kKeyDataAreaMin = 8 * 1024;

// The builders' working set: slots for N, E and D, each an entry and its
// value, big-endian.
struct zud_key_component {
    std::uint16_t component_id;
    std::uint16_t offset;
    std::uint16_t length;
    std::uint16_t reserved;
    std::uint8_t value[kKeyComponentValueSize];
};

struct zud_key_components {
    zud_key_component slot[3];
};

// The 16-character timestamp of key headers and image security headers: the
// local date and time ("%04d%02d%02d%02d%02d%02d") followed by the first two
// digits of one rand() draw, zero-padded to four. Draws exactly once.
inline constexpr std::size_t kTimestampSize = 16;
void zud_make_timestamp(std::span<std::uint8_t, kTimestampSize> out);

// Pre-sets a zeroed key header: magic "@KEY", block_size 48, version 1 and
// header_size (48, or 0 for keymax entries).
void zud_init_key_header(std::span<std::uint8_t, kKeyHeaderSize> header,
                         std::uint8_t header_size);

// Copies `count` bytes in reverse order (dst[count - 1 - i] = src[i]).
void zud_revert_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t count);

// Fill the component set from a full binary key file (4680 or 6976 bytes)
// or from a key context. Return the key size code (1-4, or 0 when the key is
// not recognised); `out_size`, when given, receives the size of the
// component table and values (with D counted only when `with_d`).
int zud_create_key_info_from_file(const char* path, zud_key_components& components,
                                  std::uint32_t* out_size, int with_d);
int zud_create_key_info_from_ctx(const mbedtls_rsa_context* ctx,
                                 zud_key_components& components,
                                 std::uint32_t* out_size, int with_d);

// Build one key block: complete `key_header` (pre-set by the caller) and
// write the key data to `out` (at least kKeyDataAreaMin bytes). Key form
// returns the key data size to append after the header; digest form and an
// unrecognised key return 0.
std::uint32_t zud_create_key_from_ctx(int digest_only, const mbedtls_rsa_context* ctx,
                                      MutBytes out,
                                      std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                      std::uint32_t key_data_offset);
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
// Keymax (--keysig) and user key file (--keybnd)

// Key matrix (208 bytes): 0x00 magic "@KMX", 0x04 version (u8, 1), 0x06
// header_size (u16, 16), 0x08 matrix_size (u32), 0x0C entry_count (u8, 4),
// 0x0D entry_size (u8, 48), 0x10 four digest-form key headers.
inline constexpr std::size_t kKeyMatrixSize = 208;
// Keymax file: 16 zero bytes (the IV prefix slot in a bootloader), then a
// signed block: header at 16, 512-byte signature slot at 80, signing key
// header at 592 and its 1208-byte key data area at 640, root key matrix at
// 1848, user key matrix at 2056.
inline constexpr std::size_t kKeymaxSize = 2264;
inline constexpr std::size_t kKeymaxRootMatrixOffset = 1848;
inline constexpr std::size_t kKeymaxUserMatrixOffset = 2056;
inline constexpr std::size_t kUserKeyKeymaxOffset = 4680;
inline constexpr std::size_t kUserKeyAesOffset = 6944;

enum KeysigResult : int {
    kKeysigBadArguments = 3105,  // seven words or fewer, or a key path that does not exist
    kKeysigBadKey = 3107,        // a root or user key that does not load as a key of 1024 to 8192 bits
    kKeysigNotRootKey = 3109,    // the signing key is none of the four root keys
};

// Results of zud_key_bnd besides -1.
enum KeybndResult : int {
    kKeybndNoAesKey = 3121,      // the --aeskey file cannot be read
    kKeybndKeyMismatch = 3123,   // the key's private half does not sign for its public half
};

int zud_sig_key(int argc, char** argv);
int zud_sig_key_max(const char* const* paths);
int zud_signature_file_fix(const char* input, const char* key, const char* output);
int zud_key_bnd(int argc, char** argv);
