// Key blocks: an RSA public key as it travels inside the tool's outputs (a
// key header, and in key form its key data), and the builder that lays it
// out from a key context.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include <mbedtls/rsa.h>

#include "bytes.h"

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
inline constexpr std::size_t kComponentEntrySize = 8;
inline constexpr std::size_t kKeyDigestSize = 32;
inline constexpr std::size_t kTimestampSize = 16;

// Component ids of the key data's entries (and of the self-test matrices,
// which also name the cached Montgomery values).
enum ComponentId : std::uint16_t {
    kComponentModulus = 1,
    kComponentExponent = 2,
    kComponentPrivateExponent = 3,
    kComponentCachedRN = 9,
    kComponentCachedRP = 10,
    kComponentCachedRQ = 11,
};

// The key header, field by field. Which of the form-dependent fields mean
// something follows key_type: key form (1 to 4) uses the component table
// fields and the timestamp, digest form (5 to 8) the key_digest.
struct zud_key_header {
    std::uint32_t block_size = kKeyHeaderSize;
    std::uint8_t version = 1;
    std::uint8_t key_type = 0;
    std::uint8_t header_size = kKeyHeaderSize;
    std::uint8_t reserved_0b = 0;
    std::array<std::uint8_t, 4> key_tag{};
    // key form
    std::uint8_t component_count = 0;
    std::uint8_t component_entry_size = 0;
    std::uint16_t key_data_offset = 0;
    std::uint16_t key_data_size = 0;
    std::uint16_t values_offset = 0;
    std::uint16_t values_size = 0;
    std::array<std::uint8_t, kTimestampSize> timestamp{};
    // digest form (the same 32 bytes as the key form's fields)
    std::array<std::uint8_t, kKeyDigestSize> key_digest{};
};

constexpr bool is_key_form(std::uint8_t key_type) { return key_type >= 1 && key_type <= 4; }
constexpr bool is_digest_form(std::uint8_t key_type) { return key_type >= 5 && key_type <= 8; }

// The key type of a modulus length (key form; digest form adds 4), or 0;
// and the modulus length of a key type of either form, or 0.
std::uint8_t key_type_for_length(std::size_t modulus_length);
std::size_t modulus_length_of(std::uint8_t key_type);

// The tag key_type calls for ("R2SA", "R2HA", ...), or four zero bytes.
std::array<std::uint8_t, 4> key_tag_for(std::uint8_t key_type);

// Writes the 48 bytes: magic, the common fields, then the key form's fields
// (key form) or the key_digest (digest form, and any other key_type, whose
// 32 bytes are kept as given).
void encode_key_header(const zud_key_header& h, std::span<std::uint8_t, kKeyHeaderSize> out);

// Reads the 48 bytes; nullopt when fewer are given or the magic is not
// "@KEY". Both views of the form-dependent bytes are filled.
std::optional<zud_key_header> decode_key_header(ConstBytes in);
// The same without the magic check, for readers that look at a field
// whatever the magic says (a key matrix entry's digest).
std::optional<zud_key_header> decode_key_header_fields(ConstBytes in);

// Why a key header cannot name a key a signature is checked with, or
// nullptr: the tag, sizes and component table of a key-form header.
const char* check_key_header(const zud_key_header& h);

// One entry of a key data's component table (8 bytes, little-endian:
// component_id u16, offset u16 from the start of the key data, length u16,
// reserved u16).
struct zud_component_entry {
    std::uint16_t component_id = 0;
    std::uint16_t offset = 0;
    std::uint16_t length = 0;
    std::uint16_t reserved = 0;
};
void encode_component_entry(const zud_component_entry& e,
                            std::span<std::uint8_t, kComponentEntrySize> out);
// nullopt when fewer than 8 bytes are given.
std::optional<zud_component_entry> decode_component_entry(ConstBytes in);

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

// Sets one slot's entry (its value is left as it is).
void set_key_component(zud_key_component& c, std::uint16_t id, std::uint16_t offset,
                       std::uint16_t length);

// The 16-character timestamp of key headers and image security headers: the
// local date and time ("%04d%02d%02d%02d%02d%02d") followed by the first two
// digits of one rand() draw, zero-padded to four. Draws exactly once.
void zud_make_timestamp(std::span<std::uint8_t, kTimestampSize> out);

// Pre-sets a zeroed key header: magic "@KEY", block_size 48, version 1 and
// header_size (48, or 0 for keymax entries).
void zud_init_key_header(std::span<std::uint8_t, kKeyHeaderSize> header,
                         std::uint8_t header_size);

// Copies `count` bytes in reverse order (dst[count - 1 - i] = src[i]).
void zud_revert_copy(std::uint8_t* dst, const std::uint8_t* src, std::size_t count);

// Fill the component set from a key context. Returns the key size code (1-4,
// or 0 when the key is not recognised); `out_size`, when given, receives the
// size of the component table and values (with D counted only when
// `with_d`). The key file form of this is in keyfile.h.
int zud_create_key_info_from_ctx(const mbedtls_rsa_context* ctx,
                                 zud_key_components& components,
                                 std::uint32_t* out_size, int with_d);

// The key digest a digest-form key header names `ctx` by (the SHA-256 of N
// then E as a key block lays them out), or nullopt when the modulus length
// has no key type. Draws nothing.
std::optional<std::array<std::uint8_t, kKeyDigestSize>> public_key_digest(const mbedtls_rsa_context& ctx);

// Build one key block: complete `key_header` (pre-set by the caller) and
// write the key data to `out` (at least kKeyDataAreaMin bytes). Key form
// returns the key data size to append after the header; digest form and an
// unrecognised key return 0.
std::uint32_t zud_create_key_from_ctx(int digest_only, const mbedtls_rsa_context* ctx,
                                      MutBytes out,
                                      std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                      std::uint32_t key_data_offset);
// The builders' last step, once the component set is filled (from a context
// or a key file): completes the pre-set `key_header` for `key_type` (the key
// size code, digest form added when `digest_only`) and writes the key data
// of `size` bytes to `out`. Returns what zud_create_key_from_ctx returns.
std::uint32_t zud_create_key_from_components(int digest_only, std::uint8_t key_type,
                                             const zud_key_components& components,
                                             std::uint32_t size, MutBytes out,
                                             std::span<std::uint8_t, kKeyHeaderSize> key_header,
                                             std::uint32_t key_data_offset);

// ---------------------------------------------------------------------------
// Reading a key back
//
// A key block's numbers: the component table has component_count entries of
// 8 bytes at key_data_offset; in order, each takes `length` bytes (a
// big-endian number) from a cursor that starts at values_offset (the
// entries' own offsets are not used). Only ids 1 (N), 2 (E) and 3 (D) name
// numbers of a key (the self-test of a key matrix also takes 9, 10 and 11,
// the cached Montgomery values RN, RP and RQ), each at most once, and every
// component must lie inside the values_size bytes at values_offset, the
// bytes the key digest covers, so the key read is always the key the digest
// names. key_data_offset and values_offset count from the start of the
// container the header lies in (a signed block, or a key matrix).

// Reads the components of the key `h` describes from `container` into `ctx`.
// The table and the values region must both lie inside `container`. The
// reason it refuses, or nullptr.
const char* read_key_components(mbedtls_rsa_context* ctx, ConstBytes container,
                                const zud_key_header& h, bool self_test);

// The signing key a signed block carries: its key header lies at the
// block's key_offset. Loads it into `ctx` (initialised by the caller for
// PKCS#1 v1.5 and holding no numbers yet), sets ctx->len, and writes the key
// digest (the SHA-256 of its values). The modulus must be 128, 256 or 512
// bytes. The reason it refuses, or nullptr.
const char* decode_block_key(mbedtls_rsa_context* ctx, ConstBytes block,
                             std::span<std::uint8_t, kKeyDigestSize> key_digest);

// True for the modulus lengths a signed block's key may have: 128, 256 or
// 512 bytes.
constexpr bool is_block_key_length(std::size_t bytes) {
    return bytes == 128 || bytes == 256 || bytes == 512;
}
