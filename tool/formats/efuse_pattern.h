// The eFuse pattern of a signed bootloader.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "bytes.h"
#include "crypto.h"

// ---------------------------------------------------------------------------
// eFuse pattern (512 bytes; bit b is bit b mod 8 of byte b / 8)
//
// 0..5 zero; 6: 0x07 (bits 48, 49, 50); 7: 0x28 (bits 59, 61), 0x38 (bit 60
// as well) when the bootloader is encrypted; 8..47 zero; 48..79 the root key
// digest (SHA-256 of the keymax's four root key digests); 80..111 the AES
// key when encrypted, else zero; 112..511 zero. Stored signed and encrypted
// with the built-in key (1168 bytes).

inline constexpr std::size_t kEfusePatternSize = 512;

struct zud_efuse_pattern {
    bool encrypted = false;
    Digest root_digest{};
    std::array<std::uint8_t, kAesKeySize> aes_key{};
};

void encode_efuse_pattern(const zud_efuse_pattern& p, std::span<std::uint8_t, kEfusePatternSize> out);

// Reads a pattern and checks every fixed byte; nullopt with `reason` set
// when one differs or fewer than 512 bytes are given.
std::optional<zud_efuse_pattern> decode_efuse_pattern(ConstBytes in, const char** reason);
