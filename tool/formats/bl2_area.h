// The bootloader's layout and its BL2 area.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "bytes.h"
#include "signed_block.h"

// ---------------------------------------------------------------------------
// Bootloader layout
//
// Input: the BL2 payload in bytes [0, 45056) (zero-filled when the input is
// shorter), a FIP at 49152. Output: the 49152-byte BL2 area (below), the
// FIP's table of contents region at 49152 (entries rewritten) and from
// 65536 one signed stage block per entry, each starting on a 16384-byte
// boundary; in signing mode from a zud_user_key file the upgrade signature
// block follows the last.

inline constexpr std::size_t kIvPrefixSize = 16;
inline constexpr std::size_t kBl2AreaSize = 49152;
inline constexpr std::size_t kBl2PayloadSize = 45056;
inline constexpr std::uint64_t kFipOffset = kBl2AreaSize;
// Both output layouts keep the BL2 payload here, so an output can be signed
// again.
inline constexpr std::uint64_t kBl2PayloadFileOffset = 4096;

// ---------------------------------------------------------------------------
// BL2 area (49152 bytes)
//
// Signing mode: the 16-byte IV prefix, the keymax's bytes 16..2263, then at
// 2264 the BL2 block in the keymax's block layout: header, 512-byte
// signature slot, the signing key's 48-byte key header and 1208-byte key
// data area, the 45056-byte payload (total_size 46888). Digest mode: the IV
// prefix, then at 16 the BL2 block with a 512-byte slot holding the digest,
// 3504 zero key bytes and the payload (total_size 49136). The payload lands
// at 4096 in both; the digest covers the header and everything from
// signed_data_offset on.

inline constexpr std::size_t kBl2SigningBlockOffset = 2264;   // behind the keymax
inline constexpr std::size_t kBl2DigestBlockOffset = kIvPrefixSize;
inline constexpr std::size_t kBl2DigestKeyAreaSize = 3504;

struct zud_bl2_area {
    bool signing = false;
    std::array<std::uint8_t, kIvPrefixSize> iv_prefix{};
    std::uint64_t block_offset = 0;  // of the BL2 block in the area
    ConstBytes block;                // its total_size bytes
    zud_signed_block_header header;
};

// Reads a plain (decrypted) BL2 area: signing mode when a keymax block
// (total_size 2248) stands at 16 and the BL2 block at 2264, digest mode
// when the block at 16 is the BL2 block itself. nullopt when neither holds
// or the block's total_size does not end inside the area.
std::optional<zud_bl2_area> decode_bl2_area(ConstBytes area);

// True when the bytes start like the BL2 area of a signed bootloader
// (either mode): a signed block header at 16 whose signed range ends where
// its block does. Such an input is an earlier output; its BL2 payload is at
// kBl2PayloadFileOffset. `area` holds at least the first 80 bytes.
bool is_signed_bl2_area(ConstBytes area);
