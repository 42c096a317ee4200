// The fixed-layout signed block: the keymax block and the BL2 block of a
// bootloader.
#pragma once

#include <cstdint>

#include "key_block.h"
#include "signed_block.h"

// A signed block with fixed places (all offsets from the block's start):
// the 64-byte header; a 512-byte signature slot at 64, holding the RSA
// signature (its modulus length) or the SHA-256 digest at its start; the
// key area at 576, in a signed block the signing key's 48-byte key header
// and its 1208-byte key data area; then the payload. The signature or digest
// covers the 64 header bytes and everything from signed_data_offset (64 +
// the signature's or the digest's length) to the end of the block.
inline constexpr std::size_t kFixedSignatureSlotSize = 512;
inline constexpr std::size_t kFixedKeyDataAreaSize = 1208;
inline constexpr std::size_t kFixedKeyOffset = kSignedBlockHeaderSize + kFixedSignatureSlotSize;  // 576
inline constexpr std::size_t kFixedKeyDataOffset = kFixedKeyOffset + kKeyHeaderSize;              // 624
inline constexpr std::size_t kFixedKeyAreaSize = kKeyHeaderSize + kFixedKeyDataAreaSize;          // 1256
inline constexpr std::size_t kFixedPayloadOffset = kFixedKeyOffset + kFixedKeyAreaSize;           // 1832

// The header of a fixed-layout block: RSA-signed (sig_type 1) or digest
// only (0), the signing key's key_type, the signed range from
// `signed_data_offset` on, a key area of `key_area_size` bytes and a
// payload of `payload_size` bytes behind it.
zud_signed_block_header fixed_block_header(std::uint32_t sig_type, std::uint8_t key_type,
                                           std::uint32_t signed_data_offset,
                                           std::uint32_t key_area_size, std::uint32_t payload_size);
