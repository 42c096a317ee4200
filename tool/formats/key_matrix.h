// The key matrix: four key headers naming root or user keys.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "bytes.h"
#include "crypto.h"
#include "key_block.h"

// ---------------------------------------------------------------------------
// Key matrix
//
// 208 bytes, little-endian: 0x00 magic "@KMX", 0x04 version (u8, 1), 0x05
// reserved, 0x06 header_size (u16, 16), 0x08 matrix_size (u32: 16 + 4 x 48
// + the key data appended behind the entries, rounded up to 16), 0x0C
// entry_count (u8, 4), 0x0D entry_size (u8, 48), 0x0E reserved (u16), then
// four 48-byte key headers, in digest form (key_type 5 to 8, header_size 0)
// in every matrix this tool writes. An entry in key form names its key data
// by key_data_offset and values_offset, counted from the matrix's start.
//
// A device accepts a matrix when magic, version 1, header_size 16,
// entry_count 4 and entry_size 48 hold, matrix_size lies in 17..16384 (it
// reads the entries at their fixed places whatever matrix_size says), and
// every entry is in digest form.

inline constexpr std::size_t kKeyMatrixSize = 208;
inline constexpr std::size_t kKeyMatrixHeaderSize = 16;
inline constexpr std::size_t kKeyMatrixEntries = 4;
inline constexpr std::uint32_t kMaxKeyMatrixSize = 16384;

struct zud_key_matrix {
    std::uint8_t version = 1;
    std::uint8_t reserved_05 = 0;
    std::uint16_t header_size = kKeyMatrixHeaderSize;
    std::uint32_t matrix_size = kKeyMatrixSize;
    std::uint8_t entry_count = kKeyMatrixEntries;
    std::uint8_t entry_size = kKeyHeaderSize;
    std::uint16_t reserved_0e = 0;
    // An entry without the "@KEY" magic decodes with key_type 0.
    std::array<zud_key_header, kKeyMatrixEntries> entries{};
};

void encode_key_matrix(const zud_key_matrix& m, std::span<std::uint8_t, kKeyMatrixSize> out);

// nullopt when fewer than 208 bytes are given or the magic is not "@KMX".
std::optional<zud_key_matrix> decode_key_matrix(ConstBytes in);

// The header fields alone (the first 16 bytes), for readers that look at
// entry_count before they know how many entries the bytes hold.
std::optional<zud_key_matrix> decode_key_matrix_header(ConstBytes in);

// Entry `index` (0 based, any index) if the bytes hold it.
std::optional<zud_key_header> key_matrix_entry(ConstBytes matrix, std::size_t index);
inline constexpr std::size_t key_matrix_entry_offset(std::size_t index) {
    return kKeyMatrixHeaderSize + index * kKeyHeaderSize;
}

// Why a device refuses the matrix, or nullptr (the rule above).
const char* check_key_matrix_header(const zud_key_matrix& m);
const char* check_key_matrix(const zud_key_matrix& m);

// The root key digest of a matrix in digest form: SHA-256 over the four
// key_digest values, entry 0 first. It is what the eFuse pattern carries.
Digest key_matrix_root_digest(const zud_key_matrix& m);

// True when one of the matrix's entries carries `key_digest`.
bool key_matrix_names(const zud_key_matrix& m, std::span<const std::uint8_t, kKeyDigestSize> key_digest);
