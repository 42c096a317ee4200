// The signed block header: the 64 bytes that head every signed block (the
// stages, the BL2 block and the keymax), shared by the writers and readers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "bytes.h"

// The first 64 bytes of every signed block, all fields little-endian:
//   0x00 magic "@ZUD"            0x04 total_size (u32)
//   0x08 header_size (u8, 64)    0x09 reserved (u8)
//   0x0A version (u8, 1)         0x0B reserved (u8, 0)
//   0x0C nonce (u32)             0x10 sig_type (u32: 1 RSA, 0 digest only)
//   0x14 sig_offset (u32, 64)    0x18 sig_size (u32)
//   0x1C signed_data_offset      0x20 key_type (u32, the key header's code)
//   0x24 key_offset (u32)        0x28 key_size (u32)
//   0x2C signed_data_size (u32)  0x30 reserved (u32)
//   0x34 payload_offset (u32)    0x38 payload_size (u32)
//   0x3C reserved (u32)
// A block is laid out as header, signature slot (sig_size bytes), key block
// (key_size bytes: a 48-byte key header and its key data, zero-padded to a
// multiple of 16) and payload (payload_size bytes). The first three form the
// header region, payload_offset bytes long.

inline constexpr std::size_t kSignedBlockHeaderSize = 64;
inline constexpr std::uint32_t kDigestSlotSize = 32;

struct zud_signed_block_header {
    std::uint32_t total_size = 0;
    std::uint8_t header_size = kSignedBlockHeaderSize;
    std::uint8_t reserved_09 = 0;
    std::uint8_t version = 1;
    std::uint8_t reserved_0b = 0;
    std::uint32_t nonce = 0;
    std::uint32_t sig_type = 0;
    std::uint32_t sig_offset = kSignedBlockHeaderSize;
    std::uint32_t sig_size = 0;
    std::uint32_t signed_data_offset = 0;
    std::uint32_t key_type = 0;
    std::uint32_t key_offset = 0;
    std::uint32_t key_size = 0;
    std::uint32_t signed_data_size = 0;
    std::uint32_t reserved_30 = 0;
    std::uint32_t payload_offset = 0;
    std::uint32_t payload_size = 0;
    std::uint32_t reserved_3c = 0;
};

// Writes the 64 header bytes, magic "@ZUD" first; every field, reserved
// ones included, is written as held.
void encode_signed_block_header(const zud_signed_block_header& h,
                                std::span<std::uint8_t, kSignedBlockHeaderSize> out);

// Reads the 64 header bytes; nullopt when fewer than 64 bytes are given or
// the magic is not "@ZUD". No other field is checked.
std::optional<zud_signed_block_header> decode_signed_block_header(ConstBytes in);

// The checks every reader of a signed block makes first: header_size 64,
// version 1, reserved byte 11 zero, sig_offset 64. The reason one fails, or
// nullptr.
const char* check_signed_block_header(const zud_signed_block_header& h);
